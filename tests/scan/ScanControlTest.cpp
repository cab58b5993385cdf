#include "support/ScanHarness.h"

#include "scan/CSchedule.h"
#include "scan/PauseSemaphore.h"
#include "support/ManualClock.h"

#include <QThread>
#include <climits>
#include <thread>

namespace {

constexpr quint16 kFinished = quint16('Y' | 'Y' << 8);
constexpr quint16 kStopPending = quint16('Y' | 'N' << 8);
constexpr quint16 kIdle = quint16('N' | 'N' << 8);

// A source with a fragment closed early on and one still open later, read
// one chunk at a time under the test's control.
QByteArray controlImage()
{
    QByteArray image = noiseImage(40 * MiB, 31);
    putRun(image, 1000, {3000, 3000});   // closed when the next run is found
    putRun(image, 9000, {4000});         // open until the next run
    putRun(image, 20 * MiB, {5000});     // open at the end
    return image;
}

struct SteppedScan {
    std::shared_ptr<FaultPlan> plan;
    ScopedFaultDevices devices;
    TestScan scan;
    FragmentSink sink;
    ScanWorker worker{scan};
    explicit SteppedScan(const QByteArray& image)
        : plan(std::make_shared<FaultPlan>(image)), devices(plan)
    {
        plan->gateReads();
        sink.attach(scan);
        scan.setDevicePath(kTestDevicePath);
        EXPECT_EQ(scan.setRange(0, image.size()), 0);
    }
    ~SteppedScan()
    {
        plan->gateReads(false);
        scan.stop();
        scan.resume();
        worker.wait(60000);
    }
    // Lets `n` more reads through and waits until the scan is parked at the
    // gate in the read after them.
    void step(int n)
    {
        const int before = int(plan->reads().size());
        plan->allowReads(n);
        ASSERT_TRUE(plan->waitForReads(before + n));
        ASSERT_TRUE(plan->waitForGate());
    }
    bool readsStayAt(size_t n)
    {
        // Give the scan time to make a read it must not make.
        QThread::msleep(150);
        return plan->reads().size() == n;
    }
};

} // namespace

TEST(ScanControl, SetRangeWithoutDevicePathIsRefusedAndChangesNothing)
{
    CFragmentFit scan;
    EXPECT_EQ(scan.formatCode(), 14);
    scan.pause();
    scan.stop();
    EXPECT_EQ(scan.setRange(0, 100), -1);
    EXPECT_EQ(scan.pauseFlag(), 'Y');
    EXPECT_EQ(scan.stopRequested(), 'Y');
    scan.setDevicePath(kTestDevicePath);
    EXPECT_EQ(scan.setRange(0, 100), 0);
    EXPECT_EQ(scan.pauseFlag(), 'N');
    EXPECT_EQ(scan.stopFlags(), kIdle);
}

TEST(ScanControl, StopWhileRunningEndsWithinAPassAndDropsOpenFragments)
{
    SteppedScan s(controlImage());
    s.worker.start();
    s.step(1); // the 6 MiB first read; the scan searched it and waits in its first refill
    s.scan.stop();
    EXPECT_EQ(s.scan.stopFlags(), kStopPending) << "stop requested, run still winding down";
    s.plan->gateReads(false);
    ASSERT_TRUE(s.worker.wait(10000));
    EXPECT_EQ(s.scan.stopFlags(), kFinished);
    // Only the fragment closed before the stop was sent; the open one is dropped.
    const auto sent = s.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].fragment.extents->first().start, 1000);
    EXPECT_LE(s.plan->reads().size(), 2u);
}

