#include "support/FakeSysfs.h"

#include "gui/Dialogs.h"
#include "app/MainWindow.h"
#include "app/panels/DiskPanel.h"
#include "disk/Nyx.h"
#include "disk/widget.h"

#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QImage>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

class MainWindowTestAccess {
public:
    static bool scanWanted(const MainWindow& w) { return w.m_scanWanted; }
    static int scanRowCount(const MainWindow& w) { return w.m_disks->scanRowCount(); }
};

namespace {

struct Box {
    QString kind;
    QWidget* parent;
    QString title, text;
    QMessageBox::StandardButtons buttons;
};

class RecordingDialogs : public Dialogs {
public:
    QList<Box> boxes;
    QMessageBox::StandardButton information(QWidget* p, const QString& t, const QString& x,
                                            QMessageBox::StandardButtons b, QMessageBox::StandardButton) override
    {
        boxes.append({QStringLiteral("information"), p, t, x, b});
        return QMessageBox::Ok;
    }
    QMessageBox::StandardButton warning(QWidget* p, const QString& t, const QString& x,
                                        QMessageBox::StandardButtons b, QMessageBox::StandardButton) override
    {
        boxes.append({QStringLiteral("warning"), p, t, x, b});
        return QMessageBox::Ok;
    }
    QMessageBox::StandardButton question(QWidget* p, const QString& t, const QString& x,
                                         QMessageBox::StandardButtons b, QMessageBox::StandardButton) override
    {
        boxes.append({QStringLiteral("question"), p, t, x, b});
        return QMessageBox::No;
    }
};

// A 500 GB disk with two partitions, the first mounted nowhere (free 0),
// and a small second disk without partitions.
void addStandardDisks(FakeSysfs& fs)
{
    FakeSysfs::Disk big;
    big.sectors = 976773168;   // 500107862016 bytes
    fs.addDisk("sda", big);
    fs.addPartition("sda", "sda1", 2048, 1048576);
    fs.addPartition("sda", "sda2", 1050624, 975722544);
    FakeSysfs::Disk small;
    small.sectors = 1048576;   // 0.5 GiB
    fs.addDisk("sdb", small);
}

class DiskTreeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setDialogs(&dlg);
        // Whatever a started scan would open stays in memory.
        nyxSetDeviceFactory([](const QByteArray&) { return std::make_unique<MemoryDevice>(QByteArray(4096, '\0')); });
        scanTargetList().clear();
    }
    void TearDown() override
    {
        setDialogs(nullptr);
        nyxSetDeviceFactory(nullptr);
        resetDiskEnumEnv();
    }

    static QTreeWidget* tree(MainWindow& w) { return w.findChild<QTreeWidget*>(QStringLiteral("diskTree")); }
    static QDialog* dialog(MainWindow& w) { return w.findChild<QDialog*>(QStringLiteral("diskDialog")); }
    static void invoke(MainWindow& w, const char* slot) { ASSERT_TRUE(QMetaObject::invokeMethod(&w, slot)); }
    static void click(MainWindow& w, QTreeWidgetItem* item, int column)
    {
        QMetaObject::invokeMethod(&w, "TreeItemClicked", Q_ARG(QTreeWidgetItem*, item), Q_ARG(int, column));
    }
    QList<Box> boxesOf(const QString& kind) const
    {
        QList<Box> out;
        for (const Box& b : dlg.boxes)
            if (b.kind == kind)
                out.append(b);
        return out;
    }

    RecordingDialogs dlg;
};

