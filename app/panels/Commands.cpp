// The commands on playlist and merge-list rows.
#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"

#include <QDialog>
#include <QSortFilterProxyModel>
#include <set>

namespace {

// Removes the selected rows of a list, highest model row first so that the
// numbers still to remove stay valid.
void deleteSelectedRows(DropTableView* view)
{
    if (!view || !view->selectionModel() || !view->listModel)
        return;
    const QList<int> rows = view->selectedModelRows();
    const std::set<int> ordered(rows.begin(), rows.end());
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it)
        view->listModel->deleteRow(*it);
}

} // namespace

void MainWindow::SortItem() {}

void MainWindow::DeletItem() {}

void MainWindow::ExportItem() {}

void MainWindow::PlayListMerge() {}

void MainWindow::MergeDisk()
{
    buildMergeDialog();
    m_mergeDialog->show();
}

void MainWindow::DeletPanelItem()
{
    deleteSelectedRows(mergeListFor(sender()));
}

void MainWindow::StartMerge() {}

void MainWindow::SCanResult(int) {}
