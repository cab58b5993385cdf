// The playlist in the main window, fed by the scan, and the merge dialogs.
#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"

#include <QAction>
#include <QCursor>
#include <QDialog>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const char kLabelStyle[] =
    "QLabel{font-size:14px;background-color: transparent;border-image:url(:/images/play_slider.png) "
    "repeat-x;height:30px;color:white;padding:0px;margin:0px;}";
const char kVideoLabelStyle[] =
    "QLabel{font-family:SimSun,宋体;font-size:14px;background-color: transparent;"
    "border-image:url(:/images/play_slider.png) repeat-x;height:30px;color:white;padding:0px;margin:0px;}";

// Model and proxy have no parent; they go with the widget that shows them.
void deleteWith(QObject* owner, QSortFilterProxyModel* proxy, CPlayListTableModel* model)
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

} // namespace

void MainWindow::buildPlaylistModel()
{
    m_playlistModel = new CPlayListTableModel;
}

void MainWindow::buildPlaylistView()
{
    m_playlistView = new DropTableView(this);
    m_playlistView->setObjectName(QStringLiteral("playlistView"));

    m_playlistProxy = new CPlayListSortProxy;
    m_playlistProxy->setSourceModel(m_playlistModel);
    m_playlistView->setModel(m_playlistProxy);
    m_playlistView->listModel = m_playlistModel;
    m_playlistView->sortProxy = m_playlistProxy;
    deleteWith(this, m_playlistProxy, m_playlistModel);

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

    m_scanLabel = new QLabel(this);
    m_scanLabel->setObjectName(QStringLiteral("scanLabel"));
    m_scanLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_scanLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_scanLabel->setText(QStringLiteral("扫描"));
    m_scanLabel->resize(353, 30);
    m_scanLabel->setMinimumHeight(30);
    m_scanLabel->setStyleSheet(QString::fromUtf8(kLabelStyle));
    m_scanLabel->raise();

    m_videoLabel = new QLabel(this);
    m_videoLabel->setObjectName(QStringLiteral("videoLabel"));
    m_videoLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_videoLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_videoLabel->setMinimumHeight(30);
    m_videoLabel->setMaximumHeight(30);
    m_videoLabel->setText(QStringLiteral("视频"));
    m_videoLabel->resize(352, 30);
    m_videoLabel->setStyleSheet(QString::fromUtf8(kVideoLabelStyle));

    connect(m_playlistView, &QAbstractItemView::doubleClicked, this, &MainWindow::slotDoubleClicked);
    connect(m_playlistView->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &MainWindow::slotonHeaderClicked);
}

void MainWindow::buildMergeDialog()
{
    auto* dialog = new QDialog(this);
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

    connect(view, &QWidget::customContextMenuRequested, this, &MainWindow::ShowPanelMenu);
    connect(start, &QPushButton::clicked, this, &MainWindow::StartMerge);

    m_mergeDialog = dialog;
    m_mergeStartButton = start;
    m_mergeListView = view;
    m_mergeProxy = proxy;
    m_mergeListModel = model;
}

DropTableView* MainWindow::mergeListFor(QObject* origin) const
{
    // The menu's entry carries the list it was opened on.
    if (origin) {
        if (auto* list = qobject_cast<DropTableView*>(origin->property("mergeListView").value<QObject*>()))
            return list;
    }
    // A dialog's own start button.
    if (auto* widget = qobject_cast<QWidget*>(origin)) {
        if (QWidget* top = widget->window(); top && top != this && top->objectName() == QLatin1String("mergeDialog")) {
            if (auto* list = top->findChild<DropTableView*>(QStringLiteral("mergeListView")))
                return list;
        }
    }
    return m_mergeListView;
}

void MainWindow::ShowPanelMenu(QPoint)
{
    auto* list = qobject_cast<DropTableView*>(sender());
    if (!list)
        list = m_mergeListView;
    QMenu menu(this);
    menu.setStyleSheet(QStringLiteral("QMenu{background:url(:/images/tree_section.png) repeat;border:1px;"
                                      "border-top:0px;color:white}"));
    QAction* remove = menu.addAction(QStringLiteral("删除"));
    remove->setProperty("mergeListView", QVariant::fromValue(static_cast<QObject*>(list)));
    connect(remove, &QAction::triggered, this, &MainWindow::DeletPanelItem);
    menu.exec(QCursor::pos());
}

void MainWindow::slotAddPlayList(SFragmentFit sFragmentFit, int i)
{
    SPlayListTableItem item;
    item.sFragmentFit = std::move(sFragmentFit);
    item.iSerial = i;
    m_pendingRows.append(item);
    // Fragments from the scan threads come as queued signals, often many per
    // turn of the event loop; the sorted proxy places a block of rows in one
    // pass, where row by row it would rebuild its mapping for every row. The
    // block is added by an event queued behind this turn's signals.
    if (sender()) {
        if (!m_flushPosted) {
            m_flushPosted = true;
            QMetaObject::invokeMethod(this, &MainWindow::flushPendingRows, Qt::QueuedConnection);
        }
        return;
    }
    // A direct call shows its row at once, behind any still waiting.
    addPendingRows(true);
}

