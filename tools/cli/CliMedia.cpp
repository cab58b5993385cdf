#include "tools/cli/CliMedia.h"

#include "export/ExportCli.h"
#include "export/ExportCore.h"
#include "media/ContactSheet.h"
#include "tools/cli/CliExport.h"

#include <QDir>
#include <QFileInfo>

#include <thread>

namespace {

int worse(int a, int b)
{
    if (a == CliExitInterrupted || b == CliExitInterrupted)
        return CliExitInterrupted;
    return std::max(a, b);
}

// Writes rows as .TKL through the ordinary export.
int exportAsTkl(const QList<SPlayListTableItem>& all, const QList<int>& serials, const QString& dir,
                const QString& mergeFile, const std::atomic<bool>* interrupt, FILE* err)
{
    ExportCli::Options o;
    o.exportDir = dir;
    o.mergeFile = mergeFile;
    o.serials = serials;
    o.hasSerials = true;
    o.interrupt = interrupt;
    switch (ExportCli::run(o, all, err)) {
    case ExportCli::Outcome::AllWritten: return CliExitOk;
    case ExportCli::Outcome::BadSerial: return CliExitUsage;
    case ExportCli::Outcome::Interrupted: return CliExitInterrupted;
    case ExportCli::Outcome::Incomplete: break;
    }
    return CliExitSourceError;
}

} // namespace

QByteArray cliDurationText(const Media::Duration& d, const QByteArray& unknown)
{
    return d.known ? QByteArray::number(d.seconds, 'f', 2) : unknown;
}

int runCliMediaExport(const CliOptions& options, const QList<SPlayListTableItem>& all, int scanExit,
                      const std::atomic<bool>* interrupt, FILE* err)
{
    ExportCli::Options sel;
    sel.serials = options.serials;
    sel.hasSerials = options.hasSerials;
    int code = scanExit;
    Media::RemuxOptions ro;
    ro.cancel = interrupt;

    if (!options.exportDir.isEmpty()) {
        QList<SPlayListTableItem> rows;
        QString why;
        if (!ExportCli::selectRows(all, sel, false, &rows, &why)) {
            std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(why));
            return CliExitUsage;
        }
        QList<int> asTkl;
        int written = 0;
        for (const SPlayListTableItem& row : rows) {
            QString name = ExportCore::singleFileName(row);
            name.chop(QStringLiteral(".TKL").size());
            const Media::RemuxResult r = Media::remux({row}, all, QDir(options.exportDir).filePath(name + ".mp4"), ro);
            switch (r.status) {
            case Media::RemuxResult::Written:
                ++written;
                if (r.dropped)
                    std::fprintf(err, "corvotkl-cli: %s: %lld damaged pictures left out\n", qPrintable(r.path),
                                 (long long)r.dropped);
                break;
            case Media::RemuxResult::Unrecognised:
                std::fprintf(err, "corvotkl-cli: %s; written as .TKL instead\n", qPrintable(r.message));
                asTkl << row.iSerial;
                break;
            case Media::RemuxResult::Cancelled:
                std::fprintf(err, "corvotkl-cli: export interrupted\n");
                return CliExitInterrupted;
            case Media::RemuxResult::Refused:
            case Media::RemuxResult::Failed:
                std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(r.message));
                code = worse(code, CliExitSourceError);
                break;
            }
        }
        std::fprintf(err, "corvotkl-cli: exported %d of %d fragments as playable video to %s\n", written,
                     int(rows.size()), qPrintable(options.exportDir));
        if (!asTkl.isEmpty())
            code = worse(code, exportAsTkl(all, asTkl, options.exportDir, QString(), interrupt, err));
    }
    if (!options.mergeFile.isEmpty()) {
        QList<SPlayListTableItem> rows;
        QString why;
        if (!ExportCli::selectRows(all, sel, true, &rows, &why)) {
            std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(why));
            return CliExitUsage;
        }
        const Media::RemuxResult r = Media::remux(rows, all, options.mergeFile, ro);
        switch (r.status) {
        case Media::RemuxResult::Written:
            std::fprintf(err, "corvotkl-cli: merged %d fragments into %s (%lld pictures, %.2f s%s)\n", int(rows.size()),
                         qPrintable(r.path), (long long)r.pictures, r.seconds,
                         r.dropped ? qPrintable(QStringLiteral(", %1 damaged pictures left out").arg(r.dropped)) : "");
            break;
        case Media::RemuxResult::Unrecognised: {
            const QFileInfo fi(options.mergeFile);
            const QString tkl = fi.path() + '/' + fi.completeBaseName() + ".TKL";
            std::fprintf(err, "corvotkl-cli: %s; the merge is written as %s instead\n", qPrintable(r.message),
                         qPrintable(tkl));
            QList<int> serials;
            for (const SPlayListTableItem& row : rows)
                serials << row.iSerial;
            code = worse(code, exportAsTkl(all, serials, QString(), tkl, interrupt, err));
            break;
        }
        case Media::RemuxResult::Cancelled:
            std::fprintf(err, "corvotkl-cli: merge interrupted\n");
            return CliExitInterrupted;
        case Media::RemuxResult::Refused:
        case Media::RemuxResult::Failed:
            std::fprintf(err, "corvotkl-cli: --merge %s: %s\n", qPrintable(options.mergeFile), qPrintable(r.message));
            code = worse(code, CliExitSourceError);
            break;
        }
    }
    return code;
}

int runCliThumbs(const CliOptions& options, const QList<CliFragment>& found, int scanExit,
                 const std::atomic<bool>* interrupt, FILE* err)
{
    const QList<SPlayListTableItem> rows = cliRows(found);
    const int threads = int(std::max(1u, std::thread::hardware_concurrency()));
    const QList<Media::SheetEntry> entries = Media::makeThumbnails(rows, options.thumbsDir, threads, {}, interrupt);
    if (interrupt && interrupt->load())
        return CliExitInterrupted;
    int pictures = 0;
    for (const Media::SheetEntry& e : entries) {
        if (!e.image.isEmpty())
            ++pictures;
        else
            std::fprintf(err, "corvotkl-cli: fragment %d: no thumbnail: %s\n", e.serial, qPrintable(e.note));
    }
    QString why;
    const QString title = QStringLiteral("CorvoTKL: %1").arg(options.source);
    if (!Media::writeContactSheet(entries, options.thumbsDir, title, &why)) {
        std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(why));
        return worse(scanExit, CliExitSourceError);
    }
    std::fprintf(err, "corvotkl-cli: %d thumbnails of %d fragments and index.html in %s\n", pictures,
                 int(entries.size()), qPrintable(options.thumbsDir));
    return scanExit;
}
