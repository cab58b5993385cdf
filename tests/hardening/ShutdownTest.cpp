// Closing the window with exports in flight: they are cancelled, their files
// closed, their windows gone, no result box; nothing is left running.

#include "app/Dialogs.h"
#include "app/MainWindow.h"
#include "export/CDlgProgress.h"
#include "export/VideoInfo.h"
#include "support/FaultDevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr qint64 MiB = 1024 * 1024;

struct RecordingDialogs : Dialogs {
    QStringList boxes;
    QMessageBox::StandardButton warning(QWidget*, const QString&, const QString& text, QMessageBox::StandardButtons,
                                        QMessageBox::StandardButton) override
    {
        boxes.append(text);
        return QMessageBox::Ok;
    }
    QMessageBox::StandardButton information(QWidget*, const QString&, const QString& text,
                                            QMessageBox::StandardButtons, QMessageBox::StandardButton) override
    {
        boxes.append(text);
        return QMessageBox::Ok;
    }
};

SPlayListTableItem rowOf(qint64 start, qint64 end, int serial)
{
    SPlayListTableItem row;
    row.sFragmentFit.diskName = "fault/source";
    row.sFragmentFit.totalBytes = end - start;
    row.sFragmentFit.frameCount = 1;
    row.sFragmentFit.extents = std::make_shared<const SExtentList>(SExtentList{{start, end}});
    row.iSerial = serial;
    return row;
}

// Files of this process open under dir.
QStringList openFilesUnder(const QString& dir)
{
    QStringList open;
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System)) {
        const QString target = fd.symLinkTarget();
        if (target.startsWith(canonical))
            open.append(target);
    }
    return open;
}

void runDeferredDeletes()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

struct Shutdown : ::testing::Test {
    RecordingDialogs dialogsFake;
    QTemporaryDir tmp;
    void SetUp() override { setDialogs(&dialogsFake); }
    void TearDown() override
    {
        nyxSetDeviceFactory(nullptr);
        setDialogs(nullptr);
    }
};

} // namespace

TEST_F(Shutdown, ClosingTheWindowCancelsExportsInFlightAndClosesTheirFiles)
{
    const qint64 size = 8 * MiB;
    auto plan = std::make_shared<FaultPlan>(QByteArray(int(size), 'x'));
    plan->gateReads();
    ScopedFaultDevices devices(plan);
    auto window = std::make_unique<MainWindow>();
    window->show();

    QPointer<SingleMegerThread> single = new SingleMegerThread({rowOf(0, size, 1)}, tmp.path());
    QPointer<ManyMegerThread> merge = new ManyMegerThread({rowOf(0, size, 2)}, tmp.filePath("m.TKL"));
    // As the playlist commands wire them.
    QObject::connect(single, SIGNAL(SingleNotify(int)), window.get(), SLOT(SCanResult(int)));
    QObject::connect(merge, SIGNAL(ManyNotify(int)), window.get(), SLOT(SCanResult(int)));
    QPointer<CDlgProgress> singleWindow = single->progressWindow();
    QPointer<CDlgProgress> mergeWindow = merge->progressWindow();
    ASSERT_EQ(exportsInFlight(), 2);
    single->start();
    merge->start();
    // Each export opens its file before its first read: once both are parked
    // at the gate, both files are open. Two reads later (whoever made them)
    // both are parked again, mid-copy.
    ASSERT_TRUE(plan->waitForWaiting(2));
    plan->allowReads(2);
    ASSERT_TRUE(plan->waitForReads(2));
    ASSERT_TRUE(plan->waitForWaiting(2));
    EXPECT_EQ(openFilesUnder(tmp.path()).size(), 2);

    // The reads stay slow for a while after the close begins.
    std::thread disk([plan] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        plan->gateReads(false);
    });
    QElapsedTimer closing;
    closing.start();
    window->close();
    const qint64 closeMs = closing.elapsed();
    disk.join();

    // Each thread has ended; the events served while closing may already
    // have deleted it.
    EXPECT_TRUE(!single || single->isFinished());
    EXPECT_TRUE(!merge || merge->isFinished());
    EXPECT_LT(closeMs, 20000); // not the give-up time
    EXPECT_TRUE(openFilesUnder(tmp.path()).isEmpty());
    // Cancelled after a chunk or two, not copied whole.
    EXPECT_LT(QFileInfo(tmp.filePath("m.TKL")).size(), size);
    EXPECT_LT(plan->reads().size(), size_t(8));
    EXPECT_FALSE(singleWindow && singleWindow->isVisible());
    EXPECT_FALSE(mergeWindow && mergeWindow->isVisible());

    runDeferredDeletes();
    EXPECT_TRUE(dialogsFake.boxes.isEmpty()) << dialogsFake.boxes.join(", ").toStdString();
    EXPECT_TRUE(single.isNull());
    EXPECT_TRUE(merge.isNull());
    EXPECT_TRUE(singleWindow.isNull());
    EXPECT_TRUE(mergeWindow.isNull());
    EXPECT_EQ(exportsInFlight(), 0);
    window.reset();
}

TEST_F(Shutdown, ClosingWhileAnExportWaitsForItsWarningRaisesNoBox)
{
    auto plan = std::make_shared<FaultPlan>(QByteArray(1000, 'x'));
    plan->failOpen = EIO;
    ScopedFaultDevices devices(plan);
    auto window = std::make_unique<MainWindow>();
    window->show();
    QPointer<SingleMegerThread> single = new SingleMegerThread({rowOf(0, 1000, 1), rowOf(0, 500, 2)}, tmp.path());
    single->start();
    // The worker asks the GUI thread for "打开磁盘错误！" and waits for it;
    // the GUI thread does not serve it before the close.
    QThread::msleep(300);
    window->close();
    EXPECT_TRUE(single.isNull() || single->isFinished());
    runDeferredDeletes();
    EXPECT_TRUE(single.isNull());
    EXPECT_TRUE(dialogsFake.boxes.isEmpty()) << dialogsFake.boxes.join(", ").toStdString();
    EXPECT_EQ(exportsInFlight(), 0);
}

TEST_F(Shutdown, ClosingWithoutExportsOrAfterThemIsImmediate)
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    EXPECT_TRUE(cancelExportsInFlight(0));
    window->close();
    EXPECT_EQ(exportsInFlight(), 0);
}
