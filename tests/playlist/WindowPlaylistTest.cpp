// The playlist and the merge dialogs inside the main window.
#include "PlaylistSupport.h"

#include "app/AppSetup.h"
#include "app/MainWindow.h"

#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QAbstractProxyModel>
#include <QStyle>
#include <gtest/gtest.h>
#include <algorithm>
#include <thread>

using namespace pltest;

namespace {

// Stands in for a scan thread: its fragments reach the window queued.
class FakeScan : public QObject {
    Q_OBJECT
signals:
    void TransmitAddFragmentList(SFragmentFit sFragmentFit, int i);
    void TransmitFragmentBatch(SFragmentBatch batch);
};

class WindowPlaylist : public ::testing::Test {
protected:
    void SetUp() override
    {
        qRegisterMetaType<SFragmentFit>("SFragmentFit");
        qRegisterMetaType<SFragmentBatch>("SFragmentBatch");
        dragRows.clear();
        window.move(0, 0);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        playlist = window.findChild<DropTableView*>("playlistView");
        ASSERT_TRUE(playlist);
        QObject::connect(&scan, SIGNAL(TransmitAddFragmentList(SFragmentFit, int)), &window,
                         SLOT(slotAddPlayList(SFragmentFit, int)), Qt::QueuedConnection);
        QObject::connect(&scan, SIGNAL(TransmitFragmentBatch(SFragmentBatch)), &window,
                         SLOT(slotAddFragmentBatch(SFragmentBatch)), Qt::QueuedConnection);
    }
    void TearDown() override { dragRows.clear(); }
    // Fragments sent from another thread, as a scan sends them.
    void scanFinds(const QList<QPair<qint64, int>>& sizeAndSerial)
    {
        std::thread t([&] {
            for (const auto& p : sizeAndSerial)
                emit scan.TransmitAddFragmentList(fragment(p.first, p.second * 8192LL), p.second);
        });
        t.join();
    }
    void addDirect(qint64 bytes, int serial)
    {
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, fragment(bytes)), Q_ARG(int, serial));
    }
    void clickHeader(QHeaderView* header, int section)
    {
        const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }
    QDialog* openMergeDialog()
    {
        const auto before = window.findChildren<QDialog*>("mergeDialog");
        QMetaObject::invokeMethod(&window, "MergeDisk");
        for (QDialog* d : window.findChildren<QDialog*>("mergeDialog"))
            if (!before.contains(d))
                return d;
        return nullptr;
    }
    static DropTableView* listOf(QDialog* d) { return d->findChild<DropTableView*>("mergeListView"); }
    QList<int> shownSizesKiB() const
    {
        QList<int> kib;
        for (int r : playlist->displayedModelRows())
            kib << int(playlist->listModel->item(r).sFragmentFit.totalBytes / 1024);
        return kib;
    }

    MainWindow window;
    FakeScan scan;
    DropTableView* playlist = nullptr;
};

} // namespace

