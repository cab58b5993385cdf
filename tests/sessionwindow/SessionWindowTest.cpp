// Sessions in the window: a saved session reopened lists its rows; an
// unfinished one is continued after the question, and its rows then equal
// one whole scan's, serials included; a changed source is refused.
#include "../commands/FakeDialogs.h"

#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"
#include "disk/Nyx.h"
#include "disk/widget.h"
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"
#include "tools/imagegen/ImageGen.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

constexpr int kLong = 30000;

// Keeps a scan of `image` in `file`, stopped after `checkpoints` saved
// points (0: to the end).
void keepScan(const QString& image, const QString& file, int checkpoints)
{
    const QByteArray name = QFile::encodeName(image);
    SourceIdentity id;
    QString why;
    ASSERT_TRUE(identifySource(name, &id, &why)) << why.toStdString();
    std::unique_ptr<ScanSession> s = ScanSession::create(file, id, 0, id.size, &why);
    ASSERT_TRUE(s) << why.toStdString();
    s->setCommitInterval(0);
    CFragmentFit scan;
    int seen = 0;
    QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                     [&](SFragmentFit f, int serial) { s->fragmentSent(serial, f); }, Qt::DirectConnection);
    QObject::connect(&scan, &CFragmentFit::TransmitCheckpoint, &scan,
                     [&](ScanResumePoint p) {
                         s->checkpoint(p);
                         if (++seen == checkpoints)
                             scan.stop();
                     },
                     Qt::DirectConnection);
    scan.setDevicePath(nyxDevicePathForName(name).constData());
    scan.setRange(0, id.size);
    scan.setCheckpoints(true);
    CFragmentFit::fragmentSerial = 0;
    scan.start();
    ASSERT_TRUE(scan.wait(kLong));
    ASSERT_EQ(s->info().finished, checkpoints == 0);
}

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
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("   扫描结束..."), kLong);
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), truth.size(), kLong);
    expectTruth(list, truth);
}
