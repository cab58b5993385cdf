#include "tools/cli/CliExport.h"

#include "export/ExportCli.h"
#include "tools/cli/CliMedia.h"

QList<SPlayListTableItem> cliRows(const QList<CliFragment>& found)
{
    QList<SPlayListTableItem> rows;
    rows.reserve(found.size());
    for (const CliFragment& f : found) {
        SPlayListTableItem row;
        row.sFragmentFit = f.fragment;
        row.iSerial = f.serial;
        rows.append(row);
    }
    return rows;
}

bool cliWantsExport(const CliOptions& options)
{
    return !options.exportDir.isEmpty() || !options.mergeFile.isEmpty();
}

int runCliExport(const CliOptions& options, const QList<CliFragment>& found, int scanExit,
                 const std::atomic<bool>* interrupt, FILE* err)
{
    return runCliExport(options, ExportCore::ListRowSource(cliRows(found)), scanExit, interrupt, err);
}

int runCliExport(const CliOptions& options, const ExportCore::RowSource& found, int scanExit,
                 const std::atomic<bool>* interrupt, FILE* err)
{
    if (!cliWantsExport(options))
        return scanExit;
    if (options.format == QLatin1String("mp4")) {
        QList<SPlayListTableItem> rows;
        rows.reserve(found.size());
        for (int i = 0; i < found.size(); ++i)
            rows.append(found.at(i));
        return runCliMediaExport(options, rows, scanExit, interrupt, err);
    }
    ExportCli::Options o;
    o.exportDir = options.exportDir;
    o.mergeFile = options.mergeFile;
    o.serials = options.serials;
    o.hasSerials = options.hasSerials;
    o.interrupt = interrupt;
    switch (ExportCli::run(o, found, err)) {
    case ExportCli::Outcome::AllWritten:
        return scanExit;
    case ExportCli::Outcome::BadSerial:
        return CliExitUsage;
    case ExportCli::Outcome::Interrupted:
        return CliExitInterrupted;
    case ExportCli::Outcome::Incomplete:
        break;
    }
    return scanExit == CliExitOk ? CliExitSourceError : scanExit;
}