TEST_F(WindowPlaylist, BuiltAsTheWindowExpects)
{
    auto* proxy = qobject_cast<QAbstractProxyModel*>(playlist->model());
    ASSERT_TRUE(proxy);
    EXPECT_EQ(playlist->sortProxy, proxy);
    EXPECT_EQ(proxy->sourceModel(), playlist->listModel);
    EXPECT_TRUE(window.isAncestorOf(playlist));
    EXPECT_EQ(playlist->maximumWidth(), 397);
    EXPECT_EQ(playlist->minimumHeight(), 357);
    EXPECT_EQ(playlist->horizontalHeader()->height(), 40);
    EXPECT_EQ(playlist->columnWidth(0), 30);
    EXPECT_EQ(playlist->columnWidth(1), 210);
    EXPECT_EQ(playlist->columnWidth(2), 90);
    EXPECT_FALSE(playlist->verticalHeader()->isVisible());
    EXPECT_FALSE(playlist->showGrid());
    EXPECT_EQ(playlist->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(playlist->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(playlist->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(playlist->isSortingEnabled());
    EXPECT_EQ(playlist->model()->headerData(1, Qt::Horizontal).toString(), "  名称 ");

    auto* scanLabel = window.findChild<QLabel*>("scanLabel");
    auto* videoLabel = window.findChild<QLabel*>("videoLabel");
    ASSERT_TRUE(scanLabel && videoLabel);
    EXPECT_EQ(scanLabel->text(), "扫描");
    EXPECT_EQ(videoLabel->text(), "视频");
    EXPECT_EQ(videoLabel->maximumHeight(), 30);
}

TEST_F(WindowPlaylist, EveryHeaderClickSortsDescending)
{
    for (int kib : {3, 10, 1, 7})
        addDirect(kib * 1024, kib);
    QHeaderView* header = playlist->horizontalHeader();
    for (int click = 0; click < 3; ++click) {
        clickHeader(header, 2);
        EXPECT_EQ(header->sortIndicatorSection(), 2);
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder) << "click " << click;
        EXPECT_EQ(shownSizesKiB(), (QList<int>{10, 7, 3, 1})) << "click " << click;
    }
    clickHeader(header, 1);
    EXPECT_EQ(shownSerials(playlist), (QList<int>{10, 7, 3, 1}));
    clickHeader(header, 1);
    EXPECT_EQ(shownSerials(playlist), (QList<int>{10, 7, 3, 1}));
}

TEST_F(WindowPlaylist, ScannedRowsLandAtTheirSortedPlaceInOneInsertionPerTurn)
{
    QHeaderView* header = playlist->horizontalHeader();
    clickHeader(header, 2);
    scanFinds({{5 * 1024, 1}, {20 * 1024, 2}, {1 * 1024, 3}});
    int announcements = 0;
    QObject::connect(playlist->listModel, &QAbstractItemModel::rowsInserted, [&] { ++announcements; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return playlist->listModel->rowCount() == 3; }, 10000));
    EXPECT_EQ(announcements, 1) << "rows that arrive together are inserted together";
    EXPECT_EQ(shownSizesKiB(), (QList<int>{20, 5, 1}));

    scanFinds({{7 * 1024, 4}, {30 * 1024, 5}, {2 * 1024, 6}, {7 * 1024, 7}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return playlist->listModel->rowCount() == 7; }, 10000));
    EXPECT_EQ(shownSizesKiB(), (QList<int>{30, 20, 7, 7, 5, 2, 1}));
    EXPECT_EQ(modelSerials(playlist->listModel), (QList<int>{1, 2, 3, 4, 5, 6, 7})) << "arrival order kept";

    // Sorted by name, descending: the newest serial comes first.
    clickHeader(header, 1);
    scanFinds({{1024, 8}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return playlist->listModel->rowCount() == 8; }, 10000));
    EXPECT_EQ(shownSerials(playlist).first(), 8);
}

// Many rows sorted by size: placed row by row or, when cheaper, by one
// re-sort per turn; either way the list shows them by size text, descending
// (the order among equal texts is the proxy's affair), and the model keeps
// arrival order.
TEST_F(WindowPlaylist, ManyScannedRowsSortedBySizeKeepTheirSortedOrder)
{
    clickHeader(playlist->horizontalHeader(), 2);
    QList<QPair<qint64, int>> all;
    quint32 x = 12345;
    for (int serial = 1; serial <= 5000; ++serial) {
        x = x * 1103515245u + 12345u;
        all.append({qint64(x >> 8) % 40000 * 2621 + 7, serial});
    }
    int sent = 0;
    for (int burst : {1500, 3000, 500}) {
        scanFinds(all.mid(sent, burst));
        sent += burst;
        ASSERT_TRUE(QTest::qWaitFor([&] { return playlist->listModel->rowCount() == sent; }, 20000));
    }
    const QList<int> shown = playlist->displayedModelRows();
    ASSERT_EQ(shown.size(), all.size());
    int outOfOrder = 0;
    for (int i = 1; i < shown.size(); ++i)
        outOfOrder += cell(playlist->listModel, shown[i - 1], 2) < cell(playlist->listModel, shown[i], 2);
    EXPECT_EQ(outOfOrder, 0);
    QList<int> sorted = shown;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < sorted.size(); ++i)
        ASSERT_EQ(sorted[i], i) << "every row shown once";
    QList<int> arrival;
    for (const auto& p : all)
        arrival << p.second;
    EXPECT_EQ(modelSerials(playlist->listModel), arrival);
}

