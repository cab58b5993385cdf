// km2 run for real against a fake mplayer placed first on PATH: what reaches
// mplayer (options, payload, our quit command) and what never leaks out.
#include "tools/tklframe/TklFrame.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <random>

namespace {
const QString kKm2 = QStringLiteral(CORVO_BINARY_DIR "/bin/km2");
const QByteArray kQuit("quit \n ", 7);

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& data, bool executable = false)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(data);
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

QByteArray payload(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(rng() % 251); // never 0x01 after two zeros matters little: no 0xB7 either
    return b;
}

QByteArray frameIt(const QByteArray& p, std::size_t chunk)
{
    const std::string s = tklframe::frame(reinterpret_cast<const std::uint8_t*>(p.constData()), p.size(), chunk);
    return QByteArray(s.data(), int(s.size()));
}

QStringList playerArgs(const QString& file)
{
    return {"-slave", "-quiet", "-zoom", "-vo", "", "-wid", "12345", "-noborder",
            "-autosync", "30", "-cache", "8296", file};
}

// A fake mplayer: records its arguments, what it reads from /dev/fd/3 and
// the first line of its stdin, and prints noise on stdout and stderr.
const char* kFakeMplayer = R"(#!/bin/sh
d=$(dirname "$0")
for a in "$@"; do printf '%s\n' "$a"; done > "$d/args"
echo "A:   0.0 V:   0.0 A-V:  0.000 ct:  0.000   1/  1 ??% ??% ??,?% 0 0"
echo "noise on stderr" >&2
cat /dev/fd/3 > "$d/stream"
IFS= read -r line
printf '%s' "$line" > "$d/stdin"
)";

// A fake mplayer that never reads its stream and waits for a command.
const char* kStuckMplayer = R"(#!/bin/sh
d=$(dirname "$0")
IFS= read -r line
printf '%s' "$line" > "$d/stdin"
)";

struct Km2Run {
    QProcess process;
    QString dir;
    void start(const QString& fakeDir, const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", fakeDir + ":" + env.value("PATH"));
        process.setProcessEnvironment(env);
        process.start(kKm2, args, QIODevice::ReadWrite);
        ASSERT_TRUE(process.waitForStarted(5000));
    }
};

std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> kids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (!ok)
            continue;
        const QByteArray stat = readAll("/proc/" + entry + "/stat");
        const int close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        // Only km2's own feeder: the fake mplayer shell forks helpers too.
        if (fields.size() > 1 && fields[1].toInt() == parent &&
            QFileInfo("/proc/" + entry + "/exe").symLinkTarget() == QFileInfo(kKm2).canonicalFilePath())
            kids.push_back(pid);
    }
    return kids;
}

bool aliveNotZombie(pid_t pid)
{
    const QByteArray stat = readAll(QString("/proc/%1/stat").arg(pid));
    if (stat.isEmpty())
        return false;
    const int close = stat.lastIndexOf(')');
    return stat.mid(close + 2, 1) != "Z";
}
} // namespace

TEST(Km2, StripsHeadersAndHandsMplayerItsOptionsAndOurStdin)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString fake = tmp.path() + "/fake";
    QDir().mkpath(fake);
    writeFile(fake + "/mplayer", kFakeMplayer, true);

    const QString appDir = tmp.path() + "/app dir/thumb";
    QDir().mkpath(appDir);
    const QByteArray video = payload(300000, 11);
    // Junk before, a truncated frame at the end: only the payload gets through.
    QByteArray framed = QByteArray(100, '\x07') + frameIt(video, 4000) + frameIt(payload(3000, 12), 4000).left(1500);
    writeFile(appDir + "/Tessaro", framed);

    Km2Run run;
    run.start(fake, playerArgs(appDir + "/Tessaro"));
    ASSERT_EQ(run.process.write(kQuit), 7);
    ASSERT_TRUE(run.process.waitForFinished(10000));
    EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(run.process.exitCode(), 0);

    const QStringList args = QString::fromUtf8(readAll(fake + "/args")).split('\n', Qt::SkipEmptyParts);
    const QStringList expected{"-slave", "-quiet", "-zoom", "-wid", "12345", "-noborder", "-autosync", "30",
                               "-cache", "8296", "-demuxer", "lavf", "-noautosub", "-nomouseinput", "/dev/fd/3"};
    EXPECT_EQ(args, expected); // the empty -vo pair is gone: mplayer refuses it
    const QByteArray stream = readAll(fake + "/stream");
    EXPECT_EQ(stream.size(), video.size());
    EXPECT_TRUE(stream == video);
    EXPECT_EQ(readAll(fake + "/stdin"), QByteArray("quit "));
    // mplayer's chatter goes nowhere: the application never reads it.
    EXPECT_TRUE(run.process.readAllStandardOutput().isEmpty());
    EXPECT_TRUE(run.process.readAllStandardError().isEmpty());
}

