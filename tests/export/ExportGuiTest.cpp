#include "gui/Dialogs.h"
#include "export/CDlgProgress.h"
#include "export/ExportCore.h"
#include "export/VideoInfo.h"
#include "ExportTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

using namespace exporttest;

namespace {

struct Warning {
    QWidget* parent;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    bool onGuiThread;
};

class FakeDialogs : public Dialogs {
public:
    QList<Warning> warnings;
    QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) override
    {
        warnings.append({parent, title, text, buttons, defaultButton,
                         QThread::currentThread() == qApp->thread()});
        return QMessageBox::Ok;
    }
};

struct DialogsGuard {
    FakeDialogs fake;
    DialogsGuard() { setDialogs(&fake); }
    ~DialogsGuard() { setDialogs(nullptr); }
};

// Runs the GUI event loop, deferred deletes included, until cond holds.
bool waitFor(const std::function<bool()>& cond, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

struct ExportGui : ::testing::Test {
    QTemporaryDir tmp;
    QByteArray image = patternBytes(1024 * 1024 + 100, 99);
    QByteArray imagePath;
    DialogsGuard dialogsGuard;
    FactoryGuard factoryGuard;

    void SetUp() override
    {
        imagePath = QFile::encodeName(tmp.filePath("disk.img"));
        ASSERT_TRUE(writeFile(QFile::decodeName(imagePath), image));
    }
};

} // namespace

TEST(CDlgProgressForm, WidgetsGeometryFontsAndTexts)
{
    CDlgProgress dlg;
    EXPECT_EQ(dlg.objectName(), QString("CDlgProgress"));
    EXPECT_EQ(dlg.windowTitle(), QString("CorvoTKL"));
    EXPECT_EQ(dlg.size(), QSize(500, 150));
    EXPECT_EQ(dlg.minimumSize(), QSize(500, 150));
    EXPECT_EQ(dlg.maximumSize(), QSize(500, 150));
    EXPECT_TRUE(dlg.parent() == nullptr);

    auto* bar = dlg.findChild<QProgressBar*>("progressBar");
    auto* btn = dlg.findChild<QPushButton*>("btnClose");
    auto* use = dlg.findChild<QLabel*>("labelUseTime");
    auto* remain = dlg.findChild<QLabel*>("labelRemainTime");
    ASSERT_TRUE(bar && btn && use && remain);
    EXPECT_EQ(bar->geometry(), QRect(10, 20, 491, 31));
    EXPECT_EQ(btn->geometry(), QRect(210, 100, 75, 31));
    EXPECT_EQ(use->geometry(), QRect(50, 60, 161, 31));
    EXPECT_EQ(remain->geometry(), QRect(260, 60, 201, 31));
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(btn->text(), QString("确定"));
    EXPECT_TRUE(use->text().isEmpty());
    EXPECT_TRUE(remain->text().isEmpty());
    for (QWidget* w : {static_cast<QWidget*>(btn), static_cast<QWidget*>(use), static_cast<QWidget*>(remain)}) {
        EXPECT_EQ(w->font().family(), QString("宋体"));
        EXPECT_EQ(w->font().pointSize(), 10);
    }
    // Creation order of the children.
    const QObjectList kids = dlg.children();
    QStringList names;
    for (QObject* o : kids)
        if (o->isWidgetType())
            names << o->objectName();
    EXPECT_EQ(names, QStringList({"progressBar", "btnClose", "labelUseTime", "labelRemainTime"}));
}

TEST(CDlgProgressForm, FirstSecondShowsElapsedOnlyAndFullBar)
{
    CDlgProgress dlg;
    dlg.slotSetValue(1000, 1000);
    EXPECT_EQ(dlg.findChild<QLabel*>("labelUseTime")->text(), QString("已用时间 00:00:00"));
    EXPECT_TRUE(dlg.findChild<QLabel*>("labelRemainTime")->text().isEmpty());
    EXPECT_EQ(dlg.findChild<QProgressBar*>("progressBar")->value(), 100);
    dlg.slotSetValue(3000, 1000);
    EXPECT_EQ(dlg.findChild<QProgressBar*>("progressBar")->value(), 33);
}

