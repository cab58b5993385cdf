// Drag and drop between lists: the rules, and real drags run by QDrag.
#include "PlaylistSupport.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <gtest/gtest.h>

using namespace pltest;

namespace {

// One list as the window builds it: model, proxy, sortable whole-row view.
struct List {
    CPlayListTableModel model;
    QSortFilterProxyModel proxy;
    DropTableView view;
    explicit List(QPoint at)
    {
        proxy.setSourceModel(&model);
        view.setModel(&proxy);
        view.listModel = &model;
        view.sortProxy = &proxy;
        view.setSelectionBehavior(QAbstractItemView::SelectRows);
        view.setSortingEnabled(true);
        view.setGeometry(QRect(at, QSize(420, 300)));
        view.show();
    }
};

class DragDrop : public ::testing::Test {
protected:
    void SetUp() override
    {
        dragRows.clear();
        for (int i = 1; i <= 6; ++i)
            left.model.addRow(fragment(i * 1000, i * 4096), i);
        // Shown sorted by size, largest first: serials 6 5 4 3 2 1.
        left.view.sortByColumn(2, Qt::DescendingOrder);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&left.view));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&right.view));
    }
    void TearDown() override { dragRows.clear(); }
    QPoint inRightList() const { return right.view.viewport()->rect().center(); }

    List left{QPoint(0, 0)};
    List right{QPoint(600, 0)};
};

} // namespace

TEST_F(DragDrop, RulesForStartingAcceptingAndDropping)
{
    DropTableView& v = left.view;
    EXPECT_TRUE(v.dragWanted(Qt::LeftButton, QPoint(v.width() + 1, 5)));
    EXPECT_TRUE(v.dragWanted(Qt::LeftButton | Qt::RightButton, QPoint(5, -1)));
    EXPECT_FALSE(v.dragWanted(Qt::LeftButton, QPoint(5, 5)));
    EXPECT_FALSE(v.dragWanted(Qt::RightButton, QPoint(v.width() + 1, 5)));

    QTableView plain;
    EXPECT_TRUE(right.view.acceptsDragFrom(&v));
    EXPECT_FALSE(v.acceptsDragFrom(&v));
    EXPECT_FALSE(v.acceptsDragFrom(&plain));
    EXPECT_FALSE(v.acceptsDragFrom(nullptr));

    dragRows = {left.model.item(0)};
    EXPECT_EQ(left.view.dropFrom(&left.view), 0);
    EXPECT_EQ(left.view.dropFrom(&plain), 0);
    EXPECT_EQ(dragRows.size(), 1) << "a refused drop leaves the carried rows alone";
    EXPECT_EQ(left.model.rowCount(), 6);
    EXPECT_EQ(right.view.dropFrom(&left.view), 1);
    EXPECT_TRUE(dragRows.isEmpty());
    EXPECT_EQ(modelSerials(&right.model), QList<int>{1});
}

// Events that come from no drag of ours (another application, a file
// manager) are refused and change nothing.
TEST_F(DragDrop, ForeignDragEventsAreRefused)
{
    dragRows = {left.model.item(2)};
    QMimeData mime;
    mime.setText("file:///tmp/x.TKL");
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(right.view.viewport(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(right.view.viewport(), &drop);
    EXPECT_EQ(right.model.rowCount(), 0);
    EXPECT_EQ(dragRows.size(), 1);
}

TEST_F(DragDrop, ThreeSelectedRowsAreCopiedInSelectionOrder)
{
    // View rows 3, 0, 1 are serials 3, 6, 5.
    ctrlSelect(&left.view, {3, 0, 1});
    ASSERT_EQ(left.view.selectedModelRows(), (QList<int>{2, 5, 4}));
    dragRowsTo(&left.view, 0, right.view.viewport(), inRightList());

    ASSERT_EQ(modelSerials(&right.model), (QList<int>{3, 6, 5}));
    EXPECT_EQ(cell(&right.model, 0, 2), "0000.003MB");
    EXPECT_EQ(right.model.item(1).sFragmentFit.extents.get(), left.model.item(5).sFragmentFit.extents.get());
    EXPECT_EQ(modelSerials(&left.model), (QList<int>{1, 2, 3, 4, 5, 6})) << "a copy, not a move";
    EXPECT_TRUE(dragRows.isEmpty());
    // The drag leaves the source list as it was: same selection, not scrolled.
    EXPECT_EQ(left.view.selectedModelRows(), (QList<int>{2, 5, 4}));
    EXPECT_EQ(left.view.horizontalScrollBar()->value(), 0);
}

TEST_F(DragDrop, DragWithinOneListChangesNothing)
{
    ctrlSelect(&left.view, {1, 4});
    dragRowsTo(&left.view, 1, left.view.viewport(), QPoint(20, 20));
    EXPECT_EQ(modelSerials(&left.model), (QList<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(shownSerials(&left.view), (QList<int>{6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(right.model.rowCount(), 0);
}

TEST_F(DragDrop, RowsDroppedBackOntoTheFirstListAreAppended)
{
    ctrlSelect(&left.view, {5});
    dragRowsTo(&left.view, 5, right.view.viewport(), inRightList());
    ASSERT_EQ(modelSerials(&right.model), QList<int>{1});

    ctrlSelect(&right.view, {0});
    dragRowsTo(&right.view, 0, left.view.viewport(), QPoint(20, 20));
    EXPECT_EQ(modelSerials(&left.model), (QList<int>{1, 2, 3, 4, 5, 6, 1}));
    EXPECT_EQ(modelSerials(&right.model), QList<int>{1});
}

TEST_F(DragDrop, ADragEndingNowhereAddsNothingAndIsForgottenByTheNext)
{
    QWidget nowhere;
    nowhere.setGeometry(0, 400, 200, 100);
    nowhere.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&nowhere));
    ctrlSelect(&left.view, {0, 1});
    dragRowsTo(&left.view, 0, &nowhere, QPoint(50, 50));
    EXPECT_EQ(right.model.rowCount(), 0);
    EXPECT_EQ(left.model.rowCount(), 6);

    left.view.clearSelection();
    ctrlSelect(&left.view, {5});
    dragRowsTo(&left.view, 5, right.view.viewport(), inRightList());
    EXPECT_EQ(modelSerials(&right.model), QList<int>{1});
}
