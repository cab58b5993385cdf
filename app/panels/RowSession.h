#pragma once
// Keeps one scan row's session: the fragments and saved points its scan
// thread sends are written to the row's ScanSession on the GUI thread. The
// session numbers its fragments itself, so a session resumed beside other
// rows, whose window serials go on from the window's counter, keeps its own.

#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"

#include <QObject>
#include <QPointer>
#include <memory>

class RowSession : public QObject {
    Q_OBJECT
public:
    RowSession(std::unique_ptr<ScanSession> session, CFragmentFit* scan, QObject* parent = nullptr);
    ~RowSession() override;
    ScanSession* session() const { return m_session.get(); }
    // The next fragment gets lastSerial + 1 in the session.
    void setLastSerial(int serial) { m_lastSerial = serial; }

signals:
    // The session could not be written; the scan goes on without it.
    void failed(QString why);

private slots:
    void onBatch(SFragmentBatch batch);
    void onCheckpoint(ScanResumePoint point);
    void onScanEnded();

private:
    std::unique_ptr<ScanSession> m_session;
    QPointer<CFragmentFit> m_scan;
    int m_lastSerial = 0;
    bool m_failed = false;
};
