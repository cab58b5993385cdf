// The playback panel: its form, its buttons, the player control against a
// recording stand-in for km2, and the preview file it prepares.
#include "PlayerLog.h"
#include "disk/Nyx.h"
#include "player/PlayWin.h"
#include "player/PreviewFile.h"
#include "player/PreviewPlace.h"
#include "support/FakeDialogs.h"
#include "support/FaultDevice.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QSet>
#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QByteArray kQuit("quit \n ", 7);

QString fakeKm2Dir() { return QStringLiteral(CORVO_BINARY_DIR "/tests/fakekm2"); }

QStringList expectedArgs(PlayWin& w)
{
    auto* area = w.findChild<QWidget*>("PlayerWin");
    return {"-slave", "-quiet", "-zoom", "-vo", "", "-wid", QString::number(area->winId()), "-noborder",
            "-autosync", "30", "-cache", "8296", QCoreApplication::applicationDirPath() + "/thumb/Tessaro"};
}

// Every test gets its own log and the stand-in first on PATH (nothing named
// km2 lies next to the test binary, so the search path is what finds it).
class PlayerControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_log = m_dir.path() + "/km2.log";
        qputenv("KM2_LOG", m_log.toLocal8Bit());
        qunsetenv("KM2_FAKE_MODE");
        m_oldPath = qgetenv("PATH");
        qputenv("PATH", fakeKm2Dir().toLocal8Bit() + ":" + m_oldPath);
        ASSERT_FALSE(QFileInfo::exists(QCoreApplication::applicationDirPath() + "/km2"));
    }
    void TearDown() override
    {
        qputenv("PATH", m_oldPath);
        qunsetenv("KM2_FAKE_MODE");
        nyxSetDeviceFactory({});
    }
    PlayerLog log() const { return PlayerLog::read(m_log); }
    bool waitStarts(std::size_t n) { return waitUntil([&] { return log().starts.size() >= n; }); }
    bool waitStdinClosed(qint64 pid) { return waitUntil([&] { return log().stdinClosed.value(pid); }); }

    QTemporaryDir m_dir;
    QString m_log;
    QByteArray m_oldPath;
};

SFragmentFit fragmentOn(const QByteArray& disk, SExtentList extents)
{
    SFragmentFit f;
    f.diskName = disk;
    qint64 total = 0;
    for (const SExtent& e : extents)
        total += e.end - e.start;
    f.totalBytes = total;
    f.extents = std::make_shared<const SExtentList>(std::move(extents));
    return f;
}

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + i / 251) & 0xFF);
    return b;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

