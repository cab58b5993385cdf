#include "support/ScanHarness.h"

#include "scan/ScanBuffer.h"

#include <QFile>
#include <QTemporaryDir>

#include <random>

namespace {

std::vector<int> lengths(std::mt19937& rng, qint64 totalAtLeast, int maxLen = 65535)
{
    std::vector<int> out;
    qint64 sum = 0;
    while (sum < totalAtLeast) {
        // Mostly small frames, now and then a big one.
        const int len = rng() % 8 == 0 ? int(8 + rng() % (maxLen - 7)) : int(8 + rng() % 3000);
        out.push_back(len);
        sum += len;
    }
    return out;
}

void expectOneFragment(const ScanResult& r, qint64 start, qint64 end, int frames)
{
    ASSERT_EQ(r.sent.size(), 1u);
    const SFragmentFit& f = r.sent[0].fragment;
    ASSERT_EQ(f.extents->size(), 1);
    EXPECT_EQ(f.extents->first().start, start);
    EXPECT_EQ(f.extents->first().end, end);
    EXPECT_EQ(f.totalBytes, end - start);
    EXPECT_EQ(f.frameCount, frames);
}

} // namespace

TEST(FragmentScan, BackToBackFramesFromTheStartFormOneFragment)
{
    std::mt19937 rng(1);
    QByteArray image = noiseImage(3 * MiB, 1);
    const auto run = lengths(rng, 2 * MiB + 12345);
    const qint64 end = putRun(image, 0, run);
    const ScanResult r = runScan(image, 0, image.size());
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
    expectOneFragment(r, 0, end, int(run.size()));
    checkInvariants(image, r);
}

TEST(FragmentScan, AnyByteBetweenFramesSplitsTheFragmentAndTinyClosedFragmentsAreSent)
{
    QByteArray image = noiseImage(2 * MiB, 2);
    // A: 3 frames; one garbage byte; B: a single 20-byte frame; a gap of 100;
    // C: 2 frames; D after one byte: a lone 9-byte frame left open at the end.
    qint64 p = putRun(image, 1000, {400, 300, 200});
    const qint64 bStart = p + 1;
    p = putRun(image, bStart, {20});
    const qint64 cStart = p + 100;
    p = putRun(image, cStart, {4000, 5000});
    putRun(image, p + 1, {9});
    const ScanResult r = runScan(image, 0, image.size());
    ASSERT_EQ(r.sent.size(), 3u) << "the open 9-byte fragment at the end is dropped";
    EXPECT_EQ(r.sent[0].fragment.extents->first().start, 1000);
    EXPECT_EQ(r.sent[0].fragment.extents->first().end, 1900);
    EXPECT_EQ(r.sent[0].fragment.frameCount, 3);
    EXPECT_EQ(r.sent[1].fragment.extents->first().start, bStart);
    EXPECT_EQ(r.sent[1].fragment.totalBytes, 20);
    EXPECT_EQ(r.sent[2].fragment.extents->first().start, cStart);
    EXPECT_EQ(r.sent[2].fragment.totalBytes, 9000);
    checkInvariants(image, r);
}

// The disk ends inside the last frame: its header is on the disk, so the frame
// is reported with its full length and the export, not the scan, says what is
// missing. Only the fragment's last extent may reach past the end.
TEST(FragmentScan, LastFrameCutOffByTheEndCountsWithItsFullLength)
{
    for (const qint64 size : {qint64(MiB), qint64(4 * MiB + 527)}) {
        QByteArray image = noiseImage(size, 7);
        const qint64 first = size - 5000;
        const qint64 cut = putRun(image, first, {1000, 3300});
        putHeader(image, cut, 2000);
        const ScanResult r = runScan(image, 0, image.size());
        ASSERT_EQ(r.sent.size(), 1u) << "size " << size;
        const SFragmentFit& f = r.sent[0].fragment;
        ASSERT_EQ(f.extents->size(), 1);
        EXPECT_EQ(f.extents->first().start, first);
        EXPECT_EQ(f.extents->first().end, cut + 2000) << "past the end by " << cut + 2000 - size;
        EXPECT_EQ(f.totalBytes, 6300);
        EXPECT_EQ(f.frameCount, 3);
    }
}

