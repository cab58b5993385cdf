// The main window's play commands, through the real window, playlist and
// playback panel: what gets played is read back from the preview file the
// recording km2 stand-in is started on.
#include "PlayerLog.h"
#include "gui/Dialogs.h"
#include "app/MainWindow.h"
#include "app/panels/PlayListPanel.h"
#include "app/panels/PreviewPanel.h"
#include "app/panels/PlayListModel.h"
#include "app/panels/ScanState.h"
#include "disk/Nyx.h"
#include "player/PlayWin.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTemporaryDir>

class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& w) : w(w) {}
    CPlayListTableModel* model() { return w.m_playlist->model(); }
    QAbstractProxyModel* proxy() { return w.m_playlist->proxy(); }
    DropTableView* view() { return w.m_playlist->view(); }
    PlayWin* playWin() { return w.m_preview->playWin(); }
    int currentRow() { return w.m_preview->currentPlayRow(); }
    int currentSerial() { return w.m_preview->currentPlayItem().iSerial; }
    bool confirmed() { return w.m_preview->playConfirmed(); }
    MainWindow& w;
};

namespace {
struct FakeDialogs : Dialogs {
    struct Info {
        QWidget* parent;
        QString title, text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
    };
    QList<Info> infos;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton def) override
    {
        infos << Info{parent, title, text, buttons, def};
        return answer;
    }
    QMessageBox::StandardButton question(QWidget*, const QString& t, const QString&, QMessageBox::StandardButtons,
                                         QMessageBox::StandardButton) override
    {
        ADD_FAILURE() << "unexpected question " << t.toStdString();
        return QMessageBox::No;
    }
    QMessageBox::StandardButton warning(QWidget*, const QString& t, const QString&, QMessageBox::StandardButtons,
                                        QMessageBox::StandardButton) override
    {
        ADD_FAILURE() << "unexpected warning " << t.toStdString();
        return QMessageBox::No;
    }
};

constexpr int kBlock = 4096;
constexpr int kFragmentBytes = 1000;

// Fragment with serial s lies at s * kBlock on "memdisk", whose block s holds
// the byte s: the preview file tells which serial was played.
SFragmentFit fragment(int serial, qint64 totalBytes)
{
    SFragmentFit f;
    f.diskName = "memdisk";
    f.totalBytes = totalBytes;
    f.frameCount = 1;
    f.extents = std::make_shared<const SExtentList>(
        SExtentList{{qint64(serial) * kBlock, qint64(serial) * kBlock + kFragmentBytes}});
    return f;
}

class PlayCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_log = m_dir.path() + "/km2.log";
        qputenv("KM2_LOG", m_log.toLocal8Bit());
        m_oldPath = qgetenv("PATH");
        qputenv("PATH", QByteArray(CORVO_BINARY_DIR "/tests/fakekm2:") + m_oldPath);
        QByteArray disk(kBlock * 16, '\0');
        for (int s = 0; s < 16; ++s)
            disk.replace(s * kBlock, kBlock, QByteArray(kBlock, char(s)));
        nyxSetDeviceFactory([disk](const QByteArray& path) -> std::unique_ptr<NyxCIOSystemDevice> {
            if (path == nyxDevicePathForName("memdisk"))
                return std::make_unique<MemoryDevice>(disk);
            return nyxMakePosixDevice(nyxDevicePathToFile(path));
        });
        setDialogs(&m_dialogs);
        cScanState = 'Y';
        m_window = std::make_unique<MainWindow>();
        m_access = std::make_unique<MainWindowTestAccess>(*m_window);
        ASSERT_TRUE(m_access->model() && m_access->proxy() && m_access->view() && m_access->playWin());
    }
    void TearDown() override
    {
        m_access.reset();
        m_window.reset();
        setDialogs(nullptr);
        nyxSetDeviceFactory({});
        qputenv("PATH", m_oldPath);
        cScanState = 'Y';
    }

    // Rows with serials 1..n; sizes chosen so that size order differs from serial order.
    void addRows(int n)
    {
        static const qint64 sizes[] = {0, 2, 4, 1, 3, 6, 5};
        for (int s = 1; s <= n; ++s)
            m_access->model()->addRow(fragment(s, sizes[s] << 20), s);
    }
    int serialAtView(int viewRow)
    {
        const QModelIndex src = m_access->proxy()->mapToSource(m_access->proxy()->index(viewRow, 0));
        return m_access->model()->item(src.row()).iSerial;
    }
    // The serial the next player start plays, or -1 when nothing starts.
    int played()
    {
        const std::size_t before = m_starts;
        if (!waitUntil([&] { return PlayerLog::read(m_log).starts.size() > before; }, 5000))
            return -1;
        m_starts = PlayerLog::read(m_log).starts.size();
        QFile f(PlayWin::previewFilePath());
        if (!f.open(QIODevice::ReadOnly))
            return -2;
        const QByteArray bytes = f.readAll();
        if (bytes.size() != kFragmentBytes || bytes.count(bytes.at(0)) != kFragmentBytes)
            return -3;
        return bytes.at(0);
    }
    bool nothingPlayed()
    {
        waitUntil([] { return false; }, 300);
        return PlayerLog::read(m_log).starts.size() == m_starts;
    }
    void invoke(const char* slot) { ASSERT_TRUE(QMetaObject::invokeMethod(m_window.get(), slot)); }
    void doubleClick(int row, int column = 0)
    {
        ASSERT_TRUE(QMetaObject::invokeMethod(m_window.get(), "PlayListDoubleClicked", Q_ARG(int, row),
                                              Q_ARG(int, column)));
    }

    QTemporaryDir m_dir;
    QString m_log;
    QByteArray m_oldPath;
    FakeDialogs m_dialogs;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<MainWindowTestAccess> m_access;
    std::size_t m_starts = 0;
};
} // namespace