TEST(ScanControl, FirstPauseAfterTheStartResumeTakesEffectOnePassLate)
{
    SteppedScan s(controlImage());
    // The panel's start order: start, then resume (remembered by the semaphore).
    s.worker.start();
    s.scan.resume();
    s.step(1); // first read done; pass 1 waits in its refill (read 2)
    s.scan.pause();
    s.plan->allowReads(10);
    // Read 2 ends pass 1; pass 2 passes the wait on the remembered resume and
    // makes read 3; pass 3 blocks.
    ASSERT_TRUE(s.plan->waitForReads(3));
    EXPECT_TRUE(s.readsStayAt(3)) << "the scan must now be blocked";
    EXPECT_EQ(s.plan->waitingReads(), 0);
    EXPECT_EQ(s.scan.stopFlags(), kIdle);
    s.plan->gateReads(true);
    // A later pause takes effect at the next pass.
    s.scan.resume();
    ASSERT_TRUE(s.plan->waitForGate()); // pass 3 waits in read 4
    s.scan.pause();
    s.plan->allowReads(10);
    ASSERT_TRUE(s.plan->waitForReads(4));
    EXPECT_TRUE(s.readsStayAt(4)) << "paused at the pass after the pause";
    // Stop while paused wakes it and it finishes without sending open fragments.
    const size_t sentBefore = s.sink.count();
    EXPECT_EQ(sentBefore, 1u);
    s.scan.stop();
    ASSERT_TRUE(s.worker.wait(10000));
    EXPECT_EQ(s.scan.stopFlags(), kFinished);
    EXPECT_EQ(s.sink.count(), sentBefore);
    EXPECT_EQ(s.plan->reads().size(), 4u);
    EXPECT_EQ(s.scan.pauseFlag(), 'Y') << "stop leaves the pause flag alone";
}

TEST(ScanControl, PausedWithoutResumeBlocksUntilStop)
{
    SteppedScan s(controlImage());
    s.scan.pause();
    s.plan->gateReads(false);
    s.worker.start();
    // Pause set before the first pass and no release: nothing past the first read.
    EXPECT_TRUE(s.readsStayAt(1));
    EXPECT_TRUE(s.worker.running());
    EXPECT_TRUE(s.sink.take().empty());
    s.scan.stop();
    ASSERT_TRUE(s.worker.wait(10000));
    EXPECT_EQ(s.scan.stopFlags(), kFinished);
    EXPECT_TRUE(s.sink.take().empty());
}

TEST(ScanControl, PauseAndResumeMidScanLoseNothing)
{
    const QByteArray image = controlImage();
    auto plan = std::make_shared<FaultPlan>(image);
    ScopedFaultDevices devices(plan);
    TestScan scan;
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath(kTestDevicePath);
    scan.setRange(0, image.size());
    ScanWorker worker(scan);
    worker.start();
    scan.resume();
    for (int k = 0; k < 20 && worker.running(); ++k) {
        scan.pause();
        std::this_thread::yield();
        scan.resume();
    }
    ASSERT_TRUE(worker.wait(20000));
    ScanResult r;
    r.sent = sink.take();
    r.reads = plan->reads();
    expectSame(expectedFragments(image, 0, readableFromLog(r.reads)), r);
    EXPECT_EQ(r.sent.size(), 3u);
}

TEST(ScanControl, SerialsContinueAcrossScansAndScannersAndNoIncrementIsLost)
{
    QByteArray image = noiseImage(12 * MiB, 41);
    for (qint64 at = 0; at + 2000 < image.size(); at += 100000)
        putRun(image, at, {1000});
    const int before = CFragmentFit::fragmentSerial.load();
    const ScanResult a = runScan(image, 0, image.size());
    const ScanResult b = runScan(image, 0, image.size());
    ASSERT_FALSE(a.sent.empty());
    EXPECT_EQ(a.sent.front().serial, before + 1);
    EXPECT_EQ(b.sent.front().serial, a.sent.back().serial + 1);

    // The same scanner run twice continues too.
    auto plan = std::make_shared<FaultPlan>(image);
    ScopedFaultDevices devices(plan);
    TestScan scan;
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath(kTestDevicePath);
    for (int k = 0; k < 2; ++k) {
        scan.setRange(0, image.size());
        ScanWorker worker(scan);
        worker.start();
        ASSERT_TRUE(worker.wait(20000));
    }
    const auto twice = sink.take();
    ASSERT_EQ(twice.size(), 2 * a.sent.size());
    for (size_t k = 1; k < twice.size(); ++k)
        EXPECT_EQ(twice[k].serial, twice[k - 1].serial + 1);

    // Four scanners at once: every serial handed out once, none skipped.
    const int first = CFragmentFit::fragmentSerial.load() + 1;
    std::vector<std::unique_ptr<TestScan>> scans;
    std::vector<std::unique_ptr<FragmentSink>> sinks;
    std::vector<std::unique_ptr<ScanWorker>> workers;
    for (int k = 0; k < 4; ++k) {
        scans.push_back(std::make_unique<TestScan>());
        workers.push_back(std::make_unique<ScanWorker>(*scans.back()));
        sinks.push_back(std::make_unique<FragmentSink>());
        sinks.back()->attach(*scans.back());
        scans.back()->setDevicePath(kTestDevicePath);
        scans.back()->setRange(0, image.size());
    }
    for (auto& w : workers)
        w->start();
    std::vector<int> serials;
    for (size_t k = 0; k < scans.size(); ++k) {
        ASSERT_TRUE(workers[k]->wait(30000));
        for (const auto& s : sinks[k]->take())
            serials.push_back(s.serial);
    }
    std::sort(serials.begin(), serials.end());
    ASSERT_EQ(serials.size(), 4 * a.sent.size());
    for (size_t k = 0; k < serials.size(); ++k)
        EXPECT_EQ(serials[k], first + int(k));
}

