// Sort, delete, export and merge commands of the main window, through the
// recording dialogs, and exports checked byte for byte against an image.
#include "FakeDialogs.h"
#include "playlist/PlaylistSupport.h"

#include "app/MainWindow.h"
#include "tools/imagegen/ImageGen.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pltest;

namespace {

const char kConfirmText[] =
    "请选择一个不在当前扫描范围的磁盘!\n如果将视频保存在扫描范围内的磁盘中会将其他数据覆盖掉\n是否确定保存?";

int progressWindows()
{
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("CDlgProgress"))
            ++n;
    return n;
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        dragRows.clear();
        window.move(0, 0);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        playlist = window.findChild<DropTableView*>("playlistView");
        ASSERT_TRUE(playlist);
        ASSERT_TRUE(out.isValid());
    }
    void TearDown() override { dragRows.clear(); }

    void add(const SFragmentFit& f, int serial)
    {
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, f), Q_ARG(int, serial));
    }
    void run(const char* slot) { QMetaObject::invokeMethod(&window, slot); }
    // Selects the given model rows, in this order, as ctrl-clicks would.
    void selectModelRows(DropTableView* view, const QList<int>& modelRows)
    {
        view->clearSelection();
        for (int r : modelRows) {
            const QModelIndex ix = view->sortProxy->mapFromSource(view->listModel->index(r, 0));
            view->selectionModel()->select(ix, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    QDialog* openMergeDialog()
    {
        const auto before = window.findChildren<QDialog*>("mergeDialog");
        run("MergeDisk");
        for (QDialog* d : window.findChildren<QDialog*>("mergeDialog"))
            if (!before.contains(d))
                return d;
        return nullptr;
    }
    static DropTableView* listOf(QDialog* d) { return d->findChild<DropTableView*>("mergeListView"); }
    static void putRows(DropTableView* from, DropTableView* to, const QList<int>& modelRows)
    {
        dragRows.clear();
        for (int r : modelRows)
            dragRows.append(from->listModel->item(r));
        to->dropFrom(from);
    }

    FakeDialogs fake;
    MainWindow window;
    DropTableView* playlist = nullptr;
    QTemporaryDir out;
};

} // namespace

TEST_F(Commands, SortByMenuAfterAHeaderClickSortsBySizeDescending)
{
    for (int kib : {4, 64, 1, 16})
        add(fragment(kib * 1024), kib);
    QHeaderView* header = playlist->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(header->sectionViewportPosition(1) + 20, 20));
    ASSERT_EQ(header->sortIndicatorSection(), 1);
    run("SortItem");
    EXPECT_EQ(header->sortIndicatorSection(), 2);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(shownSerials(playlist), (QList<int>{64, 16, 4, 1}));
}

TEST_F(Commands, DeleteRemovesTheHighestRowFirstAndKeepsTheOthersInOrder)
{
    // Shown by size, so view positions differ from model rows.
    const QList<int> kib{50, 10, 70, 20, 60, 30, 40};
    for (int i = 0; i < kib.size(); ++i)
        add(fragment(kib[i] * 1024), i);
    playlist->sortByColumn(2, Qt::AscendingOrder);
    selectModelRows(playlist, {2, 5});
    QList<int> removed;
    QObject::connect(playlist->listModel, &QAbstractItemModel::rowsAboutToBeRemoved,
                     [&](const QModelIndex&, int first, int last) {
                         for (int r = first; r <= last; ++r)
                             removed << r;
                     });
    run("DeletItem");
    EXPECT_EQ(removed, (QList<int>{5, 2}));
    EXPECT_EQ(modelSerials(playlist->listModel), (QList<int>{0, 1, 3, 4, 6}));

    playlist->clearSelection();
    run("DeletItem");
    EXPECT_EQ(playlist->listModel->rowCount(), 5);
}

TEST_F(Commands, NothingSelectedOrAnEmptyMergeListAsksNothing)
{
    add(fragment(1024), 1);
    run("ExportItem");
    run("PlayListMerge");
    openMergeDialog();
    run("StartMerge");
    EXPECT_TRUE(fake.calls.isEmpty()) << fake.kinds().join(',').toStdString();
}