// A large batch is passed on over several turns; a batch arriving meanwhile
// must wait for the rest of the one before it.
TEST_F(WindowPlaylist, BatchesLargerThanATurnKeepTheirOrder)
{
    int serial = 0;
    std::thread t([&] {
        for (int rows : {5000, 3000, 1}) {
            auto d = std::make_shared<SFragmentBatchData>();
            for (int k = 0; k < rows; ++k) {
                const SFragmentFit f = fragment(1024, serial * 8192LL);
                d->diskName = f.diskName;
                d->pack.add(SFragmentView(f), ++serial);
            }
            emit scan.TransmitFragmentBatch(SFragmentBatch(d));
        }
    });
    t.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return playlist->listModel->rowCount() == serial; }, 20000));
    QList<int> arrival;
    for (int k = 1; k <= serial; ++k)
        arrival << k;
    EXPECT_EQ(modelSerials(playlist->listModel), arrival);
    EXPECT_EQ(playlist->listModel->item(serial - 1).sFragmentFit.extents->first().start, (serial - 1) * 8192LL);
}

TEST_F(WindowPlaylist, DirectCallShowsTheRowAtOnceAfterThoseWaiting)
{
    scanFinds({{1024, 1}, {2048, 2}});
    // The queued rows have not been delivered yet; a direct add must not overtake them.
    QApplication::sendPostedEvents(&window, QEvent::MetaCall);
    addDirect(4096, 3);
    EXPECT_EQ(modelSerials(playlist->listModel), (QList<int>{1, 2, 3}));
}

TEST_F(WindowPlaylist, MergeDialogsAreSeparateAndEachKeepsItsRows)
{
    for (int i = 1; i <= 4; ++i)
        addDirect(i * 1024, i);
    QDialog* first = openMergeDialog();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(first->isModal());
    EXPECT_EQ(first->windowTitle(), "合并");
    EXPECT_EQ(first->maximumWidth(), 420);
    auto* start = first->findChild<QPushButton*>("mergeStartButton");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->text(), "开始");
    DropTableView* list1 = listOf(first);
    ASSERT_TRUE(list1);
    EXPECT_TRUE(list1->acceptDrops());
    EXPECT_EQ(list1->contextMenuPolicy(), Qt::CustomContextMenu);

    // Drag two playlist rows into the dialog.
    first->move(700, 0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(first));
    ctrlSelect(playlist, {0, 2});
    const QList<int> picked = playlist->selectedModelRows();
    dragRowsTo(playlist, 0, list1->viewport(), list1->viewport()->rect().center());
    ASSERT_EQ(list1->listModel->rowCount(), 2);
    EXPECT_EQ(list1->listModel->item(0).iSerial, playlist->listModel->item(picked[0]).iSerial);
    EXPECT_EQ(list1->listModel->item(1).iSerial, playlist->listModel->item(picked[1]).iSerial);

    QDialog* second = openMergeDialog();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(listOf(second)->listModel->rowCount(), 0);
    EXPECT_EQ(list1->listModel->rowCount(), 2);
}

TEST_F(WindowPlaylist, MergeListHeaderTogglesOrder)
{
    QDialog* d = openMergeDialog();
    DropTableView* list = listOf(d);
    for (int kib : {3, 9, 1}) {
        dragRows = {SPlayListTableItem{fragment(kib * 1024), QString(), kib}};
        list->dropFrom(playlist);
    }
    QHeaderView* header = list->horizontalHeader();
    clickHeader(header, 2);
    const QList<int> once = shownSerials(list);
    clickHeader(header, 2);
    const QList<int> twice = shownSerials(list);
    EXPECT_NE(header->sortIndicatorOrder(), Qt::SortOrder(-1));
    QList<int> reversed(once.rbegin(), once.rend());
    EXPECT_EQ(twice, reversed);
    EXPECT_TRUE(once == (QList<int>{1, 3, 9}) || once == (QList<int>{9, 3, 1}));
}

