#include "tools/cli/CliDurations.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

CliDurations::CliDurations(const std::atomic<qint64>* scanPosition, qint64 window, QObject* parent)
    : QThread(parent), m_position(scanPosition), m_window(window)
{
}

CliDurations::~CliDurations()
{
    // Never destroyed running: whoever owns it waits first; this is the last guard.
    stopAndWait(ULONG_MAX);
}

void CliDurations::add(int index, const SFragmentFit& fragment)
{
    if (m_window <= 0) {
        // Nothing is counted, so nothing waits: no wake-up of the thread per
        // fragment. Nothing is ever queued, so the order holds.
        emit counted(index, Media::Duration());
        return;
    }
    QMutexLocker hold(&m_lock);
    m_queue.push_back(Item{index, fragment});
    m_wake.wakeOne();
}

void CliDurations::finishInput()
{
    QMutexLocker hold(&m_lock);
    m_inputDone = true;
    m_wake.wakeOne();
}

void CliDurations::abandon()
{
    m_abandon = true;
    finishInput();
}

bool CliDurations::stopAndWait(unsigned long ms)
{
    abandon();
    return wait(ms);
}

bool CliDurations::cheap(const SFragmentFit& f) const
{
    if (!f.extents || f.extents->isEmpty() || m_window <= 0)
        return false;
    // Every extent must lie within the window behind the scan; a fragment
    // spread further back would be read from the platter again.
    const qint64 floor = m_position->load() - m_window;
    for (const SExtent& e : *f.extents) {
        if (e.start < floor)
            return false;
    }
    return true;
}

NyxCIOSystemDevice* CliDurations::source(const QByteArray& diskName)
{
    if (!m_source || diskName != m_sourceName) {
        int error = 0;
        m_source = nyxOpenForReading(nyxDevicePathForName(diskName), &error);
        m_sourceName = diskName;
    }
    // Not openable: each count opens it itself and says why.
    return m_source.get();
}

void CliDurations::run()
{
    // Idle in the disk's queue; niced rather than idle on the processor, so a
    // busy machine still lets the last rows out once the scan has ended.
    const int ioprioClassIdle = 3, ioprioClassShift = 13, ioprioWhoProcess = 1;
    ::syscall(SYS_ioprio_set, ioprioWhoProcess, 0, ioprioClassIdle << ioprioClassShift);
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 10);

    for (;;) {
        Item item;
        {
            QMutexLocker hold(&m_lock);
            while (m_queue.empty() && !m_inputDone)
                m_wake.wait(&m_lock);
            if (m_queue.empty()) {
                m_source.reset();
                return;
            }
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
        Media::Duration d;
        if (!m_abandon && cheap(item.fragment))
            d = Media::countPictures(item.fragment, m_hasPrevious ? &m_previous : nullptr, &m_abandon,
                                     source(item.fragment.diskName));
        m_previous = item.fragment;
        m_hasPrevious = true;
        emit counted(item.index, d);
    }
}
