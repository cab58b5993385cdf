// The scan status panel driven the way the window drives it: rows built from
// the selection list, buttons clicked, samples arriving from real scan and
// sampler threads over slow, unreadable or generated sources.

#include "support/FakeSources.h"
#include "support/ManualClock.h"
#include "support/WaitFor.h"

#include "gui/Dialogs.h"
#include "app/MainWindow.h"
#include "app/panels/ScanPanel.h"
#include "app/panels/CButtonAndThread.h"
#include "app/panels/ScanState.h"
#include "disk/widget.h"
#include "scan/CFragmentFit.h"
#include "scan/CSchedule.h"

#include "tools/imagegen/ImageGen.h"

#include <cstring>
#include <QAbstractItemView>
#include <QHeaderView>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>

// Readable failures for texts.
void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

class MainWindowTestAccess {
public:
    static CButtonAndThread* row(MainWindow& w, int i) { return w.m_scan->row(i); }
    static int rowCount(MainWindow& w) { return w.m_scan->rowCount(); }
    static int currentRow(MainWindow& w) { return w.m_scan->currentRow(); }
};

namespace {

constexpr int kLong = 20000; // ms; generous, the machine is shared

struct RecordingDialogs : Dialogs {
    struct Box {
        QWidget* parent;
        QString title;
        QString text;
    };
    QList<Box> warnings;
    QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons, QMessageBox::StandardButton) override
    {
        warnings.append({parent, title, text});
        return QMessageBox::Ok;
    }
    // Other boxes (the disk dialog's notices) are answered without a modal loop.
    QMessageBox::StandardButton information(QWidget*, const QString&, const QString&, QMessageBox::StandardButtons,
                                            QMessageBox::StandardButton) override
    {
        return QMessageBox::Ok;
    }
    QMessageBox::StandardButton question(QWidget*, const QString&, const QString&, QMessageBox::StandardButtons,
                                         QMessageBox::StandardButton) override
    {
        return QMessageBox::No;
    }
};

QString statusText(CButtonAndThread* r) { return r->m_statusLabel ? r->m_statusLabel->text() : QString(); }

// Slow enough that a scan is surely still running when the test looks:
// 1 GiB of zeros at 2 MiB per 25 ms takes about 13 s.
FakeSource slowSource()
{
    FakeSource s;
    s.size = qint64(1) << 30;
    s.delayMs = 25;
    return s;
}

class ScanPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setDialogs(&box);
        scanTargetList().clear();
        window = std::make_unique<MainWindow>();
        window->show();
        table = window->findChild<QTableWidget*>(QStringLiteral("scanTable"));
        ASSERT_NE(table, nullptr);
    }
    void TearDown() override
    {
        window.reset();
        scanTargetList().clear();
        setDialogs(nullptr);
    }

    void select(const QList<ScanTarget>& targets)
    {
        scanTargetList() = targets;
        // What the disk dialog's start button does after the selection.
        QMetaObject::invokeMethod(window.get(), "AddScanDetailInfo");
        QMetaObject::invokeMethod(window.get(), "ScanStartClicked");
    }
    CButtonAndThread* row(int i) { return MainWindowTestAccess::row(*window, i); }

    // Samples come once a second; wait until one has shown progress.
    static ::testing::AssertionResult progressShown(CButtonAndThread* r)
    {
        return corvo_test::becomesTrue(
            "the row shows progress",
            [r] { return r->m_progressBar->value() > 0 || r->m_elapsedLabel->text() != "00:00:00"; }, kLong);
    }

    RecordingDialogs box;
    FakeSources sources;
    ManualClock clock; // outlives the window's rows
    std::unique_ptr<MainWindow> window;
    QTableWidget* table = nullptr;
};

TEST(ScanPanelFormat, TimesShowHoursBeyondTwoDigits)
{
    EXPECT_EQ(CButtonAndThread::formatSeconds(0), "00:00:00");
    EXPECT_EQ(CButtonAndThread::formatSeconds(3661), "01:01:01");
    EXPECT_EQ(CButtonAndThread::formatSeconds(360000), "100:00:00");
    EXPECT_EQ(CButtonAndThread::formatSeconds(359999), "99:59:59");
}

TEST_F(ScanPanelTest, TableHasItsColumnsAndNoRows)
{
    ASSERT_EQ(table->columnCount(), 7);
    EXPECT_EQ(table->rowCount(), 0);
    const QStringList headers = {"  位置 ", "  进度", "已用时间 ", " 剩余时间 ", " 开始/暂停", "结束", "  扫描状态"};
    const int widths[7] = {90, 120, 120, 120, 120, 120, 200};
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(table->horizontalHeaderItem(c)->text(), headers[c]);
        EXPECT_EQ(table->columnWidth(c), widths[c]);
    }
    EXPECT_TRUE(table->verticalHeader()->isHidden());
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(cScanState, 'Y');
}