TEST(FragmentScan, FramesAndHeadersStraddlingBufferBoundariesStayInOneFragment)
{
    // A header at each offset around each 2 MiB boundary of the first read,
    // the window end and the refills, inside one run of frames.
    const QByteArray noise = noiseImage(12 * MiB + 700, 3);
    for (qint64 boundary : {2 * MiB, 4 * MiB, 6 * MiB, 8 * MiB, 10 * MiB}) {
        for (qint64 d : {-9, -8, -7, -5, -4, -3, -1, 0, 1, 7}) {
            QByteArray image = noise.left(int(boundary + 200000));
            const qint64 runStart = boundary + d - 60000 - 17;
            qint64 p = putRun(image, runStart, {30000, 30017}); // ends at boundary + d
            ASSERT_EQ(p, boundary + d);
            p = putRun(image, p, {100, 65535, 8, 20000});
            const ScanResult r = runScan(image, 0, image.size());
            SCOPED_TRACE(testing::Message() << "boundary " << boundary << " d " << d);
            expectOneFragment(r, runStart, p, 6);
            checkInvariants(image, r);
        }
    }
    // One long run across every boundary at odd offsets.
    std::mt19937 rng(3);
    QByteArray image = noiseImage(14 * MiB, 3);
    const auto run = lengths(rng, 13 * MiB);
    const qint64 end = putRun(image, 777, run);
    const ScanResult r = runScan(image, 0, image.size());
    expectOneFragment(r, 777, end, int(run.size()));
    checkInvariants(image, r);
}

TEST(FragmentScan, HeaderAtTheResumePointOfAFailedSearchDoesNotJoinAcrossAGap)
{
    // A search that finds nothing in a window resumes three bytes before the
    // window end in the next pass; a header sitting exactly there starts at
    // that pass's cursor although garbage lies between it and the previous
    // frame. Only the device offset of the previous frame's end may join them.
    for (qint64 resumePoint : {4 * MiB - 3, 6 * MiB - 3, 8 * MiB - 3}) {
        SCOPED_TRACE(resumePoint);
        QByteArray image = noiseImage(10 * MiB, 21);
        const qint64 aEnd = putRun(image, resumePoint - 50000, {20000, 20000});
        const qint64 bEnd = putRun(image, resumePoint, {3000, 3000});
        const ScanResult r = runScan(image, 0, image.size());
        ASSERT_EQ(r.sent.size(), 2u);
        EXPECT_EQ(r.sent[0].fragment.extents->first().end, aEnd);
        EXPECT_EQ(r.sent[0].fragment.totalBytes, 40000);
        EXPECT_EQ(r.sent[1].fragment.extents->first().start, resumePoint);
        EXPECT_EQ(r.sent[1].fragment.extents->first().end, bEnd);
        EXPECT_EQ(r.sent[1].fragment.frameCount, 2);
        checkInvariants(image, r);
    }
}

TEST(FragmentScan, RangeEndIsHonouredWhereverItFalls)
{
    for (qint64 rangeEnd : {qint64(1 * MiB + 37), 2 * MiB, 4 * MiB - 3, 6 * MiB, 6 * MiB + 100, 7 * MiB + 513, 10 * MiB + 4096}) {
        SCOPED_TRACE(testing::Message() << "range end " << rangeEnd);
        // A run ending exactly at the range end, then a frame right after it
        // that must not be seen.
        {
            QByteArray image = noiseImage(rangeEnd + 100000, 4);
            const qint64 start = rangeEnd - 30000;
            putRun(image, start, {10000, 10000, 10000});
            putRun(image, rangeEnd, {5000, 5000});
            const ScanResult r = runScan(image, 0, rangeEnd);
            expectOneFragment(r, start, rangeEnd, 3);
            for (const FaultRead& read : r.reads)
                EXPECT_LE(read.offset + read.count, rangeEnd) << "no read past the range end";
        }
        // The last examined header position: its 8 bytes end at the range end;
        // the frame runs on past it and counts with its full length.
        {
            QByteArray image = noiseImage(rangeEnd + 100000, 5);
            putRun(image, rangeEnd - 8, {600});
            const ScanResult r = runScan(image, 0, rangeEnd);
            expectOneFragment(r, rangeEnd - 8, rangeEnd - 8 + 600, 1);
        }
        // A header whose last byte lies past the range end is not a header.
        {
            QByteArray image = noiseImage(rangeEnd + 100000, 6);
            putRun(image, rangeEnd - 7, {600});
            const ScanResult r = runScan(image, 0, rangeEnd);
            EXPECT_TRUE(r.sent.empty());
            EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
        }
        // Open at the end: 512 bytes are dropped, 513 are sent.
        for (int total : {512, 513}) {
            QByteArray image = noiseImage(rangeEnd + 100000, 7);
            const qint64 start = rangeEnd - 1000;
            putRun(image, start, {total - 100, 100});
            const ScanResult r = runScan(image, 0, rangeEnd);
            EXPECT_EQ(r.sent.size(), total > 512 ? 1u : 0u) << total;
        }
    }
}