void MainWindow::slotAddFragmentBatch(SFragmentBatch batch)
{
    // Called from the batch's signal, so each row is queued behind this turn
    // like a row that came on its own.
    const QVector<SFragmentFit>& fragments = batch.fragments();
    const QVector<int>& serials = batch.serials();
    m_pendingRows.reserve(m_pendingRows.size() + fragments.size());
    for (int k = 0; k < fragments.size(); ++k)
        slotAddPlayList(fragments[k], serials[k]);
}

void MainWindow::flushPendingRows()
{
    m_flushPosted = false;
    addPendingRows(false);
    if (!m_pendingRows.isEmpty() && !m_flushPosted) {
        m_flushPosted = true;
        QMetaObject::invokeMethod(this, &MainWindow::flushPendingRows, Qt::QueuedConnection);
    }
}

void MainWindow::addPendingRows(bool all)
{
    // Rows that land apart in a sorted view cost the proxy a pass over the
    // whole list each. When more arrive than one turn of the event loop can
    // place in kBudgetNs, the rest follow in the next turns, in order, so the
    // window keeps answering.
    constexpr double kBudgetNs = 30e6;
    QElapsedTimer clock;
    clock.start();
    // Sorted by size, new rows land all over the list, and placing them one
    // by one costs more than one stable sort of the whole list once there are
    // enough of them: then they are appended unsorted and the list sorted
    // again (a stable sort; rows whose size texts are equal may end up in
    // another order among themselves than row-by-row placement gives).
    // Each row that lands on its own costs the proxy and the header a pass
    // over the list, so sorted by size the cost of a row is learnt per row
    // already listed; by name new rows land together at one end.
    const bool scattered = m_playlistProxy->sortColumn() == 2;
    if (scattered != m_rowCostScattered) {
        m_rowCostScattered = scattered;
        m_rowCostNs = 0;
    }
    const auto rowCost = [&] {
        return scattered ? m_rowCostNs * std::max(1, m_playlistModel->rowCount()) : m_rowCostNs;
    };
    const int present = m_playlistModel->rowCount();
    if (!all && scattered && present >= 1000 && m_pendingRows.size() >= 32 && m_rowCostNs > 0) {
        const double perListRow = m_sortCostNs > 0 ? m_sortCostNs : 600.0;
        const double whole = perListRow * (present + m_pendingRows.size());
        if (m_pendingRows.size() * rowCost() > whole) {
            QList<SPlayListTableItem> rows;
            rows.swap(m_pendingRows);
            // Unsorted, the proxy appends the block as one interval; turning
            // the sort back on sorts the whole list once, by the same column
            // and order.
            m_playlistProxy->setDynamicSortFilter(false);
            m_playlistModel->addRows(rows);
            m_playlistProxy->setDynamicSortFilter(true);
            const double took = double(clock.nsecsElapsed()) / m_playlistModel->rowCount();
            m_sortCostNs = m_sortCostNs > 0 ? 0.5 * m_sortCostNs + 0.5 * took : took;
            return;
        }
    }
    while (!m_pendingRows.isEmpty()) {
        int take = m_pendingRows.size();
        if (!all && m_rowCostNs > 0) {
            const double left = kBudgetNs - double(clock.nsecsElapsed());
            if (left <= 0)
                break;
            take = int(std::clamp(left / rowCost(), 1.0, double(take)));
        } else if (!all) {
            take = std::min(take, 256);
        }
        QList<SPlayListTableItem> block = m_pendingRows.mid(0, take);
        m_pendingRows.erase(m_pendingRows.begin(), m_pendingRows.begin() + take);
        const qint64 before = clock.nsecsElapsed();
        const int listed = std::max(1, m_playlistModel->rowCount());
        m_playlistModel->addRows(block);
        double perRow = double(clock.nsecsElapsed() - before) / take;
        if (scattered)
            perRow /= listed;
        m_rowCostNs = m_rowCostNs > 0 ? 0.5 * m_rowCostNs + 0.5 * perRow : perRow;
    }
}

void MainWindow::slotonHeaderClicked(int column)
{
    // The header has just flipped its indicator; every click sorts descending.
    m_playlistView->sortByColumn(column, Qt::DescendingOrder);
}

void MainWindow::slotPlayFragment()
{
    const int row = m_playlistView->currentIndex().row();
    if (row >= 0)
        PlayListDoubleClicked(row, 0);
}

void MainWindow::VideoLogSlot(QString) {}