TEST(PlayWinForm, LayoutNamesAndButtons)
{
    PlayWin w;
    EXPECT_EQ(w.objectName(), "PlayWin");
    EXPECT_EQ(w.windowTitle(), "Form");
    EXPECT_EQ(w.size(), QSize(492, 410));

    auto* vl = w.findChild<QVBoxLayout*>("verticalLayout");
    auto* area = w.findChild<QWidget*>("PlayerWin");
    auto* bar = w.findChild<QWidget*>("widget_2");
    auto* hl = w.findChild<QHBoxLayout*>("horizontalLayout");
    ASSERT_TRUE(vl && area && bar && hl);
    EXPECT_EQ(w.layout(), vl);
    ASSERT_EQ(vl->count(), 2);
    EXPECT_EQ(vl->itemAt(0)->widget(), area);
    EXPECT_EQ(vl->itemAt(1)->widget(), bar);
    EXPECT_EQ(vl->stretch(0), 0);
    EXPECT_EQ(vl->stretch(1), 0);
    EXPECT_EQ(area->styleSheet(), "QWidget{background-color:black;}");
    EXPECT_TRUE(area->testAttribute(Qt::WA_NativeWindow)); // the player draws into it by id
    EXPECT_EQ(bar->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    EXPECT_EQ(bar->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(bar->layout(), hl);
    EXPECT_EQ(hl->spacing(), 0);
    EXPECT_EQ(hl->contentsMargins(), QMargins(0, 0, 0, 0));

    const char* names[] = {"PlayLast", "StartOrPause", "Stop", "pushButton_4"};
    ASSERT_EQ(hl->count(), 6);
    ASSERT_TRUE(hl->itemAt(0)->spacerItem());
    ASSERT_TRUE(hl->itemAt(5)->spacerItem());
    for (int i : {0, 5}) {
        EXPECT_EQ(hl->itemAt(i)->spacerItem()->sizeHint(), QSize(40, 20));
        EXPECT_EQ(hl->itemAt(i)->spacerItem()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    }
    for (int i = 0; i < 4; ++i) {
        auto* b = qobject_cast<QPushButton*>(hl->itemAt(i + 1)->widget());
        ASSERT_TRUE(b) << i;
        EXPECT_EQ(b->objectName(), names[i]);
        EXPECT_TRUE(b->isFlat());
        EXPECT_TRUE(b->text().isEmpty());
        EXPECT_EQ(b->iconSize(), QSize(30, 30));
    }
}

TEST(PlayWinForm, ButtonsEmitTheirSignalsAndStopNothing)
{
    PlayWin w;
    QSignalSpy last(&w, &PlayWin::signalPlayLast), next(&w, &PlayWin::signalPlayNext), start(&w, &PlayWin::signalStart);
    auto click = [&](const char* name) { w.findChild<QPushButton*>(name)->click(); };
    click("PlayLast");
    EXPECT_EQ(last.count(), 1);
    click("pushButton_4");
    click("pushButton_4");
    EXPECT_EQ(next.count(), 2);
    click("StartOrPause");
    EXPECT_EQ(start.count(), 1);
    click("Stop");
    EXPECT_EQ(last.count() + next.count() + start.count(), 4);
}

TEST_F(PlayerControl, FirstStartWritesNothingAndPassesThirteenArguments)
{
    qint64 pid = 0;
    QStringList expected;
    {
        PlayWin w;
        expected = expectedArgs(w);
        w.slotStartPlayForKM();
        ASSERT_TRUE(waitStarts(1));
        const PlayerStart s = log().starts.at(0);
        pid = s.pid;
        EXPECT_EQ(s.args.size(), 13);
        EXPECT_EQ(s.args, expected);
        auto* proc = w.findChild<QProcess*>();
        ASSERT_TRUE(proc);
        EXPECT_EQ(proc->openMode(), QIODevice::ReadWrite);
    } // the window's end kills its player
    ASSERT_TRUE(waitStdinClosed(pid));
    EXPECT_TRUE(log().stdinBytes.value(pid).isEmpty());
    EXPECT_FALSE(processRunning(pid));
}

TEST_F(PlayerControl, StartWhileRunningQuitsTheOldPlayerFirst)
{
    PlayWin w;
    auto* proc = w.findChild<QProcess*>();
    w.slotStartPlayForKM();
    ASSERT_TRUE(waitStarts(1));
    ASSERT_TRUE(waitUntil([&] { return proc->state() == QProcess::Running; }));
    const qint64 first = log().starts.at(0).pid;

    w.slotStartPlayForKM();
    // close() has ended the old player before the new start.
    EXPECT_FALSE(processRunning(first));
    ASSERT_TRUE(waitStarts(2));
    const PlayerLog l = log();
    ASSERT_EQ(l.starts.size(), 2u);
    EXPECT_EQ(l.starts[1].othersAlive, 0) << "two players ran at once";
    EXPECT_TRUE(processRunning(l.starts[1].pid));
    EXPECT_EQ(l.starts[1].args, l.starts[0].args); // same window id every time
    ASSERT_TRUE(waitStdinClosed(first));
    EXPECT_EQ(log().stdinBytes.value(first), kQuit);
    EXPECT_TRUE(log().stdinBytes.value(l.starts[1].pid).isEmpty());

    // And once more: still exactly one player, each old one got the command once.
    ASSERT_TRUE(waitUntil([&] { return proc->state() == QProcess::Running; }));
    w.slotStartPlayForKM();
    ASSERT_TRUE(waitStarts(3));
    EXPECT_EQ(log().starts[2].othersAlive, 0);
    ASSERT_TRUE(waitStdinClosed(l.starts[1].pid));
    EXPECT_EQ(log().stdinBytes.value(l.starts[1].pid), kQuit);
}

TEST_F(PlayerControl, StartAfterThePlayerEndedByItselfWritesNothing)
{
    PlayWin w;
    auto* proc = w.findChild<QProcess*>();
    qputenv("KM2_FAKE_MODE", "exit");
    w.slotStartPlayForKM();
    ASSERT_TRUE(waitStarts(1));
    ASSERT_TRUE(waitUntil([&] { return proc->state() == QProcess::NotRunning; }));
    const qint64 first = log().starts.at(0).pid;
    qunsetenv("KM2_FAKE_MODE");

    w.slotStartPlayForKM();
    ASSERT_TRUE(waitStarts(2));
    ASSERT_TRUE(waitStdinClosed(first));
    EXPECT_TRUE(log().stdinBytes.value(first).isEmpty());
    EXPECT_TRUE(processRunning(log().starts[1].pid));
}

TEST_F(PlayerControl, PlayItemCopiesTheFragmentThenStartsThePlayer)
{
    const QByteArray disk = pattern(3 << 20);
    nyxSetDeviceFactory([disk](const QByteArray& path) -> std::unique_ptr<NyxCIOSystemDevice> {
        if (path == nyxDevicePathForName("memdisk"))
            return std::make_unique<MemoryDevice>(disk);
        return nyxMakePosixDevice(nyxDevicePathToFile(path));
    });
    const QString preview = QCoreApplication::applicationDirPath() + "/thumb/Tessaro";
    QDir(QCoreApplication::applicationDirPath() + "/thumb").removeRecursively(); // created when missing

    PlayWin w;
    SPlayListTableItem a;
    a.sFragmentFit = fragmentOn("memdisk", {{100, 1500000}, {2000000, 2000100}});
    a.iSerial = 1;
    w.PlayItem(a);
    ASSERT_TRUE(waitStarts(1));
    EXPECT_TRUE(readFile(preview) == disk.mid(100, 1499900) + disk.mid(2000000, 100));

    // Two plays in a row: only the last one reaches the player, with its file.
    SPlayListTableItem b, c;
    b.sFragmentFit = fragmentOn("memdisk", {{0, 2 << 20}});
    c.sFragmentFit = fragmentOn("memdisk", {{5, 105}});
    w.PlayItem(b);
    w.PlayItem(c);
    ASSERT_TRUE(waitStarts(2));
    // Every copy has ended and reported: the superseded one started nothing.
    ASSERT_TRUE(w.endPreview(10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(log().starts.size(), 2u);
    EXPECT_TRUE(readFile(preview) == disk.mid(5, 100));
    EXPECT_TRUE(QDir(QCoreApplication::applicationDirPath() + "/thumb").entryList(QDir::Files) ==
                QStringList{"Tessaro"})
        << "temporary files left behind";
}

// A copy stuck in a read of a failing disk does not hold the panel's end: it
// is let go, ends when the read returns, and renames nothing over the file.
TEST_F(PlayerControl, PreviewStuckInAReadDoesNotHoldTheClose)
{
    auto plan = std::make_shared<FaultPlan>(pattern(1 << 20));
    plan->gateReads();
    ScopedFaultDevices devices(plan);
    const QString thumb = QCoreApplication::applicationDirPath() + "/thumb";
    QDir(thumb).removeRecursively();

    auto w = std::make_unique<PlayWin>();
    SPlayListTableItem item;
    item.sFragmentFit = fragmentOn("fault/source", {{0, 1 << 20}});
    w->PlayItem(item);
    ASSERT_TRUE(plan->waitForWaiting(1));
    w.reset(); // would wait for the read forever

    plan->gateReads(false);
    EXPECT_TRUE(waitUntil([&] { return plan->created() > 0 && plan->deleted() == plan->created(); }));
    EXPECT_TRUE(QDir(thumb).entryList(QDir::Files).isEmpty());
    EXPECT_TRUE(log().starts.empty());
}

namespace {
// Fails every read that touches [badFrom, badTo).
class FlakyDevice : public NyxCIOSystemDevice {
public:
    FlakyDevice(QByteArray bytes, qint64 badFrom, qint64 badTo) : m_mem(bytes), m_from(badFrom), m_to(badTo) {}
    int open(std::uint32_t a, int m) override { return m_mem.open(a, m); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (offset < m_to && offset + count > m_from)
            return -EIO;
        return m_mem.readFrom(dst, offset, count);
    }
    std::int64_t size() const override { return m_mem.size(); }
    int lastError() const override { return 0; }

private:
    MemoryDevice m_mem;
    qint64 m_from, m_to;
};
} // namespace

TEST(PreviewFile, BoundedZeroesOnlyBadSectorsAndNeverWritesInPlace)
{
    QTemporaryDir tmp;
    const QByteArray disk = pattern(6 << 20);
    nyxSetDeviceFactory([disk](const QByteArray&) -> std::unique_ptr<NyxCIOSystemDevice> {
        return std::make_unique<FlakyDevice>(disk, (3 << 20) + 10, (3 << 20) + 20);
    });
    const SFragmentFit f = fragmentOn("any", {{0, 6 << 20}});

    PreviewResult r = buildPreviewFile(f, tmp.path() + "/thumb", "Tessaro", 2 << 20);
    EXPECT_EQ(r.status, PreviewResult::Written);
    EXPECT_EQ(r.bytes, 2 << 20);
    EXPECT_TRUE(readFile(tmp.path() + "/thumb/Tessaro") == disk.left(2 << 20));

    // A player reading the old file keeps it: the new one is a new inode.
    QFile old(tmp.path() + "/thumb/Tessaro");
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    r = buildPreviewFile(f, tmp.path() + "/thumb", "Tessaro", 5 << 20);
    EXPECT_EQ(r.status, PreviewResult::Written);
    EXPECT_EQ(r.readErrors, 1);
    EXPECT_EQ(r.bytes, 5 << 20); // only the bad sector is zeros, every offset stays
    const QByteArray now = readFile(tmp.path() + "/thumb/Tessaro");
    EXPECT_TRUE(now == disk.left(3 << 20) + QByteArray(512, '\0') + disk.mid((3 << 20) + 512, (2 << 20) - 512));
    EXPECT_TRUE(old.readAll() == disk.left(2 << 20));
    nyxSetDeviceFactory({});
}

TEST(PreviewFile, UnwritableFolderOrCancelLeavesTheOldFile)
{
    QTemporaryDir tmp;
    const QByteArray disk = pattern(1 << 20);
    nyxSetDeviceFactory([disk](const QByteArray&) { return std::make_unique<MemoryDevice>(disk); });
    const SFragmentFit f = fragmentOn("any", {{0, 1 << 20}});

    QFile blocker(tmp.path() + "/notadir");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    PreviewResult r = buildPreviewFile(f, tmp.path() + "/notadir/thumb", "Tessaro");
    EXPECT_EQ(r.status, PreviewResult::Failed);
    EXPECT_FALSE(r.message.isEmpty());

    ASSERT_EQ(buildPreviewFile(f, tmp.path(), "Tessaro", 10).status, PreviewResult::Written);
    std::atomic<bool> cancel{true};
    r = buildPreviewFile(f, tmp.path(), "Tessaro", 1 << 20, &cancel);
    EXPECT_EQ(r.status, PreviewResult::Cancelled);
    EXPECT_TRUE(readFile(tmp.path() + "/Tessaro") == disk.left(10));
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files), (QStringList{"notadir", "Tessaro"}));

    // A source that cannot be opened gives an empty preview, so the player
    // does not go on showing the previous fragment.
    nyxSetDeviceFactory({});
    r = buildPreviewFile(fragmentOn(tmp.path().toUtf8() + "/no such image", {{0, 100}}), tmp.path(), "Tessaro");
    EXPECT_EQ(r.status, PreviewResult::Written);
    EXPECT_EQ(r.bytes, 0);
    EXPECT_TRUE(r.message.contains("no such image"));
    EXPECT_TRUE(readFile(tmp.path() + "/Tessaro").isEmpty());
}

// Runs inside a copy of this test binary placed in another application
// directory (see the two tests below); skipped in a normal run.
TEST(PlayerControlChild, Run)
{
    const QByteArray mode = qgetenv("CORVO_PLAYER_CHILD");
    if (mode.isEmpty())
        GTEST_SKIP() << "only run by the application-directory tests";
    const QString log = qEnvironmentVariable("KM2_LOG");
    FakeDialogs boxes;
    PlayWin w;
    if (mode == "start") {
        w.slotStartPlayForKM();
        EXPECT_TRUE(waitUntil([&] { return !PlayerLog::read(log).starts.empty(); }));
    } else if (mode == "playitem") {
        // A player runs; the next preview cannot be prepared.
        w.slotStartPlayForKM();
        ASSERT_TRUE(waitUntil([&] { return !PlayerLog::read(log).starts.empty(); }));
        SPlayListTableItem item;
        item.sFragmentFit = fragmentOn(qgetenv("CORVO_CHILD_IMAGE"), {{0, 100}});
        w.PlayItem(item);
        ASSERT_TRUE(waitUntil([&] { return !boxes.calls.isEmpty(); }));
        QFile out(qEnvironmentVariable("CORVO_CHILD_BOXES"));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        for (const DialogCall& c : boxes.calls)
            out.write((c.kind + "|" + c.caption + "|" + c.text + "\n").toUtf8());
    } else if (mode == "play-until-killed") {
        w.slotStartPlayForKM();
        waitUntil([] { return false; }, 60000);
    }
}

namespace {
// Copies this test binary into appDir and runs PlayerControlChild there.
void startChild(QProcess& child, const QString& appDir, const QByteArray& mode, const QString& log,
                const QString& path, const QString& image = QString())
{
    const QString exe = appDir + "/test_playwin";
    if (!QFile::copy(QCoreApplication::applicationFilePath(), exe))
        return;
    QFile(exe).setPermissions(QFile(exe).permissions() | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CORVO_PLAYER_CHILD", mode);
    env.insert("KM2_LOG", log);
    env.insert("PATH", path);
    env.insert("CORVO_CHILD_IMAGE", image);
    env.insert("CORVO_CHILD_BOXES", appDir + "/boxes.txt");
    child.setProcessEnvironment(env);
    child.start(exe, {"--gtest_filter=PlayerControlChild.Run"});
}

int runChild(const QString& appDir, const QByteArray& mode, const QString& log, const QString& path,
             const QString& image = QString())
{
    QProcess child;
    startChild(child, appDir, mode, log, path, image);
    if (!child.waitForStarted(10000))
        return -1;
    if (!child.waitForFinished(30000))
        return -2;
    return child.exitCode();
}
} // namespace

TEST(PlayerControlAppDir, SpacesStayOneArgumentAndThePlayerBesideUsWins)
{
    QTemporaryDir tmp;
    const QString appDir = tmp.path() + "/app dir with spaces";
    ASSERT_TRUE(QDir().mkpath(appDir));
    ASSERT_TRUE(QFile::copy(fakeKm2Dir() + "/km2", appDir + "/km2"));
    QFile(appDir + "/km2").setPermissions(QFile(appDir + "/km2").permissions() | QFileDevice::ExeOwner);
    const QString log = tmp.path() + "/km2.log";
    // No km2 on this search path: only the one beside the executable can start.
    ASSERT_EQ(runChild(appDir, "start", log, "/usr/bin:/bin"), 0);
    const PlayerLog l = PlayerLog::read(log);
    ASSERT_EQ(l.starts.size(), 1u);
    ASSERT_EQ(l.starts[0].args.size(), 13);
    EXPECT_EQ(l.starts[0].args[12], appDir + "/thumb/Tessaro");
}

TEST(PlayerControlAppDir, UnwritableThumbFolderStopsThePlayerAndSaysWhy)
{
    QTemporaryDir tmp;
    const QString appDir = tmp.path() + "/app";
    ASSERT_TRUE(QDir().mkpath(appDir));
    QFile thumb(appDir + "/thumb"); // a file where the folder should be
    ASSERT_TRUE(thumb.open(QIODevice::WriteOnly));
    thumb.write("x");
    thumb.close();
    QFile image(tmp.path() + "/image");
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(pattern(1000));
    image.close();
    const QString log = tmp.path() + "/km2.log";
    ASSERT_EQ(runChild(appDir, "playitem", log, fakeKm2Dir() + ":/usr/bin:/bin", image.fileName()), 0);
    ASSERT_EQ(PlayerLog::read(log).starts.size(), 1u); // no player on the failed preview
    // The stand-in's reader logs its stdin on its own time: wait for the pipe's end.
    const qint64 first = PlayerLog::read(log).starts[0].pid;
    ASSERT_TRUE(waitUntil([&] { return PlayerLog::read(log).stdinClosed.value(first); }));
    EXPECT_EQ(PlayerLog::read(log).stdinBytes.value(first), kQuit) << "the previous fragment goes on playing";
    EXPECT_EQ(readFile(appDir + "/thumb"), QByteArray("x"));
    const QString boxes = QString::fromUtf8(readFile(appDir + "/boxes.txt"));
    EXPECT_TRUE(boxes.startsWith("warning|")) << qPrintable(boxes);
    EXPECT_TRUE(boxes.contains(appDir + "/thumb")) << qPrintable(boxes);
    EXPECT_TRUE(boxes.contains("in the way")) << qPrintable(boxes);
}

namespace {
// Living (not zombie) processes below us, at any depth.
int livingDescendants()
{
    QMap<qint64, qint64> parent;
    QSet<qint64> zombies;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile f("/proc/" + pid + "/stat");
        if (!pid.toLongLong() || !f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const QList<QByteArray> rest = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (rest.size() < 2)
            continue;
        parent[pid.toLongLong()] = rest[1].toLongLong();
        if (rest[0] == "Z")
            zombies.insert(pid.toLongLong());
    }
    int n = 0;
    for (auto it = parent.cbegin(); it != parent.cend(); ++it) {
        qint64 p = it.value();
        for (int depth = 0; p > 1 && p != ::getpid() && depth < 64; ++depth)
            p = parent.value(p, 0);
        if (p == ::getpid() && !zombies.contains(it.key()))
            ++n;
    }
    return n;
}
} // namespace

// The window killed outright while previewing: km2, mplayer and mplayer's own
// cache process end with it. We adopt orphans, so a survivor stays countable.
TEST(PlayerControlAppDir, NothingOutlivesAKilledWindow)
{
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    QTemporaryDir tmp;
    const QString appDir = tmp.path() + "/app";
    const QString fake = tmp.path() + "/fake";
    ASSERT_TRUE(QDir().mkpath(appDir + "/thumb") && QDir().mkpath(fake));
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVO_BINARY_DIR "/bin/km2"), appDir + "/km2"));
    QFile(appDir + "/thumb/Tessaro").open(QIODevice::WriteOnly);
    // Like mplayer with -cache: a forked helper beside the player itself.
    QFile mplayer(fake + "/mplayer");
    ASSERT_TRUE(mplayer.open(QIODevice::WriteOnly));
    mplayer.write("#!/bin/sh\nsleep 300 &\nexec sleep 300\n");
    mplayer.close();
    mplayer.setPermissions(mplayer.permissions() | QFileDevice::ExeOwner);

    QProcess window;
    startChild(window, appDir, "play-until-killed", tmp.path() + "/km2.log", fake + ":/usr/bin:/bin");
    ASSERT_TRUE(window.waitForStarted(10000));
    // The window, mplayer (was km2), km2's feeder and mplayer's helper.
    ASSERT_TRUE(waitUntil([] { return livingDescendants() >= 4; }, 20000)) << livingDescendants();
    ::kill(pid_t(window.processId()), SIGKILL);
    ASSERT_TRUE(window.waitForFinished(10000));
    const bool allGone = waitUntil([] {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return livingDescendants() == 0;
    });
    EXPECT_TRUE(allGone) << livingDescendants() << " processes outlived the window";
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// An installed program, or one whose folder cannot be written, keeps the
// preview in the user's cache; a build tree keeps it beside the program.
TEST(PreviewPlace, InstalledOrUnwritableProgramsUseTheUserCache)
{
    QTemporaryDir tmp;
    const QString cache = tmp.path() + "/cache";
    const QString userThumb = cache + "/corvotkl/thumb";
    EXPECT_EQ(previewFolderFor("/usr/lib/corvotkl", cache), userThumb);
    EXPECT_EQ(previewFolderFor("/usr/local/lib/corvotkl", cache), userThumb);
    EXPECT_EQ(previewFolderFor(tmp.path() + "/no/such/dir", cache), userThumb);
    EXPECT_EQ(previewFolderFor(tmp.path(), cache), tmp.path() + "/thumb");
}

TEST(PreviewPlace, PrivateFolderAndFile)
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/cache/corvotkl/thumb";
    QString error;
    ASSERT_TRUE(makePrivateFolder(folder, &error)) << qPrintable(error);
    for (const QString& d : {tmp.path() + "/cache", tmp.path() + "/cache/corvotkl", folder})
        EXPECT_EQ(QFileInfo(d).permissions() & 0x0077, 0) << qPrintable(d); // no group or other bits
    QFile image(tmp.path() + "/image");
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(pattern(1000));
    image.close();
    const PreviewResult r = buildPreviewFile(fragmentOn(QFile::encodeName(image.fileName()), {{0, 1000}}), folder,
                                             "Tessaro");
    ASSERT_EQ(r.status, PreviewResult::Written) << qPrintable(r.message);
    EXPECT_EQ(QFileInfo(folder + "/Tessaro").permissions() & 0x0077, 0);

    // A link in the folder's place is refused, and what it leads to keeps its mode.
    const QString elsewhere = tmp.path() + "/elsewhere";
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    QFile(elsewhere).setPermissions(QFileDevice::Permissions(0x7755));
    ASSERT_TRUE(QFile::link(elsewhere, tmp.path() + "/linked"));
    EXPECT_FALSE(makePrivateFolder(tmp.path() + "/linked", &error));
    EXPECT_TRUE(error.contains("link")) << qPrintable(error);
    EXPECT_EQ(QFileInfo(elsewhere).permissions() & 0x0077, 0x0055);
}
