// Reading ahead must change nothing but who waits: same fragments, same
// lost ranges, same reason as reading in the scan thread, whether a reader
// thread reads ahead or the device queues the reads itself.

#include "support/ScanHarness.h"

#include <QDir>
#include <random>
#include <tuple>

namespace {

ScanGeometry withReadAhead(ScanGeometry::ReadAhead mode)
{
    ScanGeometry g;
    g.readAhead = mode;
    return g;
}

// Runs of frames every 300,000 bytes, some across chunk edges.
QByteArray runsImage(qint64 size, quint32 seed)
{
    QByteArray image = noiseImage(size, seed);
    for (qint64 at = 1234; at + 40000 <= size; at += 300000)
        putRun(image, at, {10000, 10000, 10000, 10000});
    return image;
}

std::vector<ExpectedFragment> fragmentsOf(const ScanResult& r)
{
    std::vector<ExpectedFragment> out;
    for (const SentFragment& s : r.sent) {
        ExpectedFragment e{{}, s.fragment.totalBytes, s.fragment.frameCount};
        for (int j = 0; j < s.fragment.extents->size(); ++j)
            e.extents.push_back(s.fragment.extents->at(j));
        out.push_back(e);
    }
    return out;
}

void expectSameRanges(const std::vector<SourceRange>& a, const std::vector<SourceRange>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].start, b[k].start) << k;
        EXPECT_EQ(a[k].end, b[k].end) << k;
    }
}

int threadCount() { return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

struct FaultCase {
    const char* name;
    void (*plant)(FaultPlan& plan, qint64 size);
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

// Who reads ahead: a thread, the device, or the device until it refuses.
struct Ahead {
    const char* name;
    bool queued;
    int refuseAt; // the queueing refused, then a thread
    int plainAt;  // the await that says to read the plain way
};

const Ahead kAheads[] = {
    {"Thread", false, 0, 0},
#ifndef __SANITIZE_THREAD__
    // One thread only: nothing for ThreadSanitizer to look at.
    {"Queued", true, 0, 3},
#endif
    {"QueuedThenThread", true, 6, 2},
};

class ScanReadAhead : public testing::TestWithParam<std::tuple<FaultCase, Ahead>> {};

} // namespace

TEST_P(ScanReadAhead, SameResultAsReadingInTheScanThread)
{
    const qint64 size = 40 * MiB + 4096;
    const QByteArray image = runsImage(size, 5);
    auto plain = std::make_shared<FaultPlan>(image);
    auto ahead = std::make_shared<FaultPlan>(image);
    const FaultCase& fault = std::get<0>(GetParam());
    const Ahead& how = std::get<1>(GetParam());
    fault.plant(*plain, size);
    fault.plant(*ahead, size);
    if (how.queued)
        ahead->queueReads(how.refuseAt, how.plainAt);
    const ScanResult want = runScan(plain, 3000, size, withReadAhead(ScanGeometry::Never));
    const int before = threadCount();
    const ScanResult got = runScan(ahead, 3000, size, withReadAhead(ScanGeometry::Always));
    EXPECT_EQ(threadCount(), before) << "no reader thread outlives the scan";
    ASSERT_TRUE(got.ended);
    EXPECT_FALSE(want.sent.empty());
    expectSame(fragmentsOf(want), got);
    expectSameRanges(want.unreadableRanges, got.unreadableRanges);
    expectSameRanges(want.untriedRanges, got.untriedRanges);
    EXPECT_EQ(got.lastError, want.lastError);
    EXPECT_EQ(got.stopFlags, want.stopFlags);
    if (how.queued && how.refuseAt == 0) {
        // A queued read the device cannot finish is read again once, not
        // taken for a failure and narrowed: the same reads as without it.
        auto queued = std::make_shared<FaultPlan>(image);
        fault.plant(*queued, size);
        queued->queueReads();
        const ScanResult same = runScan(queued, 3000, size, withReadAhead(ScanGeometry::Always));
        ASSERT_EQ(got.reads.size(), same.reads.size());
        for (size_t k = 0; k < same.reads.size(); ++k) {
            EXPECT_EQ(got.reads[k].offset, same.reads[k].offset) << k;
            EXPECT_EQ(got.reads[k].count, same.reads[k].count) << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ScanFaults, ScanReadAhead,
    testing::Combine(testing::Values(
        FaultCase{"Clean", [](FaultPlan&, qint64) {}},
        FaultCase{"BadSector", [](FaultPlan& p, qint64) { p.badArea(10 * MiB + 700, 10 * MiB + 701); }},
        FaultCase{"BadArea", [](FaultPlan& p, qint64) { p.badArea(13 * MiB + 5000, 21 * MiB + 3); }},
        FaultCase{"ShortAndFailedReads", [](FaultPlan& p, qint64) {
            p.shortReadAt(8 * MiB, 70000);
            p.emptyReadAt(12 * MiB);
            p.readErrorAt(16 * MiB, EIO);
        }},
        FaultCase{"DeviceGone", [](FaultPlan& p, qint64) { p.readErrorAt(18 * MiB, ENODEV); }},
        FaultCase{"BadToTheEnd", [](FaultPlan& p, qint64 size) { p.badArea(33 * MiB, size); }},
        FaultCase{"Random", [](FaultPlan& p, qint64 size) {
            std::mt19937 rng(7);
            for (int f = 0; f < 8; ++f) {
                const qint64 at = qint64(rng() % quint32(size - 4096));
                if (rng() % 2)
                    p.badArea(at, at + 1 + qint64(rng() % quint32(3 * MiB)));
                else
                    p.shortReadAt(at / (2 * MiB) * 2 * MiB, qint64(rng() % quint32(2 * MiB)));
            }
        }}),
        testing::ValuesIn(kAheads)),
    [](const testing::TestParamInfo<std::tuple<FaultCase, Ahead>>& info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

// A stop while reads are in flight: the scan ends after at most the reads
// already announced, and every fragment in the bytes it took is sent.
TEST(ScanFaults, StopWithReadsInFlightEndsAndKeepsWhatWasRead)
{
    const QByteArray image = runsImage(64 * MiB, 9);
    auto plan = std::make_shared<FaultPlan>(image);
    plan->gateReads();
    ScopedFaultDevices devices(plan);
    TestScan scan(withReadAhead(ScanGeometry::Always));
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath(kTestDevicePath);
    ASSERT_EQ(scan.setRange(0, image.size()), 0);
    ScanResult r;
    {
        ScanWorker worker(scan);
        worker.start();
        plan->allowReads(3); // the first read and two read ahead
        ASSERT_TRUE(plan->waitForReads(3));
        ASSERT_TRUE(plan->waitForGate()); // the thread waits inside the next read
        // Counted while the scan and its reader run: a sanitizer adds threads of its own.
        const int during = threadCount();
        scan.stop();
        const size_t atStop = plan->reads().size();
        plan->gateReads(false);
        r.ended = worker.wait(10000);
        ASSERT_TRUE(r.ended);
        EXPECT_LE(plan->reads().size(), atStop + 3) << "reads queued before the stop are dropped";
        EXPECT_EQ(threadCount(), during - 2) << "the scan's thread and its reader have ended";
    }
    r.sent = sink.take();
    const qint64 taken = scan.readBytes();
    EXPECT_GE(taken, 6 * MiB);
    EXPECT_LT(taken, image.size());
    expectSame(expectedFragments(image, 0, {SExtent{0, taken}}), r);
}