TEST_F(ScanPanelTest, EmptySelectionWarnsAndBuildsNothing)
{
    select({});
    ASSERT_EQ(box.warnings.size(), 2); // once for the rows, once for the start
    EXPECT_EQ(box.warnings[0].title, "提示 ");
    EXPECT_EQ(box.warnings[0].text, "请选择一个磁盘！");
    EXPECT_EQ(box.warnings[0].parent, nullptr);
    EXPECT_EQ(table->rowCount(), 0);
}

TEST_F(ScanPanelTest, TwoTargetsPauseContinueAndStop)
{
    sources.add("slowA", slowSource());
    sources.add("slowB", slowSource());
    scanTargetList() = {{"slowA", qint64(1) << 30, 0}, {"slowB", qint64(1) << 30, 0}};
    QMetaObject::invokeMethod(window.get(), "AddScanDetailInfo");
    ASSERT_NE(row(0), nullptr);
    row(0)->sampler()->setClock(&clock);
    QMetaObject::invokeMethod(window.get(), "ScanStartClicked");

    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->item(0, 0)->text(), "     slowA");
    EXPECT_EQ(table->item(1, 0)->text(), "     slowB");
    CButtonAndThread* a = row(0);
    CButtonAndThread* b = row(1);
    EXPECT_EQ(table->cellWidget(0, 4), a->m_startButton.data());
    EXPECT_EQ(table->cellWidget(1, 6), b->m_statusLabel.data());
    EXPECT_EQ(b->m_stopButton->text(), "结束");

    // The first row starts at once; the other cannot be touched meanwhile.
    EXPECT_EQ(statusText(a), "   扫描中...");
    EXPECT_EQ(a->m_startButton->text(), "暂停");
    EXPECT_EQ(cScanState, 'N');
    EXPECT_TRUE(a->scanThread()->isRunning());
    EXPECT_FALSE(b->m_startButton->isEnabled());
    EXPECT_FALSE(b->m_stopButton->isEnabled());
    EXPECT_EQ(b->stoppedFlag(), 'Y');
    ASSERT_TRUE(clock.waitParked()); // the sampler has taken its start time
    ASSERT_TRUE(clock.advance(1000));
    ASSERT_TRUE(progressShown(a));

    a->m_startButton->click();
    EXPECT_EQ(a->m_startButton->text(), "继续");
    EXPECT_EQ(statusText(a), "   扫描暂停...");
    EXPECT_EQ(cScanState, 'Y');
    EXPECT_EQ(a->scanThread()->pauseFlag(), 'Y');
    EXPECT_TRUE(b->m_startButton->isEnabled());
    EXPECT_TRUE(b->m_stopButton->isEnabled());
    // The scan thread really holds: once it has reached its wait, it reads
    // nothing more and a second passing moves nothing on the row.
    ASSERT_TRUE(a->scanThread()->waitUntilParked(kLong));
    const qint64 heldAt = a->scanThread()->publishedPosition()->load();
    const QString elapsedAt = a->m_elapsedLabel->text();
    ASSERT_TRUE(clock.advance(1000));
    QCoreApplication::processEvents();
    EXPECT_EQ(a->scanThread()->publishedPosition()->load(), heldAt);
    EXPECT_EQ(a->m_elapsedLabel->text(), elapsedAt);
    EXPECT_TRUE(a->scanThread()->isRunning());

    a->m_startButton->click();
    EXPECT_EQ(a->m_startButton->text(), "暂停");
    EXPECT_EQ(statusText(a), "   扫描中...");
    EXPECT_EQ(cScanState, 'N');
    EXPECT_EQ(a->scanThread()->pauseFlag(), 'N');
    EXPECT_FALSE(b->m_startButton->isEnabled());

    a->m_stopButton->click();
    EXPECT_EQ(statusText(a), "   扫描结束...");
    EXPECT_EQ(a->m_startButton->text(), "开始");
    EXPECT_EQ(a->m_remainingLabel->text(), "00:00:00");
    EXPECT_EQ(cScanState, 'Y');
    EXPECT_TRUE(b->m_startButton->isEnabled());
    ASSERT_SOON(!a->threadsRunning(), kLong);
    // The sampler's last sample came after the stop; a stop stays a normal end.
    QCoreApplication::processEvents();
    EXPECT_EQ(statusText(a), "   扫描结束...");
    EXPECT_EQ(a->scanThread()->runFinished(), 'Y');
}

