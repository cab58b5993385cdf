// corvotkl-cli's playable output: --format mp4 and --thumbs on a demo image
// of real video, and the fallback to .TKL for a payload nobody recognises.
#include "MediaSupport.h"

#include "export/ExportCore.h"
#include "tools/cli/CliDurations.h"
#include "tools/cli/CliExport.h"
#include "tools/cli/CliMedia.h"
#include "tools/cli/CliOptions.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>

using namespace mediatest;

namespace {

const QString kCli = QStringLiteral(CORVO_BINARY_DIR "/bin/corvotkl-cli");
const QString kGen = QStringLiteral(CORVO_BINARY_DIR "/bin/tkl-imagegen");

// Durations during a scan are counted only from bytes just behind its position.
TEST(MediaCli, DurationsAreCountedOnlyJustBehindTheScan)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    Disk disk;
    const SFragmentFit f = disk.add(encode({"h264", 30, 2, 320, 240}));
    disk.install();
    const qint64 window = 1 << 20;
    for (const qint64 behind : {qint64(0), window / 2, window * 4}) {
        std::atomic<qint64> position{f.extents->last().end + behind};
        CliDurations counter(&position, window);
        std::vector<Media::Duration> got;
        QObject::connect(&counter, &CliDurations::counted, [&](int, Media::Duration d) { got.push_back(d); });
        counter.add(0, f);
        counter.finishInput();
        counter.start();
        ASSERT_TRUE(counter.wait(60000));
        ASSERT_EQ(got.size(), 1u);
        const bool near = f.extents->last().end + behind - f.extents->first().start <= window;
        EXPECT_EQ(got[0].known, near) << behind;
        EXPECT_EQ(got[0].pictures, near ? 60 : 0) << behind;
    }
}

TEST(MediaCli, DemoImageExportsPlayableFilesDurationsAndAContactSheet)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    QTemporaryDir dir;
    const QString img = dir.filePath("demo.img");
    int code = -1;
    runTool(kGen, {"--demo", "--seconds", "40", "--out", img}, &code);
    ASSERT_EQ(code, 0);
    QDir(dir.path()).mkdir("out");
    QProcess cli;
    cli.start(kCli, {"scan", img, "--json", "--export", dir.filePath("out"), "--format", "mp4", "--merge",
                     dir.filePath("out/all.mp4"), "--thumbs", dir.filePath("thumbs")});
    ASSERT_TRUE(cli.waitForFinished(300000));
    const QByteArray err = cli.readAllStandardError();
    ASSERT_EQ(cli.exitCode(), 0) << err.constData();

    double total = 0;
    int fragments = 0;
    for (const QByteArray& line : cli.readAllStandardOutput().trimmed().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains("summary"))
            continue;
        const double seconds = o.value("duration_s").toDouble(-1);
        ASSERT_GT(seconds, 0) << line.constData();
        const int serial = o.value("serial").toInt();
        const QStringList mp4 = QDir(dir.filePath("out")).entryList({QStringLiteral("*_%1.mp4").arg(serial, 5, 10, QChar('0'))});
        ASSERT_EQ(mp4.size(), 1) << "fragment " << serial;
        const auto p = probeFile(dir.filePath("out/" + mp4[0]));
        EXPECT_EQ(p["codec_name"], "h264");
        // A fragment split off by damage starts without a key picture: stored, not all decodable.
        EXPECT_EQ(p["nb_read_packets"].toInt(), qRound(seconds * Media::kDefaultFps)) << "fragment " << serial;
        EXPECT_GT(p["nb_read_frames"].toInt(), 0) << "fragment " << serial;
        EXPECT_NEAR(p["duration"].toDouble(), seconds, 0.05);
        EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("thumbs/thumb-%1.jpg").arg(serial, 5, 10, QChar('0')))));
        total += seconds;
        ++fragments;
    }
    EXPECT_EQ(fragments, 5);
    EXPECT_NEAR(probeFile(dir.filePath("out/all.mp4"))["duration"].toDouble(), total, 0.05);
    QFile sheet(dir.filePath("thumbs/index.html"));
    ASSERT_TRUE(sheet.open(QIODevice::ReadOnly));
    EXPECT_EQ(sheet.readAll().count("<img src=\"thumb-"), fragments);
}

// FFmpeg's libraries are loaded only by a run that makes a playable copy: a
// scan that lists fragments (their durations included) never maps them.
TEST(MediaCli, FfmpegIsLoadedOnlyForAPlayableCopy)
{
    QTemporaryDir dir;
    const QString img = dir.filePath("demo.img");
    int code = -1;
    runTool(kGen, {"--demo", "--seconds", "10", "--out", img}, &code);
    ASSERT_EQ(code, 0);
    for (const bool copy : {false, true}) {
        QStringList args{"scan", img, "--json"};
        if (copy)
            args << "--merge" << dir.filePath("all.mp4") << "--format" << "mp4";
        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_DEBUG", "libs"); // the loader names every library it maps
        cli.setProcessEnvironment(env);
        cli.start(kCli, args);
        ASSERT_TRUE(cli.waitForFinished(120000));
        const QByteArray err = cli.readAllStandardError();
        ASSERT_EQ(cli.exitCode(), 0) << err.constData();
        const QByteArray out = cli.readAllStandardOutput();
        EXPECT_EQ(out.count("\"duration_s\":null"), 0) << "durations are counted without FFmpeg";
        EXPECT_EQ(err.contains("libavformat.so"), copy) << (copy ? "merge to mp4" : "scan only");
    }
}

