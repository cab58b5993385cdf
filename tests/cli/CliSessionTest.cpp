// corvotkl-cli scan --session: killed (SIGKILL) at chosen reads of the
// source and run again until done, its last run prints one whole scan; a
// session is refused for a source that changed; export SESSION writes what a
// scan's own export writes.
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"
#include "tools/cli/CliSession.h"
#include "tools/imagegen/ImageGen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace imagegen;

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QString kCli = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl-cli");

struct Outcome {
    int exitCode = -1; // -2: killed
    QByteArray out, err;
};

Outcome cli(const QStringList& args, int killAtRead = 0, const QString& dataHome = QString(), int commitMs = 0)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!dataHome.isEmpty())
        env.insert("XDG_DATA_HOME", dataHome);
    env.insert("CORVOTKL_SESSION_COMMIT_MS", QString::number(commitMs));
    if (killAtRead > 0)
        env.insert("CORVOTKL_KILL_AT_READ", QString::number(killAtRead));
    p.setProcessEnvironment(env);
    p.start(kCli, args);
    Outcome r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    return r;
}

class CliSessionProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        image = dir.filePath("disk.img");
        QString error;
        ASSERT_TRUE(generateImage(image, 20 * MiB + 777, 21, &truth, &error)) << error.toStdString();
        session = dir.filePath("disk.session");
    }
    QTemporaryDir dir;
    QString image, session;
    Truth truth;
};

} // namespace

// Where a run of the scan stands at its reads: the first fills the buffer
// from the run's start (the saved position, aligned down), each later one
// refills one chunk, and a checkpoint follows every pass of the search. Pass
// j searches the headers starting before `data - chunk + (j - 1) * chunk`
// past the start; a frame found there is followed to its end.
struct RunSteps {
    qint64 start; // where the run's reads begin
    qint64 boundary(int checkpoint) const
    {
        const ScanGeometry g;
        return start + g.data - g.chunk + (checkpoint - 1) * g.chunk;
    }
    // The read before which the first checkpoint at or past `target` is saved.
    int readAfterCheckpointPast(qint64 target) const
    {
        const ScanGeometry g;
        const qint64 past = std::max<qint64>(0, target - boundary(1));
        return 2 + int((past + g.chunk - 1) / g.chunk);
    }
};

struct Saved {
    qint64 position = -1;
    int open = 0, closed = 0;
};

Saved savedIn(const QString& file)
{
    QString why;
    const std::unique_ptr<ScanSession> s = ScanSession::open(file, &why);
    if (!s)
        return {};
    return {s->info().savedPosition, s->info().openCount, s->info().closedCount};
}

// Killed (SIGKILL) at chosen reads of the scan and run again each time, the
// last run's output alone is that of one uninterrupted scan, serials and
// summary included, and says how much was resumed.
TEST_F(CliSessionProcess, KilledAgainAndAgainThenResumedPrintsOneWholeScan)
{
    const Outcome whole = cli({"scan", image, "--json"});
    ASSERT_EQ(whole.exitCode, 0) << whole.err.constData();
    constexpr qint64 kMaxFrame = 65535 + 8;
    // Targets on the device: at the first read, before anything is saved;
    // the fresh run's first checkpoint, on the 4 MiB look-ahead boundary;
    // then checkpoints one and two 2 MiB steps into resumed runs, whose
    // buffers lie off the 2 MiB grid; and a kill between commits, which
    // must lose only what was not committed.
    struct Kill {
        qint64 target; // -1: at the run's first read
        int commitMs;
    };
    // Each run's first read covers 6 MiB and its last target lies 2 MiB
    // before that, so the image (20 MiB) leaves every chosen read in reach.
    const Kill kills[] = {{-1, 0}, {4 * MiB, 0}, {10 * MiB, 0}, {11 * MiB, 60000}, {13 * MiB, 0}};
    bool straddled = false, unaligned = false;
    for (const Kill& k : kills) {
        const Saved before = savedIn(session);
        const RunSteps run{before.position < 0 ? 0 : before.position & ~qint64(511)};
        const int read = k.target < 0 ? 1 : run.readAfterCheckpointPast(k.target);
        const Outcome r = cli({"scan", image, "--json", "--session", session}, read, QString(), k.commitMs);
        ASSERT_EQ(r.exitCode, -2) << "run from " << run.start << " not killed at read " << read;
        const Saved after = savedIn(session);
        if (k.target < 0 || k.commitMs > 0) {
            // Nothing committed since the run began.
            EXPECT_EQ(after.position, before.position);
            EXPECT_EQ(after.closed, before.closed);
            continue;
        }
        const qint64 expected = run.boundary(read - 1);
        EXPECT_GE(after.position, expected - 8) << "read " << read << " from " << run.start;
        EXPECT_LT(after.position, expected + kMaxFrame) << "read " << read << " from " << run.start;
        straddled = straddled || after.open > 0;
        unaligned = unaligned || after.position % 512 != 0;
    }
    // Some resumes began inside a frame and continued a recording open there.
    EXPECT_TRUE(straddled && unaligned);
    const Outcome last = cli({"scan", image, "--json", "--session", session});
    ASSERT_EQ(last.exitCode, 0) << last.err.constData();
    EXPECT_EQ(last.out, whole.out);
    EXPECT_TRUE(last.err.contains("fragments were saved before")) << last.err.constData();
    Truth found;
    QString error;
    ASSERT_TRUE(parseJsonLines(last.out, &found, &error)) << error.toStdString();
    EXPECT_EQ(describeDifference(truth, found), QString());
    // Once finished, the session lists the same without scanning again.
    const Outcome again = cli({"scan", image, "--json", "--session", session});
    EXPECT_EQ(again.out, whole.out);
    EXPECT_TRUE(again.err.contains("nothing was scanned again")) << again.err.constData();
}

