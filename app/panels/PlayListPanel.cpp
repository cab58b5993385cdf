// The playlist in the main window, fed by the scan, its merge dialogs and
// the commands on their rows.
#include "app/panels/PlayListPanel.h"

#include "gui/Dialogs.h"
#include "app/panels/Mp4Export.h"
#include "app/panels/PlayListModel.h"
#include "disk/Nyx.h"
#include "disk/RequestingUser.h"
#include "disk/SourceGuard.h"
#include "export/VideoInfo.h"
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"

#include <QAction>
#include <QCursor>
#include <QDialog>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <set>

namespace {

const char kLabelStyle[] =
    "QLabel{font-size:14px;background-color: transparent;border-image:url(:/images/play_slider.png) "
    "repeat-x;height:30px;color:white;padding:0px;margin:0px;}";
const char kVideoLabelStyle[] =
    "QLabel{font-family:SimSun,宋体;font-size:14px;background-color: transparent;"
    "border-image:url(:/images/play_slider.png) repeat-x;height:30px;color:white;padding:0px;margin:0px;}";

// Model and proxy have no parent; they go with the widget that shows them.
void deleteWith(QObject* owner, CPlayListSortProxy* proxy, CPlayListTableModel* model)
{
    QObject::connect(owner, &QObject::destroyed, [proxy, model] {
        delete proxy;
        delete model;
    });
}

// The column sizes and header both lists share.
void shapeList(DropTableView* view)
{
    view->resize(397, 360);
    view->setMaximumWidth(397);
    view->setMinimumHeight(357);
    view->setShowGrid(false);
    view->horizontalHeader()->setFixedHeight(40);
    // Large fonts raise the header's minimum above the channel column's 30.
    if (view->horizontalHeader()->minimumSectionSize() > 30)
        view->horizontalHeader()->setMinimumSectionSize(30);
    view->setColumnWidth(0, 30);
    view->setColumnWidth(1, 210);
    view->setColumnWidth(2, 90);
    view->verticalHeader()->setVisible(false);
}



// Removes the selected rows of a list.
void deleteSelectedRows(DropTableView* view)
{
    if (!view || !view->selectionModel() || !view->listModel)
        return;
    view->listModel->deleteRows(view->selectedModelRows());
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

} // namespace

PlayListPanel::PlayListPanel(QWidget* window) : QObject(window), m_window(window)
{
    m_playlistModel = new CPlayListTableModel;
}

void PlayListPanel::buildView()
{
    m_playlistView = new DropTableView(m_window);
    m_playlistView->setObjectName(QStringLiteral("playlistView"));

    m_playlistProxy = new CPlayListSortProxy;
    // Every click sorts descending (headerClicked): the header asks for that
    // order at once instead of sorting ascending first.
    m_playlistProxy->setInitialSortOrder(Qt::DescendingOrder);
    m_playlistProxy->setSourceModel(m_playlistModel);
    m_playlistView->setModel(m_playlistProxy);
    m_playlistView->listModel = m_playlistModel;
    m_playlistView->sortProxy = m_playlistProxy;
    deleteWith(m_window, m_playlistProxy, m_playlistModel);

    shapeList(m_playlistView);
    m_playlistView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_playlistView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_playlistView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_playlistView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_playlistView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_playlistView->setStyleSheet(QStringLiteral(
        "QTableView {font-family: arial, sans-serif;background:url(:/images/tree_bg.png) repeat;border:1px;"
        "border-top:0px}"));
    m_playlistView->horizontalHeader()->setStyleSheet(QStringLiteral(
        " QHeaderView,QHeaderView::section{background-color: transparent;border-image:url(:/images/tab_section.png) "
        "repeat;height:40px;color:white;text-align:center}"));
    m_playlistView->setSortingEnabled(true);

    m_scanLabel = new QLabel(m_window);
    m_scanLabel->setObjectName(QStringLiteral("scanLabel"));
    m_scanLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_scanLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_scanLabel->setText(QStringLiteral("扫描"));
    m_scanLabel->resize(353, 30);
    m_scanLabel->setMinimumHeight(30);
    m_scanLabel->setStyleSheet(QString::fromUtf8(kLabelStyle));
    m_scanLabel->raise();

    m_videoLabel = new QLabel(m_window);
    m_videoLabel->setObjectName(QStringLiteral("videoLabel"));
    m_videoLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_videoLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_videoLabel->setMinimumHeight(30);
    m_videoLabel->setMaximumHeight(30);
    m_videoLabel->setText(QStringLiteral("视频"));
    m_videoLabel->resize(352, 30);
    m_videoLabel->setStyleSheet(QString::fromUtf8(kVideoLabelStyle));

}

void PlayListPanel::buildMergeDialog()
{
    auto* dialog = new QDialog(m_window);
    dialog->setObjectName(QStringLiteral("mergeDialog"));
    dialog->setWindowTitle(QStringLiteral("合并"));
    dialog->resize(400, 455);
    dialog->setMaximumWidth(420);
    dialog->setContextMenuPolicy(Qt::CustomContextMenu);
    dialog->setStyleSheet(QStringLiteral("QDialog{background:url(:/images/tree_section.png) repeat;}"));
    dialog->setWindowOpacity(0.97);

    auto* start = new QPushButton(QStringLiteral("开始"), dialog);
    start->setObjectName(QStringLiteral("mergeStartButton"));
    start->setStyleSheet(QStringLiteral(
        " QPushButton{background-color:transparent;border-image:url(:/images/start.png) no-repeat; "
        "color:white;border:0px}"));
    start->resize(88, 44);
    start->setMaximumWidth(88);
    start->setMinimumHeight(34);

    auto* view = new DropTableView(dialog);
    view->setObjectName(QStringLiteral("mergeListView"));
    auto* proxy = new CPlayListSortProxy;
    auto* model = new CPlayListTableModel;
    proxy->setSourceModel(model);
    view->setModel(proxy);
    view->listModel = model;
    view->sortProxy = proxy;
    deleteWith(dialog, proxy, model);

    shapeList(view);
    // The selector names QTableWidget, so it does not style this view.
    view->setStyleSheet(QStringLiteral(
        "QTableWidget {font-family: arial, sans-serif;background:url(:/images/tree_bg.png) repeat;border:1px;"
        "border-top:0px;text-align:left}"));
    view->horizontalHeader()->setStyleSheet(QStringLiteral(
        " QHeaderView,QHeaderView::section{background-color: transparent;border-image:url(:/images/tree_section.png) "
        "repeat;height:40px;color:white;font：block;text-align:left}"));
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setAcceptDrops(true);
    view->setSortingEnabled(true);

    auto* column = new QVBoxLayout(dialog);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(view);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start, 2);
    column->addLayout(buttons);
    column->addSpacing(10);

