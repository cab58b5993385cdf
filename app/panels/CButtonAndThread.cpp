#include "app/panels/CButtonAndThread.h"

#include "app/panels/ScanState.h"
#include "disk/Nyx.h"
#include "export/ExportCore.h"
#include "scan/CFragmentFit.h"
#include "scan/CSchedule.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdio>

namespace {
const char* const kTimeLabelStyle =
    "QLabel{font-family: arial, sans-serif;font-size: block;color:white;text-align:center;border:0px;}";
const char* const kStatusLabelStyle =
    "QLabel{font-family: SimSun, \"宋体\";font-size: block;color:white;text-align:center;border:0px;}";
const char* const kButtonStyle = "QPushButton{font-family: SimSun, \"宋体\";}";
const char* const kProgressStyle =
    "QProgressBar {font-family: arial, sans-serif; border: 0px solid grey;border-radius: 2px; "
    "vertical-align: middle;text-align: center;}";
} // namespace

CButtonAndThread::CButtonAndThread()
{
    m_scanThread = new CFragmentFit();
    m_scanThread->setCheckpoints(true); // for the row's session
    m_sampler = new CSchedule(m_scanThread->publishedPosition(), &m_stopped, &m_paused);
    connect(m_sampler, &CSchedule::TransmitShowSchedule, this, &CButtonAndThread::SlotShowSchedule);

    m_startButton = new QPushButton(QStringLiteral("开始"));
    m_stopButton = new QPushButton();
    for (QPushButton* b : {m_startButton.data(), m_stopButton.data()}) {
        b->setMaximumHeight(30);
        b->setMaximumWidth(85);
        b->setStyleSheet(kButtonStyle);
    }

    m_elapsedLabel = new QLabel(QStringLiteral("00:00:00"));
    m_remainingLabel = new QLabel(QStringLiteral("00:00:00"));
    m_statusLabel = new QLabel();
    m_elapsedLabel->setStyleSheet(kTimeLabelStyle);
    m_remainingLabel->setStyleSheet(kTimeLabelStyle);
    m_statusLabel->setStyleSheet(kStatusLabelStyle);

    m_progressBar = new QProgressBar();
    m_progressBar->setValue(0);
    m_progressBar->setStyleSheet(kProgressStyle);
    m_progressBar->setMaximumHeight(25);
    m_progressBar->setMaximumWidth(100);
}

CButtonAndThread::~CButtonAndThread()
{
    // The owner only deletes rows whose threads have ended; should one still
    // run, it must end before the flags it reads go away.
    if (threadsRunning()) {
        std::printf("scan row destroyed with running threads; waiting for them\n");
        requestThreadsEnd();
        m_scanThread->wait();
        m_sampler->wait();
    }
    // Widgets placed in the table belong to it; only loose ones are ours.
    if (m_stopButton && !m_stopButton->parent())
        delete m_stopButton;
    if (m_startButton && !m_startButton->parent())
        delete m_startButton;
    for (QWidget* w : {static_cast<QWidget*>(m_progressBar.data()), static_cast<QWidget*>(m_elapsedLabel.data()),
                       static_cast<QWidget*>(m_remainingLabel.data()), static_cast<QWidget*>(m_statusLabel.data())}) {
        if (w && !w->parent())
            delete w;
    }
    delete m_scanThread;
    delete m_sampler;
}

void CButtonAndThread::setScanTarget(const QString& name, qint64 start, qint64 end)
{
    m_devicePath = nyxDevicePathForName(QFile::encodeName(name));
    m_rangeStart = start;
    m_rangeEnd = end;
}

void CButtonAndThread::startScan()
{
    m_stopped = 'N';
    m_paused = 'Y';
    cScanState = 'N';

    // A sample of the previous run still queued for this row must not be read as one of this run.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    if (m_progressBar)
        m_progressBar->setValue(0);
    if (m_elapsedLabel)
        m_elapsedLabel->setText(formatSeconds(0));
    if (m_remainingLabel)
        m_remainingLabel->setText(formatSeconds(0));

    m_scanThread->setDevicePath(m_devicePath.constData());
    m_sampler->setTotal(m_rangeEnd);
    m_scanThread->setRange(m_rangeStart, m_rangeEnd);
    if (m_resumePoint.position >= 0)
        m_scanThread->setResumePoint(m_resumePoint);
    m_resumePoint = ScanResumePoint();
    m_scanThread->start();
    m_sampler->start();
    continueScan();
}

