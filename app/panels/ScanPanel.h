#pragma once
// The scan status panel: the table at the bottom of the window, one scan row
// (CButtonAndThread) per target of the disk dialog, the row the commands act
// on, and each row's session. It owns the rows and their threads: a row is
// deleted only once its threads have ended; one that cannot be waited for is
// left to delete itself when they do.

#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <map>
#include <memory>
#include <vector>

class CButtonAndThread;
class PlaylistFeed;
class QTableWidget;
class QWidget;
class RowSession;
struct SessionInfo;

class ScanPanel : public QObject {
    Q_OBJECT
public:
    // The table is a child of `window`.
    explicit ScanPanel(QWidget* window);
    ~ScanPanel() override;

    // Where resumed and listed sessions put their fragments.
    void setPlaylist(PlaylistFeed* playlist) { m_playlist = playlist; }

    QTableWidget* table() const { return m_scanTable; }
    CButtonAndThread* row(int row) const;
    int rowCount() const { return int(m_scanRows.size()); }
    int currentRow() const { return m_currentScanRow; }
    // The device paths of every row, scanned or not.
    QList<QByteArray> sources() const;

    // One row per target of scanTargetList(), replacing the rows there were.
    void addRows();
    // Starts, pauses or continues the current row.
    void startClicked();
    // Ends a row: the one that sent its end (origin a CButtonAndThread), else the current one.
    void quitClicked(char cStatusUnusual, QObject* origin);
    // Makes the row of the button `origin` the current row.
    void rowClicked(QObject* origin);
    void notify(long long int percent);
    void notifyScanOver(bool isOver);
    // Stops every running or paused row and waits for its threads, up to a
    // deadline. Called before rows are replaced and on close.
    void stopAll();

    // How far a session got, in percent with one decimal.
    static QString percentSaved(const SessionInfo& info);

signals:
    // Fragments the scan of a row found (from the scan thread, queued here).
    void TransmitFragmentBatch(SFragmentBatch batch);
    // Whether the disk dialog may be opened now.
    void selectDiskEnabled(bool enabled);
    // The rows were built; a scan was stopped; the last row ended.
    void rowsBuilt();
    void scanStopped();
    void lastRowEnded();

private:
    struct ScanRowDelete {
        void operator()(CButtonAndThread* row) const;
    };
    int rowIndex(const QObject* rowOrButton) const;
    void setOtherRowsEnabled(int row, bool enabled);
    // Before a row starts: opens or makes its session, asks whether to
    // continue an unfinished one, lists saved fragments. False: do not scan.
    bool prepareRowSession(CButtonAndThread* row);

    QWidget* m_window;
    PlaylistFeed* m_playlist = nullptr;
    QTableWidget* m_scanTable = nullptr;
    std::vector<std::unique_ptr<CButtonAndThread, ScanRowDelete>> m_scanRows;
    int m_currentScanRow = 0;
    std::map<const CButtonAndThread*, std::unique_ptr<RowSession>> m_rowSessions;
};
