#pragma once
// FaultDevice: an in-memory source (NyxCIOSystemDevice) over a QByteArray that
// fails the way damaged disks do, for tests of every reader of a source.
//
//   auto plan = std::make_shared<FaultPlan>(bytes);
//   plan->failOpen = EACCES;                 // open() returns EACCES
//   plan->readErrorAt(off, EIO);             // a read starting at off returns -EIO
//   plan->shortReadAt(off, 1000);            // ... returns at most 1000 bytes
//   plan->emptyReadAt(off);                  // ... returns 0 bytes
//   plan->badArea(start, end, EIO);          // any read touching [start, end) fails
//   plan->shrinkAfterReads(3, newSize);      // the source shrinks after 3 reads
//   plan->kernelCopy = true;                 // copyTo works, as copy_file_range does:
//                                            // up to a bad area, then its error
//   plan->gateReads(); plan->allowReads(2);  // reads wait for tokens (step a reader)
//   plan->waitForReads(3);                   // until 3 reads have been made
//   plan->waitForWaiting(2);                 // until 2 readers are parked at the gate
//   ScopedFaultDevices scope(plan);          // every device made now is a FaultDevice
//   ... run the reader ...
//   plan->reads()                            // what was read: offset, count, result
//
// The plan is shared by the devices made from it and by the test, so it
// outlives the devices and the log can be checked after the reader deleted
// its handle. All members are safe to use from any thread.

#include "disk/Nyx.h"

#include <QByteArray>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

struct FaultRead {
    std::int64_t offset;
    std::uint32_t count;
    std::int64_t result;
};

class FaultPlan {
public:
    explicit FaultPlan(QByteArray bytes = QByteArray()) : m_bytes(std::move(bytes)) {}