    connect(view, &QWidget::customContextMenuRequested, this, [this, view] { showMergeListMenu(view); });
    connect(start, &QPushButton::clicked, this, [this, start] { mergeList(start); });

    m_mergeDialog = dialog;
    m_mergeStartButton = start;
    m_mergeListView = view;
    m_mergeProxy = proxy;
    m_mergeListModel = model;
}

DropTableView* PlayListPanel::mergeListFor(QObject* origin) const
{
    // The menu's entry carries the list it was opened on.
    if (origin) {
        if (auto* list = qobject_cast<DropTableView*>(origin->property("mergeListView").value<QObject*>()))
            return list;
    }
    // A dialog's own start button.
    if (auto* widget = qobject_cast<QWidget*>(origin)) {
        if (QWidget* top = widget->window(); top && top != m_window && top->objectName() == QLatin1String("mergeDialog")) {
            if (auto* list = top->findChild<DropTableView*>(QStringLiteral("mergeListView")))
                return list;
        }
    }
    return m_mergeListView;
}

void PlayListPanel::showMergeListMenu(QObject* origin)
{
    auto* list = qobject_cast<DropTableView*>(origin);
    if (!list)
        list = m_mergeListView;
    QMenu menu(m_window);
    menu.setStyleSheet(QStringLiteral("QMenu{background:url(:/images/tree_section.png) repeat;border:1px;"
                                      "border-top:0px;color:white}"));
    QAction* remove = menu.addAction(QStringLiteral("删除"));
    remove->setProperty("mergeListView", QVariant::fromValue(static_cast<QObject*>(list)));
    connect(remove, &QAction::triggered, this, [this, remove] { deleteMergeRows(remove); });
    menu.exec(QCursor::pos());
}

void PlayListPanel::addFragment(SFragmentFit fragment, int serial, bool queued)
{
    SPlayListTableItem item;
    item.sFragmentFit = std::move(fragment);
    item.iSerial = serial;
    m_pendingRows.append(item);
    // Fragments from the scan threads come as queued signals, often many per
    // turn of the event loop; the sorted proxy places a block of rows in one
    // pass, where row by row it would rebuild its mapping for every row. The
    // block is added by an event queued behind this turn's signals.
    if (queued) {
        if (!m_flushPosted) {
            m_flushPosted = true;
            QMetaObject::invokeMethod(this, &PlayListPanel::flushPendingRows, Qt::QueuedConnection);
        }
        return;
    }
    // A direct call shows its row at once, behind any still waiting.
    addPendingRows(true);
}

void PlayListPanel::flushPendingRows()
{
    m_flushPosted = false;
    addPendingRows(false);
    if (!m_pendingRows.isEmpty() && !m_flushPosted) {
        m_flushPosted = true;
        QMetaObject::invokeMethod(this, &PlayListPanel::flushPendingRows, Qt::QueuedConnection);
    }
}

