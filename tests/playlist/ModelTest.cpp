// The fragment table: display texts, header, rows, and the model contract.
#include "PlaylistSupport.h"

#include <QAbstractItemModelTester>
#include <algorithm>
#include <cstdio>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <gtest/gtest.h>

using namespace pltest;

namespace {

// Reaches indexes the public API would refuse to build.
class ProbeModel : public CPlayListTableModel {
public:
    QModelIndex raw(int row, int column) const { return createIndex(row, column); }
};

QStringList g_modelWarnings;
void collectWarnings(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    if (type != QtDebugMsg && ctx.category && QByteArray(ctx.category).startsWith("qt.modeltest"))
        g_modelWarnings << msg;
}

// Collects the model checker's complaints from construction to destruction;
// the test reads them after the checked models are gone.
struct ModelWarningsCollected {
    QtMessageHandler old;
    ModelWarningsCollected()
    {
        g_modelWarnings.clear();
        old = qInstallMessageHandler(collectWarnings);
    }
    ~ModelWarningsCollected() { qInstallMessageHandler(old); }
};

} // namespace

TEST(PlayListModel, DisplayTextsOfEveryColumn)
{
    CPlayListTableModel m;
    m.addRow(fragment(1536, 0, "sdb1"), 7);
    m.addRow(fragment(10 * 1048576LL), 8);
    m.addRow(fragment(0), 9);
    m.addRow(fragment(20000 * 1048576LL), 10);
    m.addRow(fragment(100), 123456);
    SFragmentFit timed = fragment(3 * 1048576LL + 524288, 0, "/tmp/镜像 1.img");
    timed.firstTime = packTime(2013, 12, 7, 5, 59, 36);
    timed.lastTime = packTime(2013, 12, 7, 6, 1, 41);
    timed.stream = 3;
    m.addRow(timed, 42);
    SFragmentFit odd = fragment(1);
    odd.stream = -1;
    m.addRow(odd, 0);

    ASSERT_EQ(m.rowCount(), 7);
    EXPECT_EQ(cell(&m, 0, 0), "0");
    EXPECT_EQ(cell(&m, 0, 1), "2000-00-00 00:00:00(0s)00007");
    EXPECT_EQ(cell(&m, 0, 2), "0000.001MB");
    EXPECT_EQ(cell(&m, 0, 3), "sdb1");
    EXPECT_EQ(cell(&m, 1, 2), "0010.000MB");
    EXPECT_EQ(cell(&m, 2, 2), "0000.000MB");
    EXPECT_EQ(cell(&m, 3, 2), "20000.000MB");
    EXPECT_EQ(cell(&m, 4, 1), "2000-00-00 00:00:00(0s)123456");
    EXPECT_EQ(cell(&m, 5, 0), "3");
    EXPECT_EQ(cell(&m, 5, 1), "2013-12-07 05:59:36(125s)00042");
    EXPECT_EQ(cell(&m, 5, 2), "0003.500MB");
    EXPECT_EQ(cell(&m, 5, 3), QString::fromUtf8("/tmp/镜像 1.img"));
    // The channel is shown as unsigned digits.
    EXPECT_EQ(cell(&m, 6, 0), "4294967295");
}

TEST(PlayListModel, HeaderAndEverythingElseInvalid)
{
    ProbeModel m;
    m.addRow(fragment(10), 1);
    const QStringList headers{"通道", "  名称 ", "  大小 ", "  位置 "};
    for (int s = 0; s < 4; ++s)
        EXPECT_EQ(m.headerData(s, Qt::Horizontal).toString(), headers[s]) << s;
    EXPECT_FALSE(m.headerData(4, Qt::Horizontal).isValid());
    EXPECT_FALSE(m.headerData(-1, Qt::Horizontal).isValid());
    EXPECT_FALSE(m.headerData(0, Qt::Vertical).isValid());
    EXPECT_FALSE(m.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());

    EXPECT_FALSE(m.data(m.index(0, 1), Qt::EditRole).isValid());
    EXPECT_FALSE(m.data(m.index(0, 1), Qt::DecorationRole).isValid());
    EXPECT_FALSE(m.data(QModelIndex()).isValid());
    // Stale indexes (a row since removed, a column past the last) answer nothing.
    EXPECT_FALSE(m.data(m.raw(1, 0)).isValid());
    EXPECT_FALSE(m.data(m.raw(0, 4)).isValid());
    EXPECT_EQ(m.columnCount(), 4);
    EXPECT_EQ(m.rowCount(m.index(0, 0)), 0);
}

