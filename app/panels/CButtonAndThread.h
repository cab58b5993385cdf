#pragma once
// One row of the scan status table: its widgets, its scan thread and the
// thread that samples the scan's progress once a second.

#include "scan/CFragmentFit.h"
#include "scan/SSchedule.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>

class CSchedule;
class QLabel;
class QProgressBar;
class QPushButton;

class CButtonAndThread : public QObject {
    Q_OBJECT
public:
    CButtonAndThread();
    ~CButtonAndThread() override;

    void setScanTarget(const QString& name, qint64 start, qint64 end);
    // The next startScan continues from this saved point (once).
    void setResumePoint(const ScanResumePoint& point) { m_resumePoint = point; }
    void startScan();
    void continueScan();
    void pauseScan();
    void finishScan(char cStatusUnusual);

    // Asks both threads to end (a paused scan is woken) without touching the
    // widgets; used before the row is destroyed.
    void requestThreadsEnd();
    // Waits up to msecs for both threads; true when neither runs any more.
    bool waitThreads(int msecs);
    bool threadsRunning() const;
    // Deletes the row once both threads have ended (a row that could not be
    // waited for, e.g. stuck in a read of a failing disk).
    void deleteWhenThreadsEnd();

    // "%02d:%02d:%02d"; hours are not limited to two digits.
    static QString formatSeconds(int seconds);

    // The cells (owned by the table once placed; null once the table dropped them).
    QPointer<QPushButton> m_startButton;
    QPointer<QPushButton> m_stopButton;
    QPointer<QProgressBar> m_progressBar;
    QPointer<QLabel> m_elapsedLabel;
    QPointer<QLabel> m_remainingLabel;
    QPointer<QLabel> m_statusLabel;

    const QByteArray& devicePath() const { return m_devicePath; }
    qint64 rangeStart() const { return m_rangeStart; }
    qint64 rangeEnd() const { return m_rangeEnd; }
    char stoppedFlag() const { return m_stopped.load(); }
    char pausedFlag() const { return m_paused.load(); }
    CFragmentFit* scanThread() const { return m_scanThread; }
    CSchedule* sampler() const { return m_sampler; }

signals:
    // The row's scan has ended: 'Y' abnormally (the source could not be
    // opened or read to the end), 'N' normally.
    void TransmitOver(char cStatusUnusual);

public slots:
    void SlotShowSchedule(SSchedule sScheduleData);

private:
    QByteArray m_devicePath; // "\\.\" + name, any length
    qint64 m_rangeStart = 0;
    qint64 m_rangeEnd = 0;
    // Read by the sampler thread.
    std::atomic<char> m_stopped{'Y'};
    std::atomic<char> m_paused{'N'};
    CFragmentFit* m_scanThread = nullptr;
    CSchedule* m_sampler = nullptr;
    ScanResumePoint m_resumePoint;
};
