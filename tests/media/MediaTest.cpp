// Playable copies checked by ffprobe and ffmpeg's own decoding: the right
// codec, picture count and duration, the pictures themselves, damaged and
// continuing recordings, refusals, thumbnails and the contact sheet.
#include "MediaSupport.h"

#include "media/AnnexB.h"
#include "media/ContactSheet.h"
#include "media/MediaFile.h"
#include "tools/imagegen/ImageGen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace mediatest;

namespace {

class MediaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveFfmpeg())
            GTEST_SKIP() << "ffmpeg and ffprobe are needed to make and check test video";
        ASSERT_TRUE(dir.isValid());
    }
    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
    QTemporaryDir dir;
};

class RemuxStreams : public MediaTest, public ::testing::WithParamInterface<StreamSpec> {};

TEST_P(RemuxStreams, PlaysWithTheRightCodecPicturesAndDuration)
{
    const StreamSpec s = GetParam();
    const QByteArray stream = encode(s);
    ASSERT_FALSE(stream.isEmpty());
    Disk disk;
    const SFragmentFit f = disk.add(stream);
    disk.install();

    const Media::Duration d = Media::countPictures(f);
    EXPECT_TRUE(d.known);
    EXPECT_EQ(d.pictures, s.pictures());
    EXPECT_DOUBLE_EQ(d.seconds, double(s.seconds));

    const QList<SPlayListTableItem> rows{row(f, 1)};
    const Media::RemuxResult r = Media::remux(rows, rows, dir.filePath("out.mp4"));
    ASSERT_EQ(r.status, Media::RemuxResult::Written) << r.message.toStdString();
    EXPECT_EQ(r.path, dir.filePath("out.mp4"));
    EXPECT_FALSE(QFile::exists(r.path + ".part"));
    const auto p = probeFile(r.path);
    EXPECT_EQ(p["codec_name"], QString(s.codec));
    EXPECT_EQ(p["nb_read_frames"].toInt(), s.pictures());
    EXPECT_NEAR(p["duration"].toDouble(), s.seconds, 0.01);
    // Presentation order kept (B-pictures): the same pictures as the stream itself.
    EXPECT_EQ(pictureHashes(r.path), pictureHashes(writeFile("in.es", stream), s.codec));
}

INSTANTIATE_TEST_SUITE_P(Codecs, RemuxStreams,
                         ::testing::Values(StreamSpec{"h264", 30, 4, 320, 240}, StreamSpec{"hevc", 15, 4, 352, 288}),
                         [](const auto& info) { return std::string(info.param.codec); });

TEST_F(MediaTest, ZeroFilledStretchDropsDamagedPicturesAndKeepsTheRest)
{
    const StreamSpec s{"h264", 30, 6, 320, 240};
    const QByteArray stream = encode(s);
    Disk disk;
    const SFragmentFit f = disk.add(stream);
    const qint64 middle = f.extents->first().start + f.totalBytes / 3;
    disk.bytes().replace(int(middle), 20000, QByteArray(20000, '\0'));
    disk.install();

    const QList<SPlayListTableItem> rows{row(f, 1)};
    const Media::RemuxResult r = Media::remux(rows, rows, dir.filePath("damaged.mp4"));
    ASSERT_EQ(r.status, Media::RemuxResult::Written) << r.message.toStdString();
    EXPECT_GT(r.dropped, 0);
    const auto p = probeFile(r.path);
    EXPECT_EQ(p["codec_name"], "h264");
    EXPECT_GT(p["nb_read_frames"].toInt(), s.pictures() / 2);
    // The pictures lost with the stretch keep their time: what follows plays when it was recorded.
    EXPECT_NEAR(p["duration"].toDouble(), s.seconds, 2.0 / s.fps);
    // Decoding recovers at the next key picture: the last pictures are whole.
    const QByteArrayList got = pictureHashes(r.path);
    const QByteArrayList want = pictureHashes(writeFile("in.h264", stream), "h264");
    ASSERT_GE(got.size(), 10);
    EXPECT_EQ(got.mid(got.size() - 10), want.mid(want.size() - 10));
}