    // Setup (before the reader runs).
    int failOpen = 0;
    bool kernelCopy = false;
    void readErrorAt(std::int64_t offset, int error = EIO) { setRule(offset, Rule{Rule::Error, error}); }
    void shortReadAt(std::int64_t offset, std::int64_t bytes) { setRule(offset, Rule{Rule::Short, bytes}); }
    void emptyReadAt(std::int64_t offset) { setRule(offset, Rule{Rule::Short, 0}); }
    void badArea(std::int64_t start, std::int64_t end, int error = EIO)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_bad.push_back({start, end, error});
    }
    // Devices queue reads ahead themselves, as io_uring does, and make them
    // when awaited. The refuseAt-th queueing is refused (the reader turns to
    // a thread) and the plainAt-th await says to read the plain way.
    void queueReads(int refuseAt = 0, int plainAt = 0)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_queueing = true;
        m_refuseAt = refuseAt;
        m_plainAt = plainAt;
    }
    int queueTicket()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (!m_queueing || ++m_queued == m_refuseAt)
            return -EOPNOTSUPP;
        return m_queued;
    }
    bool awaitPlain()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return ++m_awaited == m_plainAt;
    }
    void shrinkAfterReads(int reads, std::int64_t newSize)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_shrinkAfter = reads;
        m_shrinkTo = newSize;
    }

    // Stepping: once gated, every read waits for a token from allowReads().
    // Gating (again) drops unused tokens.
    void gateReads(bool on = true)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_gated = on;
        m_tokens = 0;
        m_cond.notify_all();
    }
    void allowReads(int n)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_tokens += n;
        m_cond.notify_all();
    }
    // Waits until at least n reads have completed; false after timeoutMs.
    bool waitForReads(int n, int timeoutMs = 10000) const
    {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return int(m_log.size()) >= n; });
    }
    // Waits until a read is held at the gate (the reader is parked there).
    bool waitForGate(int timeoutMs = 10000) const
    {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_waiting > 0 && m_tokens == 0; });
    }
    // Waits until n readers are parked at the gate at once.
    bool waitForWaiting(int n, int timeoutMs = 10000) const
    {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_waiting >= n && m_tokens == 0; });
    }
    // Reads started but waiting at the gate.
    int waitingReads() const { std::lock_guard<std::mutex> g(m_mutex); return m_waiting; }

    // Results.
    std::vector<FaultRead> reads() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_log;
    }
    int opened() const { std::lock_guard<std::mutex> g(m_mutex); return m_opened; }
    // Threads that read or copied, and a wait until n have.
    size_t readerThreads() const { std::lock_guard<std::mutex> g(m_mutex); return m_readers.size(); }
    bool waitForReaderThreads(size_t n, int timeoutMs = 10000) const
    {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_readers.size() >= n; });
    }
    int created() const { std::lock_guard<std::mutex> g(m_mutex); return m_created; }
    int deleted() const { std::lock_guard<std::mutex> g(m_mutex); return m_deleted; }
    QByteArray lastPath() const { std::lock_guard<std::mutex> g(m_mutex); return m_lastPath; }
    std::int64_t size() const { std::lock_guard<std::mutex> g(m_mutex); return m_bytes.size(); }

    // Device side.
    void noteCreated(const QByteArray& path) { std::lock_guard<std::mutex> g(m_mutex); ++m_created; m_lastPath = path; }
    void noteDeleted() { std::lock_guard<std::mutex> g(m_mutex); ++m_deleted; }
    int open()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (failOpen)
            return failOpen;
        ++m_opened;
        return 0;
    }
    // Only the gate, for devices of other kinds that hold their reads here.
    void passGate()
    {
        std::unique_lock<std::mutex> g(m_mutex);
        waitAtGate(g);
    }
    std::int64_t read(void* dst, std::int64_t offset, std::uint32_t count)
    {
        std::unique_lock<std::mutex> g(m_mutex);
        waitAtGate(g);
        std::int64_t result = readLocked(dst, offset, count);
        m_log.push_back({offset, count, result});
        m_readers.insert(std::this_thread::get_id());
        if (m_shrinkAfter > 0 && int(m_log.size()) == m_shrinkAfter && m_shrinkTo < m_bytes.size())
            m_bytes.truncate(int(std::max<std::int64_t>(0, m_shrinkTo)));
        m_cond.notify_all();
        return result;
    }

    // copyTo of a device: the bytes before the first bad area written to fd;
    // the area's error when it starts there. Not logged as reads.
    std::int64_t copyOut(int fd, std::int64_t offset, std::uint32_t count)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (!kernelCopy)
            return -EOPNOTSUPP;
        if (m_readers.insert(std::this_thread::get_id()).second)
            m_cond.notify_all();
        std::int64_t end = std::min<std::int64_t>(offset + count, m_bytes.size());
        for (const Bad& b : m_bad) {
            if (b.start < end && b.end > offset) {
                if (b.start <= offset)
                    return -b.error;
                end = b.start;
            }
        }
        std::int64_t done = 0;
        while (offset + done < end) {
            const ssize_t w = ::write(fd, m_bytes.constData() + offset + done, size_t(end - offset - done));
            if (w < 0)
                return done > 0 ? done : -errno;
            done += w;
        }
        return done;
    }

