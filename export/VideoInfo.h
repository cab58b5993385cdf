#pragma once
// The export threads. Each owns a progress window (created and shown by the
// constructor, on the GUI thread) and an ExportJob that does the copying.
//
// SingleMegerThread writes one file per row into a folder and deletes itself
// and its window once its run has finished. ManyMegerThread merges the rows
// into one file; its window stays open at its last value until the user
// closes it (its button, or the window's own close), after which, once the
// run is over, it too deletes itself and its window.
//
// A source that cannot be opened shows "打开磁盘错误！" on the GUI thread; the
// worker only posts it and goes on, so no worker ever waits on a box.
//
// Besides SingleNotify / ManyNotify each thread emits exportFinished with
// the same result and, line by line, the files not written whole and why.

#include "export/ExportCore.h"
#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QThread>

class CDlgProgress;

// Closing the application with exports in flight: cancels every export
// thread still running (their results are no longer reported, no warning box
// is raised for them), waits for them to end while serving the GUI thread's
// events (a worker may be waiting on it) and closes their progress windows,
// so the files are closed and nothing is left running. GUI thread only.
// false if one had not ended after timeoutMs.
bool cancelExportsInFlight(int timeoutMs = 30000);
// Export threads that exist (running, or finished and not yet deleted).
int exportsInFlight();

class SingleMegerThread : public QThread {
    Q_OBJECT
public:
    SingleMegerThread(const QList<SPlayListTableItem>& rows, const QString& folder);
    ~SingleMegerThread() override;

    // Runs the whole export on the calling thread; 1 done (or cancelled), 0 failed.
    int exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& folder);
    CDlgProgress* progressWindow() const { return m_dlg; }

signals:
    void SingleNotify(int i);
    void exportFinished(int result, const QString& details);
    void signalSetValue(long long int totalSize, long long int inc);

public slots:
    void slotOver();

protected:
    void run() override;

private:
    CDlgProgress* m_dlg = nullptr;
    QList<SPlayListTableItem> m_rows;
    QByteArray m_folder;
    ExportCore::ExportJob m_job;
};

class ManyMegerThread : public QThread {
    Q_OBJECT
public:
    ManyMegerThread(const QList<SPlayListTableItem>& rows, const QString& path);
    ~ManyMegerThread() override;

    // Runs the whole merge on the calling thread; 1 done (or cancelled), 0 failed.
    int VideoMerge(const QList<SPlayListTableItem>& rows, const QByteArray& path);
    CDlgProgress* progressWindow() const { return m_dlg; }

signals:
    void ManyNotify(int i);
    void exportFinished(int result, const QString& details);
    void signalSetValue(long long int totalSize, long long int inc);

public slots:
    void slotOver();

protected:
    void run() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void deleteWhenDone();

    CDlgProgress* m_dlg = nullptr;
    QList<SPlayListTableItem> m_rows;
    QByteArray m_path;
    ExportCore::ExportJob m_job;
    bool m_runOver = false;
    bool m_windowClosed = false;
};