// The fix for several open dialogs: a dialog's own menu acts on its own list.
TEST_F(WindowPlaylist, MenuDeleteActsOnItsOwnDialogsList)
{
    QDialog* first = openMergeDialog();
    QDialog* second = openMergeDialog();
    for (QDialog* d : {first, second}) {
        for (int s : {1, 2, 3}) {
            dragRows = {SPlayListTableItem{fragment(s * 1024), QString(), s}};
            listOf(d)->dropFrom(playlist);
        }
    }
    DropTableView* list1 = listOf(first);
    list1->sortByColumn(1, Qt::AscendingOrder);
    list1->selectRow(1);

    QStringList entries;
    answerNextMenu([&](QMenu* menu) {
        ASSERT_TRUE(menu);
        for (QAction* a : menu->actions())
            entries << a->text();
        if (!menu->actions().isEmpty())
            menu->actions().first()->trigger();
    });
    emit list1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(entries, QStringList{"删除"});
    EXPECT_EQ(modelSerials(list1->listModel), (QList<int>{1, 3}));
    EXPECT_EQ(modelSerials(listOf(second)->listModel), (QList<int>{1, 2, 3}));
}

// Deleting a playlist row leaves its copy in a merge list whole.
TEST_F(WindowPlaylist, MergeListCopySurvivesThePlaylistRowsDeletion)
{
    addDirect(64 * 1024, 1);
    QDialog* d = openMergeDialog();
    playlist->selectRow(0);
    playlist->prepareDrag();
    listOf(d)->dropFrom(playlist);
    std::weak_ptr<const SExtentList> extents = playlist->listModel->item(0).sFragmentFit.extents;
    playlist->listModel->deleteRow(0);
    ASSERT_EQ(playlist->listModel->rowCount(), 0);
    ASSERT_FALSE(extents.expired());
    const SPlayListTableItem& copy = listOf(d)->listModel->item(0);
    ASSERT_TRUE(copy.sFragmentFit.extents);
    EXPECT_EQ(copy.sFragmentFit.extents->at(0).end - copy.sFragmentFit.extents->at(0).start, 64 * 1024);
}

#include "WindowPlaylistTest.moc"

// With the fonts the application sets up, a five-digit serial fits the name
// column whole; a longer one is told by the row's tooltip.
TEST(PlaylistFonts, FiveDigitSerialFitsTheNameColumnAndLongerOnesHaveATooltip)
{
    corvoInitApplication();
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* playlist = window.findChild<DropTableView*>("playlistView");
    ASSERT_TRUE(playlist);
    for (int serial : {88888, 1234567})
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, fragment(1 << 20)),
                                  Q_ARG(int, serial));
    QCoreApplication::processEvents();
    ASSERT_EQ(playlist->model()->rowCount(), 2);

    const QModelIndex five = playlist->listModel->index(0, 1);
    const QString name = five.data().toString();
    ASSERT_TRUE(name.endsWith("88888")) << qPrintable(name);
    // The font the cell is drawn in: the view's, after its style sheet.
    // What the cell draws: the name elided to the column less the item margins.
    const int margin = playlist->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, playlist) + 1;
    const QFontMetrics metrics(playlist->font());
    EXPECT_EQ(metrics.elidedText(name, Qt::ElideRight, playlist->columnWidth(1) - 2 * margin), name)
        << "in " << qPrintable(QFontInfo(playlist->font()).family());

    const QModelIndex seven = playlist->listModel->index(1, 3);
    const QString longName = playlist->listModel->index(1, 1).data().toString();
    ASSERT_TRUE(longName.endsWith("1234567")) << qPrintable(longName);
    EXPECT_TRUE(seven.data(Qt::ToolTipRole).toString().contains(longName.toHtmlEscaped()));
}
