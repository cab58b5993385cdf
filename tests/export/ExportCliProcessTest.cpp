// corvotkl-cli scan ... --export / --merge as a user runs it, on generated images.
#include "export/ExportCore.h"
#include "tools/imagegen/ImageGen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kCli = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl-cli");

struct Result {
    int exitCode = -1;
    QByteArray err;
};

Result cli(const QStringList& args)
{
    QProcess p;
    p.start(kCli, args);
    Result r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.err = "timed out";
        return r;
    }
    p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    return r;
}

QByteArray bytesOf(const QByteArray& image, const imagegen::TruthFragment& f)
{
    QByteArray out;
    for (const SExtent& e : f.extents)
        out += image.mid(int(e.start), int(e.end - e.start));
    return out;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

SPlayListTableItem rowOf(const imagegen::TruthFragment& f)
{
    SPlayListTableItem row;
    row.sFragmentFit.stream = f.stream;
    row.sFragmentFit.firstTime = f.firstTime;
    row.sFragmentFit.lastTime = f.lastTime;
    row.iSerial = f.serial;
    return row;
}

struct ExportCliProcess : ::testing::Test {
    QTemporaryDir tmp;
    QByteArray image;
    imagegen::Truth truth;
    QString imagePath;

    void SetUp() override
    {
        image = imagegen::generateImageBytes(12 * 1024 * 1024 + 1000, 77, &truth);
        imagePath = tmp.filePath("disk.img");
        QFile f(imagePath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(image), image.size());
        ASSERT_GE(truth.size(), 5);
    }
};

} // namespace

TEST_F(ExportCliProcess, ExportsEveryFragmentAndMergesThemInSerialOrder)
{
    const QString out = tmp.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const Result r = cli({"scan", imagePath, "--export", out, "--merge", tmp.filePath("all.TKL")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.err.contains(QString("exported %1 fragments").arg(truth.size()).toUtf8())) << r.err.constData();
    QByteArray all;
    for (const imagegen::TruthFragment& f : truth) {
        const QString file = out + "/" + ExportCore::singleFileName(rowOf(f));
        EXPECT_TRUE(readAll(file) == bytesOf(image, f)) << f.serial;
        all += bytesOf(image, f);
    }
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), truth.size());
    EXPECT_TRUE(readAll(tmp.filePath("all.TKL")) == all);
}

TEST_F(ExportCliProcess, SerialsChooseAndOrderTheMerge)
{
    const QString out = tmp.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const Result r = cli({"scan", imagePath, "--export", out, "--merge", tmp.filePath("m.TKL"), "--serials", "5,2-3"});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 3);
    EXPECT_TRUE(readAll(tmp.filePath("m.TKL")) ==
                bytesOf(image, truth[4]) + bytesOf(image, truth[1]) + bytesOf(image, truth[2]));
}

TEST_F(ExportCliProcess, FailuresNameTheFileAndTheReasonAndSetTheExitCode)
{
    if (QFileInfo::exists("/dev/full")) {
        const Result full = cli({"scan", imagePath, "--merge", "/dev/full"});
        EXPECT_EQ(full.exitCode, 1);
        EXPECT_TRUE(full.err.contains("/dev/full: No space left on device")) << full.err.constData();
    }
    // Destinations that cannot be written are refused before the scan starts.
    const QString notAFolder = tmp.filePath("plain");
    {
        QFile f(notAFolder);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const struct {
        QStringList args;
        QByteArray says;
    } refused[] = {
        {{"--export", tmp.filePath("nowhere")}, "--export " + tmp.filePath("nowhere").toUtf8() + ": No such file or directory"},
        {{"--export", notAFolder}, "--export " + notAFolder.toUtf8() + ": Not a directory"},
        {{"--merge", tmp.filePath("nowhere/all.TKL")}, tmp.filePath("nowhere").toUtf8() + ": No such file or directory"},
        {{"--merge", tmp.path()}, "--merge " + tmp.path().toUtf8() + ": Is a directory"},
    };
    for (const auto& c : refused) {
        const Result r = cli(QStringList{"scan", imagePath} + c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.constData();
        EXPECT_FALSE(r.err.contains("scanned")) << "the scan ran first: " << r.err.constData();
    }
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("nowhere")));

    const Result unknown = cli({"scan", imagePath, "--merge", tmp.filePath("x.TKL"), "--serials", "1,9999"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.contains("serial 9999")) << unknown.err.constData();
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("x.TKL")));

    const Result syntax = cli({"scan", imagePath, "--merge", tmp.filePath("x.TKL"), "--serials", "1,a"});
    EXPECT_EQ(syntax.exitCode, 2);
    EXPECT_TRUE(syntax.err.contains("bad serial \"a\"")) << syntax.err.constData();
}