TEST(ScanControl, RunsAsAQThreadStartedAndWaitedFor)
{
    // What the scan panel does: start() the thread, stop it, wait() for it.
    const QByteArray image = controlImage();
    auto plan = std::make_shared<FaultPlan>(image);
    ScopedFaultDevices devices(plan);
    plan->gateReads();
    CFragmentFit scan;
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath(kTestDevicePath);
    scan.setRange(0, image.size());
    scan.start();
    scan.resume();
    ASSERT_TRUE(plan->waitForGate());
    EXPECT_TRUE(scan.isRunning());
    plan->allowReads(1);
    ASSERT_TRUE(plan->waitForGate()); // in its first refill
    scan.stop();
    std::thread opener([&] {
        QThread::msleep(100);
        plan->gateReads(false);
    });
    // wait() is entered while the scan is held in a read.
    EXPECT_TRUE(scan.wait(10000));
    opener.join();
    EXPECT_FALSE(scan.isRunning());
    EXPECT_EQ(scan.stopFlags(), kFinished);
    EXPECT_EQ(sink.count(), 1u);
}

TEST(PauseSemaphore, RemembersAtMostOneRelease)
{
    PauseSemaphore sem;
    EXPECT_FALSE(sem.tryAcquire());
    sem.release();
    sem.release();
    EXPECT_EQ(sem.available(), 1);
    EXPECT_TRUE(sem.tryAcquire());
    EXPECT_FALSE(sem.tryAcquire());
    std::thread waiter([&] { sem.acquire(); });
    sem.release();
    waiter.join();
    EXPECT_EQ(sem.available(), 0);
}

TEST(Schedule, SampleIsClampedToTheRangeEnd)
{
    // Past the end (the last refill runs up to 22 MiB over): exactly 100 %, 0 s.
    for (qint64 over : {qint64(0), qint64(1), qint64(22 * MiB)}) {
        const SSchedule s = CSchedule::sample(1000 + over, 1000, 37);
        EXPECT_EQ(s.percent, 100);
        EXPECT_EQ(s.remainingSeconds, 0);
        EXPECT_EQ(s.elapsedSeconds, 37);
    }
    const SSchedule zeroTotal = CSchedule::sample(5, 0, 3);
    EXPECT_EQ(zeroTotal.percent, 100);
    EXPECT_EQ(zeroTotal.remainingSeconds, 0);
    EXPECT_EQ(CSchedule::sample(0, -5, 0).percent, 100);
    // Truncated percent; remaining = (total - p) * elapsed / (p + 1).
    const SSchedule mid = CSchedule::sample(999, 1000, 10);
    EXPECT_EQ(mid.percent, 99);
    EXPECT_EQ(mid.remainingSeconds, 0);
    const SSchedule quarter = CSchedule::sample(250 * MiB - 1, 1000 * MiB, 20);
    EXPECT_EQ(quarter.percent, 24);
    EXPECT_EQ(quarter.remainingSeconds, 60);
    EXPECT_EQ(CSchedule::sample(-4, 100, 1).percent, 0);
    // A huge estimate saturates instead of wrapping negative.
    const SSchedule huge = CSchedule::sample(0, qint64(8) << 40, 1000);
    EXPECT_EQ(huge.remainingSeconds, INT_MAX);
    // No overflow in p * 100 for very large disks.
    EXPECT_EQ(CSchedule::sample(qint64(1) << 62, (qint64(1) << 62) + (qint64(1) << 61), 1).percent, 66);
}

