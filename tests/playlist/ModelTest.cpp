// The fragment table: display texts, header, rows, and the model contract.
#include "PlaylistSupport.h"

#include <QAbstractItemModelTester>
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
// takes: rows one by one and in blocks while sorted, deletions, and a block
// added with the sort switched off and on again (the whole-list re-sort).
TEST(PlayListModel, SortProxyPassesTheModelTesterAndKeepsItsKeysThroughEveryRoad)
{
    {
        const ModelWarningsCollected collecting;
        CPlayListTableModel m;
        CPlayListSortProxy proxy;
        proxy.setSourceModel(&m);
        proxy.sort(2, Qt::DescendingOrder);
        QSortFilterProxyModel reference;
        reference.setSourceModel(&m);
        reference.sort(2, Qt::DescendingOrder);
        QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::Warning);
        const auto block = [](int first, int count) {
            QList<SPlayListTableItem> rows;
            for (int i = first; i < first + count; ++i)
                rows.append(SPlayListTableItem{fragment(qint64((i * 7919) % 997) * 4096), QString(), i});
            return rows;
        };
        const auto sizesShown = [](const QAbstractItemModel& model) {
            QStringList sizes;
            for (int r = 0; r < model.rowCount(); ++r)
                sizes << model.index(r, 2).data().toString();
            return sizes;
        };
        for (int i = 0; i < 30; ++i)
            m.addRow(fragment(qint64((i * 31) % 17) * 65536), i);
        m.addRows(block(100, 50));
        for (int r : {3, 40, 0})
            m.deleteRow(r);
        proxy.setDynamicSortFilter(false);
        m.addRows(block(200, 400));
        proxy.setDynamicSortFilter(true);
        EXPECT_EQ(proxy.rowCount(), 477);
        EXPECT_EQ(sizesShown(proxy), sizesShown(reference));
        m.addRows(block(700, 20));
        m.deleteRow(5);
        EXPECT_EQ(sizesShown(proxy), sizesShown(reference));
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

// The list's proxy compares without building texts; its order must be the
// one QSortFilterProxyModel gives by comparing the display texts.
TEST(PlayListModel, FastProxySortsExactlyLikeTextComparison)
{
    CPlayListTableModel m;
    quint64 x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    const qint64 MiB = 1048576;
    for (int i = 0; i < 3000; ++i) {
        SFragmentFit f = fragment(0);
        switch (next() % 5) {
        case 0: f.totalBytes = qint64(next() % (30000 * MiB)); break;      // across the 10,000 MiB width change
        case 1: f.totalBytes = qint64(next() % 64) * 524288 / 125; break;   // near rounding ties
        case 2: f.totalBytes = qint64(next() % 4) * MiB; break;             // many equal texts
        case 3: f.totalBytes = -qint64(next() % 4096); break;               // printf's own text
        default: f.totalBytes = qint64(next() % (5 * MiB)); break;
        }
        const bool timed = next() % 3 == 0;
        f.firstTime = timed ? quint32(next()) : 0;
        f.lastTime = timed ? quint32(next()) : 0;
        f.stream = next() % 4 == 0 ? int(next()) : int(next() % 12);
        const int serial = next() % 4 == 0 ? int(next() % 300000) - 100 : int(next() % 50);
        m.addRow(f, serial);
    }
    QSortFilterProxyModel reference;
    reference.setSourceModel(&m);
    CPlayListSortProxy fast;
    fast.setSourceModel(&m);
    for (int column = 0; column < 4; ++column) {
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            reference.sort(column, order);
            fast.sort(column, order);
            int differences = 0;
            for (int r = 0; r < m.rowCount(); ++r)
                differences += reference.mapToSource(reference.index(r, 0)).row() !=
                               fast.mapToSource(fast.index(r, 0)).row();
            EXPECT_EQ(differences, 0) << "column " << column << " order " << order;
        }
    }
}