TEST(FragmentScan, StartIsRoundedDownTo512)
{
    QByteArray image = noiseImage(3 * MiB, 8);
    putRun(image, 100, {1000});        // ends at 1100, header before the aligned start
    putRun(image, 1600, {600, 700});   // header after the aligned start 1536, before 1900
    putRun(image, 5000, {2000});       // closes the fragment above
    const ScanResult r = runScan(image, 1900, image.size());
    ASSERT_EQ(r.sent.size(), 2u);
    EXPECT_EQ(r.sent[0].fragment.extents->first().start, 1600);
    EXPECT_EQ(r.sent[0].fragment.frameCount, 2);
    EXPECT_EQ(r.sent[1].fragment.extents->first().start, 5000);
    ASSERT_FALSE(r.reads.empty());
    EXPECT_EQ(r.reads[0].offset, 1536);
    for (const FaultRead& read : r.reads)
        EXPECT_EQ(read.offset % 512, 0);
}

TEST(FragmentScan, ShortAndEmptyRangesEnd)
{
    QByteArray image = noiseImage(3 * MiB, 9);
    putRun(image, 0, {700, 700});
    putRun(image, 2 * MiB - 2000, {1500, 1500});
    struct Case { qint64 start, end; size_t fragments; };
    for (const Case c : {Case{0, 0, 0}, Case{512, 512, 0}, Case{4096, 100, 0}, Case{0, 7, 0}, Case{0, 8, 1}, Case{0, 1407, 1},
                         Case{0, 1400, 1}, Case{0, 1399, 1}, Case{0, 2 * MiB - 1, 2}, Case{0, 2 * MiB + 1000, 2},
                         Case{1 * MiB, 2 * MiB, 1}}) {
        SCOPED_TRACE(testing::Message() << "[" << c.start << ", " << c.end << ")");
        const ScanResult r = runScan(image, c.start, c.end);
        EXPECT_TRUE(r.ended);
        EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
        EXPECT_EQ(r.sent.size(), c.fragments);
        checkInvariants(image, r);
    }
    // A range past the end of the source reads nothing and ends.
    const ScanResult past = runScan(image, 40 * MiB, 90 * MiB);
    EXPECT_TRUE(past.ended);
    EXPECT_TRUE(past.sent.empty());
}

TEST(FragmentScan, ZeroedDiskAndHeaderTrapsGiveNothing)
{
    QByteArray image = zeroImage(9 * MiB);
    // Magic alone, length 0, wrong variants, reversed magic.
    const char* traps[] = {"\x00\x00\x01\xB7\x00\x00\x00\x00", "\x00\x00\x01\xB7\x00\x00\x40\x00",
                           "\x00\x00\x01\xB7\x10\x00\x40\x40", "\xB7\x01\x00\x00\x10\x00\x40\x00"};
    qint64 at = 12345;
    for (int k = 0; k < 2000; ++k, at += 4321)
        image.replace(int(at), 8, traps[k % 4], 8);
    const ScanResult r = runScan(image, 0, image.size());
    EXPECT_TRUE(r.sent.empty());
    EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
}

