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
    for (const FaultRead& read : r.reads) {
        EXPECT_EQ(read.offset % 512, 0);
        EXPECT_LE(read.count, quint32(6 * MiB));
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

TEST(ScanFaults, ShortRefillSkipsItsChunkAndLaterFramesKeepTheirOffsets)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(20 * MiB, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->shortReadAt(6 * MiB, 1000);   // first refill
    plan->shortReadAt(12 * MiB, 2 * MiB - 512);
    const ScanResult r = runScan(plan, 0, image.size());
    checkAgainstReads(image, 0, r);
    // The chunks after the short ones are read at their own offsets.
    const std::vector<SExtent> readable = readableFromLog(r.reads);
    ASSERT_EQ(readable.size(), 3u);
    EXPECT_EQ(readable[0].end, 6 * MiB);
    EXPECT_EQ(readable[1].start, 8 * MiB);
    EXPECT_EQ(readable[1].end, 12 * MiB);
    EXPECT_EQ(readable[2].start, 14 * MiB);
    EXPECT_EQ(r.unreadable, 4 * MiB);
    // Every run wholly outside the lost chunks is reported exactly.
    int whole = 0;
    for (qint64 at : runs) {
        const bool lost = (at < 8 * MiB && at + 40000 > 6 * MiB) || (at < 14 * MiB && at + 40000 > 12 * MiB);
        if (!lost) {
            EXPECT_TRUE(reported(r, at, at + 40000)) << at;
            ++whole;
        }
    }
    EXPECT_GT(whole, 50);
}

TEST(ScanFaults, EmptyRefillSkipsAFurther20MiB)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(40 * MiB, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->emptyReadAt(8 * MiB);
    const ScanResult r = runScan(plan, 0, image.size());
    checkAgainstReads(image, 0, r);
    bool jumped = false;
    for (size_t k = 1; k < r.reads.size(); ++k)
        if (r.reads[k - 1].offset == 8 * MiB)
            jumped = r.reads[k].offset == 30 * MiB;
    EXPECT_TRUE(jumped) << "the read after an empty one is 22 MiB further on";
    EXPECT_EQ(r.unreadable, 22 * MiB);
    for (qint64 at : runs)
        if (at > 30 * MiB || at + 40000 < 8 * MiB) {
            EXPECT_TRUE(reported(r, at, at + 40000)) << at;
        }
}

TEST(ScanFaults, FailingRefillsAndABadAreaAreSkipped)
{
    std::vector<qint64> runs;
    const QByteArray image = periodicImage(30 * MiB, &runs);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->readErrorAt(10 * MiB, EIO);
    plan->badArea(17 * MiB + 3, 21 * MiB, EIO);
    plan->shortReadAt(24 * MiB, 0);
    const ScanResult r = runScan(plan, 100, image.size());
    checkAgainstReads(image, 100, r);
    EXPECT_EQ(r.lastError, 0) << "only open and the first read are reported";
}

TEST(ScanFaults, ShortFirstReadIsSearchedAndTheScanGoesOn)
{
    for (qint64 got : {qint64(0), qint64(1000), qint64(1 * MiB + 3), qint64(3 * MiB), qint64(5 * MiB)}) {
        SCOPED_TRACE(got);
        std::vector<qint64> runs;
        const QByteArray image = periodicImage(16 * MiB, &runs);
        auto plan = std::make_shared<FaultPlan>(image);
        plan->shortReadAt(0, got);
        const ScanResult r = runScan(plan, 0, image.size());
        checkAgainstReads(image, 0, r);
        ASSERT_GE(r.reads.size(), 2u);
        EXPECT_EQ(r.reads[1].offset, 6 * MiB);
        EXPECT_TRUE(reported(r, runs.back(), runs.back() + 40000));
        EXPECT_EQ(r.unreadable, 6 * MiB - got);
    }
}

TEST(ScanFaults, FailingFirstReadOrOpenEndsWithTheReasonAndNoFragment)
{
    QByteArray image = noiseImage(8 * MiB, 5);
    putRun(image, 0, {5000, 5000});
    {
        auto plan = std::make_shared<FaultPlan>(image);
        plan->readErrorAt(0, EIO);
        const ScanResult r = runScan(plan, 0, image.size());
        EXPECT_TRUE(r.sent.empty());
        EXPECT_EQ(r.lastError, EIO);
        EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
        EXPECT_EQ(r.reads.size(), 1u);
        EXPECT_EQ(plan->deleted(), 1);
    }
    {
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
