// corvotkl-cli scan --session: killed (SIGKILL) at chosen reads of the
// source and run again until done, its last run prints one whole scan; a
// session is refused for a source that changed; export SESSION writes what a
// scan's own export writes.
#include "tools/imagegen/ImageGen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace imagegen;

namespace {

const QString kCli = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl-cli");

struct Outcome {
    int exitCode = -1; // -2: killed
    QByteArray out, err;
};

Outcome cli(const QStringList& args, int killAtRead = 0, const QString& dataHome = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!dataHome.isEmpty())
        env.insert("XDG_DATA_HOME", dataHome);
    env.insert("CORVOTKL_SESSION_COMMIT_MS", "0");
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
        ASSERT_TRUE(generateImage(image, 40 * 1048576 + 777, 21, &truth, &error)) << error.toStdString();
        session = dir.filePath("disk.session");
    }
    QTemporaryDir dir;
    QString image, session;
    Truth truth;
};

} // namespace

// Reads 1-5 are the checks and the fingerprint, the scan's begin at 6: the
// kills fall before anything is saved, on the first refills and deep in.
TEST_F(CliSessionProcess, KilledAgainAndAgainThenResumedPrintsOneWholeScan)
{
    const Outcome whole = cli({"scan", image, "--json"});
    ASSERT_EQ(whole.exitCode, 0) << whole.err.constData();
    int killed = 0;
    Outcome last;
    // Each run reads on from what the one before saved, so a late kill may
    // come after the end: that run is the last.
    for (int k : {3, 7, 8, 11, 9, 12, 10, 14, 9, 0}) {
        last = cli({"scan", image, "--json", "--session", session}, k);
        if (last.exitCode != -2)
            break;
        ++killed;
    }
    EXPECT_GE(killed, 5);
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

TEST_F(CliSessionProcess, AChangedSourceIsRefusedForResumeAndExport)
{
    ASSERT_EQ(cli({"scan", image, "--json", "--session", session}, 9).exitCode, -2);
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
    ASSERT_EQ(cli({"scan", image, "--session", folder + "/part.session"}, 10).exitCode, -2);
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