namespace {

// A disk of noise and zeroed stretches with runs of frames, some split by one
// byte, some overlapping, and header-like traps.
QByteArray randomImage(std::mt19937& rng, qint64 size)
{
    QByteArray image = noiseImage(size, rng());
    for (int z = 0; z < 3; ++z) {
        const qint64 a = qint64(rng() % quint32(size + 1));
        const qint64 n = std::min<qint64>(size - a, rng() % (3 * MiB));
        image.replace(int(a), int(n), QByteArray(int(n), '\0'));
    }
    const int runs = int(rng() % 40);
    for (int k = 0; k < runs; ++k) {
        qint64 at = qint64(rng() % quint32(size + 1));
        const int frames = int(1 + rng() % 60);
        for (int f = 0; f < frames && at < size; ++f) {
            const int len = rng() % 6 == 0 ? int(1 + rng() % 65535) : int(8 + rng() % 5000);
            putHeader(image, at, len, int(1 + rng() % 2));
            at += len;
            if (rng() % 10 == 0)
                at += 1;
        }
    }
    for (int k = 0; k < 200; ++k) {
        const qint64 at = qint64(rng() % quint32(size + 1));
        putHeader(image, at, rng() % 2 ? 0 : 77, 1);
        if (rng() % 2 && at + 7 < size)
            image[int(at + 6)] = image[int(at + 7)];
    }
    return image;
}

void randomScans(quint32 seed, int rounds)
{
    std::mt19937 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        const qint64 size = qint64(rng() % quint32(26 * MiB));
        QByteArray image = randomImage(rng, size);
        qint64 start = rng() % 3 == 0 ? qint64(rng() % quint32(size / 2 + 1)) : 0;
        qint64 end = rng() % 3 == 0 ? start + qint64(rng() % quint32(size - start + 1)) : size;
        SCOPED_TRACE(testing::Message() << "round " << round << " size " << size << " range [" << start << ", " << end << ")");
        const ScanResult r = runScan(image, start, end);
        ASSERT_TRUE(r.ended);
        EXPECT_EQ(r.unreadable, 0);
        checkInvariants(image, r);
        expectSame(expectedFragments(image, start, readableFromLog(r.reads)), r);
        // Without faults everything in range was read.
        const std::vector<SExtent> readable = readableFromLog(r.reads);
        if (end > (start & ~qint64(511))) {
            ASSERT_EQ(readable.size(), 1u);
            EXPECT_EQ(readable[0].start, start & ~qint64(511));
            EXPECT_EQ(readable[0].end, std::min(end, size));
        }
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

} // namespace

TEST(FragmentScan, RandomImagesMatchAByteByByteWalk)
{
    randomScans(11, 25);
}

TEST(FragmentScan, CopyingBufferGivesTheSameResults)
{
    ScanBuffer::forceCopying(true);
    randomScans(12, 8);
    ScanBuffer::forceCopying(false);
}

TEST(FragmentScan, ImageFileOnDiskScansLikeTheSameBytesInMemory)
{
    std::mt19937 rng(13);
    const QByteArray image = randomImage(rng, 9 * MiB + 4321);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("disk image.img");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(image), image.size());
    file.close();

    TestScan scan;
    FragmentSink sink;
    sink.attach(scan);
    const QByteArray device = nyxDevicePathForName(QFile::encodeName(path));
    scan.setDevicePath(device.constData());
    scan.setRange(0, image.size());
    scan.runHere();
    EXPECT_EQ(scan.lastError(), 0);
    EXPECT_EQ(scan.stopFlags(), quint16('Y' | 'Y' << 8));

    const ScanResult memory = runScan(image, 0, image.size());
    const auto onDisk = sink.take();
    ASSERT_EQ(onDisk.size(), memory.sent.size());
    ASSERT_FALSE(onDisk.empty());
    for (size_t k = 0; k < onDisk.size(); ++k) {
        EXPECT_EQ(onDisk[k].fragment.diskName, QFile::encodeName(path));
        const SExtentList& a = *onDisk[k].fragment.extents;
        const SExtentList& b = *memory.sent[k].fragment.extents;
        ASSERT_EQ(a.size(), b.size());
        for (int j = 0; j < a.size(); ++j) {
            EXPECT_EQ(a[j].start, b[j].start);
            EXPECT_EQ(a[j].end, b[j].end);
        }
        EXPECT_EQ(onDisk[k].fragment.totalBytes, memory.sent[k].fragment.totalBytes);
    }
    // The scan never writes its source.
    QFile check(path);
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), image);
}
