// The generator's ground truth against an independent byte-by-byte scan of
// the same bytes, and the mix of content the scan tests rely on.
#include "tools/imagegen/ImageGen.h"

#include <QTemporaryDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace imagegen;

namespace {

const qint64 MiB = 1024 * 1024;

// Walks the frames of every truth fragment by their headers: each extent must
// be a whole number of back-to-back frames, and the counts must add up.
void expectFramesWalk(const QByteArray& image, const Truth& truth)
{
    const auto* d = reinterpret_cast<const unsigned char*>(image.constData());
    for (const TruthFragment& f : truth) {
        qint64 bytes = 0;
        int frames = 0;
        for (const SExtent& e : f.extents) {
            qint64 p = e.start;
            while (p < e.end) {
                int len = 0;
                ASSERT_LE(p + 8, image.size());
                ASSERT_TRUE(isFrameHeader(d + p, &len)) << "no header at " << p << " in fragment " << f.serial;
                p += len;
                bytes += len;
                ++frames;
            }
            EXPECT_EQ(p, e.end) << "fragment " << f.serial << " overruns its extent";
        }
        EXPECT_EQ(bytes, f.totalBytes) << "fragment " << f.serial;
        EXPECT_EQ(frames, f.frameCount) << "fragment " << f.serial;
    }
}

} // namespace

