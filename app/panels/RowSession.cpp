#include "app/panels/RowSession.h"

RowSession::RowSession(std::unique_ptr<ScanSession> session, CFragmentFit* scan, QObject* parent)
    : QObject(parent), m_session(std::move(session)), m_scan(scan)
{
    m_lastSerial = m_session->lastSerial();
    connect(scan, &CFragmentFit::TransmitFragmentBatch, this, &RowSession::onBatch, Qt::QueuedConnection);
    connect(scan, &CFragmentFit::TransmitCheckpoint, this, &RowSession::onCheckpoint, Qt::QueuedConnection);
    connect(scan, &QThread::finished, this, &RowSession::onScanEnded, Qt::QueuedConnection);
}

RowSession::~RowSession()
{
    if (!m_failed)
        m_session->commit();
}

void RowSession::onBatch(SFragmentBatch batch)
{
    const int n = batch.size();
    for (int k = 0; k < n; ++k) {
        if (m_failed)
            return;
        m_session->fragmentSent(++m_lastSerial, batch.fragment(k));
    }
}

void RowSession::onCheckpoint(ScanResumePoint point)
{
    if (m_failed || m_session->checkpoint(point))
        return;
    m_failed = true;
    emit failed(m_session->lastError());
}

void RowSession::onScanEnded()
{
    if (m_failed || (m_session->commit() && (!m_scan || recordScanRanges(m_session.get(), *m_scan))))
        return;
    m_failed = true;
    emit failed(m_session->lastError());
}
