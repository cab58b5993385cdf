// The main window's chrome on the offscreen platform: maximising, dragging,
// closing, help, the context menu, hover colours and the placement of panels.

#include "app/AppSetup.h"
#include "gui/Dialogs.h"
#include "support/FakeDialogs.h"
#include "support/WaitFor.h"
#include "app/MainWindow.h"
#include "app/MyButton.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#define EXPECT_EVENTUALLY_EQ(a, b) EXPECT_SOON_EQ(a, b, 5000)

namespace {

// Receives what the window hands to the desktop's default handler.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void sendMouse(QWidget* w, QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, QPointF(local), QPointF(local), QPointF(w->mapToGlobal(local)), button, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// Sends a right click at local position pos and returns the texts of the menu
// that opened, or an empty list when none did. Any menu is closed again.
QStringList rightClickMenu(QWidget* w, QPoint pos)
{
    QStringList seen;
    bool checked = false;
    QTimer::singleShot(300, [&] {
        checked = true;
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* a : menu->actions())
                seen << a->text();
            menu->close();
        }
    });
    QContextMenuEvent e(QContextMenuEvent::Mouse, pos, w->mapToGlobal(pos));
    QApplication::sendEvent(w, &e);
    while (!checked)
        settle(50);
    return seen;
}

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        corvoInitApplication();
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void SetUp() override
    {
        fake.confirmAnswer = QMessageBox::No; // the window stays unless a test says yes
        window = new MainWindow;
        corvoApplyWindowPalette(window);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }
    void TearDown() override
    {
        delete window;
        setDialogs(nullptr);
    }
    template <class T = QWidget>
    T* child(const char* name)
    {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    QPoint titleBarPoint()
    {
        QWidget* bar = child("titleBar");
        return bar ? QPoint(bar->geometry().center().x() / 2, 20) : QPoint();
    }

    FakeDialogs fake;
    MainWindow* window = nullptr;
};

} // namespace

TEST_F(MainWindowTest, DoubleClickInTitleBarTogglesMaximisedAndBack)
{
    ASSERT_NE(child("titleBar"), nullptr);
    const QSize normalSize = window->size();
    ASSERT_FALSE(window->isMaximized());

    sendMouse(window, QEvent::MouseButtonDblClick, titleBarPoint(), Qt::LeftButton, Qt::LeftButton);
    EXPECT_TRUE(window->isMaximized());

    sendMouse(window, QEvent::MouseButtonDblClick, titleBarPoint(), Qt::LeftButton, Qt::LeftButton);
    EXPECT_FALSE(window->isMaximized());
    EXPECT_EVENTUALLY_EQ(window->size(), normalSize);

    // Below the title bar a double click is not the window's business.
    sendMouse(window, QEvent::MouseButtonDblClick, QPoint(500, 400), Qt::LeftButton, Qt::LeftButton);
    EXPECT_FALSE(window->isMaximized());
}

TEST_F(MainWindowTest, MaximiseButtonTogglesLikeTheTitleBar)
{
    auto* max = child<QPushButton>("maxButton");
    ASSERT_NE(max, nullptr);
    max->click();
    EXPECT_TRUE(window->isMaximized());
    max->click();
    EXPECT_FALSE(window->isMaximized());
}

TEST_F(MainWindowTest, LeftDragMovesTheWindowStepByStep)
{
    window->move(40, 30);
    EXPECT_EVENTUALLY_EQ(window->pos(), QPoint(40, 30));
    const QPoint grip(300, 20);

    sendMouse(window, QEvent::MouseButtonPress, grip, Qt::LeftButton, Qt::LeftButton);
    sendMouse(window, QEvent::MouseMove, grip + QPoint(25, 15), Qt::NoButton, Qt::LeftButton);
    EXPECT_EVENTUALLY_EQ(window->pos(), QPoint(65, 45));
    // Positions are relative to where the window now is; the grip stays put under the mouse.
    sendMouse(window, QEvent::MouseMove, grip + QPoint(10, 5), Qt::NoButton, Qt::LeftButton);
    EXPECT_EVENTUALLY_EQ(window->pos(), QPoint(75, 50));

    sendMouse(window, QEvent::MouseButtonRelease, grip, Qt::LeftButton, Qt::NoButton);
    sendMouse(window, QEvent::MouseMove, grip + QPoint(50, 50), Qt::NoButton, Qt::LeftButton);
    settle(50);
    EXPECT_EQ(window->pos(), QPoint(75, 50)) << "moved after the button was released";
}

