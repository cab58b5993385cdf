#pragma once
// The single main window. Its slots come from several panels; each panel's
// slots and construction step are defined in that panel's source file
// (app/panels/*.cpp, app/PlayCommands.cpp), this class only ties them up.

#include "scan/SFragmentFit.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <vector>

class QDialog;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;
class CButtonAndThread;
class CPlayListTableModel;
struct ScanResumePoint;
class DropTableView;
class MyButton;
class PlayWin;
class RowSession;
class ScanSession;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // imagePaths: disk images or block devices given on the command line;
    // they are offered in the disk tree after the machine's disks.
    explicit MainWindow(const QStringList& imagePaths = QStringList(), QWidget* parent = nullptr);
    ~MainWindow() override;

    // Where the help looks for the HTML guide when no CHM reader is installed
    // (beside the program, then the package's documentation); tests point it
    // elsewhere.
    static QStringList& helpGuidePlaces();

signals:
    void PlayListClean();
    void sectionClicked();

protected slots:
    void slotPlay();
    void slotUpStep();
    void slotDownStep();
    void slotSelectFile();
    void slotAddPlayList(SFragmentFit sFragmentFit, int i);
    // A scan thread's batch: each fragment, in order, through slotAddPlayList.
    void slotAddFragmentBatch(SFragmentBatch batch);
    void PlayListDoubleClicked(int, int);
    void PlayListClicked(int, int);
    void ScanQuitClicked(char cStatusUnusual);
    void ScanQuitClickedOK();
    void slotonHeaderClicked(int);
    void slotDoubleClicked(QModelIndex);
    void slotWantScan();
    void slotStartScan();
    void SCanResult(int result);
    // The result box with, below 成功 or 失败, what was not written whole.
    void showExportResult(int result, const QString& details);
    void SelectDisk();
    void TreeItemChanged(QTreeWidgetItem*, int);
    void TreeItemClicked(QTreeWidgetItem*, int);
    void updateParentItem(QTreeWidgetItem* item, int);
    void SelectDiskName();
    void DeletItem();
    void ExportItem();
    void MergeDisk();
    void HelpDisk();
    void ShowPanelMenu(QPoint);
    void SortItem();
    void DeletPanelItem();
    void StartMerge();
    void PlayListMerge();
    void ExportItemMp4();
    void PlayListMergeMp4();
    void Mp4Result(int result, QString message);
    void slotPlayFragment();

private slots:
    void ScanStartClicked();
    void VideoLogSlot(QString strParam);
    int getCurrentRow(int mRow, int mColumn);
    void ClickedLoction();

public slots:
    void OnNotify(long long int i);
    void OnNotifyScanOver(bool isOver);
    void AddScanDetailInfo();
    // Lists a saved session's fragments without scanning (打开记录, or a
    // FILE.session given to the program). False, with a message box saying
    // why, when it is not a session or its source is missing or changed.
    bool openSessionFile(const QString& file);
    void slotOpenSession();

