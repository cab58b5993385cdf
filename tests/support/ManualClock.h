#pragma once
// ManualClock: a CorvoClock that moves only when the test says so.
//
//   ManualClock clock; sampler.setClock(&clock); sampler.start();
//   ASSERT_TRUE(clock.waitParked());   // the sampler waits for its next second
//   ASSERT_TRUE(clock.advance(1000));  // a second on; returns once the sampler
//                                      // has acted on it and waits again
//
// A sleeper is also let go after a few real milliseconds, so it sees a stop
// flag without the time moving; it checks the time again and parks anew.

#include "scan/CSchedule.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class ManualClock : public CorvoClock {
public:
    qint64 nowMs() override
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_now;
    }
    void sleepUntilMs(qint64 deadlineMs) override
    {
        std::unique_lock<std::mutex> g(m_mutex);
        if (m_now >= deadlineMs)
            return;
        // Parked with nothing to do before the deadline: all time so far is seen.
        m_parked = m_generation;
        m_cond.notify_all();
        m_cond.wait_for(g, std::chrono::milliseconds(5), [&] { return m_now >= deadlineMs; });
        m_parked = kNone;
    }
    // Moves the time on by ms and waits until the sleeper has acted on it.
    bool advance(qint64 ms, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> g(m_mutex);
        m_now += ms;
        ++m_generation;
        m_cond.notify_all();
        return parkedLocked(g, timeoutMs);
    }
    bool waitParked(int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> g(m_mutex);
        return parkedLocked(g, timeoutMs);
    }

private:
    static constexpr std::uint64_t kNone = ~std::uint64_t(0);
    bool parkedLocked(std::unique_lock<std::mutex>& g, int timeoutMs)
    {
        return m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_parked == m_generation; });
    }
    std::mutex m_mutex;
    std::condition_variable m_cond;
    qint64 m_now = 0;
    std::uint64_t m_generation = 0;
    std::uint64_t m_parked = kNone;
};