void PlayListPanel::addPendingRows(bool all)
{
    // The sorted view merges a block of rows into its order in one pass, so
    // each turn of the event loop takes one block: as many rows as fit in
    // kBudgetNs at the recent cost per row, the rest in the next turns, in
    // order, so the window keeps answering.
    // A block is also held to kMaxBlock rows: a row costs more the longer the
    // list, and the estimate lags behind.
    constexpr double kBudgetNs = 20e6;
    constexpr int kMaxBlock = 8192;
    if (m_pendingRows.isEmpty())
        return;
    int take = m_pendingRows.size();
    if (!all) {
        const double fit = m_rowCostNs > 0 ? kBudgetNs / m_rowCostNs : 256.0;
        take = int(std::clamp(fit, 256.0, double(std::min(take, kMaxBlock))));
        take = std::min(take, m_pendingRows.size());
    }
    QList<SPlayListTableItem> block;
    if (take == m_pendingRows.size()) {
        block.swap(m_pendingRows);
    } else {
        block = m_pendingRows.mid(0, take);
        m_pendingRows.erase(m_pendingRows.begin(), m_pendingRows.begin() + take);
    }
    QElapsedTimer clock;
    clock.start();
    m_playlistModel->addRows(block);
    const double perRow = double(clock.nsecsElapsed()) / take;
    m_rowCostNs = m_rowCostNs > 0 ? 0.5 * m_rowCostNs + 0.5 * perRow : perRow;
}

QAbstractProxyModel* PlayListPanel::proxy() const
{
    return m_playlistProxy;
}

void PlayListPanel::headerClicked(int column)
{
    // The header has just flipped its indicator; every click sorts descending.
    m_playlistView->sortByColumn(column, Qt::DescendingOrder);
}

void PlayListPanel::listSavedFragments(const ScanSession& session)
{
    const QList<SessionFragment> saved = session.closedFragments();
    const bool alone = m_playlistModel->rowCount() == 0 && m_pendingRows.isEmpty();
    if (alone)
        CFragmentFit::fragmentSerial = std::max(CFragmentFit::fragmentSerial.load(), session.lastSerial());
    for (const SessionFragment& f : saved) {
        SPlayListTableItem item;
        item.sFragmentFit = f.fragment;
        // The fragments name the source as it is found now.
        item.sFragmentFit.diskName = session.info().source.name;
        item.iSerial = alone ? f.serial : ++CFragmentFit::fragmentSerial;
        m_pendingRows.append(item);
    }
    addPendingRows(true);
}

void PlayListPanel::dropRowsContinuedBy(const ScanResumePoint& point)
{
    if (point.open.isEmpty())
        return;
    addPendingRows(true);
    // A fragment starts where no other does: its source, stream and first
    // byte name it.
    auto continued = [&point](const SFragmentFit& f) {
        if (!f.extents || f.extents->isEmpty())
            return false;
        for (const SFragmentFit& o : point.open)
            if (o.extents && !o.extents->isEmpty() && o.diskName == f.diskName && o.stream == f.stream &&
                o.extents->first().start == f.extents->first().start)
                return true;
        return false;
    };
    int lowest = INT_MAX, highest = 0;
    for (int i = m_playlistModel->rowCount() - 1; i >= 0; --i) {
        const SPlayListTableItem& row = m_playlistModel->rowAt(i);
        if (!continued(row.sFragmentFit))
            continue;
        lowest = std::min(lowest, row.iSerial);
        highest = std::max(highest, row.iSerial);
        m_playlistModel->deleteRow(i);
    }
    // Numbered last, their serials go to the scan that closes them, as one
    // uninterrupted scan would number them.
    if (highest > 0 && CFragmentFit::fragmentSerial.load() == highest)
        CFragmentFit::fragmentSerial = lowest - 1;
}


void PlayListPanel::sortRows()
{
    m_playlistView->sortByColumn(2, Qt::DescendingOrder);
}

void PlayListPanel::deleteSelectedRows()
{
    if (!m_playlistView->selectionModel())
        return;
    ::deleteSelectedRows(m_playlistView);
    m_playlistView->updateGeometry();
    m_playlistView->repaint();
    m_window->update();
}

bool PlayListPanel::selectedRows(QList<SPlayListTableItem>* items) const
{
    if (!m_playlistView->selectionModel())
        return false;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return false;
    *items = copyRows(m_playlistModel, rows);
    return true;
}