void CButtonAndThread::continueScan()
{
    m_paused = 'N';
    cScanState = 'N';
    if (m_startButton)
        m_startButton->setText(QStringLiteral("暂停"));
    if (m_statusLabel)
        m_statusLabel->setText(QStringLiteral("   扫描中..."));
    m_scanThread->resume();
}

void CButtonAndThread::pauseScan()
{
    cScanState = 'Y';
    m_paused = 'Y';
    if (m_startButton)
        m_startButton->setText(QStringLiteral("继续"));
    if (m_statusLabel)
        m_statusLabel->setText(QStringLiteral("   扫描暂停..."));
    m_scanThread->pause();
}

void CButtonAndThread::finishScan(char cStatusUnusual)
{
    // Only a row that was scanning hands the state back; a paused row already
    // did, and an ended one must not clear it for another row that scans.
    if (m_paused == 'N' && m_stopped == 'N')
        cScanState = 'Y';
    m_paused = 'N';
    m_stopped = 'Y';
    if (m_startButton)
        m_startButton->setText(QStringLiteral("开始"));
    if (m_statusLabel)
        m_statusLabel->setText(cStatusUnusual == 'Y' ? QStringLiteral("   扫描结束...(异常结束)")
                                                     : QStringLiteral("   扫描结束..."));
    m_scanThread->stop();
}

void CButtonAndThread::requestThreadsEnd()
{
    if (m_paused == 'N' && m_stopped == 'N')
        cScanState = 'Y';
    m_paused = 'N';
    m_stopped = 'Y';
    m_scanThread->stop();
}

bool CButtonAndThread::waitThreads(int msecs)
{
    QDeadlineTimer deadline(msecs);
    const bool scanDone = m_scanThread->wait(deadline);
    const bool samplerDone = m_sampler->wait(deadline);
    return scanDone && samplerDone;
}

bool CButtonAndThread::threadsRunning() const
{
    return m_scanThread->isRunning() || m_sampler->isRunning();
}

void CButtonAndThread::deleteWhenThreadsEnd()
{
    auto reap = [this] {
        // finished() is sent just before the thread really ends; wait() bridges that moment.
        if (m_scanThread->wait(200) && m_sampler->wait(200))
            deleteLater();
    };
    connect(m_scanThread, &QThread::finished, this, reap, Qt::QueuedConnection);
    connect(m_sampler, &QThread::finished, this, reap, Qt::QueuedConnection);
    if (!threadsRunning())
        deleteLater();
}

QString CButtonAndThread::formatSeconds(int seconds)
{
    return ExportCore::hhmmss(seconds);
}

void CButtonAndThread::SlotShowSchedule(SSchedule sScheduleData)
{
    // The last sample of a row that has already ended (the user stopped it, or
    // it was ended by an earlier sample) changes nothing: the end stands.
    if (m_stopped != 'N')
        return;

    if (m_progressBar)
        m_progressBar->setValue(sScheduleData.percent);
    if (m_elapsedLabel)
        m_elapsedLabel->setText(formatSeconds(sScheduleData.elapsedSeconds));
    if (m_remainingLabel)
        m_remainingLabel->setText(formatSeconds(sScheduleData.remainingSeconds));

    // Only this row stops its scan thread, and it marks itself stopped first,
    // so a finished thread here ended by itself: abnormally when it failed to
    // open or read the source short of the range end, normally otherwise. The
    // thread's final state decides, not the sample, which may predate its
    // last read. A sample of 100 % while the thread still runs waits for the
    // next one: stopping now would drop the fragments still open.
    if (m_scanThread->runFinished() != 'Y')
        return;
    const bool failed =
        m_scanThread->lastError() != 0 && m_scanThread->publishedPosition()->load() < m_rangeEnd;
    if (failed) {
        emit TransmitOver('Y');
    } else {
        if (m_progressBar)
            m_progressBar->setValue(100);
        emit TransmitOver('N');
    }
}