TEST(CDlgProgressForm, ButtonHidesTheWindowAndAsksToStop)
{
    CDlgProgress dlg;
    dlg.show();
    QSignalSpy over(&dlg, &CDlgProgress::signalOver);
    dlg.findChild<QPushButton*>("btnClose")->click(); // reaches the slot only through connectSlotsByName
    EXPECT_EQ(over.count(), 1);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(ExportGui, SingleExportWarnsOnTheGuiThreadFailsAndDeletesItself)
{
    const QList<SPlayListTableItem> rows = {makeRow(QFile::encodeName(tmp.filePath("gone.img")), {{0, 100}}, 1),
                                            makeRow(imagePath, {{1000, 300000}}, 2)};
    QPointer<SingleMegerThread> thread = new SingleMegerThread(rows, tmp.path());
    QPointer<CDlgProgress> window = thread->progressWindow();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    QSignalSpy result(thread.data(), &SingleMegerThread::SingleNotify);
    QSignalSpy finished(thread.data(), &SingleMegerThread::exportFinished);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return thread.isNull(); }));
    EXPECT_TRUE(window.isNull());
    // The box's text below 失败 names the file and why.
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.first().at(0).toInt(), 0);
    EXPECT_TRUE(finished.first().at(1).toString().contains(tmp.filePath(ExportCore::singleFileName(rows[0]))));
    EXPECT_TRUE(finished.first().at(1).toString().contains("No such file"));
    ASSERT_EQ(result.count(), 1);
    EXPECT_EQ(result.first().first().toInt(), 0);
    ASSERT_EQ(dialogsGuard.fake.warnings.size(), 1);
    const Warning& w = dialogsGuard.fake.warnings.first();
    EXPECT_EQ(w.parent, nullptr);
    EXPECT_EQ(w.title, QString("警告"));
    EXPECT_EQ(w.text, QString("打开磁盘错误！"));
    EXPECT_EQ(w.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(w.onGuiThread);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath(ExportCore::singleFileName(rows[0]))));
    EXPECT_TRUE(readFile(tmp.filePath(ExportCore::singleFileName(rows[1]))) == expectedBytes(image, rows[1]));
}

TEST_F(ExportGui, SingleExportSucceedsWithProgressInTheWindow)
{
    const QList<SPlayListTableItem> rows = {makeRow(imagePath, {{1000, 300000}}, 1),
                                            makeRow(imagePath, {{0, 102400}}, 2)};
    auto* thread = new SingleMegerThread(rows, tmp.path());
    QPointer<SingleMegerThread> alive = thread;
    QSignalSpy result(thread, &SingleMegerThread::SingleNotify);
    QSignalSpy values(thread, &SingleMegerThread::signalSetValue);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return alive.isNull(); }));
    ASSERT_EQ(result.count(), 1);
    EXPECT_EQ(result.first().first().toInt(), 1);
    ASSERT_GE(values.count(), 1);
    EXPECT_EQ(values.last().at(0).toLongLong(), 299000 + 102400);
    EXPECT_EQ(values.last().at(1).toLongLong(), 299000 + 102400);
    EXPECT_TRUE(dialogsGuard.fake.warnings.isEmpty());
}

TEST_F(ExportGui, MergeWindowStaysAtHundredUntilClosed)
{
    const QList<SPlayListTableItem> rows = {makeRow(imagePath, {{600000, 900000}}, 2),
                                            makeRow(imagePath, {{7, 5000}}, 1)};
    const QString out = tmp.filePath("merged.TKL");
    QPointer<ManyMegerThread> thread = new ManyMegerThread(rows, out);
    QPointer<CDlgProgress> window = thread->progressWindow();
    QSignalSpy result(thread.data(), &ManyMegerThread::ManyNotify);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return result.count() == 1 && thread->isFinished(); }));
    EXPECT_EQ(result.first().first().toInt(), 1);
    waitFor([] { return false; }, 50);
    ASSERT_TRUE(thread && window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->findChild<QProgressBar*>("progressBar")->value(), 100);
    EXPECT_TRUE(readFile(out) == expectedBytes(image, rows[0]) + expectedBytes(image, rows[1]));

    window->findChild<QPushButton*>("btnClose")->click();
    ASSERT_TRUE(waitFor([&] { return thread.isNull(); }));
    EXPECT_TRUE(window.isNull());
}

