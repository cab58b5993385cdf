// Sort, delete, export and merge commands of the main window, through the
// recording dialogs, and exports checked byte for byte against an image.
#include "FakeDialogs.h"
#include "playlist/PlaylistSupport.h"

#include "app/MainWindow.h"
#include "disk/widget.h"
#include "tools/imagegen/ImageGen.h"
#include "support/FaultDevice.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

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
    EXPECT_EQ(save.text, "Video files(*.TKL);;MP4 video(*.mp4)");
    EXPECT_EQ(save.suffix, "TKL");
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

// A merge onto a source is refused with a warning naming the file, whether
// the source is the rows' own or only another row of the scan panel.
TEST_F(Commands, MergeOntoAnySourceOfTheScanPanelIsRefused)
{
    const QString rowSource = out.filePath("a.img"), otherSource = out.filePath("b.img");
    const QByteArray bytes(64 * 1024, 'v');
    for (const QString& p : {rowSource, otherSource}) {
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    scanTargetList() = {ScanTarget{rowSource, bytes.size(), 0}, ScanTarget{otherSource, bytes.size(), 0}};
    run("AddScanDetailInfo");
    add(fragment(4096, 0, QFile::encodeName(rowSource)), 1);
    for (const QString& target : {rowSource, otherSource}) {
        fake.calls.clear();
        selectModelRows(playlist, {0});
        fake.saveAnswer = target;
        run("PlayListMerge");
        ASSERT_EQ(fake.kinds(), (QStringList{"save", "warning"})) << target.toStdString();
        EXPECT_TRUE(fake.calls[1].text.contains(target)) << fake.calls[1].text.toStdString();
        EXPECT_TRUE(fake.calls[1].text.contains(QLatin1String("a source being recovered")));
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), bytes);
    }
}

// ---- End to end: a scan of a generated image in the window, then exports ----

namespace {

class EndToEnd : public Commands {
protected:
    void SetUp() override
    {
        Commands::SetUp();
        imagePath = out.filePath("recorder.img");
        QString error;
        ASSERT_TRUE(imagegen::generateImage(imagePath, 24LL << 20, 4242, &truth, &error)) << error.toStdString();
        ASSERT_GE(truth.size(), 8);
        QFile f(imagePath);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        image = f.readAll();
        ASSERT_TRUE(QDir(out.path()).mkpath("single"));
    }

    // Scans the image through the scan panel, as the disk dialog's start does.
    void scanImage()
    {
        scanTargetList() = {ScanTarget{imagePath, image.size(), 0}};
        run("AddScanDetailInfo");
        run("ScanStartClicked");
        ASSERT_TRUE(QTest::qWaitFor([&] { return playlist->listModel->rowCount() >= truth.size(); }, 60000))
            << playlist->listModel->rowCount() << " of " << truth.size();
        QTest::qWait(100);
        ASSERT_EQ(playlist->listModel->rowCount(), truth.size());
        // The rows are the image's fragments, in the order they were found.
        for (int i = 0; i < truth.size(); ++i) {
            const SFragmentFit& f = playlist->listModel->item(i).sFragmentFit;
            ASSERT_EQ(f.totalBytes, truth[i].totalBytes) << i;
            ASSERT_TRUE(f.extents);
            ASSERT_EQ(f.extents->size(), truth[i].extents.size()) << i;
            for (int e = 0; e < f.extents->size(); ++e) {
                ASSERT_EQ(f.extents->at(e).start, truth[i].extents[e].start) << i;
                ASSERT_EQ(f.extents->at(e).end, truth[i].extents[e].end) << i;
            }
        }
    }
    // The bytes a fragment's export must hold, read from the image.
    QByteArray bytesOf(const SPlayListTableItem& row) const
    {
        QByteArray b;
        for (const SExtent& e : *row.sFragmentFit.extents)
            b += image.mid(e.start, e.end - e.start);
        return b;
    }
    QByteArray fileBytes(const QString& path) const
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QString singleName(const SPlayListTableItem& row) const
    {
        const SFragmentFit& f = row.sFragmentFit;
        return QString::asprintf("(%02d)%s-%s_%05d.TKL", f.stream, qPrintable(PackedTime::fileNameForm(f.firstTime)),
                                 qPrintable(PackedTime::fileNameForm(f.lastTime)), row.iSerial);
    }
    void waitForResults(int n)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return fake.results().size() >= n; }, 60000));
    }
    // Model rows of three fragments of different sizes: largest, smallest, middle.
    QList<int> threeRows() const
    {
        QList<int> rows;
        const CPlayListTableModel* m = playlist->listModel;
        for (int r = 0; r < m->rowCount(); ++r)
            rows << r;
        std::sort(rows.begin(), rows.end(), [m](int a, int b) {
            return m->item(a).sFragmentFit.totalBytes > m->item(b).sFragmentFit.totalBytes;
        });
        return {rows.first(), rows.last(), rows[rows.size() / 2]};
    }

    QString imagePath;
    imagegen::Truth truth;
    QByteArray image;
};

} // namespace