TEST_F(MainWindowTest, MoveWithoutTheLeftButtonDoesNotDrag)
{
    window->move(40, 30);
    EXPECT_EVENTUALLY_EQ(window->pos(), QPoint(40, 30));
    sendMouse(window, QEvent::MouseButtonPress, QPoint(300, 20), Qt::RightButton, Qt::RightButton);
    sendMouse(window, QEvent::MouseMove, QPoint(340, 60), Qt::NoButton, Qt::RightButton);
    settle(50);
    EXPECT_EQ(window->pos(), QPoint(40, 30));
}

TEST_F(MainWindowTest, MaximisedWindowDoesNotDrag)
{
    QMetaObject::invokeMethod(window, "maxWindowEvent");
    ASSERT_TRUE(window->isMaximized());
    settle(50);
    const QRect before = window->geometry();
    sendMouse(window, QEvent::MouseButtonPress, QPoint(300, 20), Qt::LeftButton, Qt::LeftButton);
    sendMouse(window, QEvent::MouseMove, QPoint(360, 80), Qt::NoButton, Qt::LeftButton);
    settle(50);
    EXPECT_EQ(window->geometry(), before);
}

TEST_F(MainWindowTest, CloseQuestionNoKeepsTheWindowYesCloses)
{
    auto* close = child<QPushButton>("closeButton");
    ASSERT_NE(close, nullptr);
    fake.confirmAnswer = QMessageBox::No;
    close->click();
    ASSERT_EQ(fake.calls.size(), 1);
    const DialogCall& q = fake.calls[0];
    EXPECT_EQ(q.kind, "question");
    EXPECT_EQ(q.parent, window);
    EXPECT_EQ(q.caption, QString("提示 "));
    EXPECT_EQ(q.text, QString("是否关闭程序?"));
    EXPECT_EQ(q.options, int(QMessageBox::Yes | QMessageBox::No));
    EXPECT_EQ(q.defaultButton, int(QMessageBox::Yes)) << "Enter must answer Yes";
    EXPECT_TRUE(window->isVisible());

    fake.confirmAnswer = QMessageBox::Yes;
    QMetaObject::invokeMethod(window, "closeWindowEvent");
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, HelpShowsTheWelcomeOpensTheManualWithAReaderAndOtherwiseSaysWhy)
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    const QString savedCwd = QDir::currentPath();
    const QByteArray savedPath = qgetenv("PATH");
    QTemporaryDir dir;
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    // A CHM reader is installed: only its presence counts, the desktop opens the file.
    QFile viewer(dir.filePath("xchm"));
    ASSERT_TRUE(viewer.open(QIODevice::WriteOnly));
    viewer.close();
    viewer.setPermissions(viewer.permissions() | QFileDevice::ExeOwner);
    qputenv("PATH", dir.path().toLocal8Bit());
    const QStringList savedGuides = MainWindow::helpGuidePlaces();
    const QString guide = dir.filePath("html/index.html");
    MainWindow::helpGuidePlaces() = QStringList{guide};

    child<QPushButton>("helpButton")->click();
    ASSERT_EQ(fake.calls.size(), 2);
    EXPECT_EQ(fake.calls[0].kind, "information");
    EXPECT_EQ(fake.calls[0].parent, nullptr);
    EXPECT_EQ(fake.calls[0].caption, QString("帮助"));
    EXPECT_EQ(fake.calls[0].options, int(QMessageBox::Ok));
    EXPECT_TRUE(fake.calls[0].text.startsWith(
        "欢迎使用MarzenTKL监控视频恢复软件。本软件用于恢复TKL监控视频文件！能恢复误删除、误格式化、突然断电等原因导致的TKL监控视频数据丢失！"));
    EXPECT_TRUE(recorder.opened.isEmpty()) << "a missing manual was handed to the desktop";
    EXPECT_EQ(fake.calls[1].kind, "warning");
    EXPECT_TRUE(fake.calls[1].text.contains(dir.filePath("TKL使用手册.chm"))) << qPrintable(fake.calls[1].text);
    fake.calls.clear();

    const QString manual = dir.filePath("TKL使用手册.chm");
    QFile f(manual);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    QMetaObject::invokeMethod(window, "HelpDisk");
    EXPECT_EQ(fake.calls.size(), 1);
    ASSERT_EQ(recorder.opened.size(), 1);
    EXPECT_EQ(recorder.opened[0], QUrl::fromLocalFile(manual));

    // No reader: the HTML guide of an installed package, or else the window
    // says why nothing opens.
    viewer.remove();
    QMetaObject::invokeMethod(window, "HelpDisk");
    ASSERT_EQ(fake.calls.size(), 3);
    EXPECT_EQ(fake.calls[2].kind, "warning");
    EXPECT_TRUE(fake.calls[2].text.contains("xchm") && fake.calls[2].text.contains(manual))
        << qPrintable(fake.calls[2].text);
    EXPECT_EQ(recorder.opened.size(), 1);
    ASSERT_TRUE(QDir(dir.path()).mkpath("html"));
    QFile page(guide);
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.close();
    QMetaObject::invokeMethod(window, "HelpDisk");
    EXPECT_EQ(fake.calls.size(), 4) << "only the welcome box";
    EXPECT_EQ(recorder.opened.value(1), QUrl::fromLocalFile(guide));

    MainWindow::helpGuidePlaces() = savedGuides;
    qputenv("PATH", savedPath);
    QDir::setCurrent(savedCwd);
    QDesktopServices::unsetUrlHandler("file");
}