TEST(Schedule, SamplesOncePerUnpausedSecondAndEndsWithAClampedSample)
{
    std::atomic<qint64> position{0};
    std::atomic<char> stopped{'N'};
    std::atomic<char> paused{'Y'};
    struct TestSampler : CSchedule {
        using CSchedule::CSchedule;
        void runHere() { run(); }
    } sampler(&position, &stopped, &paused);
    sampler.setTotal(100 * MiB);
    std::mutex m;
    std::vector<SSchedule> samples;
    QObject::connect(&sampler, &CSchedule::TransmitShowSchedule, &sampler,
                     [&](SSchedule s) { std::lock_guard<std::mutex> g(m); samples.push_back(s); }, Qt::DirectConnection);
    ManualClock clock;
    sampler.setClock(&clock);
    std::thread thread([&] { sampler.runHere(); });
    const auto sampleCount = [&] {
        std::lock_guard<std::mutex> g(m);
        return samples.size();
    };
    ASSERT_TRUE(clock.waitParked());
    ASSERT_TRUE(clock.advance(1300));
    EXPECT_EQ(sampleCount(), 0u) << "no sample while paused";
    position = 10 * MiB;
    paused = 'N';
    ASSERT_TRUE(clock.advance(700));
    EXPECT_EQ(sampleCount(), 1u) << "one at the next whole second";
    ASSERT_TRUE(clock.advance(999));
    EXPECT_EQ(sampleCount(), 1u) << "none before the one after it";
    // The scan ends with its position past the range end.
    position = 100 * MiB + 22 * MiB;
    stopped = 'Y';
    thread.join();
    std::lock_guard<std::mutex> g(m);
    ASSERT_GE(samples.size(), 2u);
    EXPECT_EQ(samples.front().elapsedSeconds, 1) << "paused seconds do not count";
    EXPECT_EQ(samples.front().percent, 10);
    const SSchedule last = samples.back();
    EXPECT_EQ(last.percent, 100);
    EXPECT_EQ(last.remainingSeconds, 0);
    EXPECT_EQ(last.elapsedSeconds, samples[samples.size() - 2].elapsedSeconds) << "the last sample does not add a second";
}

TEST(Schedule, AlreadyStoppedSendsOneFinalSample)
{
    std::atomic<qint64> position{0};
    std::atomic<char> stopped{'Y'};
    std::atomic<char> paused{'N'};
    struct TestSampler : CSchedule {
        using CSchedule::CSchedule;
        void runHere() { run(); }
    } sampler(&position, &stopped, &paused);
    sampler.setTotal(0);
    std::vector<SSchedule> samples;
    QObject::connect(&sampler, &CSchedule::TransmitShowSchedule, &sampler,
                     [&](SSchedule s) { samples.push_back(s); }, Qt::DirectConnection);
    sampler.runHere();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].percent, 100) << "an empty range is done at once";
    EXPECT_EQ(samples[0].elapsedSeconds, 0);
    EXPECT_EQ(samples[0].remainingSeconds, 0);
}

TEST(Schedule, FinishedScanReadsExactly100Percent)
{
    QByteArray image = noiseImage(5 * MiB + 333, 51);
    auto plan = std::make_shared<FaultPlan>(image);
    ScopedFaultDevices devices(plan);
    TestScan scan;
    scan.setDevicePath(kTestDevicePath);
    scan.setRange(4096, image.size());
    scan.runHere();
    EXPECT_GT(scan.publishedPosition()->load(), image.size()) << "the published position runs past the end";
    const SSchedule s = CSchedule::sample(scan.publishedPosition()->load(), image.size(), 4);
    EXPECT_EQ(s.percent, 100);
    EXPECT_EQ(s.remainingSeconds, 0);
}