private:
    void waitAtGate(std::unique_lock<std::mutex>& g)
    {
        if (!m_gated)
            return;
        ++m_waiting;
        m_cond.notify_all();
        m_cond.wait(g, [this] { return !m_gated || m_tokens > 0; });
        --m_waiting;
        if (m_gated)
            --m_tokens;
    }
    struct Rule {
        enum Kind { Error, Short } kind;
        std::int64_t value;
    };
    struct Bad {
        std::int64_t start, end;
        int error;
    };
    void setRule(std::int64_t offset, Rule rule)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_rules[offset] = rule;
    }

    std::int64_t readLocked(void* dst, std::int64_t offset, std::uint32_t count)
    {
        if (offset < 0)
            return -EINVAL;
        for (const Bad& b : m_bad)
            if (offset < b.end && offset + std::int64_t(count) > b.start)
                return -b.error;
        std::int64_t limit = count;
        auto it = m_rules.find(offset);
        if (it != m_rules.end()) {
            if (it->second.kind == Rule::Error)
                return -it->second.value;
            limit = std::min<std::int64_t>(limit, it->second.value);
        }
        if (offset >= m_bytes.size())
            return 0;
        const std::int64_t n = std::min<std::int64_t>(limit, m_bytes.size() - offset);
        std::memcpy(dst, m_bytes.constData() + offset, size_t(n));
        return n;
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    bool m_gated = false;
    int m_tokens = 0;
    int m_waiting = 0;
    QByteArray m_bytes;
    std::map<std::int64_t, Rule> m_rules;
    std::vector<Bad> m_bad;
    std::vector<FaultRead> m_log;
    bool m_queueing = false;
    int m_refuseAt = 0, m_plainAt = 0, m_queued = 0, m_awaited = 0;
    int m_shrinkAfter = 0;
    std::int64_t m_shrinkTo = 0;
    int m_opened = 0;
    int m_created = 0;
    int m_deleted = 0;
    QByteArray m_lastPath;
    std::set<std::thread::id> m_readers;
};

class FaultDevice : public NyxCIOSystemDevice {
public:
    FaultDevice(std::shared_ptr<FaultPlan> plan, const QByteArray& path) : m_plan(std::move(plan)) { m_plan->noteCreated(path); }
    ~FaultDevice() override { m_plan->noteDeleted(); }
    int open(std::uint32_t accessFlag, int openMethod) override
    {
        // Nothing may ever open a source for writing.
        if (accessFlag != NyxAccessRead || openMethod != NyxOpenExisting)
            return m_error = EPERM;
        const int r = m_plan->open();
        if (r)
            return m_error = r;
        m_open = true;
        return 0;
    }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (!m_open)
            return -(m_error = EBADF);
        const std::int64_t r = m_plan->read(dst, offset, count);
        if (r < 0)
            m_error = int(-r);
        return r;
    }
    std::int64_t copyTo(int outFd, std::int64_t offset, std::uint32_t count) override
    {
        return m_open ? m_plan->copyOut(outFd, offset, count) : -EBADF;
    }
    int queueRead(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        const int ticket = m_open ? m_plan->queueTicket() : -EOPNOTSUPP;
        if (ticket > 0)
            m_queued[ticket] = Queued{dst, offset, count};
        return ticket;
    }
    std::int64_t awaitRead(int ticket) override
    {
        const auto it = m_queued.find(ticket);
        if (it == m_queued.end())
            return -EOPNOTSUPP;
        const Queued q = it->second;
        m_queued.erase(it);
        return m_plan->awaitPlain() ? -EOPNOTSUPP : readFrom(q.dst, q.offset, q.count);
    }
    std::int64_t size() const override { return m_open ? m_plan->size() : -1; }
    int lastError() const override { return m_error; }

private:
    struct Queued {
        void* dst;
        std::int64_t offset;
        std::uint32_t count;
    };
    std::shared_ptr<FaultPlan> m_plan;
    std::map<int, Queued> m_queued;
    bool m_open = false;
    std::atomic<int> m_error{0};
};

// Makes every device created in its lifetime a FaultDevice over the plan;
// restores the real devices on destruction.
class ScopedFaultDevices {
public:
    explicit ScopedFaultDevices(std::shared_ptr<FaultPlan> plan)
    {
        nyxSetDeviceFactory([plan](const QByteArray& path) -> std::unique_ptr<NyxCIOSystemDevice> {
            return std::make_unique<FaultDevice>(plan, path);
        });
    }
    ~ScopedFaultDevices() { nyxSetDeviceFactory(nullptr); }
    ScopedFaultDevices(const ScopedFaultDevices&) = delete;
    ScopedFaultDevices& operator=(const ScopedFaultDevices&) = delete;
};
