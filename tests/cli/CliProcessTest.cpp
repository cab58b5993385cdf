// corvotkl-cli as a user runs it: exit codes, JSON lines against the image
// generator's truth file, error lines, ranges and Ctrl+C.
#include <QFileInfo>
#include "tools/imagegen/ImageGen.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

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
        // Exactly one object per line, then the summary, nothing else on stdout.
        EXPECT_TRUE(r.out.endsWith("\"unreadable_bytes\":0,\"untried_bytes\":0,\"unreadable\":[],\"untried\":[]}}\n"));
        EXPECT_EQ(r.out.count('\n'), truth.size() + 1);
        Truth found;
        QString error;
        QByteArray disk;
        ASSERT_TRUE(parseJsonLines(r.out, &found, &error, &disk)) << error.toStdString();
        EXPECT_EQ(describeDifference(truth, found), QString()) << "seed " << seed;
        EXPECT_EQ(QString::fromUtf8(disk), img);
        // The truth file is byte for byte what the scan printed.
        QFile tf(img + ".truth");
        ASSERT_TRUE(tf.open(QIODevice::ReadOnly));
        EXPECT_EQ(tf.readAll(), r.out.left(r.out.lastIndexOf('\n', -2) + 1));
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
    EXPECT_EQ(r.out.count('\n'), truth.size() + 1);
    EXPECT_TRUE(r.err.contains("300000 bytes")) << r.err.constData();
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

TEST_F(CliProcess, InterruptStillMergesWhatWasFound)
{
    // Fragments first, then a long sparse stretch to interrupt in.
    Truth truth;
    const QString img = makeImage(3 * 1024 * 1024, 8, &truth);
    ASSERT_FALSE(truth.isEmpty());
    qint64 bytes = 0;
    for (const TruthFragment& t : truth)
        bytes += t.totalBytes;
    QFile f(img);
    ASSERT_TRUE(f.resize(qint64(256) << 30));
    const QString merged = dir.filePath("merged.TKL");
    QProcess p;
    p.start(kCli, {"scan", img, "--merge", merged});
    ASSERT_TRUE(p.waitForStarted());
    QThread::msleep(700);
    ASSERT_EQ(p.state(), QProcess::Running) << "the scan ended before it could be interrupted";
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 130);
    const QByteArray err = p.readAllStandardError();
    EXPECT_TRUE(err.contains("found so far")) << err.constData();
    EXPECT_EQ(QFileInfo(merged).size(), bytes) << err.constData();
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
    QThread::msleep(4000);
    // Ctrl+C through the terminal reaches the scan.
    p.write("\x03");
    ASSERT_TRUE(p.waitForFinished(30000));
    const QByteArray tty = p.readAllStandardOutput();
    EXPECT_GE(tty.count("MB/s"), 2) << tty.constData(); // a busy machine may delay a sample
    EXPECT_TRUE(tty.contains("elapsed 0:00:0")) << tty.constData();
    EXPECT_TRUE(tty.contains("% ")) << tty.constData();
    EXPECT_TRUE(tty.contains("left ")) << tty.constData();
    EXPECT_TRUE(tty.contains("stopped scanning")) << tty.constData();
}