TEST_F(MediaTest, UnrecognisedPayloadAndMixedMergeAreRefusedNamingTheFragments)
{
    Disk disk;
    QByteArray noise;
    quint32 x = 12345;
    for (int i = 0; i < 200000; ++i) {
        x = x * 1103515245u + 12345u;
        noise += char(x >> 24);
    }
    const SFragmentFit junk = disk.add(noise);
    const SFragmentFit h264 = disk.add(encode({"h264", 30, 2, 320, 240}));
    const SFragmentFit hevc = disk.add(encode({"hevc", 15, 2, 352, 288}));
    disk.install();
    const QList<SPlayListTableItem> all{row(junk, 7), row(h264, 8), row(hevc, 9)};

    Media::RemuxResult r = Media::remux({all[0]}, all, dir.filePath("junk.mp4"));
    EXPECT_EQ(r.status, Media::RemuxResult::Unrecognised);
    EXPECT_TRUE(r.message.contains("fragment 7")) << r.message.toStdString();

    r = Media::remux({all[1], all[2]}, all, dir.filePath("mixed.mp4"));
    EXPECT_EQ(r.status, Media::RemuxResult::Refused);
    EXPECT_TRUE(r.message.contains("fragment 8") && r.message.contains("fragment 9")) << r.message.toStdString();
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
}

TEST_F(MediaTest, SourceFileIsNeverTheOutput)
{
    const QByteArray stream = encode({"h264", 30, 2, 320, 240});
    const QString image = writeFile("disk.mp4", QByteArray(4096, 'x') + QByteArray::fromStdString(tklframe::frame(
                                        reinterpret_cast<const std::uint8_t*>(stream.constData()), size_t(stream.size()))));
    SFragmentFit f;
    f.diskName = QFile::encodeName(image);
    f.extents = std::make_shared<SExtentList>(SExtentList{SExtent{4096, QFileInfo(image).size()}});
    f.totalBytes = QFileInfo(image).size() - 4096;
    const QList<SPlayListTableItem> rows{row(f, 3)};
    const qint64 size = QFileInfo(image).size();
    const Media::RemuxResult r = Media::remux(rows, rows, image);
    EXPECT_EQ(r.status, Media::RemuxResult::Refused);
    EXPECT_TRUE(r.message.contains("fragment 3") && r.message.contains("only ever read")) << r.message.toStdString();
    EXPECT_EQ(QFileInfo(image).size(), size);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"disk.mp4"});
}

TEST_F(MediaTest, ContinuingFragmentBorrowsParameterSetsFromTheOneBefore)
{
    const StreamSpec s{"h264", 30, 4, 320, 240};
    const QByteArray stream = encode(s);
    const int cut = idrAt(stream, 2);
    ASSERT_GT(cut, 0);
    Disk disk;
    const SFragmentFit head = disk.add(stream.left(cut));
    const SFragmentFit tail = disk.add(withoutParameterSets(stream.mid(cut)));
    disk.install();
    const QList<SPlayListTableItem> all{row(head, 1), row(tail, 2)};

    const Media::RemuxResult alone = Media::remux({all[1]}, all, dir.filePath("tail.mp4"));
    ASSERT_EQ(alone.status, Media::RemuxResult::Written) << alone.message.toStdString();
    EXPECT_EQ(probeFile(alone.path)["nb_read_frames"].toInt(), s.pictures() - 2 * s.fps);
    EXPECT_FALSE(Media::thumbnail(tail).ok);
    const QList<SPlayListTableItem> tailOnly{all[1]};
    EXPECT_EQ(Media::remux(tailOnly, tailOnly, dir.filePath("orphan.mp4")).status, Media::RemuxResult::Unrecognised);
    EXPECT_TRUE(Media::thumbnail(tail, 320, &head).ok);

    const Media::RemuxResult merged = Media::remux(all, all, dir.filePath("both.mp4"));
    ASSERT_EQ(merged.status, Media::RemuxResult::Written) << merged.message.toStdString();
    EXPECT_EQ(pictureHashes(merged.path), pictureHashes(writeFile("in.h264", stream), "h264"));
}

struct ThumbCase {
    StreamSpec stream;
    int width, height;
};

class Thumbnails : public MediaTest, public ::testing::WithParamInterface<ThumbCase> {};