TEST(PlayListModel, DeleteRowKeepsOthersInOrderAndIgnoresOutsideRows)
{
    CPlayListTableModel m;
    for (int i = 1; i <= 5; ++i)
        m.addRow(fragment(i * 100), i);
    m.deleteRow(5);
    m.deleteRow(-1);
    EXPECT_EQ(modelSerials(&m), (QList<int>{1, 2, 3, 4, 5}));
    m.deleteRow(1);
    EXPECT_EQ(modelSerials(&m), (QList<int>{1, 3, 4, 5}));
    m.deleteRow(3);
    EXPECT_EQ(modelSerials(&m), (QList<int>{1, 3, 4}));
}

TEST(PlayListModel, CopiesShareTheExtentListUntilTheLastGoes)
{
    auto a = std::make_unique<CPlayListTableModel>();
    CPlayListTableModel b;
    a->addRow(fragment(4096, 512), 1);
    QList<SPlayListTableItem> copies{a->item(0)};
    b.addRows(copies);
    copies.clear();
    std::weak_ptr<const SExtentList> watch = a->item(0).sFragmentFit.extents;
    EXPECT_EQ(b.item(0).sFragmentFit.extents.get(), a->item(0).sFragmentFit.extents.get());

    a->deleteRow(0);
    a.reset();
    ASSERT_FALSE(watch.expired());
    ASSERT_EQ(b.item(0).sFragmentFit.extents->size(), 1);
    EXPECT_EQ(b.item(0).sFragmentFit.extents->at(0).start, 512);
    EXPECT_EQ(b.item(0).sFragmentFit.extents->at(0).end, 4608);
    b.deleteRow(0);
    EXPECT_TRUE(watch.expired()) << "the last copy must free the extent list";
}

TEST(PlayListModel, AddRowsKeepsOrderAndDropsTheText)
{
    CPlayListTableModel m;
    QList<SPlayListTableItem> items;
    for (int s : {30, 10, 20}) {
        SPlayListTableItem it;
        it.sFragmentFit = fragment(s);
        it.msFile = "carried";
        it.iSerial = s;
        items.append(it);
    }
    int announcements = 0;
    QObject::connect(&m, &QAbstractItemModel::rowsInserted, [&](const QModelIndex&, int first, int last) {
        ++announcements;
        EXPECT_EQ(first, 0);
        EXPECT_EQ(last, 2);
    });
    m.addRows(items);
    m.addRows({});
    EXPECT_EQ(announcements, 1);
    EXPECT_EQ(modelSerials(&m), (QList<int>{30, 10, 20}));
    EXPECT_TRUE(m.item(0).msFile.isEmpty());
}

// Qt's model checker over the model and a sorted proxy while rows come and go.
TEST(PlayListModel, PassesTheModelTesterThroughASortedProxy)
{
    {
        const ModelWarningsCollected collecting;
        CPlayListTableModel m;
        QSortFilterProxyModel proxy;
        proxy.setSourceModel(&m);
        proxy.sort(2, Qt::DescendingOrder);
        QAbstractItemModelTester t1(&m, QAbstractItemModelTester::FailureReportingMode::Warning);
        QAbstractItemModelTester t2(&proxy, QAbstractItemModelTester::FailureReportingMode::Warning);
        for (int i = 0; i < 40; ++i)
            m.addRow(fragment((i * 7919) % 1000 * 1024), i);
        QList<SPlayListTableItem> more;
        for (int i = 0; i < 10; ++i)
            more.append(SPlayListTableItem{fragment(i * 3000), QString(), 100 + i});
        m.addRows(more);
        for (int r : {49, 0, 20, 20, 5})
            m.deleteRow(r);
        m.deleteRow(1000);
        EXPECT_EQ(m.rowCount(), 45);
        EXPECT_EQ(proxy.rowCount(), 45);
    }
    EXPECT_TRUE(g_modelWarnings.isEmpty()) << g_modelWarnings.join('\n').toStdString();
}

