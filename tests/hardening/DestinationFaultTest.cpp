// Exports to destinations that fail: a full filesystem, a read-only folder,
// a folder that vanishes before or during the export, paths too long for the
// filesystem. The result is a failure, the message names the file, and
// nothing else in the destination is touched.

#include "export/ExportCore.h"
#include "support/FaultDevice.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;

QByteArray pattern(qint64 size)
{
    QByteArray b(int(size), Qt::Uninitialized);
    quint32 x = 12345;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1103515245 + 12345;
        b[int(i)] = char(x >> 24);
    }
    return b;
}

SPlayListTableItem row(const QByteArray& disk, qint64 start, qint64 end, int serial)
{
    SPlayListTableItem r;
    r.sFragmentFit.diskName = disk;
    r.sFragmentFit.totalBytes = end - start;
    r.sFragmentFit.frameCount = 1;
    r.sFragmentFit.firstTime = quint32(serial) << 6; // distinct file names
    r.sFragmentFit.extents = std::make_shared<const SExtentList>(SExtentList{{start, end}});
    r.iSerial = serial;
    return r;
}

int run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Every file and folder under dir with its size and modification time.
std::map<QString, QString> snapshot(const QString& dir)
{
    std::map<QString, QString> m;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        m[fi.filePath()] = QString::number(fi.size()) + "@" + QString::number(fi.lastModified().toMSecsSinceEpoch());
    }
    return m;
}

struct DestinationFaults : ::testing::Test {
    QTemporaryDir tmp;
    QByteArray source = pattern(3 * MiB + 5);
    QByteArray sourceName;
    QStringList diagnostics;
    ExportCore::ExportJob job;

    void SetUp() override
    {
        sourceName = QFile::encodeName(tmp.filePath("source.img"));
        QFile f(tmp.filePath("source.img"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(source), source.size());
        job.onDiagnostic = [this](const QString& m) { diagnostics.append(m); };
    }
    QString said() const { return diagnostics.join('\n'); }
    QString fileOf(const QString& dir, const SPlayListTableItem& r) const
    {
        return dir + "/" + ExportCore::singleFileName(r);
    }
};

} // namespace

TEST_F(DestinationFaults, ReadOnlyFolder)
{
    const QString dir = tmp.filePath("ro");
    ASSERT_TRUE(QDir().mkpath(dir));
    QFile keep(dir + "/keep.TKL");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("already saved");
    keep.close();
    // Root writes anywhere its mode bits deny; the immutable attribute stops it.
    bool immutable = false;
    if (::geteuid() == 0) {
        if (run("chattr", {"+i", dir}) != 0)
            GTEST_SKIP() << "running as root and chattr +i is not available: no read-only folder to test";
        immutable = true;
    } else {
        ASSERT_EQ(::chmod(QFile::encodeName(dir).constData(), 0555), 0);
    }
    struct Restore {
        QString dir;
        bool immutable;
        ~Restore()
        {
            if (immutable)
                run("chattr", {"-i", dir});
            ::chmod(QFile::encodeName(dir).constData(), 0755);
        }
    } restore{dir, immutable};
    const auto before = snapshot(dir);

    const SPlayListTableItem r = row(sourceName, 0, 200 * KiB, 1);
    EXPECT_EQ(job.exportAll({r}, QFile::encodeName(dir)), 0);
    EXPECT_TRUE(said().contains(fileOf(dir, r))) << said().toStdString();
    EXPECT_TRUE(said().contains(std::strerror(EACCES)) || said().contains(std::strerror(EPERM))) << said().toStdString();
    diagnostics.clear();
    EXPECT_EQ(job.videoMerge({r}, QFile::encodeName(dir + "/m.TKL")), 0);
    EXPECT_TRUE(said().contains(dir + "/m.TKL")) << said().toStdString();
    EXPECT_TRUE(snapshot(dir) == before);
}

TEST_F(DestinationFaults, FolderGoneBeforeTheExport)
{
    const QString dir = tmp.filePath("gone");
    ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(QDir(dir).removeRecursively());
    const auto before = snapshot(tmp.path());
    const SPlayListTableItem r = row(sourceName, 0, 100 * KiB, 1);
    EXPECT_EQ(job.exportAll({r}, QFile::encodeName(dir)), 0);
    EXPECT_TRUE(said().contains(fileOf(dir, r))) << said().toStdString();
    diagnostics.clear();
    EXPECT_EQ(job.videoMerge({r}, QFile::encodeName(dir + "/m.TKL")), 0);
    EXPECT_TRUE(said().contains(dir + "/m.TKL")) << said().toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir)); // not made anew
    EXPECT_TRUE(snapshot(tmp.path()) == before);
}

TEST_F(DestinationFaults, FolderRemovedWhileTheExportWritesIsAFailure)
{
    // The file being written is unlinked with its folder: the writes go on
    // succeeding into a file that no longer exists anywhere.
    auto plan = std::make_shared<FaultPlan>(source);
    ScopedFaultDevices devices(plan);
    for (int merge = 0; merge < 2; ++merge) {
        SCOPED_TRACE(merge ? "merge" : "single");
        const QString dir = tmp.filePath(merge ? "vanishing-m" : "vanishing-s");
        ASSERT_TRUE(QDir().mkpath(dir));
        const SPlayListTableItem r = row("fault/source", 0, 3 * MiB, 1);
        plan->gateReads();
        plan->allowReads(1);
        int result = -1;
        std::thread worker([&] {
            result = merge ? job.videoMerge({r}, QFile::encodeName(dir + "/m.TKL")) : job.exportAll({r}, QFile::encodeName(dir));
        });
        ASSERT_TRUE(plan->waitForGate());
        ASSERT_TRUE(QDir(dir).removeRecursively());
        plan->gateReads(false);
        worker.join();
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(said().contains(merge ? dir + "/m.TKL" : fileOf(dir, r))) << said().toStdString();
        diagnostics.clear();
    }
}

