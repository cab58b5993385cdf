// The commands on playlist and merge-list rows: sort, delete, export, merge.
#include "app/Dialogs.h"
#include "app/MainWindow.h"
#include "app/panels/CButtonAndThread.h"
#include "app/panels/PlayListModel.h"
#include "app/panels/Mp4Export.h"
#include "disk/Nyx.h"
#include "disk/RequestingUser.h"
#include "disk/SourceGuard.h"
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

// A destination on any source of the scan panel, or of the rows, would
// overwrite the recordings still to be recovered: refused with the reason.
bool destinationOffSources(const QList<QByteArray>& panelSources, const QList<SPlayListTableItem>& items,
                           const QString& destination)
{
    QList<QByteArray> sources = panelSources;
    std::set<QByteArray> seen;
    for (const SPlayListTableItem& item : items) {
        if (seen.insert(item.sFragmentFit.diskName).second)
            sources.append(nyxDevicePathForName(item.sFragmentFit.diskName));
    }
    const QString why = SourceGuard(sources).check(QFile::encodeName(destination));
    if (why.isEmpty())
        return true;
    dialogs().warning(nullptr, QStringLiteral("警告"),
                      QStringLiteral("不能保存到 %1\n%2\n请选择一个不在当前扫描范围的磁盘!").arg(destination, why),
                      QMessageBox::Ok, QMessageBox::Ok);
    return false;
}

// The user is also asked for every destination that passed the check.
bool destinationConfirmed()
{
    const QMessageBox::StandardButton answer = dialogs().information(
        nullptr, QStringLiteral("警告"),
        QStringLiteral("请选择一个不在当前扫描范围的磁盘!\n如果将视频保存在扫描范围内的磁盘中会将其他数据覆盖掉\n是否确定保存?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    return answer != QMessageBox::No;
}

// Asks for the merged file, checks it, then asks for the confirmation; false
// when either is declined or the file lies on a source.
bool mergeFileChosen(MainWindow* window, const QList<QByteArray>& sources, const QList<SPlayListTableItem>& items,
                     QString& path)
{
    path = dialogs().getSaveFileName(window, MainWindow::tr("保存"), dialogStart(QString()),
                                     MainWindow::tr("Video files(*.TKL);;MP4 video(*.mp4)"), QStringLiteral("TKL"));
    return !path.isEmpty() && destinationOffSources(sources, items, path) && destinationConfirmed();
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

bool MainWindow::exportFolderChosen(QList<SPlayListTableItem>* items)
{
    if (!m_playlistView->selectionModel())
        return false;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return false;
    m_saveFolder = dialogs().getExistingDirectory(this, QStringLiteral("请选择保存路径"), dialogStart(QStringLiteral("home")),
                                                  QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (m_saveFolder.isEmpty())
        return false;
    *items = copyRows(m_playlistModel, rows);
    return destinationOffSources(scanSources(), *items, m_saveFolder) && destinationConfirmed();
}

void MainWindow::ExportItem()
{
    QList<SPlayListTableItem> items;
    if (!exportFolderChosen(&items))
        return;
    auto* thread = new SingleMegerThread(items, m_saveFolder);
    connect(thread, &SingleMegerThread::exportFinished, this, &MainWindow::showExportResult);
    thread->start(QThread::InheritPriority);
}

void MainWindow::PlayListMerge()
{
    if (!m_playlistView->selectionModel())
        return;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return;
    const QList<SPlayListTableItem> items = copyRows(m_playlistModel, rows);
    if (!mergeFileChosen(this, scanSources(), items, m_saveFolder))
        return;
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
    // The order the dialog shows, whatever order the rows were dragged in.
    const QList<SPlayListTableItem> items = copyRows(list->listModel, list->displayedModelRows());
    if (!mergeFileChosen(this, scanSources(), items, m_saveFolder))
        return;
    startMerge(items, m_saveFolder);
}

void MainWindow::startMerge(const QList<SPlayListTableItem>& items, const QString& path)
{
    // A file chosen as .mp4 gets a playable copy.
    if (path.endsWith(QLatin1String(".mp4"), Qt::CaseInsensitive)) {
        startMp4Export(items, path, true);
        return;
    }
    auto* thread = new ManyMegerThread(items, path);
    connect(thread, &ManyMegerThread::exportFinished, this, &MainWindow::showExportResult);
    thread->start(QThread::InheritPriority);
}

void MainWindow::ExportItemMp4()
{
    QList<SPlayListTableItem> items;
    if (!exportFolderChosen(&items))
        return;
    startMp4Export(items, m_saveFolder, false);
}

void MainWindow::PlayListMergeMp4()
{
    if (!m_playlistView->selectionModel())
        return;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return;
    m_saveFolder = dialogs().getSaveFileName(this, tr("保存"), dialogStart(QString()), tr("MP4 video(*.mp4)"),
                                             QStringLiteral("mp4"));
    if (m_saveFolder.isEmpty())
        return;
    const QList<SPlayListTableItem> items = copyRows(m_playlistModel, rows);
    if (!destinationOffSources(scanSources(), items, m_saveFolder) || !destinationConfirmed())
        return;
    startMp4Export(items, m_saveFolder, true);
}

void MainWindow::startMp4Export(const QList<SPlayListTableItem>& items, const QString& target, bool merge)
{
    auto* thread = new CMp4ExportThread(items, m_playlistModel->rows(), target, merge);
    connect(thread, &CMp4ExportThread::Mp4Notify, this, &MainWindow::Mp4Result);
    thread->start(QThread::InheritPriority);
}

void MainWindow::Mp4Result(int result, QString message)
{
    // What went otherwise than asked (a payload written as .TKL, a merge of
    // different streams refused) is named before the usual result.
    if (!message.isEmpty())
        dialogs().warning(nullptr, QStringLiteral("警告"), message, QMessageBox::Ok, QMessageBox::NoButton);
    SCanResult(result);
}

QList<QByteArray> MainWindow::scanSources() const
{
    QList<QByteArray> sources;
    for (const auto& row : m_scanRows)
        sources.append(row->devicePath());
    return sources;
}

void MainWindow::SCanResult(int result) { showExportResult(result, QString()); }

void MainWindow::showExportResult(int result, const QString& details)
{
    QString text = result == 1 ? QStringLiteral("成功") : QStringLiteral("失败");
    if (!details.isEmpty())
        text += QStringLiteral("\n\n") + details;
    dialogs().information(nullptr, QStringLiteral("提示 "), text, QMessageBox::Ok, QMessageBox::NoButton);
}