// A kept session gives the same playable copies and contact sheet without
// scanning again.
TEST(MediaCli, ASessionExportsPlayableFilesAndAContactSheet)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    QTemporaryDir dir;
    const QString img = dir.filePath("demo.img"), session = dir.filePath("demo.session");
    int code = -1;
    runTool(kGen, {"--demo", "--seconds", "12", "--out", img}, &code);
    ASSERT_EQ(code, 0);
    QProcess scan;
    scan.start(kCli, {"scan", img, "--json", "--session", session});
    ASSERT_TRUE(scan.waitForFinished(300000));
    ASSERT_EQ(scan.exitCode(), 0) << scan.readAllStandardError().constData();
    QDir(dir.path()).mkdir("out");
    QProcess cli;
    cli.start(kCli, {"export", session, "--export", dir.filePath("out"), "--format", "mp4", "--thumbs",
                     dir.filePath("thumbs")});
    ASSERT_TRUE(cli.waitForFinished(300000));
    ASSERT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().constData();
    int fragments = 0;
    for (const QByteArray& line : scan.readAllStandardOutput().trimmed().split('\n')) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        if (row.contains("summary"))
            continue; // the closing object, not a fragment
        const int serial = row.value("serial").toInt();
        const QStringList mp4 = QDir(dir.filePath("out")).entryList({QStringLiteral("*_%1.mp4").arg(serial, 5, 10, QChar('0'))});
        ASSERT_EQ(mp4.size(), 1) << "fragment " << serial;
        EXPECT_EQ(probeFile(dir.filePath("out/" + mp4[0]))["codec_name"], "h264");
        EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("thumbs/thumb-%1.jpg").arg(serial, 5, 10, QChar('0')))));
        ++fragments;
    }
    EXPECT_GT(fragments, 0);
    QFile sheet(dir.filePath("thumbs/index.html"));
    ASSERT_TRUE(sheet.open(QIODevice::ReadOnly));
    EXPECT_EQ(sheet.readAll().count("<img src=\"thumb-"), fragments);
}

TEST(MediaCli, UnrecognisedPayloadIsNamedAndWrittenAsTkl)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "ffmpeg is needed";
    QTemporaryDir dir;
    Disk disk;
    const SFragmentFit video = disk.add(encode({"h264", 30, 2, 320, 240}));
    const SFragmentFit junk = disk.add(QByteArray(50000, 'J'));
    disk.install();
    const QList<CliFragment> found{{1, video, {}}, {2, junk, {}}};
    CliOptions o;
    o.exportDir = dir.path();
    o.format = "mp4";
    char* text = nullptr;
    size_t len = 0;
    FILE* err = open_memstream(&text, &len);
    const int code = runCliExport(o, found, CliExitOk, nullptr, err);
    std::fclose(err);
    const QByteArray message(text, int(len));
    std::free(text);
    EXPECT_EQ(code, CliExitOk) << message.constData();
    EXPECT_TRUE(message.contains("fragment 2") && message.contains("written as .TKL instead")) << message.constData();
    EXPECT_EQ(QDir(dir.path()).entryList({"*_00001.mp4"}).size(), 1);
    QFile tkl(dir.filePath(ExportCore::singleFileName(row(junk, 2))));
    ASSERT_TRUE(tkl.open(QIODevice::ReadOnly)) << tkl.fileName().toStdString();
    EXPECT_EQ(tkl.readAll(), disk.bytes().mid(int(junk.extents->first().start), int(junk.totalBytes)));
}

TEST(MediaCli, FormatOptionIsCheckedWithTheReason)
{
    CliOptions o;
    CliParseResult r = parseCliArguments({"cli", "scan", "x.img", "--export", "d", "--format", "avi"}, &o);
    EXPECT_EQ(r.kind, CliParseResult::Error);
    EXPECT_TRUE(r.message.contains("avi")) << r.message.toStdString();
    r = parseCliArguments({"cli", "scan", "x.img", "--format", "mp4"}, &o);
    EXPECT_EQ(r.kind, CliParseResult::Error);
    EXPECT_TRUE(r.message.contains("--export")) << r.message.toStdString();
    r = parseCliArguments({"cli", "scan", "x.img", "--merge", "m.mp4", "--format=mp4", "--thumbs", "t"}, &o);
    ASSERT_EQ(r.kind, CliParseResult::Ok) << r.message.toStdString();
    EXPECT_EQ(o.format, "mp4");
    EXPECT_EQ(o.thumbsDir, "t");
}

} // namespace