private slots:
    void openUrl(QString);
    void minWindowEvent();
    void maxWindowEvent();
    void closeWindowEvent();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Construction steps, in the order the constructor runs them.
    void buildPlaylistModel();   // app/panels/PlayListPanel.cpp
    void buildTitleBar();        // app/MainWindow.cpp
    void buildPlayWin();         // app/PlayCommands.cpp
    void buildPlaylistView();    // app/panels/PlayListPanel.cpp
    void buildScanTable();       // app/panels/ScanPanel.cpp
    void buildStatusBar();       // app/MainWindow.cpp
    void buildDiskDialog();      // app/panels/DiskTree.cpp
    void buildCentralLayout();   // app/MainWindow.cpp
    void buildMergeDialog();     // app/panels/PlayListPanel.cpp
    // Merges the rows into the file in a thread of its own (app/panels/Commands.cpp).
    void startMerge(const QList<SPlayListTableItem>& items, const QString& path);
    // Asks for the export folder of the selected rows and checks it; false when nothing is to be done.
    bool exportFolderChosen(QList<SPlayListTableItem>* items);
    void startMp4Export(const QList<SPlayListTableItem>& items, const QString& target, bool merge);
    // Stops every running or paused scan row and waits for its threads
    // (app/panels/ScanPanel.cpp). Called before rows are replaced and on close.
    void stopAllScans();

    // ---- window chrome (app/MainWindow.cpp) ----
    QWidget* m_titleBar = nullptr;
    QHBoxLayout* m_titleRow = nullptr;
    QPushButton* m_logoButton = nullptr;
    MyButton* m_selectDiskButton = nullptr;
    MyButton* m_openSessionButton = nullptr;
    MyButton* m_mergeButton = nullptr;
    MyButton* m_helpButton = nullptr;
    QPushButton* m_minButton = nullptr;
    QPushButton* m_maxButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    QLabel* m_statusLabel = nullptr;
    bool m_dragging = false;
    QPoint m_dragOrigin;
    bool m_maximised = false;
    bool m_tableShown = true;
    bool m_scanWanted = false;
    void toggleMaximised();
    // Keeps the title strip under the whole width, also past the desktop's.
    void resizeEvent(QResizeEvent* event) override;

    // ---- disk tree (app/panels/DiskTree.cpp) ----
    QStringList m_imagePaths;
    QDialog* m_diskDialog = nullptr;
    QTreeWidget* m_diskTree = nullptr;
    QPushButton* m_diskStartButton = nullptr;
    int m_scanRowCount = 0;
    QStringList m_readableImages;      // the command-line paths that could be read at start
    bool m_unreadableNoticeShown = false;
    void checkImagePaths();
    void addImageRows();
    bool showUnreadableDisksNotice(bool haveOtherRows);

    // ---- scan status panel (app/panels/ScanPanel.cpp) ----
    // A row is deleted only once its threads have ended; one that cannot be
    // waited for is left to delete itself when they do.
    struct ScanRowDelete {
        void operator()(CButtonAndThread* row) const;
    };
    QTableWidget* m_scanTable = nullptr;
    std::vector<std::unique_ptr<CButtonAndThread, ScanRowDelete>> m_scanRows;
    int m_currentScanRow = 0;
    CButtonAndThread* scanRow(int row) const;
    // The device paths of every row of the scan panel, scanned or not.
    QList<QByteArray> scanSources() const;
    int scanRowIndex(const QObject* rowOrButton) const;
    void setOtherScanRowsEnabled(int row, bool enabled);
    void setSelectDiskEnabled(bool enabled);
    // ---- scan sessions (app/panels/SessionPanel.cpp) ----
    // Before a row starts: opens or makes its session, asks whether to
    // continue an unfinished one, lists saved fragments. False: do not scan.
    bool prepareRowSession(CButtonAndThread* row);
    // Saved fragments onto the playlist: with their own serials when the
    // playlist is empty, else numbered on from the window's counter.
    void listSavedFragments(const ScanSession& session);
    // Rows a stop listed for fragments a resumed scan continues: they come
    // back when closed, so they are taken off and their serials given back.
    void dropRowsContinuedBy(const ScanResumePoint& point);
    std::map<const CButtonAndThread*, std::unique_ptr<RowSession>> m_rowSessions;

    // ---- playlist and merge dialog (app/panels/PlayListPanel.cpp) ----
    CPlayListTableModel* m_playlistModel = nullptr;
    QSortFilterProxyModel* m_playlistProxy = nullptr;
    DropTableView* m_playlistView = nullptr;
    QLabel* m_scanLabel = nullptr;
    QLabel* m_videoLabel = nullptr;
    QDialog* m_mergeDialog = nullptr;
    QPushButton* m_mergeStartButton = nullptr;
    DropTableView* m_mergeListView = nullptr;
    QSortFilterProxyModel* m_mergeProxy = nullptr;
    CPlayListTableModel* m_mergeListModel = nullptr;
    // Rows that signals delivered during this event-loop turn; added to the
    // playlist together at the end of the turn (one sorted insertion).
    QList<SPlayListTableItem> m_pendingRows;
    bool m_flushPosted = false;
    // Recent cost of placing one row, to keep each turn's share short, and
    // of sorting the whole list again, per row of the list.
    double m_rowCostNs = 0;
    bool m_rowCostScattered = false; // m_rowCostNs is per row already listed
    double m_sortCostNs = 0;
    void flushPendingRows();
    void addPendingRows(bool all);
    // The merge list a command belongs to: the one of the dialog whose button
    // or menu sent it, else the newest.
    DropTableView* mergeListFor(QObject* origin) const;

    // ---- playlist and export commands (app/panels/Commands.cpp) ----
    QString m_saveFolder;

    // ---- playback (app/PlayCommands.cpp) ----
    PlayWin* m_playWin = nullptr;
    int m_currentPlayRow = -1;
    SPlayListTableItem m_currentPlayItem;
    bool m_playConfirmed = false;

    friend class MainWindowTestAccess;
};
