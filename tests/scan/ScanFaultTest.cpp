#include "support/ScanHarness.h"

#include <random>

namespace {

// Runs of 4 frames every 300,000 bytes across the image, each run 40,000
// bytes: frames near every chunk edge, some cut by unreadable chunks.
QByteArray periodicImage(qint64 size, std::vector<qint64>* runStarts)
{
    QByteArray image = noiseImage(size, 77);
    for (qint64 at = 1234; at + 40000 <= size; at += 300000) {
        putRun(image, at, {10000, 10000, 10000, 10000});
        runStarts->push_back(at);
    }
    return image;
}

void checkAgainstReads(const QByteArray& image, qint64 start, const ScanResult& r)
{
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
    checkInvariants(image, r);
    expectSame(expectedFragments(image, start, readableFromLog(r.reads)), r);
    bool afterShort = false;
    for (const FaultRead& read : r.reads) {
        // Sector-aligned, except where a short read left off.
        if (!afterShort) {
            EXPECT_EQ(read.offset % 512, 0);
        }
        EXPECT_LE(read.count, quint32(6 * MiB));
        afterShort = read.result > 0 && read.result < qint64(read.count);
    }
}

bool reported(const ScanResult& r, qint64 start, qint64 end)
{
    for (const SentFragment& s : r.sent)
        if (s.fragment.extents->first().start == start && s.fragment.extents->last().end == end)
            return true;
    return false;
}

} // namespace

// Every run that does not touch [lostStart, lostEnd) is reported whole.
void expectRunsOutside(const ScanResult& r, const std::vector<qint64>& runs, qint64 lostStart, qint64 lostEnd)
{
    for (qint64 at : runs)
        if (at + 40000 <= lostStart || at >= lostEnd) {
            EXPECT_TRUE(reported(r, at, at + 40000)) << at;
        }
}

struct BadSectorCase {
    const char* name;
    qint64 at;
};

class ScanBadSector : public testing::TestWithParam<BadSectorCase> {};

TEST_P(ScanBadSector, CostsOnlyItself)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(24 * MiB, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    const qint64 bad = GetParam().at;
    plan->badArea(bad, bad + 512, EIO);
    const ScanResult r = runScan(plan, 0, image.size());
    checkAgainstReads(image, 0, r);
    EXPECT_EQ(r.lastError, 0) << "a bad sector does not end the scan";
    EXPECT_EQ(r.unreadable, 512);
    EXPECT_EQ(r.untried, 0);
    ASSERT_EQ(r.unreadableRanges.size(), 1u);
    EXPECT_EQ(r.unreadableRanges[0].start, bad);
    EXPECT_EQ(r.unreadableRanges[0].end, bad + 512);
    expectRunsOutside(r, runs, bad, bad + 512);
}

INSTANTIATE_TEST_SUITE_P(ScanFaults, ScanBadSector,
                         testing::Values(BadSectorCase{"FirstSector", 0},
                                         BadSectorCase{"InTheFirstRead", 3 * MiB + 1024},
                                         BadSectorCase{"InARefill", 9 * MiB + 4096},
                                         BadSectorCase{"LastOfAChunk", 10 * MiB - 512},
                                         BadSectorCase{"LastOfTheSource", 24 * MiB - 512}),
                         [](const testing::TestParamInfo<BadSectorCase>& i) { return std::string(i.param.name); });

TEST(ScanFaults, BadAreaIsCrossedWithFewReadsAndOnlyItsBytesAreLost)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(64 * MiB, &runs);
    const qint64 from = 10 * MiB + 512 * 7, to = from + 40 * MiB;
    const ScanResult clean = runScan(image, 0, image.size());
    auto plan = std::make_shared<FaultPlan>(image);
    plan->badArea(from, to, EIO);
    const ScanResult r = runScan(plan, 0, image.size());
    checkAgainstReads(image, 0, r);
    EXPECT_EQ(r.lastError, 0);
    EXPECT_EQ(r.unreadable + r.untried, to - from) << "the edges are narrowed to the sector";
    EXPECT_LT(r.unreadable, 64 * 512) << "inside, probes only";
    ASSERT_FALSE(r.untriedRanges.empty());
    EXPECT_EQ(std::min(r.unreadableRanges.front().start, r.untriedRanges.front().start), from);
    EXPECT_EQ(std::max(r.unreadableRanges.back().end, r.untriedRanges.back().end), to);
    EXPECT_LT(r.reads.size(), clean.reads.size() + 60) << "a bad area costs a few dozen reads";
    expectRunsOutside(r, runs, from, to);
}

TEST(ScanFaults, ShortAndEmptyReadsLoseNoReadableByte)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(20 * MiB, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->shortReadAt(0, 1000);
    plan->shortReadAt(6 * MiB, 2 * MiB - 512);
    plan->emptyReadAt(12 * MiB);
    const ScanResult r = runScan(plan, 0, image.size());
    checkAgainstReads(image, 0, r);
    // Short reads keep their bytes and the rest is read on; an empty read
    // fails every read starting at its offset, so one sector there is lost.
    EXPECT_EQ(r.unreadable, 512);
    EXPECT_EQ(r.untried, 0);
    expectRunsOutside(r, runs, 12 * MiB, 12 * MiB + 512);
}

struct EndCase {
    const char* name;
    int error;
    qint64 badFrom;
    qint64 badTo;
    int expected;
    qint64 keptUpTo; // runs before here were read before the end
};

