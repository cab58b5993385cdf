#include "export/ExportCli.h"

#include "export/ExportCore.h"
#include "tools/cli/TerminalProgress.h"

#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QSet>

#include <algorithm>
#include <unistd.h>

namespace ExportCli {

bool parseSerials(const QString& text, QList<int>* serials, QString* error)
{
    serials->clear();
    const QStringList parts = text.split(',');
    for (const QString& raw : parts) {
        const QString part = raw.trimmed();
        bool okA = false, okB = false;
        int a = 0, b = 0;
        const int dash = part.indexOf('-', 1);
        if (dash < 0) {
            a = b = part.toInt(&okA);
            okB = okA;
        } else {
            a = part.left(dash).trimmed().toInt(&okA);
            b = part.mid(dash + 1).trimmed().toInt(&okB);
        }
        if (part.isEmpty() || !okA || !okB || a < 1 || b < 1 || part.startsWith('+')) {
            *error = QStringLiteral("bad serial \"%1\" in --serials %2 (expected e.g. 1,4,7-9)").arg(part, text);
            return false;
        }
        if (qAbs(qint64(b) - a) >= 10000000) {
            *error = QStringLiteral("serial range %1 in --serials is too large").arg(part);
            return false;
        }
        const int step = b >= a ? 1 : -1;
        for (int s = a;; s += step) {
            serials->append(s);
            if (s == b)
                break;
        }
    }
    return true;
}

bool selectRows(const QList<SPlayListTableItem>& found, const Options& options, bool forMerge,
                QList<SPlayListTableItem>* rows, QString* error)
{
    rows->clear();
    if (!options.hasSerials) {
        *rows = found;
        std::stable_sort(rows->begin(), rows->end(),
                         [](const SPlayListTableItem& x, const SPlayListTableItem& y) { return x.iSerial < y.iSerial; });
        return true;
    }
    QHash<int, int> bySerial;
    for (int i = 0; i < found.size(); ++i)
        bySerial.insert(found[i].iSerial, i);
    QSet<int> taken;
    for (int s : options.serials) {
        const auto it = bySerial.constFind(s);
        if (it == bySerial.constEnd()) {
            *error = QStringLiteral("no fragment with serial %1 was found (%2 found)").arg(s).arg(found.size());
            return false;
        }
        if (!forMerge && taken.contains(s))
            continue;
        taken.insert(s);
        rows->append(found[it.value()]);
    }
    return true;
}

namespace {

// One job from start to summary line.
Outcome runJob(bool merge, const Options& options, const QList<SPlayListTableItem>& rows, FILE* err)
{
    ExportCore::ExportJob job;
    TerminalProgress printer(err, ::isatty(::fileno(err)) == 1);
    const QString activity = merge ? QStringLiteral("merging") : QStringLiteral("exporting");
    bool interrupted = false;
    job.onProgress = [&](qint64 total, qint64 inc) {
        if (options.interrupt && options.interrupt->load()) {
            job.cancel = true;
            interrupted = true;
        }
        printer.draw(inc, total, activity);
    };
    job.onDiagnostic = [&](const QString& message) {
        printer.clear();
        std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(message));
        std::fflush(err);
    };
    const QString target = merge ? options.mergeFile : options.exportDir;
    const int result = merge ? job.videoMerge(rows, QFile::encodeName(target))
                             : job.exportAll(rows, QFile::encodeName(target));
    printer.clear();
    const bool ok = result == 1 && !interrupted && job.bytesWritten() == job.bytesTotal();
    const double secs = double(std::max<qint64>(printer.elapsedMs(), 1)) / 1000.0;
    QString what;
    if (ok)
        what = merge ? QStringLiteral("merged %1 fragments into %2").arg(rows.size()).arg(target)
                     : QStringLiteral("exported %1 fragments to %2").arg(rows.size()).arg(target);
    else
        what = QStringLiteral("%1 %2 %3").arg(merge ? "merge into" : "export to", target,
                                              interrupted ? "interrupted" : "incomplete");
    std::fprintf(err, "corvotkl-cli: %s: %lld of %lld bytes written in %.3f s, %.1f MB/s\n", qPrintable(what),
                 static_cast<long long>(job.bytesWritten()), static_cast<long long>(job.bytesTotal()), secs,
                 double(job.bytesWritten()) / 1e6 / secs);
    // File by file what is not whole, after the summary, so the last lines say it.
    for (const QString& line : job.result().details())
        std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(line));
    std::fflush(err);
    if (interrupted)
        return Outcome::Interrupted;
    return ok ? Outcome::AllWritten : Outcome::Incomplete;
}

} // namespace

Outcome run(const Options& options, const QList<SPlayListTableItem>& found, FILE* err)
{
    // The windows' debug trace would only clutter the error stream.
    QLoggingCategory::setFilterRules(QStringLiteral("corvotkl.export.debug=false"));

    // Check every serial before writing anything.
    QList<SPlayListTableItem> exportRows, mergeRows;
    QString error;
    if ((!options.exportDir.isEmpty() && !selectRows(found, options, false, &exportRows, &error)) ||
        (!options.mergeFile.isEmpty() && !selectRows(found, options, true, &mergeRows, &error))) {
        std::fprintf(err, "corvotkl-cli: --serials: %s; nothing written\n", qPrintable(error));
        return Outcome::BadSerial;
    }

    Outcome outcome = Outcome::AllWritten;
    if (!options.exportDir.isEmpty()) {
        if (exportRows.isEmpty()) {
            std::fprintf(err, "corvotkl-cli: no fragments to export to %s\n", qPrintable(options.exportDir));
        } else {
            outcome = runJob(false, options, exportRows, err);
            if (outcome == Outcome::Interrupted)
                return outcome;
        }
    }
    if (!options.mergeFile.isEmpty()) {
        if (mergeRows.isEmpty()) {
            std::fprintf(err, "corvotkl-cli: no fragments to merge; %s not written\n", qPrintable(options.mergeFile));
            return Outcome::Incomplete;
        }
        const Outcome m = runJob(true, options, mergeRows, err);
        if (m != Outcome::AllWritten)
            outcome = m;
    }
    return outcome;
}

} // namespace ExportCli