TEST_F(MainWindowTest, StatusBarLinksOpenThroughTheDesktop)
{
    auto* label = child<QLabel>("statusLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().contains("MarzenTKL监控恢复V6.8"));
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    QDesktopServices::setUrlHandler("mailto", &recorder, "open");
    // Every link the label shows must reach the handler.
    QRegularExpression href("href=\"([^\"]+)\"");
    auto it = href.globalMatch(label->text());
    int links = 0;
    while (it.hasNext()) {
        const QString url = it.next().captured(1);
        QMetaObject::invokeMethod(label, "linkActivated", Q_ARG(QString, url));
        ASSERT_EQ(recorder.opened.size(), ++links);
        EXPECT_EQ(recorder.opened.last(), QUrl(url));
    }
    EXPECT_GT(links, 0);
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("mailto");
}

TEST_F(MainWindowTest, NoContextMenuOutsideThePlaylistView)
{
    EXPECT_TRUE(rightClickMenu(window, titleBarPoint()).isEmpty());
    EXPECT_TRUE(rightClickMenu(window, QPoint(window->width() - 50, window->height() - 60)).isEmpty());
    QWidget* scanTable = child("scanTable");
    ASSERT_NE(scanTable, nullptr);
    EXPECT_TRUE(rightClickMenu(window, scanTable->mapTo(window, scanTable->rect().center())).isEmpty());
}

TEST_F(MainWindowTest, ContextMenuOverThePlaylistView)
{
    QWidget* view = child("playlistView");
    ASSERT_NE(view, nullptr);
    const QPoint inView = view->mapTo(window, view->rect().center());
    EXPECT_EQ(rightClickMenu(window, inView), (QStringList{"排序", "删除", "导出", "预览", "合并", "导出MP4", "合并导出MP4"}));
}

TEST_F(MainWindowTest, ShortcutsClickTheCommandButtons)
{
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QSignalSpy selectDisk(child<QPushButton>("selectDiskButton"), &QPushButton::clicked);
    QSignalSpy merge(child<QPushButton>("mergeButton"), &QPushButton::clicked);
    // A shortcut animates the click, so clicked() comes a moment later.
    QTest::keyClick(window, Qt::Key_E, Qt::ControlModifier);
    EXPECT_EVENTUALLY_EQ(selectDisk.count(), 1);
    EXPECT_EQ(merge.count(), 0);
    // Ctrl+E opened the disk dialog, which takes the focus whenever its
    // activation is served; a shortcut goes to the window the user is in.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != window && w->isVisible())
            w->hide();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_R, Qt::ControlModifier);
    EXPECT_EVENTUALLY_EQ(merge.count(), 1);
    EXPECT_EQ(selectDisk.count(), 1);
    // Close any dialog a landed panel opened in reply.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != window && w->isVisible())
            w->hide();
}

