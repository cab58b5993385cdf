#pragma once
// The scan's pause gate: a counting semaphore that starts at 0 and remembers
// at most one release. A resume made while the scan is not waiting lets the
// next wait pass at once; further releases before that wait are lost.

#include <chrono>
#include <condition_variable>
#include <mutex>

class PauseSemaphore {
public:
    // Blocks until a release is available, then takes it.
    void acquire()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_waiting;
        m_waitersChanged.notify_all();
        m_cond.wait(lock, [this] { return m_count > 0; });
        m_count = 0;
        --m_waiting;
    }
    // Waits until a thread is blocked in acquire(); false after timeoutMs.
    // Lets a caller know the scan is parked without waiting a guessed time.
    bool waitForWaiter(int timeoutMs) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_waitersChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [this] { return m_waiting > 0; });
    }
    // Takes a release if one is there; never blocks.
    bool tryAcquire()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == 0)
            return false;
        m_count = 0;
        return true;
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_count = 1;
        }
        m_cond.notify_one();
    }
    int available() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    mutable std::condition_variable m_waitersChanged;
    int m_count = 0;
    int m_waiting = 0;
};
