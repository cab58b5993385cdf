#pragma once
// Durations for the fragment list, counted off the scan's path: a niced
// thread counts a fragment's pictures only while its bytes lie just behind the
// scan (read moments ago, still in the page cache), so it never makes the disk
// seek away from the scan nor takes the scan's processor. Fragments it cannot
// reach cheaply are left not measured.

#include "disk/Nyx.h"
#include "media/MediaFile.h"
#include "scan/SFragmentFit.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <deque>

class CliDurations : public QThread {
    Q_OBJECT
public:
    // scanPosition: the scan's published position; window: how far behind it
    // a fragment may begin and still be counted; 0 counts none.
    CliDurations(const std::atomic<qint64>* scanPosition, qint64 window, QObject* parent = nullptr);
    ~CliDurations() override;

    void add(int index, const SFragmentFit& fragment);
    // The scan has ended: what is queued is counted, then the thread ends.
    void finishInput();
    // Leaves everything still queued, and the count in progress, not measured.
    void abandon();
    // abandon(), then waits up to ms for the thread to end.
    bool stopAndWait(unsigned long ms);

    static constexpr qint64 kDefaultWindow = 256LL << 20;

signals:
    // Queued to the owner's thread, once per add(), in the order added.
    void counted(int index, Media::Duration duration);

protected:
    void run() override;

private:
    struct Item {
        int index = 0;
        SFragmentFit fragment;
    };
    bool cheap(const SFragmentFit& f) const;
    NyxCIOSystemDevice* source(const QByteArray& diskName);

    const std::atomic<qint64>* m_position;
    const qint64 m_window;
    QMutex m_lock;
    QWaitCondition m_wake;
    std::deque<Item> m_queue;
    bool m_inputDone = false;
    std::atomic<bool> m_abandon{false};
    SFragmentFit m_previous; // the fragment before, in disk order, to borrow parameter sets from
    // The disk the fragments come from, opened once for all of them.
    NyxDeviceHandle m_source;
    QByteArray m_sourceName;
    bool m_hasPrevious = false;
};
