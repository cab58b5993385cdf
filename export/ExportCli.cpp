#include "export/ExportCli.h"

#include "export/ExportCore.h"

#include <QElapsedTimer>
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

// One progress line per update, rewritten in place on a terminal.
class ProgressPrinter {
public:
    ProgressPrinter(FILE* err, const char* what, bool enabled)
        : m_err(err), m_what(what), m_enabled(enabled), m_tty(::isatty(::fileno(err)) == 1)
    {
        m_clock.start();
    }

    void update(qint64 total, qint64 inc)
    {
        if (!m_enabled)
            return;
        const qint64 secs = m_clock.elapsed() / 1000;
        const int pct = ExportCore::percentOf(total, inc);
        // Off a terminal one line a second is plenty for a log.
        if (!m_tty && secs == m_lastSecs && pct != 100)
            return;
        m_lastSecs = secs;
        const qint64 rate = secs > 0 ? inc / secs : 0;
        const QString left = rate > 0 ? ExportCore::hhmmss((total - inc) / rate) : QStringLiteral("--:--:--");
        std::fprintf(m_err, "%s%s %3d%%  %lld/%lld bytes  elapsed %s  left %s%s", m_tty ? "\r" : "", m_what, pct,
                     static_cast<long long>(inc), static_cast<long long>(total), qPrintable(ExportCore::hhmmss(secs)),
                     qPrintable(left), m_tty ? "" : "\n");
        std::fflush(m_err);
        m_open = m_tty;
    }

    void finish()
    {
        if (m_open)
            std::fputc('\n', m_err);
        m_open = false;
    }

    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    FILE* m_err;
    const char* m_what;
    bool m_enabled;
    bool m_tty;
    bool m_open = false;
    qint64 m_lastSecs = -1;
    QElapsedTimer m_clock;
};

void summary(FILE* err, const char* what, const ExportCore::ExportJob& job, qint64 ms, bool ok)
{
    const double secs = std::max<qint64>(ms, 1) / 1000.0;
    std::fprintf(err, "%s: %s, %lld of %lld bytes written in %.3f s (%.1f MB/s)\n", what, ok ? "done" : "FAILED",
                 static_cast<long long>(job.bytesWritten()), static_cast<long long>(job.bytesTotal()), secs,
                 job.bytesWritten() / secs / 1e6);
    std::fflush(err);
}

} // namespace

bool run(const Options& options, const QList<SPlayListTableItem>& found, FILE* err)
{
    // The windows' debug trace would only clutter the progress lines.
    QLoggingCategory::setFilterRules(QStringLiteral("corvotkl.export.debug=false"));
    bool allWritten = true;
    auto wire = [&](ExportCore::ExportJob& job, ProgressPrinter& printer) {
        job.onProgress = [&printer](qint64 total, qint64 inc) { printer.update(total, inc); };
        job.onDiagnostic = [err, &printer](const QString& message) {
            printer.finish();
            std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(message));
            std::fflush(err);
        };
    };

    if (!options.exportDir.isEmpty()) {
        QList<SPlayListTableItem> rows;
        QString error;
        if (!selectRows(found, options, false, &rows, &error)) {
            std::fprintf(err, "corvotkl-cli: --export: %s\n", qPrintable(error));
            return false;
        }
        if (rows.isEmpty()) {
            std::fprintf(err, "export: no fragments to write\n");
        } else {
            ExportCore::ExportJob job;
            ProgressPrinter printer(err, "export", options.progress);
            wire(job, printer);
            const int result = job.exportAll(rows, QFile::encodeName(options.exportDir));
            printer.finish();
            const bool ok = result == 1 && job.bytesWritten() == job.bytesTotal();
            summary(err, "export", job, printer.elapsedMs(), ok);
            allWritten = allWritten && ok;
        }
    }

    if (!options.mergeFile.isEmpty()) {
        QList<SPlayListTableItem> rows;
        QString error;
        if (!selectRows(found, options, true, &rows, &error)) {
            std::fprintf(err, "corvotkl-cli: --merge: %s\n", qPrintable(error));
            return false;
        }
        if (rows.isEmpty()) {
            std::fprintf(err, "corvotkl-cli: --merge %s: no fragments to merge, nothing written\n",
                         qPrintable(options.mergeFile));
            return false;
        }
        ExportCore::ExportJob job;
        ProgressPrinter printer(err, "merge", options.progress);
        wire(job, printer);
        const int result = job.videoMerge(rows, QFile::encodeName(options.mergeFile));
        printer.finish();
        const bool ok = result == 1 && job.bytesWritten() == job.bytesTotal();
        summary(err, "merge", job, printer.elapsedMs(), ok);
        allWritten = allWritten && ok;
    }
    return allWritten;
}

} // namespace ExportCli