TEST(ImageGen, TruthMatchesReferenceScanOverSeedsAndSizes)
{
    const qint64 sizes[] = {0, 1, 7, 600, 4096, 100000, 2 * MiB + 3, 7 * MiB - 1, 13 * MiB + 517};
    int checked = 0;
    for (qint64 size : sizes) {
        for (quint64 seed = 1; seed <= 12; ++seed) {
            Truth truth;
            ImageStats stats;
            const QByteArray image = generateImageBytes(size, seed, &truth, &stats);
            ASSERT_EQ(image.size(), size);
            const Truth ref = referenceScan(image);
            ASSERT_EQ(describeDifference(truth, ref), QString()) << "size " << size << " seed " << seed;
            expectFramesWalk(image, truth);
            for (int i = 0; i < truth.size(); ++i) {
                EXPECT_EQ(truth[i].serial, i + 1);
                ASSERT_EQ(truth[i].extents.size(), 1);
                if (i > 0) {
                    EXPECT_GT(truth[i].extents[0].start, truth[i - 1].extents[0].end);
                }
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 9 * 12);
}

TEST(ImageGen, RangesStartingInsideRecordingsSeeOnlyPlantedHeaders)
{
    // A scan that starts inside a frame searches its payload: the payloads
    // must hold no valid header, or the range's truth would not be exact.
    int partial = 0;
    for (quint64 seed = 1; seed <= 10; ++seed) {
        Truth whole;
        ImageStats stats;
        const QByteArray image = generateImageBytes(7 * MiB + 300, seed, &whole, &stats);
        if (stats.lastRecordingDropped)
            continue;
        for (int k = 0; k < 6; ++k) {
            const TruthFragment& f = whole[int((seed * 7 + k * 13) % quint64(whole.size()))];
            const qint64 start = f.extents[0].start + (f.extents[0].end - f.extents[0].start) * (k + 1) / 8;
            const qint64 end = k % 2 ? image.size() : image.size() - 1000 * k;
            const Truth expected = restrictTruth(image, whole, start, end);
            ASSERT_EQ(describeDifference(expected, referenceScan(image, start, end)), QString())
                << "seed " << seed << " range " << start << ".." << end;
            if (!expected.isEmpty() && expected[0].extents[0].start > f.extents[0].start
                && expected[0].extents[0].start < f.extents[0].end)
                ++partial;
        }
    }
    EXPECT_GT(partial, 10);
}

TEST(ImageGen, ImagesHoldTheWholeMix)
{
    ImageStats total;
    int dropped = 0, keptSmallLast = 0, endsAtLastByte = 0;
    for (quint64 seed = 100; seed < 120; ++seed) {
        Truth truth;
        ImageStats s;
        const qint64 size = 9 * MiB + qint64(seed);
        const QByteArray image = generateImageBytes(size, seed, &truth, &s);
        ASSERT_EQ(describeDifference(truth, referenceScan(image)), QString());
        total.frames += s.frames;
        total.shortFrames += s.shortFrames;
        total.splitBySingleByte += s.splitBySingleByte;
        total.straddles += s.straddles;
        total.traps += s.traps;
        total.scrubbed += s.scrubbed;
        total.zeroBytes += s.zeroBytes;
        dropped += s.lastRecordingDropped;
        if (!truth.isEmpty() && truth.last().totalBytes == 513)
            ++keptSmallLast;
        if (!truth.isEmpty() && truth.last().extents.last().end == size)
            ++endsAtLastByte;
    }
    EXPECT_GT(total.shortFrames, 20);
    EXPECT_GT(total.splitBySingleByte, 20);
    EXPECT_GE(total.straddles, 20 * 3); // at least the 2, 4 and 6 MiB steps of every image
    EXPECT_GT(total.traps, 100);
    EXPECT_GT(total.scrubbed, 0);
    EXPECT_GT(total.zeroBytes, 0);
    EXPECT_GT(dropped, 0);
    EXPECT_GT(keptSmallLast, 0);
    EXPECT_GT(endsAtLastByte, 0);
}

TEST(ImageGen, FramesSitAcrossTheBufferSteps)
{
    // Across images, some fragment covers each of the 2, 4 and 6 MiB steps,
    // and some header starts in the 7 bytes before a step.
    int covers[3] = {0, 0, 0};
    int headerAcross = 0;
    for (quint64 seed = 1; seed <= 20; ++seed) {
        Truth truth;
        const QByteArray image = generateImageBytes(8 * MiB, seed, &truth);
        const auto* d = reinterpret_cast<const unsigned char*>(image.constData());
        for (int k = 0; k < 3; ++k) {
            const qint64 b = (k + 1) * 2 * MiB;
            for (const TruthFragment& f : truth)
                if (f.extents[0].start < b && f.extents[0].end > b)
                    ++covers[k];
            for (qint64 p = b - 7; p < b; ++p)
                if (isFrameHeader(d + p))
                    ++headerAcross;
        }
    }
    EXPECT_GT(covers[0], 3);
    EXPECT_GT(covers[1], 3);
    EXPECT_GT(covers[2], 3);
    EXPECT_GT(headerAcross, 2);
}

TEST(ImageGen, SameSeedSameBytesInFileAndMemory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("a.img");
    Truth fileTruth, memTruth, other;
    QString error;
    ASSERT_TRUE(generateImage(path, 5 * MiB + 11, 42, &fileTruth, &error)) << error.toStdString();
    const QByteArray mem = generateImageBytes(5 * MiB + 11, 42, &memTruth);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll() == mem);
    EXPECT_EQ(describeDifference(fileTruth, memTruth), QString());
    EXPECT_FALSE(generateImageBytes(5 * MiB + 11, 43, &other) == mem);

    EXPECT_FALSE(generateImage(dir.filePath("no/such/dir/x.img"), 100, 1, &other, &error));
    EXPECT_TRUE(error.contains("no/such/dir/x.img"));
}

TEST(ImageGen, TruthFileRoundTripsAndRejectsBadLines)
{
    Truth truth;
    generateImageBytes(3 * MiB, 5, &truth);
    ASSERT_FALSE(truth.isEmpty());
    const QByteArray disk = "/tmp/odd \"name\"\\x.img";
    const QByteArray text = truthJsonLines(truth, disk);
    Truth back;
    QString error;
    QByteArray diskBack;
    ASSERT_TRUE(parseJsonLines(text, &back, &error, &diskBack)) << error.toStdString();
    EXPECT_EQ(describeDifference(truth, back), QString());
    EXPECT_EQ(diskBack, disk);

    EXPECT_FALSE(parseJsonLines("{\"serial\":1}\n", &back, &error));
    EXPECT_TRUE(error.contains("line 1"));
    EXPECT_FALSE(parseJsonLines(text + "not json\n", &back, &error));
}

TEST(ReferenceScan, FollowsTheFragmentRules)
{
    QByteArray img(4096, '\x11');
    auto* d = reinterpret_cast<unsigned char*>(img.data());
    // Three frames back to back at 100, a gap byte, one frame, then a small tail fragment.
    writeFrameHeader(d + 100, 300, 1);
    writeFrameHeader(d + 400, 8, 2);
    writeFrameHeader(d + 408, 7, 1); // 7 bytes, its 8th header byte is the next magic's 00
    writeFrameHeader(d + 415, 20, 2);
    writeFrameHeader(d + 436, 3, 1);  // after one gap byte: a new fragment of 3 bytes
    writeFrameHeader(d + 1000, 512, 2); // last fragment, 512 bytes: dropped
    Truth t = referenceScan(img);
    ASSERT_EQ(t.size(), 2);
    EXPECT_EQ(t[0].extents[0].start, 100);
    EXPECT_EQ(t[0].extents[0].end, 435);
    EXPECT_EQ(t[0].frameCount, 4);
    EXPECT_EQ(t[0].totalBytes, 335);
    EXPECT_EQ(t[1].extents[0].start, 436);
    EXPECT_EQ(t[1].totalBytes, 3);
    writeFrameHeader(d + 1000, 513, 2);
    t = referenceScan(img);
    ASSERT_EQ(t.size(), 3);
    EXPECT_EQ(t[2].totalBytes, 513);

    // The start goes down to the sector; a header whose 8 bytes pass the end is not seen.
    t = referenceScan(img, 511, 1000 + 7);
    ASSERT_EQ(t.size(), 1);
    EXPECT_EQ(t[0].extents[0].start, 100);
    t = referenceScan(img, 1000, 1000 + 8);
    ASSERT_EQ(t.size(), 1);
    EXPECT_EQ(t[0].extents[0].start, 1000);
    EXPECT_EQ(t[0].extents[0].end, 1513);
    EXPECT_EQ(referenceScan(img, 1023, 4096).size(), 1); // from 512
    EXPECT_EQ(referenceScan(img, 1024, 4096).size(), 0); // past the header at 1000
}

TEST(DemoImage, FramesH264NalUnitsAsTklFrames)
{
    // Three NAL units, the middle one longer than a frame can carry.
    QByteArray stream;
    stream += QByteArray::fromHex("00000001") + QByteArray(20, '\x67');
    QByteArray big(100000, '\x41');
    big[0] = '\x65';
    stream += QByteArray::fromHex("000001") + big;
    stream += QByteArray::fromHex("00000001") + QByteArray(5, '\x68');
    const QVector<QByteArray> frames = frameH264AsTkl(stream, 2);
    ASSERT_EQ(frames.size(), 4);
    QByteArray payloads;
    for (const QByteArray& f : frames) {
        int len = 0;
        ASSERT_TRUE(isFrameHeader(reinterpret_cast<const unsigned char*>(f.constData()), &len));
        EXPECT_EQ(len, f.size());
        EXPECT_EQ(f[6], '\0'); // variant 2
        EXPECT_EQ(f[7], '\x40');
        payloads += f.mid(8);
    }
    // Every NAL starts a frame with a 4-byte start code; the long one goes on without one.
    EXPECT_TRUE(frames[0].mid(8).startsWith(QByteArray::fromHex("0000000167")));
    EXPECT_TRUE(frames[1].mid(8).startsWith(QByteArray::fromHex("0000000165")));
    EXPECT_EQ(frames[1].size(), 65535);
    EXPECT_TRUE(frames[2].mid(8).startsWith("\x41\x41"));
    EXPECT_TRUE(frames[3].mid(8).startsWith(QByteArray::fromHex("0000000168")));
    QByteArray normalised = stream;
    normalised.replace(QByteArray::fromHex("000000016541"), QByteArray::fromHex("0000016541"));
    normalised.replace(QByteArray::fromHex("0000016541"), QByteArray::fromHex("000000016541"));
    EXPECT_EQ(payloads, normalised);
}

TEST(DemoImage, RealVideoInFiveFragmentsWithExactTruth)
{
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty() || QStandardPaths::findExecutable("ffprobe").isEmpty())
        GTEST_SKIP() << "ffmpeg is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString img = dir.filePath("demo.img");
    Truth truth;
    QString error;
    ASSERT_TRUE(generateDemoImage(img, 16 * MiB, 3, 16, &truth, &error)) << error.toStdString();
    QFile f(img);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray image = f.readAll();
    EXPECT_EQ(image.size(), 16 * MiB);
    ASSERT_EQ(truth.size(), 5); // four recordings, the second split in two
    EXPECT_EQ(describeDifference(truth, referenceScan(image)), QString());
    expectFramesWalk(image, truth);

    ASSERT_TRUE(writeExpectedFiles(img, truth, dir.filePath("expect"), &error)) << error.toStdString();
    for (const TruthFragment& t : truth) {
        QFile e(dir.filePath(QString::asprintf("expect/fragment-%05d.TKL", t.serial)));
        ASSERT_TRUE(e.open(QIODevice::ReadOnly));
        EXPECT_EQ(e.readAll(), image.mid(int(t.extents[0].start), int(t.totalBytes)));
    }
    // Each fragment, the part after the damage too, is video a player decodes.
    for (int serial : {1, 3}) {
        QProcess probe;
        probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                                "stream=nb_read_frames", "-of", "csv=p=0", "-f", "h264",
                                dir.filePath(QString::asprintf("expect/fragment-%05d.TKL", serial))});
        ASSERT_TRUE(probe.waitForFinished(60000));
        EXPECT_GT(probe.readAllStandardOutput().trimmed().toInt(), 5) << "fragment " << serial;
    }

    EXPECT_FALSE(generateDemoImage(dir.filePath("small.img"), 1 * MiB, 3, 8, &truth, &error));
    EXPECT_TRUE(error.contains("--size")) << error.toStdString();
}
