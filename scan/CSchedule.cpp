#include "scan/CSchedule.h"

#include <climits>
#include <ctime>

qint64 corvoMonotonicMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {
class SystemClock : public CorvoClock {
public:
    qint64 nowMs() override { return corvoMonotonicMs(); }
    void sleepUntilMs(qint64 deadlineMs) override
    {
        const qint64 left = deadlineMs - corvoMonotonicMs();
        if (left > 0)
            QThread::msleep(quint32(left));
    }
};
} // namespace

CorvoClock& corvoSystemClock()
{
    static SystemClock clock;
    return clock;
}

CSchedule::CSchedule(const std::atomic<qint64>* position, const std::atomic<char>* stoppedFlag,
                     const std::atomic<char>* pausedFlag)
    : QThread(nullptr), m_position(position), m_stopped(stoppedFlag), m_paused(pausedFlag)
{
}

void CSchedule::setTotal(qint64 total) { m_total = total; }

SSchedule CSchedule::sample(qint64 position, qint64 total, int elapsed)
{
    SSchedule s;
    s.elapsedSeconds = elapsed;
    if (total <= 0) {
        s.percent = 100;
        s.remainingSeconds = 0;
        return s;
    }
    // The scan publishes the offset of its next read, which runs past the
    // range end on the last refills.
    const quint64 p = quint64(std::clamp<qint64>(position, 0, total));
    const quint64 t = quint64(total);
    s.percent = int((unsigned __int128)p * 100 / t);
    const unsigned __int128 remaining = (unsigned __int128)(t - p) * quint64(std::max(elapsed, 0)) / (p + 1);
    s.remainingSeconds = remaining > (unsigned __int128)INT_MAX ? INT_MAX : int(remaining);
    return s;
}

void CSchedule::run()
{
    const auto stopped = [this] { return !m_stopped || m_stopped->load() != 'N'; };
    const auto position = [this] { return m_position ? m_position->load() : 0; };
    CorvoClock& clock = *m_clock;
    const qint64 t0 = clock.nowMs();
    int elapsed = 0;
    qint64 wake = t0;
    while (!stopped()) {
        // One second, but a stop is seen within a few milliseconds.
        wake += 1000;
        for (qint64 now = clock.nowMs(); now < wake && !stopped(); now = clock.nowMs())
            clock.sleepUntilMs(std::min(wake, now + 20));
        if (stopped())
            break;
        if (m_paused && m_paused->load() != 'N')
            continue;
        if (clock.nowMs() - t0 <= elapsed)
            continue;
        ++elapsed;
        emit TransmitShowSchedule(sample(position(), m_total.load(), elapsed));
    }
    emit TransmitShowSchedule(sample(position(), m_total.load(), elapsed));
}
