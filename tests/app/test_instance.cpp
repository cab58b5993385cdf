// Single instance: the real program is started twice and killed, each run in
// a runtime directory of its own so a CorvoTKL the developer runs never interferes.

#include "app/AppSetup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl");

// Whether process pid holds a flock on the file: read from /proc/locks, which
// neither takes nor disturbs the lock (a probing flock could race the program).
bool holdsFlock(qint64 pid, const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    QFile locks("/proc/locks");
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QString inode = QString::number(qulonglong(st.st_ino));
    for (const QByteArray& raw : locks.readAll().split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        const QStringList f = QString::fromLatin1(raw).simplified().split(' ');
        if (f.size() >= 6 && f[1] == "FLOCK" && f[4] == QString::number(pid) && f[5].endsWith(":" + inode))
            return true;
    }
    return false;
}

bool waitUntil(const std::function<bool()>& ready, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!ready()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime.isValid());
        ASSERT_TRUE(QFileInfo(kProgram).isExecutable()) << qPrintable(kProgram);
        env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("WAYLAND_DISPLAY");
        lockPath = QDir(runtime.path()).filePath("CorvoTKL.lock");
    }
    void start(QProcess& p)
    {
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(kProgram, QStringList());
        ASSERT_TRUE(p.waitForStarted(10000));
    }
    void stop(QProcess& p)
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(10000);
        }
    }
    QTemporaryDir runtime;
    QProcessEnvironment env;
    QString lockPath;
};

} // namespace

TEST_F(InstanceTest, SecondStartEndsAtOnceWithZeroWhileTheFirstRuns)
{
    QProcess first;
    start(first);
    ASSERT_TRUE(waitUntil([&] { return holdsFlock(first.processId(), lockPath); }, 20000))
        << "the first instance never took " << qPrintable(lockPath);

    QProcess second;
    start(second);
    // A second instance that opened its window would never end by itself.
    ASSERT_TRUE(second.waitForFinished(20000)) << "the second instance did not end";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_TRUE(holdsFlock(first.processId(), lockPath));
    stop(first);
}

TEST_F(InstanceTest, StartAfterAKilledInstanceRuns)
{
    QProcess first;
    start(first);
    ASSERT_TRUE(waitUntil([&] { return holdsFlock(first.processId(), lockPath); }, 20000));
    first.kill(); // SIGKILL: no destructor, no clean-up
    ASSERT_TRUE(first.waitForFinished(10000));
    ASSERT_TRUE(QFileInfo::exists(lockPath)) << "the killed instance should leave its lock file behind";

    QProcess next;
    start(next);
    ASSERT_TRUE(waitUntil([&] { return holdsFlock(next.processId(), lockPath); }, 20000))
        << "the start after a killed instance did not take the lock";
    QThread::msleep(300);
    EXPECT_EQ(next.state(), QProcess::Running);
    stop(next);
}

TEST(InstanceLock, ExclusiveUntilReleased)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("CorvoTKL.lock");
    {
        CorvoInstanceLock a(path);
        EXPECT_EQ(a.state(), CorvoInstanceLock::Acquired);
        CorvoInstanceLock b(path);
        EXPECT_EQ(b.state(), CorvoInstanceLock::HeldElsewhere);
    }
    CorvoInstanceLock c(path);
    EXPECT_EQ(c.state(), CorvoInstanceLock::Acquired);
}

TEST(InstanceLock, ChildProcessesDoNotInheritIt)
{
    // The player runs as a child; if it inherited the lock it would keep it
    // after we die and block every later start.
    QTemporaryDir dir;
    const QString path = dir.filePath("CorvoTKL.lock");
    QProcess child;
    {
        CorvoInstanceLock a(path);
        ASSERT_EQ(a.state(), CorvoInstanceLock::Acquired);
        child.start("sleep", {"30"});
        ASSERT_TRUE(child.waitForStarted(10000));
    }
    CorvoInstanceLock again(path);
    EXPECT_EQ(again.state(), CorvoInstanceLock::Acquired);
    child.kill();
    child.waitForFinished(10000);
}

TEST(InstanceLock, PathIsPerUserWithOrWithoutARuntimeDirectory)
{
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    EXPECT_EQ(CorvoInstanceLock::defaultPath(), dir.filePath("CorvoTKL.lock"));
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(CorvoInstanceLock::defaultPath(), QString("/tmp/CorvoTKL-%1.lock").arg(::getuid()));
    if (!saved.isNull())
        qputenv("XDG_RUNTIME_DIR", saved);
}

TEST(InstanceLock, UnopenablePathIsReportedNotHeld)
{
    // main() still starts in this case; only HeldElsewhere ends it.
    CorvoInstanceLock lock("/nonexistent-dir-for-corvo/CorvoTKL.lock");
    EXPECT_EQ(lock.state(), CorvoInstanceLock::Unavailable);
}

TEST(Platform, WaylandSessionsRunThroughXcbUnlessThePlatformIsChosen)
{
    // The embedded player draws into an X11 window.
    const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray savedPlatform = qgetenv("QT_QPA_PLATFORM");

    qputenv("WAYLAND_DISPLAY", "wayland-0");
    qunsetenv("QT_QPA_PLATFORM");
    corvoPreferX11Platform();
    EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), QByteArray("xcb"));

    qputenv("QT_QPA_PLATFORM", "offscreen");
    corvoPreferX11Platform();
    EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), QByteArray("offscreen"));

    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("QT_QPA_PLATFORM");
    corvoPreferX11Platform();
    EXPECT_TRUE(qgetenv("QT_QPA_PLATFORM").isEmpty());

    if (savedWayland.isNull())
        qunsetenv("WAYLAND_DISPLAY");
    else
        qputenv("WAYLAND_DISPLAY", savedWayland);
    if (savedPlatform.isNull())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", savedPlatform);
}
