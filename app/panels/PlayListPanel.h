#pragma once
// The playlist the scan feeds, its merge dialogs, and the commands on their
// rows: sort, delete, export, merge, MP4. Exports run on threads of their
// own (export/, Mp4Export.h) and report back here.

#include "app/panels/PlaylistFeed.h"
#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class CPlayListTableModel;
class DropTableView;
class QDialog;
class QLabel;
class QPushButton;
class CPlayListSortProxy;
class QAbstractProxyModel;
class QWidget;

class PlayListPanel : public QObject, public PlaylistFeed {
    Q_OBJECT
public:
    // Makes the model; the widgets come with buildView, as children of `window`.
    explicit PlayListPanel(QWidget* window);
    // The playlist view and the labels "扫描" and "视频".
    void buildView();
    // The sources of the scan panel's rows: no export may be written onto them.
    void setScanSources(std::function<QList<QByteArray>()> sources) { m_scanSources = std::move(sources); }

    CPlayListTableModel* model() const { return m_playlistModel; }
    QAbstractProxyModel* proxy() const;
    DropTableView* view() const { return m_playlistView; }
    QLabel* scanLabel() const { return m_scanLabel; }
    QLabel* videoLabel() const { return m_videoLabel; }

    // A found fragment. queued: it came by a signal, so it may wait for the
    // end of this event-loop turn and go in with the others of the turn.
    void addFragment(SFragmentFit fragment, int serial, bool queued);
    void listSavedFragments(const ScanSession& session) override;
    void dropRowsContinuedBy(const ScanResumePoint& point) override;

    void headerClicked(int column);
    void sortRows();
    void deleteSelectedRows();
    void exportSelected();
    void mergeSelected();
    void exportSelectedMp4();
    void mergeSelectedMp4();
    // A new merge dialog, shown.
    void openMergeDialog();
    // origin: the menu entry, button or view the command came from; it names
    // the merge list meant (else the newest).
    void showMergeListMenu(QObject* origin);
    void deleteMergeRows(QObject* origin);
    void mergeList(QObject* origin);

    // The export's result box with, below 成功 or 失败, what was not written whole.
    void showExportResult(int result, const QString& details);
    void showMp4Result(int result, const QString& message);

private:
    void buildMergeDialog();
    // Copies of the selected rows; false when none is selected.
    bool selectedRows(QList<SPlayListTableItem>* items) const;
    // Asks for the export folder of the selected rows and checks it; false when nothing is to be done.
    bool exportFolderChosen(QList<SPlayListTableItem>* items);
    // Asks for the merged file of `items` and checks it; false when nothing is to be done.
    bool mergeFileChosen(const QList<SPlayListTableItem>& items, const QString& filter, const QString& suffix);
    // Merges the rows into the file in a thread of its own.
    void startMerge(const QList<SPlayListTableItem>& items, const QString& path);
    void startMp4Export(const QList<SPlayListTableItem>& items, const QString& target, bool merge);
    DropTableView* mergeListFor(QObject* origin) const;
    void flushPendingRows();
    void addPendingRows(bool all);

    QWidget* m_window;
    std::function<QList<QByteArray>()> m_scanSources;

    CPlayListTableModel* m_playlistModel = nullptr;
    CPlayListSortProxy* m_playlistProxy = nullptr;
    DropTableView* m_playlistView = nullptr;
    QLabel* m_scanLabel = nullptr;
    QLabel* m_videoLabel = nullptr;
    // The newest merge dialog's.
    QDialog* m_mergeDialog = nullptr;
    QPushButton* m_mergeStartButton = nullptr;
    DropTableView* m_mergeListView = nullptr;
    CPlayListSortProxy* m_mergeProxy = nullptr;
    CPlayListTableModel* m_mergeListModel = nullptr;
    // Rows that signals delivered during this event-loop turn; added to the
    // playlist together at the end of the turn (one sorted insertion).
    QList<SPlayListTableItem> m_pendingRows;
    bool m_flushPosted = false;
    // Recent cost of placing one row, to keep each turn's share short.
    double m_rowCostNs = 0;

    QString m_saveFolder;
};