TEST_F(MainWindowTest, HoverTurnsCommandTextRedAndBackWhite)
{
    for (const char* name : {"selectDiskButton", "mergeButton", "helpButton"}) {
        auto* b = child<MyButton>(name);
        ASSERT_NE(b, nullptr) << name;
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(b, &enter);
        EXPECT_EQ(b->palette().color(QPalette::Active, QPalette::ButtonText), QColor(Qt::red)) << name;
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(b, &leave);
        EXPECT_EQ(b->palette().color(QPalette::Active, QPalette::ButtonText), QColor(Qt::white)) << name;
    }
}

TEST_F(MainWindowTest, DisabledButtonStaysWhiteUnderTheMouse)
{
    auto* b = child<MyButton>("selectDiskButton");
    ASSERT_NE(b, nullptr);
    b->setEnabled(false);
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(b, &enter);
    EXPECT_EQ(b->palette().color(QPalette::Active, QPalette::ButtonText), QColor(Qt::white));
    EXPECT_EQ(b->palette().color(QPalette::Disabled, QPalette::ButtonText), QColor(Qt::white));
}

TEST_F(MainWindowTest, ChromeIsFramelessAndSized)
{
    EXPECT_EQ(window->windowFlags() & ~Qt::Window, Qt::CustomizeWindowHint);
    EXPECT_EQ(window->minimumSize(), QSize(1095, 780));
    QWidget* bar = child("titleBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->geometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(bar->height(), 50);
    EXPECT_GE(bar->width(), window->width()) << "the strip ends before the window does";
    window->resize(2400, 800);
    EXPECT_EVENTUALLY_EQ(window->width(), 2400);
    EXPECT_GE(bar->width(), window->width()) << "the strip ends before the resized window does";
    for (const char* name : {"logoButton", "selectDiskButton", "mergeButton", "helpButton", "minButton", "maxButton",
                             "closeButton", "statusLabel"}) {
        QWidget* w = child(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_TRUE(w->isVisible()) << name;
    }
    // The title row's buttons lie within the title bar's strip.
    for (const char* name : {"logoButton", "selectDiskButton", "closeButton"}) {
        QWidget* w = child(name);
        const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
        EXPECT_LE(r.bottom(), 50) << name;
    }
}

TEST_F(MainWindowTest, EveryPanelHasItsPlaceInTheCentralWidget)
{
    for (const char* name : {"scanLabel", "videoLabel", "playlistView", "PlayWin", "scanTable"}) {
        QWidget* place = child(name);
        ASSERT_NE(place, nullptr) << name;
        EXPECT_TRUE(window->centralWidget()->isAncestorOf(place)) << name;
        EXPECT_TRUE(place->isVisible()) << name;
        EXPECT_GT(place->width(), 0) << name;
        EXPECT_GT(place->height(), 0) << name;
    }
}

TEST_F(MainWindowTest, SelectFileHidesAndShowsTheScanTable)
{
    QWidget* table = child("scanTable");
    ASSERT_NE(table, nullptr);
    QMetaObject::invokeMethod(window, "slotSelectFile");
    EXPECT_FALSE(table->isVisible());
    EXPECT_TRUE(window->isMaximized());
    QMetaObject::invokeMethod(window, "slotSelectFile");
    EXPECT_TRUE(table->isVisible());
}

#include "test_mainwindow.moc"
