// Sessions in the window: a saved session reopened lists its rows; an
// unfinished one is continued after the question, and its rows then equal
// one whole scan's, serials included; a changed source is refused.
#include "support/FakeDialogs.h"

#include "app/MainWindow.h"
#include "app/panels/ScanPanel.h"
#include "app/panels/CButtonAndThread.h"
#include "app/panels/PlayListModel.h"
#include "disk/Nyx.h"
#include "disk/widget.h"
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"
#include "tools/imagegen/ImageGen.h"
#include "tools/imagegen/KeptSession.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

class MainWindowTestAccess {
public:
    static CButtonAndThread* row(MainWindow& w, int i) { return w.m_scan->row(i); }
};

namespace {

constexpr int kLong = 30000;

// Keeps a scan of `image` in `file`, stopped after `checkpoints` saved
// points (0: to the end).
void keepScan(const QString& image, const QString& file, int checkpoints)
{
    QString why;
    ASSERT_TRUE(imagegen::keepScanSession(image, file, checkpoints, &why)) << why.toStdString();
}

// Reads the source as it is; the k-th read by a scan thread is held until
// `atRead`, run on the GUI thread, has returned.
class HoldAtRead : public NyxCIOSystemDevice {
public:
    struct Plan {
        std::atomic<int> left{0};
        std::function<void()> atRead;
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    HoldAtRead(std::unique_ptr<NyxCIOSystemDevice> inner, std::shared_ptr<Plan> plan)
        : m_inner(std::move(inner)), m_plan(std::move(plan))
    {
    }
    int open(std::uint32_t a, int m) override { return m_inner->open(a, m); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (QThread::currentThread() != qApp->thread() && --m_plan->left == 0) {
            auto plan = m_plan;
            QMetaObject::invokeMethod(qApp, [plan] {
                plan->atRead();
                std::lock_guard<std::mutex> lock(plan->m);
                plan->done = true;
                plan->cv.notify_all();
            }, Qt::QueuedConnection);
            std::unique_lock<std::mutex> lock(m_plan->m);
            m_plan->cv.wait(lock, [this] { return m_plan->done; });
        }
        return m_inner->readFrom(dst, offset, count);
    }
    std::int64_t size() const override { return m_inner->size(); }
    int lastError() const override { return m_inner->lastError(); }

private:
    std::unique_ptr<NyxCIOSystemDevice> m_inner;
    std::shared_ptr<Plan> m_plan;
};

// QTRY_* report to Qt Test, not here: waits are asserted through qWaitFor.
class SessionWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        image = dir.filePath("recorder.img");
        QString error;
        ASSERT_TRUE(imagegen::generateImage(image, qint64(24) << 20, 31, &truth, &error)) << error.toStdString();
        scanTargetList().clear();
        CFragmentFit::fragmentSerial = 0;
    }
    void TearDown() override { scanTargetList().clear(); }

    // The playlist's rows, in the order they were added, against the truth.
    static void expectTruth(const CPlayListTableModel* list, const imagegen::Truth& truth)
    {
        ASSERT_EQ(list->rowCount(), truth.size());
        for (int i = 0; i < truth.size(); ++i) {
            const SPlayListTableItem& row = list->rowAt(i);
            EXPECT_EQ(row.iSerial, truth[i].serial);
            EXPECT_EQ(row.sFragmentFit.totalBytes, truth[i].totalBytes) << "serial " << truth[i].serial;
            ASSERT_EQ(row.sFragmentFit.extents->size(), truth[i].extents.size());
            EXPECT_EQ(row.sFragmentFit.extents->first().start, truth[i].extents.first().start);
            EXPECT_EQ(row.sFragmentFit.extents->last().end, truth[i].extents.last().end);
        }
    }

    QTemporaryDir dir;
    QString image;
    imagegen::Truth truth;
    FakeDialogs boxes;
};

} // namespace

TEST_F(SessionWindow, AReopenedSessionListsItsRowsAndAChangedSourceIsRefused)
{
    const QString file = dir.filePath("kept.session");
    keepScan(image, file, 0);
    {
        MainWindow window;
        window.show();
        ASSERT_TRUE(window.openSessionFile(file));
        auto* view = window.findChild<DropTableView*>("playlistView");
        ASSERT_TRUE(view);
        expectTruth(view->listModel, truth);
    }
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(0) && f.write("changed") == 7);
    f.close();
    MainWindow window;
    EXPECT_FALSE(window.openSessionFile(file));
    ASSERT_FALSE(boxes.calls.isEmpty());
    EXPECT_EQ(boxes.calls.last().kind, "warning");
    EXPECT_TRUE(boxes.calls.last().text.contains("已经改变")) << boxes.calls.last().text.toStdString();
    EXPECT_EQ(window.findChild<DropTableView*>("playlistView")->listModel->rowCount(), 0);
}