TEST_F(Commands, ExportAsksForAFolderAndACancelEndsIt)
{
    for (int i = 1; i <= 3; ++i)
        add(fragment(i * 1024), i);
    selectModelRows(playlist, {0, 1, 2});
    const int windowsBefore = progressWindows();
    fake.directoryAnswer = QString();
    run("ExportItem");
    ASSERT_EQ(fake.calls.size(), 1);
    const DialogCall& c = fake.calls[0];
    EXPECT_EQ(c.kind, "directory");
    EXPECT_EQ(c.parent, &window);
    EXPECT_EQ(c.caption, "请选择保存路径");
    EXPECT_EQ(c.dir, "home");
    EXPECT_EQ(c.options, int(QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks));
    QTest::qWait(50);
    EXPECT_EQ(progressWindows(), windowsBefore);
    EXPECT_TRUE(fake.results().isEmpty());
}

TEST_F(Commands, AnsweringNoCreatesNothing)
{
    for (int i = 1; i <= 2; ++i)
        add(fragment(i * 1024), i);
    selectModelRows(playlist, {1, 0});
    fake.directoryAnswer = out.path();
    fake.saveAnswer = out.filePath("merged.TKL");
    fake.confirmAnswer = QMessageBox::No;
    const int windowsBefore = progressWindows();
    run("ExportItem");
    run("PlayListMerge");
    ASSERT_EQ(fake.kinds(), (QStringList{"directory", "information", "save", "information"}));
    for (int i : {1, 3}) {
        const DialogCall& q = fake.calls[i];
        EXPECT_EQ(q.parent, nullptr);
        EXPECT_EQ(q.caption, "警告");
        EXPECT_EQ(q.text, QString::fromUtf8(kConfirmText));
        EXPECT_EQ(q.options, int(QMessageBox::Yes | QMessageBox::No));
        EXPECT_EQ(q.defaultButton, int(QMessageBox::Yes));
    }
    const DialogCall& save = fake.calls[2];
    EXPECT_EQ(save.parent, &window);
    EXPECT_EQ(save.caption, "保存");
    EXPECT_EQ(save.dir, "");
    EXPECT_EQ(save.text, "Video files(*.TKL)");
    QTest::qWait(100);
    EXPECT_EQ(progressWindows(), windowsBefore);
    EXPECT_TRUE(fake.results().isEmpty());
    EXPECT_TRUE(QDir(out.path()).entryList(QDir::Files).isEmpty());
}

TEST_F(Commands, ResultBoxSaysSuccessOnlyForOne)
{
    for (int r : {1, 0, 2, -1})
        QMetaObject::invokeMethod(&window, "SCanResult", Q_ARG(int, r));
    EXPECT_EQ(fake.results(), (QStringList{"成功", "失败", "失败", "失败"}));
    for (const DialogCall& c : fake.calls) {
        EXPECT_EQ(c.parent, nullptr);
        EXPECT_EQ(c.options, int(QMessageBox::Ok));
    }
}

// With two merge dialogs open, each start button merges its own dialog's rows.
TEST_F(Commands, EachMergeDialogsStartActsOnItsOwnList)
{
    add(fragment(1024), 1);
    QDialog* first = openMergeDialog();
    putRows(playlist, listOf(first), {0});
    QDialog* second = openMergeDialog();
    ASSERT_EQ(listOf(second)->listModel->rowCount(), 0);

    fake.saveAnswer = QString();
    QTest::mouseClick(second->findChild<QPushButton*>("mergeStartButton"), Qt::LeftButton);
    EXPECT_TRUE(fake.calls.isEmpty()) << "the newest dialog's list is empty";
    QTest::mouseClick(first->findChild<QPushButton*>("mergeStartButton"), Qt::LeftButton);
    EXPECT_EQ(fake.kinds(), QStringList{"save"}) << "the first dialog holds a row";
}