// The window's own proxy under the checker, through the roads the playlist
// takes: rows one by one and in blocks while sorted (a few places and many),
// deletions, and sorts by every column.
TEST(PlayListModel, SortProxyPassesTheModelTesterThroughEveryRoad)
{
    {
        const ModelWarningsCollected collecting;
        CPlayListTableModel m;
        CPlayListSortProxy proxy;
        proxy.setSourceModel(&m);
        proxy.sort(2, Qt::DescendingOrder);
        QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::Warning);
        const auto block = [](int first, int count) {
            QList<SPlayListTableItem> rows;
            for (int i = first; i < first + count; ++i)
                rows.append(SPlayListTableItem{fragment(qint64((i * 7919) % 997) * 4096), QString(), i});
            return rows;
        };
        for (int i = 0; i < 30; ++i)
            m.addRow(fragment(qint64((i * 31) % 17) * 65536), i);
        m.addRows(block(100, 50));
        for (int r : {3, 40, 0})
            m.deleteRow(r);
        m.addRows(block(200, 400));
        proxy.sort(1, Qt::AscendingOrder);
        m.addRows(block(700, 5));
        proxy.sort(-1);
        m.addRows(block(800, 5));
        proxy.sort(3, Qt::DescendingOrder);
        m.deleteRow(5);
        QList<int> scattered;
        for (int r = 0; r < 486; r += 5)
            scattered << r;
        m.deleteRows(scattered);
        EXPECT_EQ(proxy.rowCount(), 486 - 98);
        EXPECT_EQ(proxy.headerData(2, Qt::Horizontal).toString(), "  大小 ");
    }
    EXPECT_TRUE(g_modelWarnings.isEmpty()) << g_modelWarnings.join('\n').toStdString();
}

// Text sorting: zero padding keeps sizes and serials in numeric order.
TEST(PlayListModel, TextSortFollowsNumbersThanksToPadding)
{
    CPlayListTableModel m;
    const qint64 MiB = 1048576;
    m.addRow(fragment(100 * MiB), 9);
    m.addRow(fragment(1536), 10);
    m.addRow(fragment(9999 * MiB), 100);
    m.addRow(fragment(10 * MiB), 99999);
    m.addRow(fragment(2 * MiB), 1);
    QSortFilterProxyModel proxy;
    proxy.setSourceModel(&m);

    proxy.sort(2, Qt::AscendingOrder);
    QStringList sizes;
    for (int r = 0; r < proxy.rowCount(); ++r)
        sizes << cell(&proxy, r, 2);
    EXPECT_EQ(sizes, (QStringList{"0000.001MB", "0002.000MB", "0010.000MB", "0100.000MB", "9999.000MB"}));

    proxy.sort(1, Qt::AscendingOrder);
    QList<int> serials;
    for (int r = 0; r < proxy.rowCount(); ++r)
        serials << m.item(proxy.mapToSource(proxy.index(r, 0)).row()).iSerial;
    EXPECT_EQ(serials, (QList<int>{1, 9, 10, 100, 99999}));
    // The model itself keeps its order.
    EXPECT_EQ(modelSerials(&m), (QList<int>{9, 10, 100, 99999, 1}));
}