TEST_P(Thumbnails, FirstPictureFromTheHeadAtTheExpectedSize)
{
    const ThumbCase c = GetParam();
    // Recorded on for a megabyte or more: a thumbnail must not read it all.
    const QByteArray es = encode(c.stream);
    Disk disk;
    const SFragmentFit f = disk.add(es.repeated(1 + (1 << 20) / es.size()));
    disk.install();
    const Media::Thumbnail t = Media::thumbnail(f);
    ASSERT_TRUE(t.ok) << t.error.toStdString();
    EXPECT_EQ(t.pictureWidth, c.stream.width);
    EXPECT_EQ(t.pictureHeight, c.stream.height);
    // No further than the first picture, give or take the small reads and
    // the unframing's look-ahead of one longest frame.
    const qint64 needed = secondPictureAt(es, QByteArray(c.stream.codec) == "hevc");
    EXPECT_LE(t.sourceBytesRead, std::min<qint64>(Media::kHeadBytes, needed + 3 * 65536));
    const auto p = probeFile(writeFile("t.jpg", t.jpeg));
    EXPECT_EQ(p["codec_name"], "mjpeg");
    EXPECT_EQ(p["width"].toInt(), c.width);
    EXPECT_EQ(p["height"].toInt(), c.height);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Thumbnails,
                         ::testing::Values(ThumbCase{{"h264", 30, 1, 320, 240}, 320, 240},
                                           ThumbCase{{"h264", 30, 1, 640, 360}, 320, 180},
                                           ThumbCase{{"hevc", 15, 1, 352, 288}, 320, 260}),
                         [](const auto& info) {
                             return std::string(info.param.stream.codec) + "_" + std::to_string(info.param.stream.width);
                         });

TEST(ContactSheet, EveryFragmentOnceInDiskOrderInPages)
{
    QTemporaryDir dir;
    QList<Media::SheetEntry> entries;
    const int n = 2 * Media::kSheetPageSize + 50;
    for (int i = 0; i < n; ++i) {
        Media::SheetEntry e;
        e.serial = i + 1;
        e.offset = qint64(n - i) * 4096; // found last, lies first
        e.image = i % 2 ? QStringLiteral("thumb-%1.jpg").arg(e.serial) : QString();
        e.note = QStringLiteral("no picture <here>");
        entries << e;
    }
    QString error;
    ASSERT_TRUE(Media::writeContactSheet(entries, dir.path(), "sheet & co", &error)) << error.toStdString();
    QByteArray all;
    for (const char* page : {"index.html", "index-2.html", "index-3.html"}) {
        QFile f(dir.filePath(page));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << page;
        all += f.readAll();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("index-4.html")));
    EXPECT_FALSE(all.contains("<here>"));
    int last = -1;
    for (int serial = n; serial >= 1; --serial) {
        const QByteArray tag = "id=\"f" + QByteArray::number(serial) + "\"";
        const int at = all.indexOf(tag);
        ASSERT_GT(at, last) << "fragment " << serial << " missing or out of disk order";
        EXPECT_EQ(all.indexOf(tag, at + 1), -1);
        last = at;
    }
}

} // namespace

// The check before any probe: noise and zeros are turned away on their head,
// recorder streams (whole or continuing without parameter sets) are not.
struct SniffCase {
    const char* name;
    QByteArray (*head)();
    bool video;
};
void PrintTo(const SniffCase& c, std::ostream* os)
{
    *os << c.name;
}
class Sniff : public ::testing::TestWithParam<SniffCase> {};