TEST_F(ScanPanelTest, UnreadableSourceEndsAbnormally)
{
    select({{"no-such-disk", qint64(1) << 30, 0}});
    CButtonAndThread* r = row(0);
    ASSERT_NE(r, nullptr);
    ASSERT_SOON_EQ(statusText(r), QString("   扫描结束...(异常结束)"), kLong);
    EXPECT_EQ(r->stoppedFlag(), 'Y');
    EXPECT_EQ(r->m_startButton->text(), "开始");
    EXPECT_EQ(cScanState, 'Y');
    ASSERT_SOON(!r->threadsRunning(), kLong);
}

TEST_F(ScanPanelTest, SkippedBytesOrAnEmptySourceEndAbnormallyAndSayWhy)
{
    FakeSource bad;
    bad.size = 24 << 20;
    bad.badFrom = 9 << 20;
    bad.badTo = bad.badFrom + 512;
    sources.add("bad", bad);
    sources.add("empty", FakeSource{});
    select({{"bad", 24 << 20, 0}, {"empty", 0, 0}});
    CButtonAndThread* r = row(0);
    ASSERT_SOON_EQ(statusText(r), QString("   扫描结束...(异常结束)"), kLong);
    EXPECT_TRUE(r->m_statusLabel->toolTip().contains(QStringLiteral("无法读取 512 字节"))) << qPrintable(r->m_statusLabel->toolTip());
    ASSERT_SOON(!r->threadsRunning(), kLong);
    CButtonAndThread* e = row(1);
    ASSERT_NE(e, nullptr);
    e->m_startButton->click(); // rows do not start one after the other by themselves
    ASSERT_SOON_EQ(statusText(e), QString("   扫描结束...(异常结束)"), kLong);
    EXPECT_TRUE(e->m_statusLabel->toolTip().contains(QString::fromLocal8Bit(std::strerror(ENOMEDIUM))));
    ASSERT_SOON(!e->threadsRunning(), kLong);
}

TEST_F(ScanPanelTest, ScanToTheEndShowsFullProgressAndNormalEnd)
{
    FakeSource small;
    small.size = 24 << 20;
    sources.add("small", small);
    select({{"small", 24 << 20, 0}});
    CButtonAndThread* r = row(0);
    ASSERT_SOON_EQ(statusText(r), QString("   扫描结束..."), kLong);
    EXPECT_EQ(r->m_progressBar->value(), 100);
    EXPECT_EQ(r->m_remainingLabel->text(), "00:00:00");
    EXPECT_EQ(cScanState, 'Y');
    ASSERT_SOON(!r->threadsRunning(), kLong);
    EXPECT_EQ(statusText(r), "   扫描结束...");
}

TEST_F(ScanPanelTest, LateEndOfAStoppedRowLeavesTheNextRowRunning)
{
    sources.add("slowA", slowSource());
    sources.add("slowB", slowSource());
    select({{"slowA", qint64(1) << 30, 0}, {"slowB", qint64(1) << 30, 0}});
    CButtonAndThread* a = row(0);
    CButtonAndThread* b = row(1);
    ASSERT_TRUE(progressShown(a));

    a->m_stopButton->click();
    b->m_startButton->click(); // at once, before a's sampler has sent its last sample
    EXPECT_EQ(MainWindowTestAccess::currentRow(*window), 1);
    ASSERT_EQ(statusText(b), "   扫描中...");

    ASSERT_SOON(!a->threadsRunning(), kLong);
    QCoreApplication::sendPostedEvents(); // a's last sample, posted before its sampler ended
    // And should a's end signal come late all the same, it ends a, not b.
    emit a->TransmitOver('Y');
    EXPECT_EQ(statusText(b), "   扫描中...");
    EXPECT_EQ(b->stoppedFlag(), 'N');
    EXPECT_TRUE(b->scanThread()->isRunning());
    EXPECT_EQ(cScanState, 'N');
    ASSERT_TRUE(progressShown(b));
    EXPECT_EQ(statusText(b), "   扫描中...");
}

TEST_F(ScanPanelTest, StartOffsetIsRoundedDownToASector)
{
    sources.add("slowA", slowSource());
    select({{"slowA", qint64(1) << 30, 1000}});
    CButtonAndThread* r = row(0);
    EXPECT_EQ(r->rangeStart(), 512);
    EXPECT_EQ(scanTargetList()[0].startOffset, 512);
    ASSERT_SOON(sources.firstReadOffset("slowA") >= 0, kLong);
    EXPECT_EQ(sources.firstReadOffset("slowA"), 512);
}