TEST(Km2, KeepsANamedVideoOutputAndAGivenDemuxer)
{
    QTemporaryDir tmp;
    const QString fake = tmp.path() + "/fake";
    QDir().mkpath(fake);
    writeFile(fake + "/mplayer", kFakeMplayer, true);
    writeFile(tmp.path() + "/v", frameIt(payload(100, 3), 50));

    Km2Run run;
    run.start(fake, {"-vo", "x11", "-demuxer", "h264es", "-slave", tmp.path() + "/v"});
    run.process.write(kQuit);
    ASSERT_TRUE(run.process.waitForFinished(10000));
    const QStringList args = QString::fromUtf8(readAll(fake + "/args")).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(args, (QStringList{"-vo", "x11", "-demuxer", "h264es", "-slave", "-noautosub", "-nomouseinput",
                                 "/dev/fd/3"}));
}

TEST(Km2, QuitWhileStreamingAndKillLeaveNothingBehind)
{
    QTemporaryDir tmp;
    const QString fake = tmp.path() + "/fake";
    QDir().mkpath(fake);
    writeFile(fake + "/mplayer", kStuckMplayer, true);
    // Far more than a pipe holds: the feeder blocks on the unread pipe.
    writeFile(tmp.path() + "/big", frameIt(payload(8 << 20, 5), 60000));

    {
        Km2Run run;
        run.start(fake, playerArgs(tmp.path() + "/big"));
        run.process.write(kQuit);
        ASSERT_TRUE(run.process.waitForFinished(10000)) << "mplayer did not get the quit command";
        EXPECT_EQ(readAll(fake + "/stdin"), QByteArray("quit "));
    }
    // The application kills a player that does not quit: the feeder must go too.
    Km2Run run;
    run.start(fake, playerArgs(tmp.path() + "/big"));
    std::vector<pid_t> feeders;
    for (int i = 0; i < 100 && feeders.empty(); ++i) {
        QThread::msleep(20);
        feeders = childrenOf(pid_t(run.process.processId()));
    }
    ASSERT_EQ(feeders.size(), 1u);
    run.process.kill();
    ASSERT_TRUE(run.process.waitForFinished(5000));
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = !aliveNotZombie(feeders[0]);
        if (!gone)
            QThread::msleep(20);
    }
    EXPECT_TRUE(gone) << "feeder " << feeders[0] << " outlived the player";
}

TEST(Km2, MissingMplayerOrFileIsOneClearLine)
{
    QTemporaryDir tmp;
    const QString empty = tmp.path() + "/empty";
    QDir().mkpath(empty);
    writeFile(tmp.path() + "/v", frameIt(payload(100, 3), 50));

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", empty);
    p.setProcessEnvironment(env);
    p.start(kKm2, playerArgs(tmp.path() + "/v"));
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_NE(p.exitCode(), 0);
    QByteArray err = p.readAllStandardError();
    EXPECT_EQ(err.count('\n'), 1) << err.constData();
    EXPECT_TRUE(err.contains("mplayer")) << err.constData();

    p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    p.start(kKm2, playerArgs(tmp.path() + "/missing file"));
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_NE(p.exitCode(), 0);
    err = p.readAllStandardError();
    EXPECT_EQ(err.count('\n'), 1) << err.constData();
    EXPECT_TRUE(err.contains("missing file")) << err.constData();
}
