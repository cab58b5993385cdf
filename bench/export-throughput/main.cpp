// Export throughput beside cp, in one run on a page-cached image: MB/s of cp of
// the same number of bytes, of the single export and of the merge, and their
// ratios to cp; and the processor time (user + system) each took over cp's,
// the steadier figure on a shared machine. Best of --rounds (3) each.
//
// usage: bench_export_throughput [--size MiB] [--dir DIR] [--rounds N]
//        bench_export_throughput --floor IMAGE LIST DIR
//   the least a file per fragment costs one thread here: each fragment of LIST (the
//   --json lines of a scan of IMAGE) copied into a file of its own in DIR
//   with copy_file_range and nothing else, then again written as NAME.part
//   and renamed; best of 3 seconds each, on one line.
#include "export/ExportCore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

bool writePattern(const QString& path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator rng(42);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 done = 0; done < size;) {
        rng.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        const qint64 n = qMin<qint64>(block.size(), size - done);
        if (f.write(block.constData(), n) != n)
            return false;
        done += n;
    }
    return f.flush();
}

// Fragments of 4-40 MiB made of extents of 64 KiB-3 MiB, starting off every grid,
// with gaps between them, as a fragmented recording leaves them.
QList<SPlayListTableItem> makeRows(const QByteArray& disk, qint64 imageSize)
{
    QRandomGenerator rng(7);
    QList<SPlayListTableItem> rows;
    qint64 pos = 4096 + 77;
    int serial = 1;
    while (pos < imageSize - (8 << 20)) {
        SExtentList extents;
        qint64 total = 0;
        const qint64 fragBytes = rng.bounded(4, 40) * (1 << 20);
        while (total < fragBytes && pos < imageSize - (4 << 20)) {
            const qint64 len = 65536 + rng.bounded(3 << 20);
            extents.append({pos, pos + len});
            total += len;
            pos += len + rng.bounded(4096);
        }
        SPlayListTableItem row;
        row.sFragmentFit.diskName = disk;
        row.sFragmentFit.totalBytes = total;
        row.sFragmentFit.extents = std::make_shared<const SExtentList>(extents);
        row.iSerial = serial++;
        rows.append(row);
    }
    return rows;
}

// Each contender starts with no dirty pages of the one before to write back.
void settle() { QProcess::execute("sync", {}); }

double mbps(qint64 bytes, qint64 ns) { return bytes / (ns / 1e9) / 1e6; }