TEST_F(ScanPanelTest, LongImagePathReachesTheScanWhole)
{
    const QByteArray longName = "/srv/evidence/case-2026-0412/recorder-7/disk-images/channel-mixed.img";
    sources.add(longName, slowSource());
    select({{QString::fromUtf8(longName), qint64(1) << 30, 0}});
    ASSERT_SOON(!sources.requestedPaths().isEmpty(), kLong);
    EXPECT_EQ(sources.requestedPaths().first(), nyxDevicePathForName(longName));
    EXPECT_EQ(statusText(row(0)), "   扫描中...");
}

TEST_F(ScanPanelTest, SampleShowsPercentAndTimes)
{
    sources.add("slowA", slowSource());
    select({{"slowA", qint64(1) << 30, 0}});
    CButtonAndThread* r = row(0);
    SSchedule s;
    s.percent = 42;
    s.elapsedSeconds = 3661;
    s.remainingSeconds = 360000;
    r->SlotShowSchedule(s);
    EXPECT_EQ(r->m_progressBar->value(), 42);
    EXPECT_EQ(r->m_elapsedLabel->text(), "01:01:01");
    EXPECT_EQ(r->m_remainingLabel->text(), "100:00:00");
    EXPECT_EQ(statusText(r), "   扫描中...");
}

TEST_F(ScanPanelTest, NewSelectionWhileARowIsPausedReplacesTheRows)
{
    sources.add("slowA", slowSource());
    sources.add("slowB", slowSource());
    select({{"slowA", qint64(1) << 30, 0}});
    CButtonAndThread* a = row(0);
    ASSERT_TRUE(progressShown(a));
    a->m_startButton->click(); // pause
    ASSERT_EQ(statusText(a), "   扫描暂停...");
    QPointer<CFragmentFit> oldScan = a->scanThread();
    QPointer<CSchedule> oldSampler = a->sampler();

    select({{"slowB", qint64(1) << 30, 0}, {"slowA", qint64(1) << 30, 0}});
    // The paused scan was ended and its threads gone before its row was.
    EXPECT_TRUE(oldScan.isNull());
    EXPECT_TRUE(oldSampler.isNull());
    ASSERT_EQ(table->rowCount(), 2);
    ASSERT_EQ(MainWindowTestAccess::rowCount(*window), 2);
    EXPECT_EQ(table->item(0, 0)->text(), "     slowB");
    EXPECT_EQ(statusText(row(0)), "   扫描中...");
    EXPECT_EQ(row(1)->stoppedFlag(), 'Y');
    EXPECT_EQ(cScanState, 'N');
    ASSERT_TRUE(progressShown(row(0)));
}

TEST_F(ScanPanelTest, ClosingTheWindowEndsRunningAndPausedScans)
{
    sources.add("slowA", slowSource());
    sources.add("slowB", slowSource());
    select({{"slowA", qint64(1) << 30, 0}, {"slowB", qint64(1) << 30, 0}});
    CButtonAndThread* a = row(0);
    CButtonAndThread* b = row(1);
    ASSERT_TRUE(progressShown(a));
    a->m_startButton->click(); // a paused
    b->m_startButton->click(); // b running
    ASSERT_EQ(statusText(b), "   扫描中...");
    QPointer<CFragmentFit> scanA = a->scanThread();
    QPointer<CFragmentFit> scanB = b->scanThread();
    QSignalSpy aEnded(scanA.data(), &QThread::finished);
    QSignalSpy bEnded(scanB.data(), &QThread::finished);

    window->close();
    EXPECT_FALSE(a->threadsRunning());
    EXPECT_FALSE(b->threadsRunning());
    EXPECT_EQ(aEnded.count(), 1);
    EXPECT_EQ(bEnded.count(), 1);
    EXPECT_EQ(cScanState, 'Y');
    window.reset();
    EXPECT_TRUE(scanA.isNull());
    EXPECT_TRUE(scanB.isNull());
}

TEST_F(ScanPanelTest, DestroyingTheWindowMidScanEndsCleanly)
{
    sources.add("slowA", slowSource());
    select({{"slowA", qint64(1) << 30, 0}});
    QPointer<CFragmentFit> scan = row(0)->scanThread();
    QPointer<CSchedule> sampler = row(0)->sampler();
    ASSERT_TRUE(progressShown(row(0)));
    window.reset(); // no close event first
    EXPECT_TRUE(scan.isNull());
    EXPECT_TRUE(sampler.isNull());
}

