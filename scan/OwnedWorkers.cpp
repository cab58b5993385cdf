#include "scan/OwnedWorkers.h"

#include <QTimer>

OwnedWorkers::~OwnedWorkers() { abortAll(); }

void OwnedWorkers::add(QThread* thread, std::function<void()> abort)
{
    prune();
    m_workers.append(Worker{thread, std::move(abort)});
}

void OwnedWorkers::abortAll()
{
    for (Worker& w : m_workers)
        if (w.thread && w.abort)
            w.abort();
}

bool OwnedWorkers::waitAll(QDeadlineTimer deadline)
{
    QList<QThread*> threads;
    for (const Worker& w : m_workers)
        if (w.thread)
            threads.append(w.thread.data());
    return waitFor(threads, deadline);
}

bool OwnedWorkers::release(int msecs)
{
    abortAll();
    const bool ended = waitAll(QDeadlineTimer(qMax(0, msecs)));
    m_workers.clear();
    return ended;
}

int OwnedWorkers::size() const
{
    int n = 0;
    for (const Worker& w : m_workers)
        n += w.thread ? 1 : 0;
    return n;
}

void OwnedWorkers::prune()
{
    for (int i = 0; i < m_workers.size(); ++i)
        if (!m_workers[i].thread)
            m_workers.removeAt(i--);
}

bool OwnedWorkers::waitFor(const QList<QThread*>& threads, QDeadlineTimer deadline)
{
    bool ended = true;
    for (QThread* t : threads)
        ended = t->wait(deadline) && ended;
    return ended;
}

void OwnedWorkers::deleteWhenEnded(QObject* object, const QList<QThread*>& threads)
{
    // finished() comes a moment before a thread stops running, and may have
    // come before we listened; the timer covers both.
    auto* backstop = new QTimer(object);
    backstop->setInterval(500);
    auto check = [object, threads, backstop] {
        for (QThread* t : threads)
            if (t->isRunning())
                return;
        backstop->stop();
        object->deleteLater();
    };
    for (QThread* t : threads)
        QObject::connect(t, &QThread::finished, object, check, Qt::QueuedConnection);
    QObject::connect(backstop, &QTimer::timeout, object, check);
    backstop->start();
    check();
}