TEST_F(DiskTreeTest, DialogAndRowsShowTheDisksWithTheirSizes)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    QDialog* d = dialog(w);
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(d->windowTitle(), QStringLiteral("选择磁盘"));
    EXPECT_TRUE(d->isModal());
    EXPECT_EQ(d->size(), QSize(640, 490));

    invoke(w, "SelectDisk");
    EXPECT_TRUE(d->isVisible());
    QTreeWidget* t = tree(w);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->columnCount(), 5);
    QTreeWidgetItem* header = t->headerItem();
    EXPECT_EQ(header->text(0), QStringLiteral("     磁盘"));
    EXPECT_EQ(header->text(1), QString());
    EXPECT_EQ(header->text(2), QStringLiteral("   容量 "));
    EXPECT_EQ(header->text(3), QStringLiteral("  剩余容量 "));
    EXPECT_EQ(header->text(4), QStringLiteral("仅扫描剩余容量?"));
    EXPECT_TRUE(t->isColumnHidden(1));
    EXPECT_EQ(t->columnWidth(0), 200);
    EXPECT_EQ(t->columnWidth(3), 120);
    EXPECT_GE(t->columnWidth(4), 160);   // the last section takes what is left

    ASSERT_EQ(t->topLevelItemCount(), 2);
    QTreeWidgetItem* sda = t->topLevelItem(0);
    EXPECT_EQ(sda->text(0), QStringLiteral("sda"));
    EXPECT_EQ(sda->text(1), QStringLiteral("500107862016"));
    EXPECT_EQ(sda->text(2), QStringLiteral("465.762G"));
    EXPECT_EQ(sda->text(3), QString());
    EXPECT_EQ(sda->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(sda->data(4, Qt::CheckStateRole).isValid());   // no box in column 4 at first
    ASSERT_EQ(sda->childCount(), 2);
    QTreeWidgetItem* sda1 = sda->child(0);
    EXPECT_EQ(sda1->text(0), QStringLiteral("sda1"));
    EXPECT_EQ(sda1->text(1), QString::number(1048576ull * 512));
    EXPECT_EQ(sda1->text(2), QStringLiteral("0.5G"));
    EXPECT_EQ(sda1->text(3), QStringLiteral("0G"));
    EXPECT_EQ(sda1->checkState(0), Qt::Unchecked);
    EXPECT_EQ(sda1->checkState(4), Qt::Unchecked);
    EXPECT_TRUE(sda->isExpanded());
    EXPECT_EQ(sda->child(1)->text(0), QStringLiteral("sda2"));
    EXPECT_EQ(t->topLevelItem(1)->text(0), QStringLiteral("sdb"));
    EXPECT_EQ(t->topLevelItem(1)->text(2), QStringLiteral("0.5G"));
    EXPECT_EQ(t->topLevelItem(1)->childCount(), 0);
    EXPECT_TRUE(dlg.boxes.isEmpty());
}

TEST_F(DiskTreeTest, TheTwoBoxesOfARowExcludeEachOther)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    QTreeWidget* t = tree(w);
    QTreeWidgetItem* sda1 = t->topLevelItem(0)->child(0);
    QTreeWidgetItem* sda2 = t->topLevelItem(0)->child(1);

    sda1->setCheckState(0, Qt::Checked);
    click(w, sda1, 0);
    sda1->setCheckState(4, Qt::Checked);
    click(w, sda1, 4);
    EXPECT_EQ(sda1->checkState(4), Qt::Checked);
    EXPECT_EQ(sda1->checkState(0), Qt::Unchecked);
    sda1->setCheckState(0, Qt::Checked);
    click(w, sda1, 0);
    EXPECT_EQ(sda1->checkState(0), Qt::Checked);
    EXPECT_EQ(sda1->checkState(4), Qt::Unchecked);
    // Other rows are left alone.
    EXPECT_EQ(sda2->checkState(0), Qt::Unchecked);
    EXPECT_EQ(t->topLevelItem(0)->checkState(0), Qt::Unchecked);

    // A real mouse click on the column-4 box goes through the same connection.
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog(w)));
    QStyleOptionViewItem opt;
    opt.initFrom(t->viewport());
    opt.rect = t->visualRect(t->model()->index(0, 4, t->model()->index(0, 0)));
    opt.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = t->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, t);
    ASSERT_TRUE(box.isValid());
    QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
    EXPECT_EQ(sda1->checkState(4), Qt::Checked);
    EXPECT_EQ(sda1->checkState(0), Qt::Unchecked);
}

// The tree's image background must not turn the check boxes into black
// squares: checked and unchecked have to look different, unchecked light.
TEST_F(DiskTreeTest, CheckBoxesShowTheirState)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    QTreeWidget* t = tree(w);
    QTreeWidgetItem* sda1 = t->topLevelItem(0)->child(0);
    QTreeWidgetItem* sda2 = t->topLevelItem(0)->child(1);
    sda1->setCheckState(0, Qt::Checked);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog(w)));
    const QImage shot = t->viewport()->grab().toImage();
    auto meanLightness = [&](QTreeWidgetItem* item) {
        QStyleOptionViewItem opt;
        opt.initFrom(t->viewport());
        opt.rect = t->visualItemRect(item);   // column 0
        opt.features |= QStyleOptionViewItem::HasCheckIndicator;
        const QRect box = t->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, t).adjusted(2, 2, -2, -2);
        long sum = 0, n = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x, ++n)
                sum += QColor(shot.pixel(x * shot.width() / t->viewport()->width(),
                                         y * shot.height() / t->viewport()->height())).lightness();
        return n ? double(sum) / n : 0.0;
    };
    const double unchecked = meanLightness(sda2);
    const double checked = meanLightness(sda1);
    EXPECT_GT(unchecked, 200.0);
    EXPECT_GT(unchecked - checked, 15.0) << "checked " << checked << " unchecked " << unchecked;
}