TEST_F(PlayCommands, EmptyPlaylistDoesNothingEvenDuringAScan)
{
    cScanState = 'N';
    invoke("slotDownStep");
    invoke("slotUpStep");
    invoke("slotPlay");
    doubleClick(0);
    EXPECT_TRUE(nothingPlayed());
    EXPECT_TRUE(m_dialogs.infos.isEmpty());
    EXPECT_EQ(m_access->currentRow(), -1);
    EXPECT_FALSE(m_access->confirmed());
}

TEST_F(PlayCommands, FreshStartStartDoesNothingNextAndPreviousPlayTheFirstDisplayedRow)
{
    addRows(4);
    m_access->proxy()->sort(2, Qt::DescendingOrder); // displayed: 2, 4, 1, 3
    ASSERT_EQ(serialAtView(0), 2);
    invoke("slotPlay");
    EXPECT_TRUE(nothingPlayed());
    invoke("slotUpStep");
    EXPECT_EQ(played(), 2);
    EXPECT_EQ(m_access->currentRow(), 1); // the model row, not the view row
    EXPECT_EQ(m_access->currentSerial(), 2);

    m_window = std::make_unique<MainWindow>();
    m_access = std::make_unique<MainWindowTestAccess>(*m_window);
    addRows(4);
    m_access->proxy()->sort(2, Qt::DescendingOrder);
    m_window->findChild<QPushButton*>("pushButton_4")->click(); // Next, through the panel's button
    EXPECT_EQ(played(), 2);
}

TEST_F(PlayCommands, NextWrapsToTheFirstAndPreviousStaysOnTheFirst)
{
    addRows(3);
    m_access->proxy()->sort(2, Qt::DescendingOrder); // displayed: 2, 1, 3
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        m_window->findChild<QPushButton*>("pushButton_4")->click();
        seen.push_back(played());
    }
    EXPECT_EQ(seen, (std::vector<int>{2, 1, 3, 2}));
    m_window->findChild<QPushButton*>("PlayLast")->click();
    EXPECT_EQ(played(), 2) << "Previous on the first displayed row plays it again";
    invoke("slotDownStep");
    EXPECT_EQ(played(), 1);
    invoke("slotDownStep");
    EXPECT_EQ(played(), 3);
    invoke("slotUpStep");
    EXPECT_EQ(played(), 1);
    EXPECT_TRUE(m_dialogs.infos.isEmpty());
}

TEST_F(PlayCommands, ResortedOrderIsFollowedFromTheCurrentRowsNewPlace)
{
    addRows(6);
    m_access->proxy()->sort(2, Qt::DescendingOrder); // sizes 2 4 1 3 6 5 -> displayed 5, 6, 2, 4, 1, 3
    doubleClick(3);
    EXPECT_EQ(played(), 4);
    m_access->proxy()->sort(1, Qt::AscendingOrder); // names differ by serial: 1..6
    invoke("slotDownStep");
    EXPECT_EQ(played(), 5);
    invoke("slotUpStep");
    EXPECT_EQ(played(), 4);
}

