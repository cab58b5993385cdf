#pragma once
// The disk dialog: a tree of the machine's disks and their partitions, plus
// the disk images given on the command line, whose checked rows become the
// scan targets (scanTargetList()).

#include <QObject>
#include <QStringList>

class QDialog;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

class DiskPanel : public QObject {
    Q_OBJECT
public:
    // imagePaths: disk images or block devices given on the command line;
    // they are offered after the machine's disks. The dialog is a child of
    // `window`; paths that cannot be read are named once the event loop runs.
    DiskPanel(QWidget* window, const QStringList& imagePaths);

    QDialog* dialog() const { return m_diskDialog; }
    QTreeWidget* tree() const { return m_diskTree; }

    // Enumerates, fills the tree and shows the dialog.
    void selectDisk();
    void treeItemChanged();
    void treeItemClicked(QTreeWidgetItem* item, int column);
    void updateParentItem(QTreeWidgetItem* item);
    // Rebuilds scanTargetList() from the checked rows; with any, the tree is
    // disabled until the scan is stopped.
    void selectDiskNames();
    // The number of targets of the last non-empty selection.
    int scanRowCount() const { return m_scanRowCount; }

    // The scan panel's moments: its rows were built; a scan was stopped; the
    // last row ended.
    void rowsBuilt();
    void scanStopped();
    void lastRowEnded();

signals:
    // The dialog's start button.
    void startPressed();

private:
    void checkImagePaths();
    void addImageRows();
    bool showUnreadableDisksNotice(bool haveOtherRows);

    QWidget* m_window;
    QStringList m_imagePaths;
    QDialog* m_diskDialog = nullptr;
    QTreeWidget* m_diskTree = nullptr;
    QPushButton* m_diskStartButton = nullptr;
    int m_scanRowCount = 0;
    QStringList m_readableImages; // the command-line paths that could be read at start
    bool m_unreadableNoticeShown = false;
};
