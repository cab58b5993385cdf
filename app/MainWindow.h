#pragma once
// The single main window: the window chrome, and the four panels it
// composes and wires (app/panels/): the disk dialog (DiskPanel), the scan
// status panel (ScanPanel), the playlist with its merge dialogs and commands
// (PlayListPanel) and the preview area (PreviewPanel). The slots below are
// the window's public face; those that do a panel's work forward to it.

#include "scan/SFragmentFit.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <deque>
#include <utility>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QTreeWidgetItem;
class DiskPanel;
class MyButton;
class PlayListPanel;
class PreviewPanel;
class ScanPanel;

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
    // Queued to this window: the rows of batches not yet passed on.
    void batchRowsLeft();

protected slots:
    void slotPlay();
    void slotUpStep();
    void slotDownStep();
    void slotSelectFile();
    void slotAddPlayList(SFragmentFit sFragmentFit, int i);
    // A scan thread's batch: each fragment, in order, through slotAddPlayList.
    void slotAddFragmentBatch(SFragmentBatch batch);
    // Passes on a turn's share of the batches received.
    void takeBatchRows();
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
    void buildTitleBar();
    void buildStatusBar();
    void buildCentralLayout();
    // Stops every running or paused scan row and waits for its threads.
    // Called before rows are replaced and on close.
    void stopAllScans();
    void setSelectDiskEnabled(bool enabled);
    // The chosen targets to the scan panel, the first row started.
    void scanSelectedTargets();

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
    // Batches received, with the first row of each not yet passed on.
    std::deque<std::pair<SFragmentBatch, int>> m_batchesIn;
    bool m_batchRowsPosted = false;
    void toggleMaximised();
    // Keeps the title strip under the whole width, also past the desktop's.
    void resizeEvent(QResizeEvent* event) override;

    // ---- the panels, each owning its widgets, state and workers ----
    PlayListPanel* m_playlist = nullptr;
    PreviewPanel* m_preview = nullptr;
    ScanPanel* m_scan = nullptr;
    DiskPanel* m_disks = nullptr;

    friend class MainWindowTestAccess;
};
