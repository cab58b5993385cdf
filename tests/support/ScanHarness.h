#pragma once
// Building source images with frames at chosen offsets, running a scan to its
// end over an in-memory source, and checking what it sent.

#include "support/ReferenceRecogniser.h"
#include "scan/CFragmentFit.h"
#include "support/FaultDevice.h"

#include <QByteArray>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <random>
#include <vector>

constexpr qint64 MiB = 1048576;
extern const char* const kTestDevicePath; // "\\.\memdisk"

// Random bytes that hold no B7 at all, so no header can appear by chance.
QByteArray noiseImage(qint64 size, quint32 seed);
QByteArray zeroImage(qint64 size);

// Writes a frame header (and nothing else) at `at`; bytes past the image end
// are dropped. variant 1: 40 00, 2: 00 40.
void putHeader(QByteArray& image, qint64 at, int length, int variant = 1);
// Frames back to back from `at`; returns the offset after the last one.
qint64 putRun(QByteArray& image, qint64 at, const std::vector<int>& lengths);

struct SentFragment {
    SFragmentFit fragment;
    int serial;
};

struct ScanResult {
    std::vector<SentFragment> sent;
    quint16 stopFlags = 0;
    int lastError = 0;
    qint64 unreadable = 0;
    qint64 untried = 0;
    std::vector<SourceRange> unreadableRanges;
    std::vector<SourceRange> untriedRanges;
    bool ended = false;
    std::vector<FaultRead> reads;
};

// A scanner whose run() the tests call on threads of their own. Joining a
// std::thread is an end-of-thread handshake ThreadSanitizer sees; QThread's
// happens inside Qt's uninstrumented code and would read as a race.
class TestScan : public CFragmentFit {
public:
    using CFragmentFit::CFragmentFit;
    void runHere() { run(); }
};

// run() of a TestScan on a std::thread.
class ScanWorker {
public:
    explicit ScanWorker(TestScan& scan) : m_scan(scan) {}
    ~ScanWorker()
    {
        if (m_thread.joinable()) {
            if (!wait(0)) {
                m_scan.stop();
                m_scan.resume();
            }
            m_thread.join();
        }
    }
    void start()
    {
        m_thread = std::thread([this] {
            m_scan.runHere();
            std::lock_guard<std::mutex> g(m_mutex);
            m_done = true;
            m_cond.notify_all();
        });
    }
    // True once run() has returned (and the thread is joined).
    bool wait(int timeoutMs)
    {
        {
            std::unique_lock<std::mutex> g(m_mutex);
            if (!m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return m_done; }))
                return false;
        }
        if (m_thread.joinable())
            m_thread.join();
        return true;
    }
    bool running()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_thread.joinable() && !m_done;
    }

private:
    TestScan& m_scan;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
};

// Collects fragments as they are emitted (on the scan thread).
class FragmentSink {
public:
    void attach(CFragmentFit& scan);
    std::vector<SentFragment> take() const;
    size_t count() const;

private:
    mutable std::mutex m_mutex;
    std::vector<SentFragment> m_sent;
};

// Scans [start, end) of the plan's bytes through FaultDevices on a real thread.
ScanResult runScan(const std::shared_ptr<FaultPlan>& plan, qint64 start, qint64 end,
                   const ScanGeometry& geometry = ScanGeometry());
inline ScanResult runScan(const QByteArray& image, qint64 start, qint64 end)
{
    return runScan(std::make_shared<FaultPlan>(image), start, end);
}

struct ExpectedFragment {
    std::vector<SExtent> extents;
    qint64 bytes;
    int frames;
};
// What a scan must send, worked out byte by byte over the device: `readable`
// lists the device stretches the scan got (ascending); a header counts when
// its 8 bytes lie inside one of them.
std::vector<ExpectedFragment> expectedFragments(const QByteArray& image, qint64 start,
                                                const std::vector<SExtent>& readable);
// The stretches a scan's reads delivered, from the device's log: every byte
// any read returned (a probe's bytes are read again when the scan gets there).
std::vector<SExtent> readableFromLog(const std::vector<FaultRead>& reads);

// Checks every record against the image: whole frames, extents ascending and
// apart, sums, counts, fixed fields, and serials rising by one.
void checkInvariants(const QByteArray& image, const ScanResult& result);
// Extents, bytes and frame counts equal, in order.
void expectSame(const std::vector<ExpectedFragment>& expected, const ScanResult& result);