TEST_F(DiskTreeTest, DiskAndOneVolumeGiveTwoTargetsDiskFirst)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    QTreeWidget* t = tree(w);
    t->topLevelItem(0)->child(1)->setCheckState(0, Qt::Checked);
    t->topLevelItem(0)->setCheckState(0, Qt::Checked);

    invoke(w, "SelectDiskName");
    const QList<ScanTarget>& list = scanTargetList();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].name, QStringLiteral("sda"));
    EXPECT_EQ(list[0].startOffset, 0);
    EXPECT_EQ(list[0].endOffset, 500107862016LL);
    EXPECT_EQ(list[1].name, QStringLiteral("sda2"));
    EXPECT_EQ(list[1].endOffset, 975722544LL * 512);
    EXPECT_FALSE(t->isEnabled());
    EXPECT_EQ(MainWindowTestAccess::scanRowCount(w), 2);
    // The scan builds its path from the name: the right device.
    EXPECT_EQ(nyxDevicePathToFile(nyxDevicePathForName(list[1].name.toLocal8Bit())), QByteArray("/dev/sda2"));
}

TEST_F(DiskTreeTest, ColumnFourAloneSelectsTheWholeVolume)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    QTreeWidgetItem* sda1 = tree(w)->topLevelItem(0)->child(0);
    sda1->setCheckState(4, Qt::Checked);
    click(w, sda1, 4);

    invoke(w, "slotWantScan");
    ASSERT_EQ(scanTargetList().size(), 1);
    EXPECT_EQ(scanTargetList()[0].name, QStringLiteral("sda1"));
    EXPECT_EQ(scanTargetList()[0].startOffset, 0);
    EXPECT_EQ(scanTargetList()[0].endOffset, 1048576LL * 512);
    EXPECT_TRUE(MainWindowTestAccess::scanWanted(w));
    EXPECT_TRUE(boxesOf(QStringLiteral("warning")).isEmpty());
    // Handed over: one scan row, the dialog out of the way.
    QTableWidget* table = w.findChild<QTableWidget*>(QStringLiteral("scanTable"));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), 1);
    EXPECT_FALSE(dialog(w)->isVisible());
}

TEST_F(DiskTreeTest, NothingCheckedWarnsOnceAndKeepsTheDialog)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    // A partially checked disk is not a selection.
    tree(w)->topLevelItem(0)->setCheckState(0, Qt::PartiallyChecked);
    scanTargetList().append(ScanTarget{QStringLiteral("stale"), 1, 0});

    QPushButton* start = w.findChild<QPushButton*>(QStringLiteral("diskStartButton"));
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->text(), QStringLiteral("开始"));
    start->click();
    ASSERT_EQ(dlg.boxes.size(), 1);
    EXPECT_EQ(dlg.boxes[0].kind, QStringLiteral("warning"));
    EXPECT_EQ(dlg.boxes[0].parent, nullptr);
    EXPECT_EQ(dlg.boxes[0].title, QStringLiteral("提示 "));
    EXPECT_EQ(dlg.boxes[0].text, QStringLiteral("请选择一个磁盘！"));
    EXPECT_EQ(dlg.boxes[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(scanTargetList().isEmpty());
    EXPECT_TRUE(MainWindowTestAccess::scanWanted(w));
    EXPECT_TRUE(dialog(w)->isVisible());
    EXPECT_TRUE(tree(w)->isEnabled());
}

TEST_F(DiskTreeTest, StartScanDoesNothingUntilAScanWasWanted)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    tree(w)->topLevelItem(1)->setCheckState(0, Qt::Checked);
    invoke(w, "slotStartScan");
    EXPECT_TRUE(scanTargetList().isEmpty());
    EXPECT_TRUE(tree(w)->isEnabled());
}