// A fragment is kept with the duration its row shows, and a checkpoint is
// saved only once every fragment before it has one, so a resumed run lists
// the saved rows as they were first listed.
TEST(CliSessionDurations, SavedRowsKeepTheDurationsTheyWereListedWith)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("disk.img"), file = dir.filePath("s.session");
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(QByteArray(1 << 20, '\0')) == 1 << 20);
    f.close();
    qputenv("CORVOTKL_SESSION_COMMIT_MS", "0");
    CliOptions options;
    options.session = file;
    const QByteArray source = QFile::encodeName(image);
    const auto fragment = [&](qint64 at) {
        SFragmentFit x;
        x.diskName = source;
        x.totalBytes = 1000;
        x.frameCount = 2;
        x.extents = std::make_shared<SExtentList>(SExtentList{{at, at + 1000}});
        return x;
    };
    ScanResumePoint point;
    point.position = 5000;
    Media::Duration known;
    known.known = true;
    known.seconds = 2.5;
    QString why;
    int code = 0;
    {
        CliSession s;
        ASSERT_TRUE(s.prepare(options, source, 0, 1 << 20, &why, &code)) << why.toStdString();
        s.fragment(1, fragment(0));
        s.fragment(2, fragment(2000));
        ASSERT_TRUE(s.checkpoint(point));
        ASSERT_TRUE(s.counted(1, known));
        s.waitWritten();
        EXPECT_EQ(savedIn(file).position, -1) << "saved before the second row had its duration";
        ASSERT_TRUE(s.counted(2, Media::Duration()));
        s.waitWritten();
        EXPECT_EQ(savedIn(file).position, 5000);
    }
    CliSession again;
    ASSERT_TRUE(again.prepare(options, source, 0, 1 << 20, &why, &code)) << why.toStdString();
    ASSERT_TRUE(again.resuming());
    ASSERT_EQ(again.saved().size(), 2);
    EXPECT_TRUE(again.saved()[0].duration.known);
    EXPECT_EQ(again.saved()[0].duration.seconds, 2.5);
    EXPECT_FALSE(again.saved()[1].duration.known);
    qunsetenv("CORVOTKL_SESSION_COMMIT_MS");
}

TEST_F(CliSessionProcess, AChangedSourceIsRefusedForResumeAndExport)
{
    const int read = RunSteps{0}.readAfterCheckpointPast(10 * MiB);
    ASSERT_EQ(cli({"scan", image, "--json", "--session", session}, read).exitCode, -2);
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.resize(f.size() + 512));
    f.close();
    const Outcome resume = cli({"scan", image, "--session", session});
    EXPECT_EQ(resume.exitCode, 2);
    EXPECT_TRUE(resume.err.contains("size changed")) << resume.err.constData();
    const Outcome exp = cli({"export", session, "--export", dir.path()});
    EXPECT_EQ(exp.exitCode, 1);
    EXPECT_TRUE(exp.err.contains("has changed since the scan")) << exp.err.constData();
    // --fresh starts over on the source as it is now, but never over a file
    // that is not a session.
    EXPECT_EQ(cli({"scan", image, "--session", session, "--fresh"}).exitCode, 0);
    const QString notes = dir.filePath("notes.txt");
    QFile n(notes);
    ASSERT_TRUE(n.open(QIODevice::WriteOnly) && n.write("keep me\n") == 8);
    n.close();
    const Outcome notSession = cli({"scan", image, "--session", notes, "--fresh"});
    EXPECT_EQ(notSession.exitCode, 2);
    EXPECT_TRUE(notSession.err.contains("not a scan session")) << notSession.err.constData();
    EXPECT_EQ(QFileInfo(notes).size(), 8);
}

TEST_F(CliSessionProcess, SessionsListsTheUsersSessionsWithTheirProgress)
{
    const QString data = dir.filePath("data");
    const QString folder = data + "/corvotkl/sessions";
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_EQ(cli({"scan", image, "--session", folder + "/whole.session"}).exitCode, 0);
    const int read = RunSteps{0}.readAfterCheckpointPast(10 * MiB);
    ASSERT_EQ(cli({"scan", image, "--session", folder + "/part.session"}, read).exitCode, -2);
    const Outcome r = cli({"sessions"}, 0, data);
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3) << r.out.constData(); // a heading and one line each, by file name
    EXPECT_TRUE(lines[1].contains("part.session") && !lines[1].contains("100.0%")) << lines[1].constData();
    EXPECT_TRUE(lines[2].contains("whole.session") && lines[2].contains("100.0%")) << lines[2].constData();
    EXPECT_TRUE(lines[2].contains(QFile::encodeName(image)));
    EXPECT_TRUE(lines[2].contains(QByteArray::number(truth.size()))) << lines[2].constData();
}

TEST_F(CliSessionProcess, ExportOfASessionWritesWhatTheScanWouldExport)
{
    const QString byScan = dir.filePath("by-scan"), bySession = dir.filePath("by-session");
    QDir().mkpath(byScan);
    QDir().mkpath(bySession);
    ASSERT_EQ(cli({"scan", image, "--session", session, "--export", byScan, "--serials", "2,5-7"}).exitCode, 0);
    const Outcome r = cli({"export", session, "--export", bySession, "--serials", "2,5-7"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QStringList names = QDir(byScan).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(names.size(), 4);
    ASSERT_EQ(QDir(bySession).entryList(QDir::Files, QDir::Name), names);
    for (const QString& n : names) {
        QFile a(byScan + "/" + n), b(bySession + "/" + n);
        ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        EXPECT_EQ(a.readAll(), b.readAll()) << n.toStdString();
    }
}