TEST_F(ScanPanelTest, ReadStuckOnAFailingDiskDoesNotHoldTheClose)
{
    // A read that returns only when the test lets it, as a disk retrying a bad sector.
    auto disk = std::make_shared<FaultPlan>();
    disk->gateReads();
    FakeSource stuck = slowSource();
    stuck.gate = disk;
    sources.add("stuck", stuck);
    select({{"stuck", qint64(1) << 30, 0}});
    QPointer<CFragmentFit> scan = row(0)->scanThread();
    QPointer<CSchedule> sampler = row(0)->sampler();
    ASSERT_TRUE(disk->waitForGate(kLong));

    window.reset(); // waits a while, then leaves the row to go with its threads
    ASSERT_FALSE(scan.isNull());
    EXPECT_EQ(disk->waitingReads(), 1); // the close did not wait for the read
    disk->gateReads(false);
    ASSERT_SOON(scan.isNull() && sampler.isNull(), kLong);
}

TEST_F(ScanPanelTest, StopOfAnIdleRowOnlyShowsTheEnd)
{
    sources.add("slowA", slowSource());
    sources.add("slowB", slowSource());
    select({{"slowA", qint64(1) << 30, 0}, {"slowB", qint64(1) << 30, 0}});
    CButtonAndThread* a = row(0);
    CButtonAndThread* b = row(1);
    a->m_startButton->click(); // pause a; b's buttons come alive
    b->m_stopButton->click();
    EXPECT_EQ(statusText(b), "   扫描结束...");
    EXPECT_FALSE(b->threadsRunning());
    EXPECT_EQ(statusText(a), "   扫描暂停...");
    EXPECT_EQ(cScanState, 'Y');
    // Ending a paused row while another scans leaves the state with the scanning one.
    b->m_startButton->click();
    EXPECT_EQ(statusText(b), "   扫描中...");
    EXPECT_EQ(cScanState, 'N');
    a->finishScan('N');
    EXPECT_EQ(cScanState, 'N');
    ASSERT_SOON(!a->threadsRunning(), kLong);
}

// The road from the window: the disk dialog lists the image given on the
// command line, it is ticked and started, and the row scans it to the end.
TEST(ScanPanelRoad, TickedImageIsScannedToTheEnd)
{
    RecordingDialogs box;
    setDialogs(&box);
    scanTargetList().clear();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString image = dir.path() + "/recorder.img";
    imagegen::Truth truth;
    QString error;
    ASSERT_TRUE(imagegen::generateImage(image, qint64(40) << 20, 77, &truth, &error)) << error.toStdString();
    ASSERT_FALSE(truth.isEmpty());

    {
        MainWindow window(QStringList{image});
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_E, Qt::ControlModifier);
        auto* diskDialog = window.findChild<QWidget*>("diskDialog");
        ASSERT_NE(diskDialog, nullptr);
        ASSERT_SOON(diskDialog->isVisible(), kLong);
        auto* tree = window.findChild<QTreeWidget*>("diskTree");
        ASSERT_NE(tree, nullptr);
        QTreeWidgetItem* imageRow = nullptr;
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            if ((*it)->text(0) == image)
                imageRow = *it;
        }
        ASSERT_NE(imageRow, nullptr);
        imageRow->setCheckState(0, Qt::Checked);
        // Listening before the click: a small image is scanned in less time than a click takes to return.
        auto* playlist = window.findChild<QAbstractItemView*>("playlistView");
        ASSERT_NE(playlist, nullptr);
        int inserted = 0;
        QObject::connect(playlist->model(), &QAbstractItemModel::rowsInserted,
                         [&inserted](const QModelIndex&, int first, int last) { inserted += last - first + 1; });
        window.findChild<QPushButton*>("diskStartButton")->click();

        CButtonAndThread* r = MainWindowTestAccess::row(window, 0);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(MainWindowTestAccess::rowCount(window), 1);
        EXPECT_EQ(r->rangeEnd(), qint64(40) << 20);
        ASSERT_SOON_EQ(statusText(r), QString("   扫描结束..."), kLong);
        EXPECT_EQ(r->m_progressBar->value(), 100);
        EXPECT_EQ(r->m_startButton->text(), "开始");
        EXPECT_FALSE(diskDialog->isVisible());
        EXPECT_TRUE(tree->isEnabled()); // ready for the next selection
        EXPECT_TRUE(window.findChild<QWidget*>("selectDiskButton")->isEnabled());
        // Every fragment found reached the playlist, each once.
        ASSERT_SOON_EQ(playlist->model()->rowCount(), truth.size(), kLong);
        EXPECT_EQ(inserted, truth.size());
        EXPECT_EQ(cScanState, 'Y');
    }
    scanTargetList().clear();
    setDialogs(nullptr);
}

} // namespace