TEST_F(EndToEnd, ExportAcrossABadSectorSaysFailedNamingTheFileAndItsZeroedBytes)
{
    ASSERT_NO_FATAL_FAILURE(scanImage());
    const int model = threeRows().first();
    const SPlayListTableItem row = playlist->listModel->item(model);
    // One unreadable sector inside the fragment, on the sector grid.
    const qint64 bad = (row.sFragmentFit.extents->first().start / 512 + 2) * 512;
    auto plan = std::make_shared<FaultPlan>(image);
    plan->badArea(bad, bad + 512);
    ScopedFaultDevices devices(plan);
    selectModelRows(playlist, {model});
    fake.directoryAnswer = out.filePath("single");
    QDir().mkpath(out.filePath("single"));
    run("ExportItem");
    ASSERT_NO_FATAL_FAILURE(waitForResults(1));
    const QString file = out.filePath("single/" + singleName(row));
    EXPECT_EQ(fake.results(), QStringList{"失败\n\n" + file + ": 512 unreadable bytes written as zeros"});
    EXPECT_EQ(QFileInfo(file).size(), row.sFragmentFit.totalBytes);
}

TEST_F(EndToEnd, ScanThenExportThreeRowsWritesThreeExactFiles)
{
    ASSERT_NO_FATAL_FAILURE(scanImage());
    const QList<int> picked = threeRows();
    selectModelRows(playlist, picked);
    fake.directoryAnswer = out.filePath("single");
    const int windowsBefore = progressWindows();
    run("ExportItem");
    EXPECT_EQ(progressWindows(), windowsBefore + 1) << "one export for the three rows";
    ASSERT_NO_FATAL_FAILURE(waitForResults(1));
    EXPECT_EQ(fake.results(), QStringList{"成功"});
    QDir single(out.filePath("single"));
    EXPECT_EQ(single.entryList(QDir::Files).size(), 3);
    for (int r : picked) {
        const SPlayListTableItem& row = playlist->listModel->item(r);
        EXPECT_EQ(fileBytes(single.filePath(singleName(row))), bytesOf(row)) << qPrintable(singleName(row));
    }
}

TEST_F(EndToEnd, MergeOfTheSelectionFollowsSelectionOrder)
{
    ASSERT_NO_FATAL_FAILURE(scanImage());
    const QList<int> picked = threeRows();
    const QList<int> order{picked[1], picked[2], picked[0]};
    selectModelRows(playlist, order);
    fake.saveAnswer = out.filePath("selection.TKL");
    run("PlayListMerge");
    ASSERT_NO_FATAL_FAILURE(waitForResults(1));
    EXPECT_EQ(fake.results(), QStringList{"成功"});
    QByteArray expected;
    for (int r : order)
        expected += bytesOf(playlist->listModel->item(r));
    EXPECT_EQ(fileBytes(fake.saveAnswer), expected);
}

// The merge dialog merges in the order it shows, whatever the drag order,
// and a fragment dragged in twice is merged twice.
TEST_F(EndToEnd, MergeDialogMergesItsShownOrderWithRepeats)
{
    ASSERT_NO_FATAL_FAILURE(scanImage());
    const QList<int> picked = threeRows(); // largest, smallest, middle
    QDialog* dialog = openMergeDialog();
    DropTableView* list = listOf(dialog);
    putRows(playlist, list, {picked[2], picked[0], picked[1], picked[2]});
    list->sortByColumn(2, Qt::AscendingOrder);
    fake.saveAnswer = out.filePath("dialog.TKL");
    QTest::mouseClick(dialog->findChild<QPushButton*>("mergeStartButton"), Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(waitForResults(1));
    EXPECT_EQ(fake.results(), QStringList{"成功"});
    const CPlayListTableModel* m = playlist->listModel;
    const QByteArray expected = bytesOf(m->item(picked[1])) + bytesOf(m->item(picked[2])) +
                                bytesOf(m->item(picked[2])) + bytesOf(m->item(picked[0]));
    EXPECT_EQ(fileBytes(fake.saveAnswer), expected);
}

// Rows deleted from the lists while an export copies them do not disturb it.
TEST_F(EndToEnd, DeletingRowsDuringAnExportLeavesItWhole)
{
    ASSERT_NO_FATAL_FAILURE(scanImage());
    QList<SPlayListTableItem> expectedRows;
    QList<int> all;
    for (int r = 0; r < playlist->listModel->rowCount(); ++r) {
        all << r;
        expectedRows << playlist->listModel->item(r);
    }
    selectModelRows(playlist, all);
    fake.saveAnswer = out.filePath("all.TKL");
    run("PlayListMerge");
    selectModelRows(playlist, all);
    run("DeletItem");
    ASSERT_EQ(playlist->listModel->rowCount(), 0);
    ASSERT_NO_FATAL_FAILURE(waitForResults(1));
    EXPECT_EQ(fake.results(), QStringList{"成功"});
    QByteArray expected;
    for (const SPlayListTableItem& row : expectedRows)
        expected += bytesOf(row);
    EXPECT_EQ(fileBytes(fake.saveAnswer), expected);
}