// The size text is built without printf; it must read exactly as "%08.3fMB".
TEST(PlayListModel, SizeTextMatchesPrintfIncludingRoundingTies)
{
    auto printfText = [](qint64 b) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%08.3fMB", double(b) / 1048576.0);
        return QString::fromLatin1(buf);
    };
    QList<qint64> values{0, 1, 523, 524, 525, 1048, 1049, 1536, 1048576, 10485760, 9999 * 1048576LL + 1048575,
                         20000 * 1048576LL, (1LL << 53) - 1, -1, -1536};
    // Exact halves of a thousandth: totalBytes * 125 = 131072 * q + 65536.
    for (qint64 b = 0; b < 131072 * 40; ++b)
        if (b * 125 % 131072 == 65536)
            values << b << b + 1 << b - 1;
    quint64 x = 88172645463325252ull;
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        values << qint64(x % (1ull << (10 + i % 40)));
    }
    int checked = 0;
    for (qint64 b : values) {
        ASSERT_EQ(CPlayListTableModel::sizeText(b), printfText(b)) << b;
        ++checked;
    }
    EXPECT_GT(checked, 20040);
}

namespace {

// Rows whose texts share long starts, tie, and cross every width change.
QList<SPlayListTableItem> mixedRows(quint64 seed, int count, int firstSerial)
{
    quint64 x = seed;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    const qint64 MiB = 1048576;
    // Separate copies of equal names, and names whose texts tie.
    const QList<QByteArray> disks{"sdb", QByteArray("sd") + "b", "sda1", "/tmp/镜像 1.img", "Sdb", "sdb1"};
    QList<SPlayListTableItem> rows;
    for (int i = 0; i < count; ++i) {
        SFragmentFit f = fragment(0);
        switch (next() % 5) {
        case 0: f.totalBytes = qint64(next() % (30000 * MiB)); break;      // across the 10,000 MiB width change
        case 1: f.totalBytes = qint64(next() % 64) * 524288 / 125; break;   // near rounding ties
        case 2: f.totalBytes = qint64(next() % 4) * MiB; break;             // many equal texts
        case 3: f.totalBytes = -qint64(next() % 4096); break;               // printf's own text
        default: f.totalBytes = qint64(next() % (5 * MiB)); break;
        }
        const int timing = int(next() % 3);
        f.firstTime = timing == 0 ? quint32(next()) : timing == 1 ? quint32(next() % 4) : 0;
        f.lastTime = timing == 0 ? quint32(next()) : quint32(next() % 200);
        f.stream = next() % 4 == 0 ? int(next()) : int(next() % 12);
        f.diskName = disks[int(next() % quint64(seed == 1 ? 4 : disks.size()))];
        const int serial = next() % 4 == 0 ? int(next() % 300000) - 100 : firstSerial + int(next() % 50);
        rows.append(SPlayListTableItem{f, QString(), serial});
    }
    return rows;
}

QList<int> shownModelRows(const QAbstractProxyModel& proxy)
{
    QList<int> rows;
    for (int r = 0; r < proxy.rowCount(); ++r)
        rows << proxy.mapToSource(proxy.index(r, 0)).row();
    return rows;
}

class SortedLikeText : public testing::TestWithParam<int> {};

} // namespace

