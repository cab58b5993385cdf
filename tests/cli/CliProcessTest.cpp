// corvotkl-cli as a user runs it: exit codes, JSON lines against the image
// generator's truth file, error lines, ranges and Ctrl+C.
#include "tools/imagegen/ImageGen.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <unistd.h>

using namespace imagegen;

namespace {

const QString kCli = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl-cli");
const QString kGen = QStringLiteral(CORVO_BINARY_DIR "/bin/tkl-imagegen");

struct Result {
    int exitCode = -1;
    QByteArray out, err;
};

Result run(const QString& program, const QStringList& args, const QString& cwd = QString())
{
    QProcess p;
    if (!cwd.isEmpty())
        p.setWorkingDirectory(cwd);
    p.start(program, args);
    Result r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.err = "timed out";
        return r;
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    return r;
}

class CliProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString makeImage(qint64 size, quint64 seed, Truth* truth)
    {
        const QString img = dir.filePath(QStringLiteral("img-%1-%2.img").arg(size).arg(seed));
        const QString tr = img + ".truth";
        const Result g = run(kGen, {"--size", QString::number(size), "--seed", QString::number(seed), "--out", img,
                                    "--truth", tr});
        EXPECT_EQ(g.exitCode, 0) << g.err.constData();
        QString error;
        EXPECT_TRUE(readTruthFile(tr, truth, &error)) << error.toStdString();
        return img;
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(CliProcess, JsonLinesMatchTheTruthFile)
{
    for (quint64 seed : {11ull, 12ull, 13ull}) {
        Truth truth;
        const qint64 size = 9 * 1024 * 1024 + qint64(seed) * 1001;
        const QString img = makeImage(size, seed, &truth);
        const Result r = run(kCli, {"scan", img, "--json"});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        // Exactly one object per line, nothing else on stdout.
        EXPECT_TRUE(r.out.endsWith("}\n"));
        EXPECT_EQ(r.out.count('\n'), truth.size());
        Truth found;
        QString error;
        QByteArray disk;
        ASSERT_TRUE(parseJsonLines(r.out, &found, &error, &disk)) << error.toStdString();
        EXPECT_EQ(describeDifference(truth, found), QString()) << "seed " << seed;
        EXPECT_EQ(QString::fromUtf8(disk), img);
        // The truth file is byte for byte what the scan printed, but for the
        // durations the scan measured (none in noise).
        QFile tf(img + ".truth");
        ASSERT_TRUE(tf.open(QIODevice::ReadOnly));
        EXPECT_EQ(r.out.count(",\"duration_s\":null}\n"), truth.size());
        EXPECT_EQ(tf.readAll(), QByteArray(r.out).replace(",\"duration_s\":null}", "}"));
        // Summary on stderr: fragments, bytes, seconds, MB/s.
        qint64 bytes = 0;
        for (const TruthFragment& f : truth)
            bytes += f.totalBytes;
        EXPECT_TRUE(r.err.contains(": " + QByteArray::number(truth.size()) + " fragments, " + QByteArray::number(bytes)))
            << r.err.constData();
        EXPECT_TRUE(r.err.contains(" s, ") && r.err.contains("MB/s")) << r.err.constData();
    }
}

TEST_F(CliProcess, RangeAndRelativeImageName)
{
    Truth truth;
    const QString img = makeImage(5 * 1024 * 1024, 21, &truth);
    ASSERT_GT(truth.size(), 4);
    QFile f(img);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    // From the second fragment's first header up to 8 bytes past the fourth.
    const qint64 start = truth[1].extents[0].start;
    qint64 end = truth[3].extents[0].end + 8;
    const Truth expected = referenceScan(bytes, start, end);
    ASSERT_GE(expected.size(), 2);
    const QString name = img.mid(dir.path().size() + 1); // no '/': a file in the working directory
    const Result r = run(kCli, {"scan", "--start", QString::number(start), "--end=" + QString::number(end), name, "--json"},
                         dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    Truth found;
    QString error;
    QByteArray disk;
    ASSERT_TRUE(parseJsonLines(r.out, &found, &error, &disk)) << error.toStdString();
    EXPECT_EQ(describeDifference(expected, found), QString());
    EXPECT_EQ(QString::fromUtf8(disk), img); // carried as the absolute path export reopens
}

TEST_F(CliProcess, ExitCodesAndMessages)
{
    Truth truth;
    const QString img = makeImage(300000, 1, &truth);

    // Bad arguments: usage on stderr, exit 2, nothing on stdout.
    const QList<QStringList> bad = {{},
                                    {"scan"},
                                    {"scan", img, "--start", "-1"},
                                    {"scan", img, "--end", "abc"},
                                    {"scan", img, "--start", "10", "--end", "5"},
                                    {"scan", img, "--bogus"},
                                    {"sacn", img}};
    for (const QStringList& args : bad) {
        const Result r = run(kCli, args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("usage: corvotkl-cli scan SOURCE")) << r.err.constData();
        EXPECT_TRUE(r.out.isEmpty());
    }
    Result r = run(kCli, {"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("usage:"));

    // Missing source: one line naming it and the system's reason.
    const QString missing = dir.filePath("nope.img");
    r = run(kCli, {"scan", missing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
    EXPECT_TRUE(r.err.contains(missing.toUtf8()));
    EXPECT_TRUE(r.err.contains(std::strerror(ENOENT)));
    r = run(kCli, {"scan", "corvo-no-such-disk"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("/dev/corvo-no-such-disk")) << r.err.constData();
    // A directory is not a source.
    r = run(kCli, {"scan", dir.path()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(std::strerror(EISDIR))) << r.err.constData();
    // Unreadable to us (skipped when running as root, which reads anything).
    QFile locked(img);
    if (locked.setPermissions(QFileDevice::WriteOwner) && !QFile(img).open(QIODevice::ReadOnly)) {
        r = run(kCli, {"scan", img});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(std::strerror(EACCES))) << r.err.constData();
    }
    locked.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // A start past the end of the source is a bad argument.
    r = run(kCli, {"scan", img, "--start", "300001"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("beyond the end")) << r.err.constData();
    // An end past it is scanned up to the end, with a note.
    r = run(kCli, {"scan", img, "--end", "999999999", "--json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.count('\n'), truth.size());
    EXPECT_TRUE(r.err.contains("300000 bytes")) << r.err.constData();
}

// A destination on the source is refused before the scan: the image itself,
// the file behind a read-only loop device, and a file system mounted from the
// scanned loop device, for an export, a merge or a session. The source keeps
// every byte.
TEST_F(CliProcess, ADestinationOnTheSourceIsRefusedBeforeTheScan)
{
    Truth truth;
    const QString img = makeImage(1 << 20, 7, &truth);
    QFile f(img);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();
    auto expectRefused = [&](const QStringList& args, const QString& named) {
        const Result r = run(kCli, args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString() << "\n" << r.err.constData();
        EXPECT_TRUE(r.err.contains(named.toUtf8()) && r.err.contains("a source being recovered")) << r.err.constData();
        EXPECT_FALSE(r.err.contains("scanned")) << "the scan ran: " << r.err.constData();
        QFile again(img);
        EXPECT_TRUE(again.open(QIODevice::ReadOnly) && again.readAll() == before) << "the source changed";
    };
    expectRefused({"scan", img, "--merge", img}, img);

    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: loop devices need root";
    // Detached and unmounted whatever the test's outcome.
    struct Cleanup {
        QStringList loops, mounts;
        ~Cleanup()
        {
            for (const QString& m : mounts)
                run("umount", {m});
            for (const QString& l : loops)
                run("losetup", {"-d", l});
        }
    } cleanup;
    auto attach = [&](const QStringList& args) {
        const Result r = run("losetup", args + QStringList{"-f", "--show"});
        const QString dev = QString::fromLatin1(r.out.trimmed());
        if (r.exitCode == 0 && dev.startsWith("/dev/loop"))
            cleanup.loops << dev;
        return r.exitCode == 0 ? dev : QString();
    };
    const QString loop = attach({"-r", img});
    if (loop.isEmpty())
        GTEST_SKIP() << "no read-only loop device (losetup -r failed)";
    expectRefused({"scan", loop, "--merge", img}, img);

    const QString fsImage = dir.filePath("fs.img");
    const QString mnt = dir.filePath("mnt");
    ASSERT_TRUE(QDir().mkpath(mnt));
    {
        QFile fsFile(fsImage);
        ASSERT_TRUE(fsFile.open(QIODevice::WriteOnly) && fsFile.resize(32 << 20));
    }
    if (run("mkfs.ext4", {"-q", "-F", fsImage}).exitCode != 0)
        GTEST_SKIP() << "no mkfs.ext4";
    const QString fsLoop = attach({fsImage});
    ASSERT_FALSE(fsLoop.isEmpty());
    if (run("mount", {fsLoop, mnt}).exitCode != 0)
        GTEST_SKIP() << "cannot mount a loop device here";
    cleanup.mounts << mnt;
    expectRefused({"scan", fsLoop, "--export", mnt}, mnt);
    expectRefused({"scan", fsLoop, "--session", mnt + "/scan.session"}, mnt + "/scan.session");
    expectRefused({"scan", fsImage, "--merge", mnt + "/merged.TKL"}, mnt + "/merged.TKL");
}

// A real block device with one bad 512-byte sector (corvotkl-faultfs under
// losetup -r): every fragment clear of the sector's page is still found whole.
// Disabled until the scan reads around a failed read instead of dropping its
// whole chunk (today 2 MiB around the sector are lost); enable it then.
TEST_F(CliProcess, DISABLED_OneBadSectorOnALoopDeviceCostsOnlyItsPage)
{
    const QString faultfs = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl-faultfs");
    if (::geteuid() != 0 || !QFile::exists("/dev/fuse") || !QFile::exists(faultfs))
        GTEST_SKIP() << "needs root, /dev/fuse and corvotkl-faultfs (scripts/deps --faultfs)";
    Truth truth;
    const QString img = makeImage(8 << 20, 21, &truth);
    const qint64 bad = (3 << 20) + 7 * 512;
    const qint64 pageStart = bad & ~qint64(4095), pageEnd = pageStart + 4096;

    const QString mnt = dir.filePath("fuse");
    ASSERT_TRUE(QDir().mkpath(mnt));
    QProcess fs;
    struct Cleanup {
        QProcess& fs;
        QString mnt, loop;
        ~Cleanup()
        {
            if (!loop.isEmpty())
                run("losetup", {"-d", loop});
            run("fusermount3", {"-u", mnt});
            if (!fs.waitForFinished(10000)) {
                fs.kill();
                fs.waitForFinished();
            }
        }
    } cleanup{fs, mnt, QString()};
    fs.start(faultfs, {img, mnt, "--bad", QStringLiteral("%1:512").arg(bad)});
    ASSERT_TRUE(fs.waitForStarted());
    for (int i = 0; i < 200 && !QFile::exists(mnt + "/image") && fs.state() == QProcess::Running; ++i)
        QThread::msleep(25);
    ASSERT_TRUE(QFile::exists(mnt + "/image")) << fs.readAllStandardError().constData();
    const Result attached = run("losetup", {"-r", "-f", "--show", mnt + "/image"});
    ASSERT_EQ(attached.exitCode, 0) << attached.err.constData();
    cleanup.loop = QString::fromLatin1(attached.out.trimmed());

    const Result r = run(kCli, {"scan", cleanup.loop, "--json"});
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.err.constData();
    Truth found;
    QString error;
    ASSERT_TRUE(parseJsonLines(r.out, &found, &error)) << error.toStdString();
    int clear = 0;
    for (const TruthFragment& t : truth) {
        bool touches = false;
        for (const SExtent& e : t.extents)
            touches = touches || (e.start < pageEnd && pageStart < e.end);
        if (touches)
            continue;
        ++clear;
        const bool kept = std::any_of(found.begin(), found.end(), [&](const TruthFragment& f) {
            return f.totalBytes == t.totalBytes && f.frameCount == t.frameCount && f.extents.size() == t.extents.size()
                && std::equal(f.extents.begin(), f.extents.end(), t.extents.begin(),
                              [](const SExtent& a, const SExtent& b) { return a.start == b.start && a.end == b.end; });
        });
        EXPECT_TRUE(kept) << "lost fragment " << t.serial << " at " << t.extents.first().start;
    }
    EXPECT_GT(clear, 0);
}

TEST_F(CliProcess, AFullOutputIsAnErrorNotASuccess)
{
    if (!QFile::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    Truth truth;
    const QString img = makeImage(3 * 1024 * 1024, 4, &truth);
    ASSERT_FALSE(truth.isEmpty());
    for (const QStringList& extra : {QStringList{"--json"}, QStringList{}}) {
        QProcess p;
        p.setStandardOutputFile("/dev/full");
        p.start(kCli, QStringList{"scan", img} + extra);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        EXPECT_TRUE(err.contains("cannot write the fragment list")) << err.constData();
        EXPECT_TRUE(err.contains(std::strerror(ENOSPC))) << err.constData();
    }
}

TEST_F(CliProcess, InterruptStopsTheScanAndExits130)
{
    // A large sparse image reads as zeros for long enough to interrupt.
    const QString img = dir.filePath("sparse.img");
    QFile f(img);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(qint64(256) << 30));
    f.close();
    QProcess p;
    p.start(kCli, {"scan", img, "--json"});
    ASSERT_TRUE(p.waitForStarted());
    QThread::msleep(700);
    ASSERT_EQ(p.state(), QProcess::Running) << "the scan ended before it could be interrupted";
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000)) << "the scan did not stop";
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    const QByteArray err = p.readAllStandardError();
    EXPECT_TRUE(err.contains("interrupted")) << err.constData();
    EXPECT_TRUE(err.contains("stopped scanning")) << err.constData();
    EXPECT_FALSE(err.contains('\r')) << "progress drawn although stderr is not a terminal";
}

TEST_F(CliProcess, ProgressOnATerminalOnceASecond)
{
    // script(1) gives the scan a terminal.
    const QString script = QStandardPaths::findExecutable("script");
    if (script.isEmpty())
        GTEST_SKIP() << "no script(1) to make a terminal";
    const QString img = dir.filePath("sparse.img");
    QFile f(img);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(qint64(256) << 30));
    f.close();
    QProcess p;
    p.start(script, {"-qfec", kCli + " scan '" + img + "' --json", "/dev/null"});
    ASSERT_TRUE(p.waitForStarted());
    // Two lines drawn (a second apart) before the Ctrl+C, however busy the machine.
    QByteArray tty;
    QDeadlineTimer deadline(120000);
    while (tty.count("MB/s") < 2 && p.state() == QProcess::Running && !deadline.hasExpired())
        if (p.waitForReadyRead(1000))
            tty += p.readAllStandardOutput();
    ASSERT_EQ(p.state(), QProcess::Running) << tty.constData();
    // Ctrl+C through the terminal reaches the scan.
    p.write("\x03");
    ASSERT_TRUE(p.waitForFinished(30000));
    tty += p.readAllStandardOutput();
    EXPECT_GE(tty.count("MB/s"), 2) << tty.constData();
    EXPECT_TRUE(tty.contains("elapsed 00:0")) << tty.constData();
    EXPECT_TRUE(tty.contains("% ")) << tty.constData();
    EXPECT_TRUE(tty.contains("left ")) << tty.constData();
    EXPECT_TRUE(tty.contains("stopped scanning")) << tty.constData();
}