TEST_F(DiskTreeTest, SecondSelectDiskRebuildsFromAFreshEnumeration)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    tree(w)->topLevelItem(0)->setCheckState(0, Qt::Checked);
    tree(w)->topLevelItem(0)->child(0)->setCheckState(4, Qt::Checked);

    FakeSysfs::Disk added;
    added.sectors = 2097152;
    fs.addDisk("sdc", added);
    fs.addPartition("sdc", "sdc1", 2048, 1024);
    invoke(w, "SelectDisk");
    QTreeWidget* t = tree(w);
    ASSERT_EQ(t->topLevelItemCount(), 3);
    EXPECT_EQ(t->topLevelItem(2)->text(0), QStringLiteral("sdc"));
    EXPECT_EQ(t->topLevelItem(2)->text(2), QStringLiteral("1G"));
    EXPECT_EQ(t->topLevelItem(2)->child(0)->text(0), QStringLiteral("sdc1"));
    for (QTreeWidgetItemIterator it(t); *it; ++it) {
        EXPECT_NE((*it)->checkState(0), Qt::Checked) << (*it)->text(0).toStdString();
        EXPECT_NE((*it)->checkState(4), Qt::Checked) << (*it)->text(0).toStdString();
    }
}

TEST_F(DiskTreeTest, NoDisksAndNoImagesShowsNothing)
{
    FakeSysfs fs;
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    EXPECT_FALSE(dialog(w)->isVisible());
    EXPECT_EQ(tree(w)->topLevelItemCount(), 0);
    EXPECT_TRUE(dlg.boxes.isEmpty());
}

TEST_F(DiskTreeTest, UpdateParentItemMarksTheDiskPartially)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    QTreeWidgetItem* sda = tree(w)->topLevelItem(0);
    QTreeWidgetItem* sda1 = sda->child(0);
    sda1->setCheckState(0, Qt::Checked);
    sda1->setCheckState(4, Qt::Checked);
    QMetaObject::invokeMethod(&w, "updateParentItem", Q_ARG(QTreeWidgetItem*, sda1), Q_ARG(int, 0));
    EXPECT_EQ(sda->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(sda1->checkState(4), Qt::Unchecked);
    sda1->setCheckState(0, Qt::Unchecked);
    QMetaObject::invokeMethod(&w, "updateParentItem", Q_ARG(QTreeWidgetItem*, sda1), Q_ARG(int, 0));
    EXPECT_EQ(sda->checkState(0), Qt::Unchecked);
    // A disk row has no parent: left alone.
    sda->setCheckState(0, Qt::Checked);
    QMetaObject::invokeMethod(&w, "updateParentItem", Q_ARG(QTreeWidgetItem*, sda), Q_ARG(int, 0));
    EXPECT_EQ(sda->checkState(0), Qt::Checked);
}

class DiskTreeImageTest : public DiskTreeTest {
protected:
    void SetUp() override
    {
        DiskTreeTest::SetUp();
        ASSERT_TRUE(tmp.isValid());
        // A long path: must reach the scan whole.
        const QString dir = tmp.path() + QStringLiteral("/a folder with a rather long name for recorder images");
        ASSERT_TRUE(QDir().mkpath(dir));
        image = dir + QStringLiteral("/channel-01 recorder disk.img");
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(3 * 1024 * 1024 + 7, 'x'));
    }
    QTemporaryDir tmp;
    QString image;
};

TEST_F(DiskTreeImageTest, ImageBecomesATopLevelRowAndATargetWithItsFullSize)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    DiskEnvGuard g(fs.env());
    MainWindow w({image});
    QCoreApplication::processEvents();
    EXPECT_TRUE(dlg.boxes.isEmpty());
    invoke(w, "SelectDisk");
    QTreeWidget* t = tree(w);
    ASSERT_EQ(t->topLevelItemCount(), 3);
    QTreeWidgetItem* row = t->topLevelItem(2);
    EXPECT_EQ(row->text(0), image);
    EXPECT_EQ(row->text(1), QString::number(3 * 1024 * 1024 + 7));
    EXPECT_EQ(row->childCount(), 0);
    EXPECT_EQ(row->checkState(0), Qt::Unchecked);
    EXPECT_GE(t->columnWidth(0), 200);

    row->setCheckState(0, Qt::Checked);
    invoke(w, "slotWantScan");
    ASSERT_EQ(scanTargetList().size(), 1);
    EXPECT_EQ(scanTargetList()[0].name, image);
    EXPECT_EQ(scanTargetList()[0].endOffset, 3 * 1024 * 1024 + 7);
    EXPECT_EQ(nyxDevicePathToFile(nyxDevicePathForName(QFile::encodeName(scanTargetList()[0].name))),
              QFile::encodeName(image));
    EXPECT_TRUE(dlg.boxes.isEmpty());
    QTableWidget* table = w.findChild<QTableWidget*>(QStringLiteral("scanTable"));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), 1);
}