TEST_F(PlayCommands, ScanQuestionOnEveryDoubleClickAndOnStartUntilTheFirstDoubleClickPlay)
{
    addRows(3);
    cScanState = 'N';
    invoke("slotDownStep"); // never asks
    EXPECT_EQ(played(), m_access->currentSerial());
    EXPECT_TRUE(m_dialogs.infos.isEmpty());

    invoke("slotPlay"); // not yet confirmed: asks
    ASSERT_EQ(m_dialogs.infos.size(), 1);
    const FakeDialogs::Info& q = m_dialogs.infos[0];
    EXPECT_EQ(q.parent, nullptr);
    EXPECT_EQ(q.title, QStringLiteral("提示 "));
    EXPECT_EQ(q.text, QStringLiteral("扫描过程中播放视频会影响扫描速度\n 确定播放吗?\n"));
    EXPECT_EQ(q.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(q.defaultButton, QMessageBox::Yes);
    EXPECT_EQ(played(), m_access->currentSerial());

    doubleClick(2);
    EXPECT_EQ(m_dialogs.infos.size(), 2);
    EXPECT_EQ(played(), serialAtView(2));
    EXPECT_TRUE(m_access->confirmed());
    doubleClick(1);
    EXPECT_EQ(m_dialogs.infos.size(), 3);
    EXPECT_EQ(played(), serialAtView(1));

    invoke("slotPlay"); // confirmed now: no more question on Start
    EXPECT_EQ(played(), serialAtView(1));
    invoke("slotUpStep");
    EXPECT_EQ(played(), serialAtView(0));
    EXPECT_EQ(m_dialogs.infos.size(), 3);

    cScanState = 'Y'; // paused or no scan: nobody is asked
    doubleClick(2);
    EXPECT_EQ(played(), serialAtView(2));
    EXPECT_EQ(m_dialogs.infos.size(), 3);
}

TEST_F(PlayCommands, PausedScanNeverAsksAndStartBeforeDoubleClickPlays)
{
    addRows(2);
    cScanState = 'Y';
    invoke("slotDownStep");
    EXPECT_EQ(played(), serialAtView(0));
    invoke("slotPlay");
    EXPECT_EQ(played(), serialAtView(0));
    doubleClick(1);
    EXPECT_EQ(played(), serialAtView(1));
    EXPECT_TRUE(m_dialogs.infos.isEmpty());
}

TEST_F(PlayCommands, AnsweringNoChangesNothing)
{
    addRows(3);
    invoke("slotDownStep");
    ASSERT_EQ(played(), serialAtView(0));
    const int row = m_access->currentRow();
    const int serial = m_access->currentSerial();

    cScanState = 'N';
    m_dialogs.answer = QMessageBox::No;
    doubleClick(2);
    invoke("slotPlay");
    EXPECT_EQ(m_dialogs.infos.size(), 2);
    EXPECT_TRUE(nothingPlayed());
    EXPECT_EQ(m_access->currentRow(), row);
    EXPECT_EQ(m_access->currentSerial(), serial);
    EXPECT_FALSE(m_access->confirmed());
}

TEST_F(PlayCommands, StartPlaysTheRememberedCopyAfterItsRowWasDeleted)
{
    addRows(3); // unsorted view: model order 1, 2, 3
    m_access->proxy()->sort(-1);
    invoke("slotDownStep");
    EXPECT_EQ(played(), 1);
    invoke("slotDownStep");
    EXPECT_EQ(played(), 2);
    ASSERT_EQ(m_access->currentRow(), 1);

    m_access->model()->deleteRow(0); // rows now 2, 3; row 1 holds serial 3
    invoke("slotPlay");
    EXPECT_EQ(played(), 2) << "the copy taken when the row was chosen";
    m_access->model()->deleteRow(0); // one row left: row 1 is past the end
    invoke("slotPlay");
    EXPECT_TRUE(nothingPlayed());
}

TEST_F(PlayCommands, DoubleClickOnAnyColumnPlaysThatRowSingleClickAndStopDoNot)
{
    addRows(3);
    m_access->proxy()->sort(2, Qt::DescendingOrder);
    DropTableView* view = m_access->view();
    const QModelIndex cell = m_access->proxy()->index(1, 3);
    ASSERT_TRUE(QMetaObject::invokeMethod(view, "doubleClicked", Q_ARG(QModelIndex, cell)));
    EXPECT_EQ(played(), serialAtView(1));

    const int row = m_access->currentRow();
    ASSERT_TRUE(QMetaObject::invokeMethod(view, "clicked", Q_ARG(QModelIndex, m_access->proxy()->index(2, 0))));
    m_window->findChild<QPushButton*>("Stop")->click();
    EXPECT_TRUE(nothingPlayed());
    EXPECT_EQ(m_access->currentRow(), row);
    m_window->findChild<QPushButton*>("StartOrPause")->click();
    EXPECT_EQ(played(), serialAtView(1));

    doubleClick(5); // past the end
    doubleClick(-1);
    EXPECT_TRUE(nothingPlayed());
    EXPECT_EQ(m_access->currentRow(), row);
}
