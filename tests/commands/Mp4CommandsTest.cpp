// The playlist's MP4 commands through the recording dialogs: playable files
// checked by ffprobe, and a merge of different streams refused by name.
#include "FakeDialogs.h"
#include "media/MediaSupport.h"

#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace mediatest;

namespace {

class Mp4Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveFfmpeg())
            GTEST_SKIP() << "ffmpeg and ffprobe are needed";
        ASSERT_TRUE(out.isValid());
        h264 = disk.add(encode({"h264", 30, 2, 320, 240}));
        hevc = disk.add(encode({"hevc", 15, 2, 352, 288}));
        disk.install();
        playlist = window.findChild<DropTableView*>("playlistView");
        ASSERT_TRUE(playlist);
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, h264), Q_ARG(int, 1));
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, hevc), Q_ARG(int, 2));
        ASSERT_EQ(playlist->listModel->rowCount(), 2);
    }
    void select(const QList<int>& rows)
    {
        playlist->clearSelection();
        for (int r : rows)
            playlist->selectionModel()->select(playlist->sortProxy->mapFromSource(playlist->listModel->index(r, 0)),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QStringList waitForResult()
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !fake.results().isEmpty(); }, 60000));
        return fake.results();
    }

    Disk disk;
    SFragmentFit h264, hevc;
    FakeDialogs fake;
    MainWindow window;
    DropTableView* playlist = nullptr;
    QTemporaryDir out;
};

TEST_F(Mp4Commands, ExportWritesPlayableFilesOnePerRow)
{
    select({0, 1});
    fake.directoryAnswer = out.path();
    QMetaObject::invokeMethod(&window, "ExportItemMp4");
    EXPECT_EQ(waitForResult(), QStringList{"成功"});
    const QStringList files = QDir(out.path()).entryList({"*.mp4"}, QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(probeFile(out.filePath(files[0]))["nb_read_frames"].toInt(), 60);
    EXPECT_EQ(probeFile(out.filePath(files[1]))["codec_name"], "hevc");
}

TEST_F(Mp4Commands, MergeOfDifferentStreamsIsRefusedNamingThem)
{
    select({0, 1});
    fake.saveAnswer = out.filePath("both.mp4");
    QMetaObject::invokeMethod(&window, "PlayListMergeMp4");
    EXPECT_EQ(waitForResult(), QStringList{"失败"});
    QString warning;
    for (const DialogCall& c : fake.calls)
        if (c.kind == "warning")
            warning = c.text;
    EXPECT_TRUE(warning.contains("fragment 1") && warning.contains("fragment 2")) << warning.toStdString();
    EXPECT_FALSE(QFile::exists(fake.saveAnswer));
}

TEST_F(Mp4Commands, TooltipGivesDurationAndPicture)
{
    const QModelIndex ix = playlist->listModel->index(0, 1);
    EXPECT_TRUE(playlist->listModel->data(ix, Qt::ToolTipRole).toString().contains("生成中"));
    QString tip;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        tip = playlist->listModel->data(ix, Qt::ToolTipRole).toString();
        return tip.contains("<img");
    }, 30000)) << tip.toStdString();
    EXPECT_TRUE(tip.contains("00:00:02")) << tip.toStdString();
}

} // namespace