TEST_F(DiskTreeImageTest, RelativeImagePathIsScannedAsThatFileNotAsADevice)
{
    FakeSysfs fs;
    DiskEnvGuard g(fs.env());
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    {
        QFile f(QStringLiteral("sda"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1024, 'y'));
    }
    MainWindow w({QStringLiteral("sda")});
    invoke(w, "SelectDisk");
    ASSERT_EQ(tree(w)->topLevelItemCount(), 1);
    EXPECT_EQ(tree(w)->topLevelItem(0)->text(0), QStringLiteral("sda"));
    tree(w)->topLevelItem(0)->setCheckState(0, Qt::Checked);
    invoke(w, "SelectDiskName");
    QDir::setCurrent(old);
    ASSERT_EQ(scanTargetList().size(), 1);
    EXPECT_EQ(scanTargetList()[0].name, tmp.path() + QStringLiteral("/sda"));
    EXPECT_EQ(scanTargetList()[0].endOffset, 1024);
}

TEST_F(DiskTreeImageTest, UnreadablePathsAreReportedOnceAndLeftOut)
{
    FakeSysfs fs;
    DiskEnvGuard g(fs.env());
    const QString missing = tmp.path() + QStringLiteral("/no-such.img");
    MainWindow w({missing, image, tmp.path()});
    EXPECT_TRUE(dlg.boxes.isEmpty());   // reported once the event loop runs
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    ASSERT_EQ(dlg.boxes.size(), 1);
    EXPECT_EQ(dlg.boxes[0].kind, QStringLiteral("warning"));
    EXPECT_EQ(dlg.boxes[0].title, QStringLiteral("警告"));
    EXPECT_TRUE(dlg.boxes[0].text.contains(missing));
    EXPECT_TRUE(dlg.boxes[0].text.contains(tmp.path() + QStringLiteral("（")));   // the directory
    EXPECT_FALSE(dlg.boxes[0].text.contains(image));

    invoke(w, "SelectDisk");
    invoke(w, "SelectDisk");
    EXPECT_EQ(dlg.boxes.size(), 1);
    ASSERT_EQ(tree(w)->topLevelItemCount(), 1);
    EXPECT_EQ(tree(w)->topLevelItem(0)->text(0), image);
    EXPECT_TRUE(dialog(w)->isVisible());
}

TEST_F(DiskTreeImageTest, UnreadableDisksGiveANoticeThenTheImageRows)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    fs.refuse("sda", EACCES);
    fs.refuse("sdb", EACCES);
    DiskEnvGuard g(fs.env());
    MainWindow w({image});
    invoke(w, "SelectDisk");
    ASSERT_EQ(dlg.boxes.size(), 1);
    EXPECT_EQ(dlg.boxes[0].kind, QStringLiteral("warning"));
    EXPECT_EQ(dlg.boxes[0].title, QStringLiteral("提示 "));
    EXPECT_TRUE(dlg.boxes[0].text.contains(QStringLiteral("/dev/sda")));
    EXPECT_TRUE(dlg.boxes[0].text.contains(QStringLiteral("corvotkl")));
    EXPECT_TRUE(dialog(w)->isVisible());
    ASSERT_EQ(tree(w)->topLevelItemCount(), 1);
    EXPECT_EQ(tree(w)->topLevelItem(0)->text(0), image);

    // With the image rows to offer, once is enough.
    invoke(w, "SelectDisk");
    EXPECT_EQ(dlg.boxes.size(), 1);
}

TEST_F(DiskTreeTest, UnreadableDisksWithoutImagesAnswerEveryTime)
{
    FakeSysfs fs;
    addStandardDisks(fs);
    fs.refuse("sda", EPERM);
    fs.refuse("sdb", EPERM);
    DiskEnvGuard g(fs.env());
    MainWindow w;
    invoke(w, "SelectDisk");
    invoke(w, "SelectDisk");
    ASSERT_EQ(dlg.boxes.size(), 2);
    EXPECT_EQ(dlg.boxes[1].title, QStringLiteral("提示 "));
    EXPECT_FALSE(dialog(w)->isVisible());

    // One readable disk is enough: no notice.
    FakeSysfs other;
    addStandardDisks(other);
    other.refuse("sda", EPERM);
    setDiskEnumEnv(other.env());
    invoke(w, "SelectDisk");
    EXPECT_EQ(dlg.boxes.size(), 2);
    ASSERT_EQ(tree(w)->topLevelItemCount(), 1);
    EXPECT_EQ(tree(w)->topLevelItem(0)->text(0), QStringLiteral("sdb"));
}

} // namespace