TEST_P(Sniff, HeadIsJudgedWithoutFfmpeg)
{
    if (!haveFfmpeg() && QByteArray(GetParam().name).startsWith("h"))
        GTEST_SKIP() << "ffmpeg is needed to make test video";
    const QByteArray head = GetParam().head().left(Media::kSniffBytes);
    EXPECT_EQ(Media::looksLikeVideo(head.constData(), head.size()), GetParam().video);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, Sniff,
    ::testing::Values(
        SniffCase{"noise",
                  [] {
                      QByteArray b;
                      quint32 x = 99;
                      for (int i = 0; i < Media::kSniffBytes; ++i)
                          b += char((x = x * 1103515245u + 12345u) >> 24);
                      return b;
                  },
                  false},
        SniffCase{"zeros", [] { return QByteArray(Media::kSniffBytes, 0); }, false},
        // Noise strewn with TKL headers whose magic byte was damaged: 00 00 01 xx, length, 40 00.
        SniffCase{"damaged_headers",
                  [] {
                      QByteArray b;
                      quint32 x = 5;
                      for (int i = 0; i < Media::kSniffBytes; ++i)
                          b += char((x = x * 1103515245u + 12345u) >> 24);
                      for (int at = 100, k = 0; at + 8 < b.size(); at += 997, ++k) {
                          x = x * 1103515245u + 12345u;
                          b.replace(at, 8, QByteArray("\0\0\1", 3) + char(x >> 24) + char(x >> 16) + char(x >> 8) +
                                               (k % 2 ? QByteArray("\x40\0", 2) : QByteArray("\0\x40", 2)));
                      }
                      return b;
                  },
                  false},
        SniffCase{"h264", [] { return encode({"h264", 25, 1, 320, 240}); }, true},
        SniffCase{"hevc", [] { return encode({"hevc", 25, 1, 320, 240}); }, true},
        SniffCase{"h264_continuing",
                  [] {
                      const QByteArray es = encode({"h264", 25, 1, 320, 240});
                      return withoutParameterSets(es.mid(idrAt(es, 0) + 4));
                  },
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

// The CLI counts every fragment a scan lists: the synthetic image's payloads
// (noise, zero runs, headers with damaged magic) must be turned away by the
// cheap check, none of them probed by libavformat.
TEST(Sniff, SyntheticFragmentsNeverReachFfmpeg)
{
    imagegen::Truth truth;
    const QByteArray image = imagegen::generateImageBytes(64 << 20, 7, &truth);
    ASSERT_GT(truth.size(), 100);
    nyxSetDeviceFactory([image](const QByteArray&) { return std::make_unique<MemoryDevice>(image); });
    const qint64 before = Media::ffmpegProbes();
    int measured = 0;
    for (const imagegen::TruthFragment& t : truth) {
        SFragmentFit f;
        f.diskName = "/mem/synthetic.img";
        f.totalBytes = t.totalBytes;
        f.extents = std::make_shared<SExtentList>(t.extents);
        measured += Media::countPictures(f).known;
    }
    nyxSetDeviceFactory({});
    EXPECT_EQ(measured, 0);
    EXPECT_EQ(Media::ffmpegProbes(), before);
}

// Access units cut by our own parser, fed in any chunking, are those of
// FFmpeg's raw demuxer (packet for packet; the zero of a 4-byte start code
// may go with either side), with one key picture a second.
class AccessUnits : public ::testing::TestWithParam<StreamSpec> {};

TEST_P(AccessUnits, SameBoundariesAsFfmpegWhateverTheChunking)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    const StreamSpec s = GetParam();
    const QByteArray es = encode(s);
    QTemporaryDir dir;
    const QString file = dir.filePath("in.es");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(es);
    }
    QList<qint64> want; // where each packet starts
    qint64 at = 0;
    for (const QByteArray& line : runTool("ffprobe", {"-v", "error", "-f", s.codec, "-show_entries", "packet=size", "-of",
                                                      "csv=p=0", file})
                                      .split('\n'))
        if (!line.trimmed().isEmpty()) {
            want << at;
            at += line.trimmed().toInt();
        }
    ASSERT_EQ(want.size(), s.pictures());
    ASSERT_EQ(at, es.size());
    const auto codec = QByteArray(s.codec) == "hevc" ? Media::AnnexB::Codec::Hevc : Media::AnnexB::Codec::H264;
    const auto* d = reinterpret_cast<const uint8_t*>(es.constData());
    for (const size_t chunk : {size_t(1), size_t(7), size_t(4096), size_t(es.size())}) {
        QList<qint64> got;
        int keys = 0;
        Media::AnnexB::Splitter sp(codec, [&](const Media::AnnexB::AccessUnit& au) {
            const qint64 start = au.at;
            // Moved onto FFmpeg's boundary when it left the zero before.
            got << (start + 1 < es.size() && es[int(start)] == 0 && want.contains(start + 1) ? start + 1 : start);
            keys += au.key;
            return true;
        });
        for (size_t from = 0; from < size_t(es.size()); from += chunk)
            sp.feed(d + from, std::min(chunk, size_t(es.size()) - from));
        sp.finish();
        EXPECT_EQ(got, want) << "chunks of " << chunk;
        EXPECT_EQ(keys, s.seconds) << "chunks of " << chunk;
        EXPECT_EQ(sp.sequence().width, s.width);
        EXPECT_EQ(double(sp.sequence().fpsNum) / sp.sequence().fpsDen, double(s.fps));
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, AccessUnits,
                         ::testing::Values(StreamSpec{"h264", 30, 2, 320, 240}, StreamSpec{"hevc", 15, 2, 352, 288}),
                         [](const auto& info) { return std::string(info.param.codec); });