// The list's proxy sorts by keys; its order must be the one
// QSortFilterProxyModel gives by comparing the display texts, ties included:
// after sorts in both orders, and as blocks of rows (few places, many, one by
// one, with names not seen before) arrive while sorted.
TEST_P(SortedLikeText, AfterSortsAndWhileRowsArrive)
{
    const int column = GetParam();
    CPlayListTableModel m;
    m.addRows(mixedRows(1, 3000, 0));
    QSortFilterProxyModel reference;
    reference.setSourceModel(&m);
    CPlayListSortProxy fast;
    fast.setSourceModel(&m);
    for (int other : {(column + 1) % 4, column}) {
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            reference.sort(other, order);
            fast.sort(other, order);
            ASSERT_EQ(shownModelRows(fast), shownModelRows(reference)) << "sorted by " << other << " order " << order;
        }
    }
    quint64 seed = 2;
    for (int count : {1, 3, 40, 2500, 1, 700}) {
        ++seed;
        m.addRows(mixedRows(seed, count, 1000 * int(seed)));
        ASSERT_EQ(shownModelRows(fast), shownModelRows(reference)) << "after a block of " << count;
    }
    for (int r : {0, 4000, 17})
        m.deleteRow(r);
    ASSERT_EQ(shownModelRows(fast), shownModelRows(reference)) << "after single deletes";
    // Many rows at once: many runs (the list reset), then one run of adjacent
    // rows scattered over the sorted order (the proxy reset), given backwards
    // with a repeat and rows outside the list.
    QList<int> scattered;
    for (int r = 1; r < m.rowCount(); r += 7)
        scattered << r;
    m.deleteRows(scattered);
    ASSERT_EQ(shownModelRows(fast), shownModelRows(reference)) << "after a scattered delete";
    QList<int> run{-1, 1 << 20, 300};
    for (int r = 500; r >= 300; --r)
        run << r;
    m.deleteRows(run);
    ASSERT_EQ(shownModelRows(fast), shownModelRows(reference)) << "after a run";
    reference.sort(column, Qt::AscendingOrder);
    fast.sort(column, Qt::AscendingOrder);
    EXPECT_EQ(shownModelRows(fast), shownModelRows(reference));
}

INSTANTIATE_TEST_SUITE_P(EachColumn, SortedLikeText, testing::Values(0, 1, 2, 3));

// What the user selected and the current row stay on the same fragments when
// the list is sorted again and while rows arrive into the sorted list, in a
// few places or in many.
TEST(PlayListModel, SelectionAndCurrentRowSurviveSortsAndArrivals)
{
    CPlayListTableModel m;
    CPlayListSortProxy proxy;
    proxy.setSourceModel(&m);
    DropTableView view;
    view.setModel(&proxy);
    view.listModel = &m;
    view.sortProxy = &proxy;
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.setSelectionMode(QAbstractItemView::ExtendedSelection);
    m.addRows(mixedRows(1, 200, 0));
    proxy.sort(2, Qt::DescendingOrder);
    const QList<int> chosen{5, 50, 120};
    for (int r : chosen)
        view.selectionModel()->select(proxy.mapFromSource(m.index(r, 0)),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view.selectionModel()->setCurrentIndex(proxy.mapFromSource(m.index(50, 1)), QItemSelectionModel::NoUpdate);
    const auto check = [&](const char* step) {
        QList<int> selected = view.selectedModelRows();
        std::sort(selected.begin(), selected.end());
        EXPECT_EQ(selected, chosen) << step;
        EXPECT_EQ(proxy.mapToSource(view.currentIndex()).row(), 50) << step;
        EXPECT_EQ(view.currentIndex().column(), 1) << step;
    };
    proxy.sort(1, Qt::AscendingOrder);
    check("sorted by name");
    proxy.sort(2, Qt::DescendingOrder);
    check("sorted by size");
    m.addRows(mixedRows(9, 300, 500));
    check("300 rows in many places");
    m.addRows(mixedRows(10, 2, 900));
    check("2 rows");
    m.deleteRow(7);
    QList<int> selected = view.selectedModelRows();
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, (QList<int>{5, 49, 119}));
}

// Long lists take another road to their keys (two halves at once): shown in
// text order, equal texts in the model's order, for every text column.
TEST(PlayListModel, LongListsSortByTheirTextsToo)
{
    CPlayListTableModel m;
    m.addRows(mixedRows(3, 70000, 0));
    CPlayListSortProxy proxy;
    proxy.setSourceModel(&m);
    for (int column = 0; column < 3; ++column) {
        proxy.sort(-1);
        proxy.sort(column, Qt::AscendingOrder);
        int wrong = 0;
        for (int r = 1; r < proxy.rowCount(); ++r) {
            const int a = proxy.mapToSource(proxy.index(r - 1, 0)).row();
            const int b = proxy.mapToSource(proxy.index(r, 0)).row();
            const int c = cell(&m, a, column).compare(cell(&m, b, column));
            wrong += c > 0 || (c == 0 && a > b);
        }
        EXPECT_EQ(wrong, 0) << "column " << column;
    }
}
