#pragma once
// The one way a worker thread is owned (scan rows, exports, the preview).
// The owner asks each worker to end (its abort sets a flag and wakes it) and
// waits for all of them under one deadline. A worker still running then, as
// one stuck in a read of a failing disk, is let go: its object deletes itself
// once its threads have ended. Nothing is destroyed while it runs, nothing
// waits without a deadline, nothing serves events to wait.

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <functional>

class OwnedWorkers {
public:
    OwnedWorkers() = default;
    OwnedWorkers(const OwnedWorkers&) = delete;
    OwnedWorkers& operator=(const OwnedWorkers&) = delete;
    // Asks whatever is left to end and lets it go without waiting.
    ~OwnedWorkers();

    // A worker running on thread; abort asks it to end. Add it once it runs.
    void add(QThread* thread, std::function<void()> abort);
    void abortAll();
    // Waits for every worker under the one deadline; true when none runs.
    bool waitAll(QDeadlineTimer deadline);
    // abortAll, waitAll for msecs, then forgets them all (those still running
    // end by themselves). true when none was left running.
    bool release(int msecs);
    // Workers whose thread object still exists.
    int size() const;

    // Waits for the threads under one deadline; true when none runs.
    static bool waitFor(const QList<QThread*>& threads, QDeadlineTimer deadline);
    // Deletes object (on its own thread's loop) once none of threads runs;
    // soon when none runs now.
    static void deleteWhenEnded(QObject* object, const QList<QThread*>& threads);

private:
    struct Worker {
        QPointer<QThread> thread;
        std::function<void()> abort;
    };
    void prune();
    QList<Worker> m_workers;
};
