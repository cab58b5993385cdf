#pragma once
// The progress sampler: once a second of unpaused scanning it turns the
// scan's published position into an SSchedule, and sends a last sample when
// the panel's stopped flag leaves 'N'.

#include "scan/SSchedule.h"

#include <QThread>
#include <atomic>

// The time the sampler and the progress lines go by. The system's is
// monotonic; tests step a clock of their own instead of sleeping.
class CorvoClock {
public:
    virtual ~CorvoClock() = default;
    virtual qint64 nowMs() = 0;
    // Returns once nowMs() >= deadlineMs, or earlier; callers check again.
    virtual void sleepUntilMs(qint64 deadlineMs) = 0;
};
CorvoClock& corvoSystemClock();

class CSchedule : public QThread {
    Q_OBJECT
public:
    CSchedule(const std::atomic<qint64>* position, const std::atomic<char>* stoppedFlag,
              const std::atomic<char>* pausedFlag);
    void setTotal(qint64 total);
    // Before start(); the system clock otherwise.
    void setClock(CorvoClock* clock) { m_clock = clock; }

    // One sample from a position (clamped to total, so never above 100 % and
    // never negative remaining time; a total of 0 reads 100 %).
    static SSchedule sample(qint64 position, qint64 total, int elapsed);

signals:
    void TransmitShowSchedule(SSchedule sScheduleData);

protected:
    void run() override;

private:
    const std::atomic<qint64>* m_position;
    const std::atomic<char>* m_stopped;
    const std::atomic<char>* m_paused;
    std::atomic<qint64> m_total{0};
    CorvoClock* m_clock = &corvoSystemClock();
};

// Milliseconds of a monotonic clock (wall time, unaffected by clock changes).
qint64 corvoMonotonicMs();
