#pragma once
// Playable copies from the playlist: the rows remuxed into MP4 (one file
// each into a folder, or merged into one file) on a thread of their own,
// with the export's progress window. A row whose payload is not recognised
// is written as .TKL instead and named in the result's message.

#include "scan/SFragmentFit.h"

#include <QList>
#include <QString>
#include <QThread>

#include <atomic>

class CDlgProgress;

class CMp4ExportThread : public QThread {
    Q_OBJECT
public:
    // merge: target is the file; otherwise the folder. all: the whole
    // playlist, for parameter sets a continuing fragment borrows.
    CMp4ExportThread(const QList<SPlayListTableItem>& rows, const QList<SPlayListTableItem>& all,
                     const QString& target, bool merge);
    ~CMp4ExportThread() override;

    // Cancels every MP4 export still running and waits up to timeoutMs for
    // them (serving events meanwhile). GUI thread only.
    static bool cancelAll(int timeoutMs = 30000);

signals:
    // 1 done, 0 failed; message names what went otherwise than asked.
    void Mp4Notify(int result, QString message);
    void signalSetValue(long long int totalSize, long long int inc);

public slots:
    void slotOver() { m_cancel.store(true); }

protected:
    void run() override;

private:
    int exportEach(QString* message);
    int mergeAll(QString* message);

    CDlgProgress* m_dlg = nullptr;
    QList<SPlayListTableItem> m_rows;
    QList<SPlayListTableItem> m_all;
    QString m_target;
    bool m_merge;
    std::atomic<bool> m_cancel{false};
};