class ScanAbnormalEnd : public testing::TestWithParam<EndCase> {};

// The reason is kept, fragments found before it are sent, and the scan ends
// short of the range end.
TEST_P(ScanAbnormalEnd, EndsWithTheReason)
{
    const EndCase c = GetParam();
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(c.badTo > 0 ? 16 * MiB : 0, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    if (c.badTo > c.badFrom)
        plan->badArea(c.badFrom, c.badTo, c.error);
    const ScanResult r = runScan(plan, 0, image.size());
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
    EXPECT_EQ(r.lastError, c.expected);
    checkInvariants(image, r);
    if (c.keptUpTo > 0) {
        expectRunsOutside(r, runs, c.keptUpTo, image.size());
    } else {
        EXPECT_TRUE(r.sent.empty());
    }
    EXPECT_LE(r.reads.size(), 40u) << "no going on after the device has gone";
}

INSTANTIATE_TEST_SUITE_P(ScanFaults, ScanAbnormalEnd,
                         testing::Values(EndCase{"DeviceGone", ENODEV, 9 * MiB, 16 * MiB, ENODEV, 8 * MiB},
                                         EndCase{"NoSuchDevice", ENXIO, 5 * MiB, 16 * MiB, ENXIO, 0},
                                         EndCase{"NothingReadable", EIO, 0, 16 * MiB, EIO, 0},
                                         EndCase{"EmptySource", 0, 0, 0, ENOMEDIUM, 0}),
                         [](const testing::TestParamInfo<EndCase>& i) { return std::string(i.param.name); });

TEST(ScanFaults, BadAreaBeyondEveryProbeEndsTheScan)
{
    // Zeros: cheap to make, and no frame to find.
    const QByteArray image = zeroImage(200 * MiB);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->badArea(8 * MiB, 200 * MiB, EIO);
    const ScanResult r = runScan(plan, 0, image.size());
    EXPECT_EQ(r.lastError, EIO);
    EXPECT_LT(r.reads.size(), 60u);
    EXPECT_EQ(r.unreadable + r.untried, 0) << "nothing past the last read is counted yet";
}

TEST(ScanFaults, FailingOpenEndsWithTheReasonAndNoFragment)
{
    QByteArray image = noiseImage(8 * MiB, 5);
    putRun(image, 0, {5000, 5000});
    auto plan = std::make_shared<FaultPlan>(image);
    plan->failOpen = EACCES;
    const ScanResult r = runScan(plan, 0, image.size());
    EXPECT_TRUE(r.sent.empty());
    EXPECT_EQ(r.lastError, EACCES);
    EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
    EXPECT_TRUE(r.reads.empty());
    EXPECT_EQ(plan->created(), 1);
    EXPECT_EQ(plan->deleted(), 1) << "the handle is deleted also when open failed";
}

TEST(ScanFaults, MissingImageFileFailsOpenWithItsReason)
{
    TestScan scan;
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath("\\\\.\\/nonexistent/dir/disk.img");
    ASSERT_EQ(scan.setRange(0, 10 * MiB), 0);
    scan.runHere();
    EXPECT_EQ(scan.lastError(), ENOENT);
    EXPECT_EQ(scan.stopFlags(), quint16('Y' | 'Y' << 8));
    EXPECT_EQ(sink.count(), 0u);
}

TEST(ScanFaults, SourceShrinkingDuringTheScanEnds)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(30 * MiB, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->shrinkAfterReads(3, 9 * MiB + 100);
    const ScanResult r = runScan(plan, 0, image.size());
    checkAgainstReads(image, 0, r);
    for (qint64 at : runs)
        if (at + 40000 <= 8 * MiB) {
            EXPECT_TRUE(reported(r, at, at + 40000)) << at;
        }
}

TEST(ScanFaults, RandomFaultsAlwaysEndAndReportTrueOffsets)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 24; ++round) {
        const qint64 size = 2 * MiB + qint64(rng() % quint32(28 * MiB));
        QByteArray image = noiseImage(size, rng());
        for (qint64 at = qint64(rng() % 100000); at + 70000 < size; at += 50000 + qint64(rng() % 400000)) {
            std::vector<int> run(1 + rng() % 8);
            for (int& len : run)
                len = int(8 + rng() % 20000);
            putRun(image, at, run);
        }
        auto plan = std::make_shared<FaultPlan>(image);
        for (int f = 0; f < 6; ++f) {
            const qint64 chunk = (qint64(rng() % quint32(size / (2 * MiB) + 1)) * 2 + 6) * MiB;
            switch (rng() % 4) {
            case 0: plan->shortReadAt(chunk, qint64(rng() % quint32(2 * MiB))); break;
            case 1: plan->emptyReadAt(chunk); break;
            case 2: plan->readErrorAt(chunk, EIO); break;
            default: plan->badArea(chunk + 5, chunk + 7, EIO); break;
            }
        }
        if (rng() % 4 == 0)
            plan->shortReadAt(0, qint64(rng() % quint32(6 * MiB)));
        const qint64 start = rng() % 2 ? qint64(rng() % 5000000) : 0;
        SCOPED_TRACE(testing::Message() << "round " << round << " size " << size << " start " << start);
        const ScanResult r = runScan(plan, start, size);
        checkAgainstReads(image, start, r);
        if (HasFatalFailure())
            return;
    }
}