TEST_F(ExportGui, MergeCancelledEndsAsDoneAtHundredPercent)
{
    const SPlayListTableItem row = makeRow(imagePath, {{0, image.size()}}, 1);
    QPointer<ManyMegerThread> thread = new ManyMegerThread({row, row}, tmp.filePath("m.TKL"));
    QPointer<CDlgProgress> window = thread->progressWindow();
    int barAtResult = -1;
    QObject context;
    QObject::connect(thread.data(), &ManyMegerThread::ManyNotify, &context, [&](int) {
        if (window)
            barAtResult = window->findChild<QProgressBar*>("progressBar")->value();
    });
    QSignalSpy result(thread.data(), &ManyMegerThread::ManyNotify);
    // The button before the first sector: the merge stops right after it.
    window->findChild<QPushButton*>("btnClose")->click();
    thread->start();
    ASSERT_TRUE(waitFor([&] { return thread.isNull(); }));
    ASSERT_EQ(result.count(), 1);
    EXPECT_EQ(result.first().first().toInt(), 1);
    EXPECT_EQ(barAtResult, 100);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL")));
    EXPECT_LT(QFileInfo(tmp.filePath("m.TKL.part")).size(), 2 * image.size());
}

TEST_F(ExportGui, MergeOfAMissingSourceWarnsAndFails)
{
    const QList<SPlayListTableItem> rows = {makeRow(QFile::encodeName(tmp.filePath("gone.img")), {{0, 100}}, 1)};
    QPointer<ManyMegerThread> thread = new ManyMegerThread(rows, tmp.filePath("m.TKL"));
    QSignalSpy result(thread.data(), &ManyMegerThread::ManyNotify);
    thread->start();
    ASSERT_TRUE(waitFor([&] { return result.count() == 1; }));
    EXPECT_EQ(result.first().first().toInt(), 0);
    // The worker posts the box and goes on: it arrives through the event loop.
    ASSERT_TRUE(waitFor([&] { return !dialogsGuard.fake.warnings.isEmpty(); }));
    ASSERT_EQ(dialogsGuard.fake.warnings.size(), 1);
    EXPECT_TRUE(dialogsGuard.fake.warnings.first().onGuiThread);
    EXPECT_EQ(dialogsGuard.fake.warnings.first().text, QString("打开磁盘错误！"));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL")));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL.part")));
    ASSERT_TRUE(waitFor([&] { return thread->isFinished(); }));
    thread->progressWindow()->findChild<QPushButton*>("btnClose")->click();
    EXPECT_TRUE(waitFor([&] { return thread.isNull(); }));
}

TEST_F(ExportGui, MergeWindowClosedByItsFrameDoesNotCancelAndIsCleanedUp)
{
    const SPlayListTableItem row = makeRow(imagePath, {{3, image.size()}}, 1);
    QPointer<ManyMegerThread> thread = new ManyMegerThread({row}, tmp.filePath("m.TKL"));
    QPointer<CDlgProgress> window = thread->progressWindow();
    QSignalSpy result(thread.data(), &ManyMegerThread::ManyNotify);
    window->close(); // the title bar's close, not the button
    thread->start();
    ASSERT_TRUE(waitFor([&] { return thread.isNull(); }));
    EXPECT_TRUE(window.isNull());
    ASSERT_EQ(result.count(), 1);
    EXPECT_EQ(result.first().first().toInt(), 1);
    EXPECT_TRUE(readFile(tmp.filePath("m.TKL")) == expectedBytes(image, row));
}