TEST_F(DestinationFaults, PathsTooLongForTheFilesystem)
{
    const SPlayListTableItem r = row(sourceName, 0, 50 * KiB, 1);
    const auto before = snapshot(tmp.path());
    // A file name longer than a name may be.
    const QString longName = tmp.filePath(QString(300, 'n') + ".TKL");
    EXPECT_EQ(job.videoMerge({r}, QFile::encodeName(longName)), 0);
    EXPECT_TRUE(said().contains(longName)) << said().toStdString();
    EXPECT_TRUE(said().contains(std::strerror(ENAMETOOLONG))) << said().toStdString();
    diagnostics.clear();

    // A real folder whose path is longer than a path may be.
    QByteArray deep = QFile::encodeName(tmp.path());
    int fd = ::open(deep.constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const QByteArray part(200, 'd');
    while (deep.size() < 4300) {
        ASSERT_EQ(::mkdirat(fd, part.constData(), 0755), 0);
        const int next = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        deep += "/" + part;
    }
    ::close(fd);
    struct RemoveDeep { // deeper than a path may name: QTemporaryDir cannot
        QString top;
        ~RemoveDeep() { run("rm", {"-rf", top}); }
    } removeDeep{tmp.filePath(QString::fromLatin1(part))};
    const auto withDeep = snapshot(tmp.path());
    EXPECT_EQ(job.exportAll({r}, deep), 0);
    EXPECT_TRUE(said().contains(ExportCore::singleFileName(r))) << said().toStdString();
    EXPECT_TRUE(said().contains(std::strerror(ENAMETOOLONG))) << said().toStdString();
    EXPECT_TRUE(snapshot(tmp.path()) == withDeep);
    EXPECT_GT(withDeep.size(), before.size());
}

TEST_F(DestinationFaults, TinyFilesystemFillsUpPartWay)
{
    // /dev/full fails the first write; a real filesystem fills up part way.
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: cannot mount a tiny filesystem";
    const QString dir = tmp.filePath("tiny");
    ASSERT_TRUE(QDir().mkpath(dir));
    if (run("mount", {"-t", "tmpfs", "-o", "size=400k", "corvo-tiny", dir}) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (no mount privilege)";
    struct Unmount {
        QString dir;
        ~Unmount() { run("umount", {dir}); }
    } unmount{dir};
    QFile keep(dir + "/keep.TKL");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("already saved");
    keep.close();

    const QList<SPlayListTableItem> rows = {row(sourceName, 0, 100 * KiB, 1), row(sourceName, 1000, 1000 + 50 * KiB, 2),
                                            row(sourceName, 5, 2 * MiB, 3)};
    // The free-space check refuses this export before it starts.
    EXPECT_EQ(job.exportAll(rows, QFile::encodeName(dir)), 0);
    EXPECT_TRUE(job.result().details().join('\n').contains("not enough space"));
    EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{"keep.TKL"});
    diagnostics.clear();
    // Someone else fills the disk after the check: the writes tell.
    job.spaceProbe = nullptr;
    EXPECT_EQ(job.exportAll(rows, QFile::encodeName(dir)), 0);
    EXPECT_EQ(job.failedRows(), 1);
    EXPECT_TRUE(said().contains(fileOf(dir, rows[2]))) << said().toStdString();
    EXPECT_TRUE(said().contains(std::strerror(ENOSPC))) << said().toStdString();
    // The one that did not fit never looks complete.
    EXPECT_FALSE(QFileInfo::exists(fileOf(dir, rows[2])));
    EXPECT_TRUE(QFileInfo::exists(fileOf(dir, rows[2]) + ".part"));
    EXPECT_EQ(job.result().partsLeft, QStringList{fileOf(dir, rows[2]) + ".part"});
    // The rows that fitted are whole; what was there is kept.
    QFile first(fileOf(dir, rows[0]));
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_TRUE(first.readAll() == source.mid(0, 100 * KiB));
    QFile second(fileOf(dir, rows[1]));
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_TRUE(second.readAll() == source.mid(1000, 50 * KiB));
    QFile k(dir + "/keep.TKL");
    ASSERT_TRUE(k.open(QIODevice::ReadOnly));
    EXPECT_EQ(k.readAll(), QByteArray("already saved"));
    diagnostics.clear();

    ASSERT_TRUE(QFile::remove(fileOf(dir, rows[2]) + ".part"));
    EXPECT_EQ(job.videoMerge(rows, QFile::encodeName(dir + "/m.TKL")), 0);
    EXPECT_TRUE(said().contains(dir + "/m.TKL")) << said().toStdString();
    EXPECT_TRUE(said().contains(std::strerror(ENOSPC))) << said().toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir + "/m.TKL"));
    EXPECT_TRUE(QFileInfo::exists(dir + "/m.TKL.part"));
}