bool PlayListPanel::exportFolderChosen(QList<SPlayListTableItem>* items)
{
    if (!m_playlistView->selectionModel())
        return false;
    const QList<int> rows = m_playlistView->selectedModelRows();
    if (rows.isEmpty())
        return false;
    m_saveFolder = dialogs().getExistingDirectory(m_window, QStringLiteral("请选择保存路径"),
                                                  dialogStart(QStringLiteral("home")),
                                                  QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (m_saveFolder.isEmpty())
        return false;
    *items = copyRows(m_playlistModel, rows);
    return destinationOffSources(m_scanSources ? m_scanSources() : QList<QByteArray>(), *items, m_saveFolder) &&
           destinationConfirmed();
}

bool PlayListPanel::mergeFileChosen(const QList<SPlayListTableItem>& items, const QString& filter,
                                    const QString& suffix)
{
    m_saveFolder = dialogs().getSaveFileName(m_window, tr("保存"), dialogStart(QString()), filter, suffix);
    return !m_saveFolder.isEmpty() &&
           destinationOffSources(m_scanSources ? m_scanSources() : QList<QByteArray>(), items, m_saveFolder) &&
           destinationConfirmed();
}

void PlayListPanel::exportSelected()
{
    QList<SPlayListTableItem> items;
    if (!exportFolderChosen(&items))
        return;
    auto* thread = new SingleMegerThread(items, m_saveFolder);
    connect(thread, &SingleMegerThread::exportFinished, this, &PlayListPanel::showExportResult);
    thread->start(QThread::InheritPriority);
}

void PlayListPanel::mergeSelected()
{
    QList<SPlayListTableItem> items;
    if (!selectedRows(&items) || !mergeFileChosen(items, tr("Video files(*.TKL);;MP4 video(*.mp4)"),
                                                  QStringLiteral("TKL")))
        return;
    startMerge(items, m_saveFolder);
}

void PlayListPanel::openMergeDialog()
{
    buildMergeDialog();
    m_mergeDialog->show();
}

void PlayListPanel::deleteMergeRows(QObject* origin)
{
    ::deleteSelectedRows(mergeListFor(origin));
}

void PlayListPanel::mergeList(QObject* origin)
{
    // The list of the dialog whose button was pressed, not only the newest.
    DropTableView* list = mergeListFor(origin);
    if (!list || !list->listModel || list->listModel->rowCount() == 0)
        return;
    // The order the dialog shows, whatever order the rows were dragged in.
    const QList<SPlayListTableItem> items = copyRows(list->listModel, list->displayedModelRows());
    if (!mergeFileChosen(items, tr("Video files(*.TKL);;MP4 video(*.mp4)"), QStringLiteral("TKL")))
        return;
    startMerge(items, m_saveFolder);
}

void PlayListPanel::startMerge(const QList<SPlayListTableItem>& items, const QString& path)
{
    // A file chosen as .mp4 gets a playable copy.
    if (path.endsWith(QLatin1String(".mp4"), Qt::CaseInsensitive)) {
        startMp4Export(items, path, true);
        return;
    }
    auto* thread = new ManyMegerThread(items, path);
    connect(thread, &ManyMegerThread::exportFinished, this, &PlayListPanel::showExportResult);
    thread->start(QThread::InheritPriority);
}

void PlayListPanel::exportSelectedMp4()
{
    QList<SPlayListTableItem> items;
    if (!exportFolderChosen(&items))
        return;
    startMp4Export(items, m_saveFolder, false);
}

void PlayListPanel::mergeSelectedMp4()
{
    QList<SPlayListTableItem> items;
    if (!selectedRows(&items) || !mergeFileChosen(items, tr("MP4 video(*.mp4)"), QStringLiteral("mp4")))
        return;
    startMp4Export(items, m_saveFolder, true);
}

void PlayListPanel::startMp4Export(const QList<SPlayListTableItem>& items, const QString& target, bool merge)
{
    auto* thread = new CMp4ExportThread(items, m_playlistModel->rows(), target, merge);
    connect(thread, &CMp4ExportThread::Mp4Notify, this, &PlayListPanel::showMp4Result);
    thread->start(QThread::InheritPriority);
}

void PlayListPanel::showMp4Result(int result, const QString& message)
{
    // What went otherwise than asked (a payload written as .TKL, a merge of
    // different streams refused) is named before the usual result.
    if (!message.isEmpty())
        dialogs().warning(nullptr, QStringLiteral("警告"), message, QMessageBox::Ok, QMessageBox::NoButton);
    showExportResult(result, QString());
}

void PlayListPanel::showExportResult(int result, const QString& details)
{
    QString text = result == 1 ? QStringLiteral("成功") : QStringLiteral("失败");
    if (!details.isEmpty())
        text += QStringLiteral("\n\n") + details;
    dialogs().information(nullptr, QStringLiteral("提示 "), text, QMessageBox::Ok, QMessageBox::NoButton);
}