// Processor time of this process, or of its waited-for children.
qint64 cpuNs(int who)
{
    struct rusage u {};
    ::getrusage(who, &u);
    return (qint64(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000000 +
           (qint64(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) * 1000;
}

void keepBest(qint64* best, qint64 v) { *best = *best < 0 ? v : qMin(*best, v); }

} // namespace

// Seconds to copy every extent list into a file of its own under dir.
double floorRun(int source, const std::vector<std::vector<SExtent>>& fragments, const QByteArray& dir, bool part)
{
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    QElapsedTimer t;
    t.start();
    char name[64], partName[80];
    bool ok = true;
    for (size_t i = 0; ok && i < fragments.size(); ++i) {
        std::snprintf(name, sizeof name, "%08zu.TKL", i);
        std::snprintf(partName, sizeof partName, "%s.part", name);
        const int fd = ::openat(dirFd, part ? partName : name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        ok = fd >= 0;
        if (!ok)
            break;
        for (const SExtent& e : fragments[i]) {
            loff_t at = e.start;
            for (qint64 left = e.end - e.start; ok && left > 0;) {
                const ssize_t n = ::copy_file_range(source, &at, fd, nullptr, size_t(left), 0);
                ok = n > 0;
                left -= n;
            }
        }
        ok = ::close(fd) == 0 && ok;
        ok = ok && (!part || ::renameat(dirFd, partName, dirFd, name) == 0);
    }
    const double s = t.nsecsElapsed() / 1e9;
    ::close(dirFd);
    return ok ? s : -1;
}

int floorMain(const QStringList& args)
{
    const int source = ::open(QFile::encodeName(args[2]).constData(), O_RDONLY | O_CLOEXEC);
    QFile list(args[3]);
    if (source < 0 || !list.open(QIODevice::ReadOnly))
        return 1;
    std::vector<std::vector<SExtent>> fragments;
    while (!list.atEnd()) {
        const QJsonArray extents = QJsonDocument::fromJson(list.readLine()).object().value("extents").toArray();
        if (extents.isEmpty())
            continue;
        fragments.emplace_back();
        for (const QJsonValue& e : extents)
            fragments.back().push_back(SExtent{qint64(e.toArray()[0].toDouble()), qint64(e.toArray()[1].toDouble())});
    }
    double best[2] = {-1, -1};
    for (int round = 0; round < 3; ++round) {
        for (int part = 0; part < 2; ++part) {
            QDir(args[4]).removeRecursively();
            QDir().mkpath(args[4]);
            const double s = floorRun(source, fragments, QFile::encodeName(args[4]), part);
            if (s < 0)
                return 1;
            best[part] = best[part] < 0 ? s : qMin(best[part], s);
        }
    }
    QDir(args[4]).removeRecursively();
    std::printf("%.6f %.6f\n", best[0], best[1]);
    return 0;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() == 5 && app.arguments()[1] == "--floor")
        return floorMain(app.arguments());
    qint64 sizeMiB = 512;
    int rounds = 3;
    QString dir = QDir::tempPath();
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--size")
            sizeMiB = args[i + 1].toLongLong();
        else if (args[i] == "--dir")
            dir = args[i + 1];
        else if (args[i] == "--rounds")
            rounds = qMax(1, args[i + 1].toInt());
    }
    QTemporaryDir tmp(dir + "/corvo-bench-XXXXXX");
    const QString image = tmp.filePath("disk.img");
    const qint64 imageSize = sizeMiB << 20;
    if (!tmp.isValid() || !writePattern(image, imageSize)) {
        std::fprintf(stderr, "cannot write the image under %s\n", qPrintable(dir));
        return 1;
    }
    const QList<SPlayListTableItem> rows = makeRows(QFile::encodeName(image), imageSize);
    qint64 total = 0;
    for (const auto& r : rows)
        total += r.sFragmentFit.totalBytes;
    // cp copies a page-cached file of exactly the bytes the exports write.
    const QString cpSrc = tmp.filePath("cp-src.bin");
    if (!writePattern(cpSrc, total))
        return 1;

    qint64 bestCp = -1, bestSingle = -1, bestMerge = -1;
    qint64 cpuCp = -1, cpuSingle = -1, cpuMerge = -1;
    QElapsedTimer t;
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(tmp.filePath("cp-dst.bin"));
        settle();
        qint64 c0 = cpuNs(RUSAGE_CHILDREN);
        t.start();
        if (QProcess::execute("cp", {cpSrc, tmp.filePath("cp-dst.bin")}) != 0)
            return 1;
        qint64 ns = t.nsecsElapsed();
        keepBest(&cpuCp, cpuNs(RUSAGE_CHILDREN) - c0);
        bestCp = bestCp < 0 ? ns : qMin(bestCp, ns);
        QFile::remove(tmp.filePath("cp-dst.bin"));

        QDir(tmp.path()).mkpath("single");
        ExportCore::ExportJob single;
        settle();
        c0 = cpuNs(RUSAGE_SELF);
        t.start();
        if (single.exportAll(rows, QFile::encodeName(tmp.filePath("single"))) != 1 || single.bytesWritten() != total)
            return 1;
        ns = t.nsecsElapsed();
        keepBest(&cpuSingle, cpuNs(RUSAGE_SELF) - c0);
        if (qEnvironmentVariableIsSet("BENCH_TRACE"))
            std::fprintf(stderr, "single round %d: %.3f s\n", round, ns / 1e9);
        bestSingle = bestSingle < 0 ? ns : qMin(bestSingle, ns);
        QDir(tmp.filePath("single")).removeRecursively();

        ExportCore::ExportJob merge;
        settle();
        c0 = cpuNs(RUSAGE_SELF);
        t.start();
        if (merge.videoMerge(rows, QFile::encodeName(tmp.filePath("merged.TKL"))) != 1 || merge.bytesWritten() != total)
            return 1;
        ns = t.nsecsElapsed();
        keepBest(&cpuMerge, cpuNs(RUSAGE_SELF) - c0);
        bestMerge = bestMerge < 0 ? ns : qMin(bestMerge, ns);
        QFile::remove(tmp.filePath("merged.TKL"));
    }
    const double cp = mbps(total, bestCp), s = mbps(total, bestSingle), m = mbps(total, bestMerge);
    std::printf("image %lld MiB, %d fragments, %lld bytes exported each way (best of %d)\n",
                static_cast<long long>(sizeMiB), int(rows.size()), static_cast<long long>(total), rounds);
    const double cpuCpS = cpuCp / 1e9;
    std::printf("cp            %8.1f MB/s                 cpu %.3f s\n", cp, cpuCpS);
    std::printf("single export %8.1f MB/s  time / cp %.2f  cpu %.3f s, / cp %.2f\n", s, cp / s, cpuSingle / 1e9,
                cpuSingle / 1e9 / cpuCpS);
    std::printf("merge         %8.1f MB/s  time / cp %.2f  cpu %.3f s, / cp %.2f\n", m, cp / m, cpuMerge / 1e9,
                cpuMerge / 1e9 / cpuCpS);
    return 0;
}
