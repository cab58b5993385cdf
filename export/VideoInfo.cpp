#include "export/VideoInfo.h"

#include "gui/Dialogs.h"
#include "export/CDlgProgress.h"
#include "scan/OwnedWorkers.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>

#include <cstdio>
#include <functional>

namespace {

// Every export thread object that exists. Made and deleted on the GUI thread.
struct LiveExport {
    QThread* thread;
    ExportCore::ExportJob* job;
    CDlgProgress* window;
    std::function<void()> silence; // drops the result signal's connections
};
QList<LiveExport>& liveExports()
{
    static QList<LiveExport> list;
    return list;
}
void forgetExport(QThread* thread)
{
    QList<LiveExport>& list = liveExports();
    for (int i = 0; i < list.size(); ++i)
        if (list[i].thread == thread)
            list.removeAt(i--);
}

// Message boxes belong to the GUI thread; a worker posts the box and goes on.
// An export cancelled by the application's close raises no box: the GUI
// thread sets the cancel before it serves the request.
bool cancelledExport(QThread* thread)
{
    for (const LiveExport& e : liveExports())
        if (e.thread == thread)
            return e.job->cancel.load();
    return false;
}

void warnSourceOpenFailed(QThread* thread)
{
    QPointer<QThread> alive(thread);
    auto show = [alive, thread] {
        if (alive && cancelledExport(thread))
            return;
        dialogs().warning(nullptr, QStringLiteral("警告"), QStringLiteral("打开磁盘错误！"), QMessageBox::Ok,
                          QMessageBox::NoButton);
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        show();
    else
        QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
}

void wireJob(ExportCore::ExportJob& job, QThread* thread,
             void (*emitProgress)(QThread*, qint64, qint64))
{
    // The progress signal is queued under this name; main registers it too,
    // but an export must not depend on who started the process.
    qRegisterMetaType<long long int>("long long int");
    job.onProgress = [thread, emitProgress](qint64 total, qint64 inc) { emitProgress(thread, total, inc); };
    job.onSourceOpenFailed = [thread](const QByteArray&, int) { warnSourceOpenFailed(thread); };
}

} // namespace

int exportsInFlight() { return liveExports().size(); }

bool cancelExportsInFlight(int timeoutMs)
{
    // No worker waits for the GUI thread (boxes are posted), so a plain wait
    // under a deadline; one still running then ends and deletes itself later.
    OwnedWorkers workers;
    for (const LiveExport& e : liveExports()) {
        workers.add(e.thread, [e] {
            e.silence();
            e.job->cancel.store(true);
        });
    }
    const bool allEnded = workers.release(timeoutMs);
    if (!allEnded)
        std::printf("an export did not end in time; it ends by itself\n");
    for (const LiveExport& e : liveExports()) {
        // Hidden, the windows no longer keep the application open; each
        // thread object deletes itself and its window once its run is over.
        if (e.window && e.window->isVisible())
            e.window->close();
    }
    return allEnded;
}

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
    liveExports().append({this, &m_job, m_dlg, [this] {
        disconnect(this, &SingleMegerThread::SingleNotify, nullptr, nullptr);
        disconnect(this, &SingleMegerThread::exportFinished, nullptr, nullptr);
    }});
}

SingleMegerThread::~SingleMegerThread()
{
    forgetExport(this);
    delete m_dlg;
}

int SingleMegerThread::exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& folder)
{
    return m_job.exportAll(rows, folder);
}

void SingleMegerThread::slotOver() { m_job.cancel.store(true); }

void SingleMegerThread::run()
{
    const int result = exportAll(m_rows, m_folder) == 1 ? 1 : 0;
    emit SingleNotify(result);
    emit exportFinished(result, m_job.result().details().join('\n'));
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
    liveExports().append({this, &m_job, m_dlg, [this] {
        disconnect(this, &ManyMegerThread::ManyNotify, nullptr, nullptr);
        disconnect(this, &ManyMegerThread::exportFinished, nullptr, nullptr);
    }});
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

ManyMegerThread::~ManyMegerThread()
{
    forgetExport(this);
    delete m_dlg;
}

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
    const int result = VideoMerge(m_rows, m_path) == 1 ? 1 : 0;
    emit ManyNotify(result);
    emit exportFinished(result, m_job.result().details().join('\n'));
}