TEST_F(SessionWindow, AnUnfinishedScanIsContinuedAfterTheQuestion)
{
    // The window's own session for this image, as a window closed mid-scan left it.
    SourceIdentity id;
    QString why;
    ASSERT_TRUE(identifySource(QFile::encodeName(image), &id, &why));
    QDir().mkpath(sessionsFolder());
    keepScan(image, sessionFileFor(id), 3);

    MainWindow window;
    window.show();
    scanTargetList() = {ScanTarget{image, id.size, 0}};
    boxes.confirmAnswer = QMessageBox::Yes;
    QMetaObject::invokeMethod(&window, "AddScanDetailInfo");
    QMetaObject::invokeMethod(&window, "ScanStartClicked");
    ASSERT_FALSE(boxes.calls.isEmpty());
    EXPECT_EQ(boxes.calls.first().kind, "question");
    EXPECT_TRUE(boxes.calls.first().text.contains("继续")) << boxes.calls.first().text.toStdString();
    auto* list = window.findChild<DropTableView*>("playlistView")->listModel;
    EXPECT_GT(list->rowCount(), 0); // the saved rows, at once
    EXPECT_LT(list->rowCount(), truth.size());
    auto* status = qobject_cast<QLabel*>(window.findChild<QTableWidget*>("scanTable")->cellWidget(0, 6));
    ASSERT_TRUE(status);
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == QStringLiteral("   扫描结束..."); }, kLong));
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->rowCount() >= truth.size(); }, kLong)) << list->rowCount();
    expectTruth(list, truth);
}

// Stopped with 结束 and continued with 开始 in the same window: the rows,
// serials included, are those of one whole scan, none listed twice, also
// those of fragments the stop sent open and the continued scan closed.
TEST_F(SessionWindow, AScanStoppedAndContinuedInTheWindowListsEachFragmentOnce)
{
    auto plan = std::make_shared<HoldAtRead::Plan>();
    plan->left = 5;
    nyxSetDeviceFactory([plan](const QByteArray& path) -> std::unique_ptr<NyxCIOSystemDevice> {
        auto dev = nyxMakePosixDevice(nyxDevicePathToFile(path));
        if (!dev)
            return dev;
        return std::make_unique<HoldAtRead>(std::move(dev), plan);
    });
    QDir().mkpath(sessionsFolder());
    SourceIdentity id;
    QString why;
    ASSERT_TRUE(identifySource(QFile::encodeName(image), &id, &why));
    QFile::remove(sessionFileFor(id));

    MainWindow window;
    window.show();
    scanTargetList() = {ScanTarget{image, id.size, 0}};
    boxes.confirmAnswer = QMessageBox::Yes;
    QMetaObject::invokeMethod(&window, "AddScanDetailInfo");
    auto* table = window.findChild<QTableWidget*>("scanTable");
    auto* stop = qobject_cast<QPushButton*>(table->cellWidget(0, 5));
    ASSERT_TRUE(stop);
    plan->atRead = [stop] { stop->click(); };
    QMetaObject::invokeMethod(&window, "ScanStartClicked");
    auto* status = qobject_cast<QLabel*>(table->cellWidget(0, 6));
    auto* list = window.findChild<DropTableView*>("playlistView")->listModel;
    ASSERT_TRUE(QTest::qWaitFor([&] { return plan->done; }, kLong));
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == QStringLiteral("   扫描结束..."); }, kLong));
    // The row's session takes the stop's point when the scan has ended.
    ASSERT_TRUE(MainWindowTestAccess::row(window, 0)->waitThreads(kLong));
    QCoreApplication::processEvents();
    EXPECT_LT(list->rowCount(), truth.size());
    // What a stop sends besides: the fragments still open, numbered on.
    QString why2;
    const ScanResumePoint point = ScanSession::open(sessionFileFor(id), &why2)->resumePoint();
    ASSERT_FALSE(point.open.isEmpty()) << point.position;
    for (const SFragmentFit& f : point.open)
        ASSERT_TRUE(QMetaObject::invokeMethod(&window, "slotAddPlayList", Qt::DirectConnection, Q_ARG(SFragmentFit, f),
                                              Q_ARG(int, ++CFragmentFit::fragmentSerial)));

    QMetaObject::invokeMethod(&window, "ScanStartClicked");
    ASSERT_FALSE(boxes.calls.isEmpty());
    EXPECT_TRUE(boxes.calls.last().text.contains("继续")) << boxes.calls.last().text.toStdString();
    auto finished = [&] {
        std::unique_ptr<ScanSession> s = ScanSession::open(sessionFileFor(id), &why);
        return s && s->info().finished;
    };
    ASSERT_TRUE(QTest::qWaitFor(finished, kLong));
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->rowCount() >= truth.size(); }, kLong)) << list->rowCount();
    // Rows still queued behind the last are listed too before the check.
    for (int i = 0; i < 100; ++i)
        QCoreApplication::processEvents();
    nyxSetDeviceFactory({});
    expectTruth(list, truth);
}
