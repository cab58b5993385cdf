// The commands on playlist and merge-list rows: sort, delete, export, merge.
#include "app/Dialogs.h"
#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"
#include "disk/RequestingUser.h"
#include "export/VideoInfo.h"

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

// Copies of the given model rows, in the given order. The copies share the
// fragments' extent lists, so deleting the rows later does not touch them.
QList<SPlayListTableItem> copyRows(const CPlayListTableModel* model, const QList<int>& rows)
{
    QList<SPlayListTableItem> items;
    for (int r : rows)
        if (r >= 0 && r < model->rowCount())
            items.append(model->item(r));
    return items;
}

// Root acting for a user through pkexec starts in that user's home, not in
// root's or in the program's folder.
QString dialogStart(const QString& usual)
{
    const RequestingUser user = requestingUser();
    return user.other ? user.home : usual;
}

// The destination is never compared with the scanned devices: the user is
// asked every time.
bool destinationConfirmed()
{
    const QMessageBox::StandardButton answer = dialogs().information(
        nullptr, QStringLiteral("警告"),
        QStringLiteral("请选择一个不在当前扫描范围的磁盘!\n如果将视频保存在扫描范围内的磁盘中会将其他数据覆盖掉\n是否确定保存?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    return answer != QMessageBox::No;
}

// Asks for the merged file, then for the confirmation; false when either is
// declined.
bool mergeFileChosen(MainWindow* window, QString& path)
{
    path = dialogs().getSaveFileName(window, MainWindow::tr("保存"), dialogStart(QString()),
                                     MainWindow::tr("Video files(*.TKL)"), QStringLiteral("TKL"));
    return !path.isEmpty() && destinationConfirmed();
}

} // namespace

void MainWindow::SortItem()
{
    m_playlistView->sortByColumn(2, Qt::DescendingOrder);
}

void MainWindow::DeletItem()
{
    if (!m_playlistView->selectionModel())
        return;
    deleteSelectedRows(m_playlistView);
    m_playlistView->updateGeometry();
    m_playlistView->repaint();
    update();
}

void MainWindow::ExportItem()
{
    if (!m_playlistView->selectionModel())
        return;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return;
    m_saveFolder = dialogs().getExistingDirectory(this, QStringLiteral("请选择保存路径"), dialogStart(QStringLiteral("home")),
                                                  QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (m_saveFolder.isEmpty())
        return;
    if (!destinationConfirmed())
        return;
    const QList<SPlayListTableItem> items = copyRows(m_playlistModel, rows);
    auto* thread = new SingleMegerThread(items, m_saveFolder);
    connect(thread, &SingleMegerThread::SingleNotify, this, &MainWindow::SCanResult);
    thread->start(QThread::InheritPriority);
}

void MainWindow::PlayListMerge()
{
    if (!m_playlistView->selectionModel())
        return;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return;
    if (!mergeFileChosen(this, m_saveFolder))
        return;
    const QList<SPlayListTableItem> items = copyRows(m_playlistModel, rows);
    startMerge(items, m_saveFolder);
}

void MainWindow::MergeDisk()
{
    buildMergeDialog();
    m_mergeDialog->show();
}

void MainWindow::DeletPanelItem()
{
    deleteSelectedRows(mergeListFor(sender()));
}

void MainWindow::StartMerge()
{
    // The list of the dialog whose button was pressed, not only the newest.
    DropTableView* list = mergeListFor(sender());
    if (!list || !list->listModel || list->listModel->rowCount() == 0)
        return;
    if (!mergeFileChosen(this, m_saveFolder))
        return;
    // The order the dialog shows, whatever order the rows were dragged in.
    const QList<SPlayListTableItem> items = copyRows(list->listModel, list->displayedModelRows());
    startMerge(items, m_saveFolder);
}

void MainWindow::startMerge(const QList<SPlayListTableItem>& items, const QString& path)
{
    auto* thread = new ManyMegerThread(items, path);
    connect(thread, &ManyMegerThread::ManyNotify, this, &MainWindow::SCanResult);
    thread->start(QThread::InheritPriority);
}

void MainWindow::SCanResult(int result)
{
    dialogs().information(nullptr, QStringLiteral("提示 "), result == 1 ? QStringLiteral("成功") : QStringLiteral("失败"),
                          QMessageBox::Ok, QMessageBox::NoButton);
}
