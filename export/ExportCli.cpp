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

bool selectOrder(const ExportCore::RowSource& found, const Options& options, bool forMerge, std::vector<int>* order,
                 bool* identity, QString* error)
{
    order->clear();
    *identity = false;
    // A scan's rows come in serial order: then nothing per row is needed.
    std::vector<int> serials;
    bool sorted = true;
    int last = 0;
    for (int i = 0; i < found.size() && sorted; ++i) {
        const int s = found.at(i).iSerial;
        sorted = i == 0 || s >= last;
        last = s;
    }
    if (!sorted) {
        serials.resize(size_t(found.size()));
        for (int i = 0; i < found.size(); ++i)
            serials[size_t(i)] = found.at(i).iSerial;
    }
    if (!options.hasSerials) {
        if (sorted) {
            *identity = true;
            return true;
        }
        order->resize(serials.size());
        for (size_t i = 0; i < order->size(); ++i)
            (*order)[i] = int(i);
        std::stable_sort(order->begin(), order->end(),
                         [&](int x, int y) { return serials[size_t(x)] < serials[size_t(y)]; });
        return true;
    }
    QHash<int, int> bySerial;
    for (int i = 0; i < int(serials.size()); ++i)
        bySerial.insert(serials[size_t(i)], i);
    const auto find = [&](int s) {
        if (!sorted) {
            const auto it = bySerial.constFind(s);
            return it == bySerial.constEnd() ? -1 : it.value();
        }
        int lo = 0, hi = found.size();
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (found.at(mid).iSerial < s)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo < found.size() && found.at(lo).iSerial == s ? lo : -1;
    };
    QSet<int> taken;
    for (int s : options.serials) {
        const int at = find(s);
        if (at < 0) {
            *error = QStringLiteral("no fragment with serial %1 was found (%2 found)").arg(s).arg(found.size());
            return false;
        }
        if (!forMerge && taken.contains(s))
            continue;
        taken.insert(s);
        order->push_back(at);
    }
    return true;
}

bool selectRows(const QList<SPlayListTableItem>& found, const Options& options, bool forMerge,
                QList<SPlayListTableItem>* rows, QString* error)
{
    rows->clear();
    std::vector<int> order;
    bool identity = false;
    if (!selectOrder(ExportCore::ListRowSource(found), options, forMerge, &order, &identity, error))
        return false;
    if (identity) {
        *rows = found;
        return true;
    }
    rows->reserve(int(order.size()));
    for (int i : order)
        rows->append(found.at(i));
    return true;
}

namespace {

// Rows of found in a chosen order.
class OrderedRows : public ExportCore::RowSource {
public:
    OrderedRows(const ExportCore::RowSource& found, std::vector<int> order, bool identity)
        : m_found(found), m_order(std::move(order)), m_identity(identity)
    {
    }
    int size() const override { return m_identity ? m_found.size() : int(m_order.size()); }
    SPlayListTableItem at(int i) const override { return m_found.at(m_identity ? i : m_order[size_t(i)]); }

private:
    const ExportCore::RowSource& m_found;
    std::vector<int> m_order;
    bool m_identity;
};

// One job from start to summary line.
Outcome runJob(bool merge, const Options& options, const ExportCore::RowSource& rows, FILE* err)
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
    return run(options, ExportCore::ListRowSource(found), err);
}

Outcome run(const Options& options, const ExportCore::RowSource& found, FILE* err)
{
    // The windows' debug trace would only clutter the error stream.
    QLoggingCategory::setFilterRules(QStringLiteral("corvotkl.export.debug=false"));

    // Check every serial before writing anything.
    std::vector<int> exportOrder, mergeOrder;
    bool exportAsFound = false, mergeAsFound = false;
    QString error;
    if ((!options.exportDir.isEmpty() &&
         !selectOrder(found, options, false, &exportOrder, &exportAsFound, &error)) ||
        (!options.mergeFile.isEmpty() && !selectOrder(found, options, true, &mergeOrder, &mergeAsFound, &error))) {
        std::fprintf(err, "corvotkl-cli: --serials: %s; nothing written\n", qPrintable(error));
        return Outcome::BadSerial;
    }
    const OrderedRows exportRows(found, std::move(exportOrder), exportAsFound);
    const OrderedRows mergeRows(found, std::move(mergeOrder), mergeAsFound);

    Outcome outcome = Outcome::AllWritten;
    if (!options.exportDir.isEmpty()) {
        if (exportRows.size() == 0) {
            std::fprintf(err, "corvotkl-cli: no fragments to export to %s\n", qPrintable(options.exportDir));
        } else {
            outcome = runJob(false, options, exportRows, err);
            if (outcome == Outcome::Interrupted)
                return outcome;
        }
    }
    if (!options.mergeFile.isEmpty()) {
        if (mergeRows.size() == 0) {
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
