#include "export/VideoInfo.h"

#include "app/Dialogs.h"
#include "export/CDlgProgress.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>

namespace {

// Message boxes belong to the GUI thread; a worker asks it and waits for the answer.
void warnSourceOpenFailed()
{
    auto show = [] {
        dialogs().warning(nullptr, QStringLiteral("警告"), QStringLiteral("打开磁盘错误！"), QMessageBox::Ok,
                          QMessageBox::NoButton);
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        show();
    else
        QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
}

void wireJob(ExportCore::ExportJob& job, QThread* thread,
             void (*emitProgress)(QThread*, qint64, qint64))
{
    // The progress signal is queued under this name; main registers it too,
    // but an export must not depend on who started the process.
    qRegisterMetaType<long long int>("long long int");
    job.onProgress = [thread, emitProgress](qint64 total, qint64 inc) { emitProgress(thread, total, inc); };
    job.onSourceOpenFailed = [](const QByteArray&, int) { warnSourceOpenFailed(); };
}

} // namespace

// ---------------------------------------------------------------- SingleMegerThread

SingleMegerThread::SingleMegerThread(const QList<SPlayListTableItem>& rows, const QString& folder)
    : m_rows(rows), m_folder(QFile::encodeName(folder))
{
    m_dlg = new CDlgProgress;
    m_dlg->show();
    connect(this, &SingleMegerThread::signalSetValue, m_dlg, &CDlgProgress::slotSetValue);
    connect(m_dlg, &CDlgProgress::signalOver, this, &SingleMegerThread::slotOver);
    wireJob(m_job, this, [](QThread* t, qint64 total, qint64 inc) {
        emit static_cast<SingleMegerThread*>(t)->signalSetValue(total, inc);
    });
    // The thread object and its window go away by themselves after the run.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

SingleMegerThread::~SingleMegerThread() { delete m_dlg; }

int SingleMegerThread::exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& folder)
{
    return m_job.exportAll(rows, folder);
}

void SingleMegerThread::slotOver() { m_job.cancel.store(true); }

void SingleMegerThread::run()
{
    const int result = exportAll(m_rows, m_folder);
    emit SingleNotify(result == 1 ? 1 : 0);
}

// ---------------------------------------------------------------- ManyMegerThread

ManyMegerThread::ManyMegerThread(const QList<SPlayListTableItem>& rows, const QString& path)
    : m_rows(rows), m_path(QFile::encodeName(path))
{
    m_dlg = new CDlgProgress;
    connect(this, &ManyMegerThread::signalSetValue, m_dlg, &CDlgProgress::slotSetValue);
    m_dlg->show();
    connect(m_dlg, &CDlgProgress::signalOver, this, &ManyMegerThread::slotOver);
    wireJob(m_job, this, [](QThread* t, qint64 total, qint64 inc) {
        emit static_cast<ManyMegerThread*>(t)->signalSetValue(total, inc);
    });
    // The window outlives the run; once both are over nothing refers to them.
    connect(this, &QThread::finished, this, [this] {
        m_runOver = true;
        deleteWhenDone();
    });
    m_dlg->installEventFilter(this);
}

bool ManyMegerThread::eventFilter(QObject* watched, QEvent* event)
{
    // The button closes the window too; either way the window is done with.
    if (watched == m_dlg && event->type() == QEvent::Close) {
        m_windowClosed = true;
        deleteWhenDone();
    }
    return QThread::eventFilter(watched, event);
}

ManyMegerThread::~ManyMegerThread() { delete m_dlg; }

void ManyMegerThread::deleteWhenDone()
{
    if (m_runOver && m_windowClosed)
        deleteLater();
}

int ManyMegerThread::VideoMerge(const QList<SPlayListTableItem>& rows, const QByteArray& path)
{
    return m_job.videoMerge(rows, path);
}

void ManyMegerThread::slotOver() { m_job.cancel.store(true); }

void ManyMegerThread::run()
{
    const int result = VideoMerge(m_rows, m_path);
    emit ManyNotify(result == 1 ? 1 : 0);
}
