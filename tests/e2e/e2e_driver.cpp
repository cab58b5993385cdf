// The whole road through the real main window on a real X server, driven by
// input events the way a user drives it: Ctrl+E opens the disk dialog, a click
// ticks the image's row, 开始 scans it to 100 %, the playlist must list the
// ground truth, the context menu exports every row and merges a selection
// made by Ctrl+clicks, and a double click previews a fragment through the
// km2 found on PATH (the recording stand-in).
//
// Only the modal boxes and file dialogs are scripted (through the Dialogs
// seam): they answer with the folders below and record what was asked.
//
//   corvotkl_e2e IMAGE TRUTH.json EXPECT_DIR OUT_DIR KM2_LOG
// Exit status 0 when every step held; each failure names its step.
#include "app/AppSetup.h"
#include "gui/Dialogs.h"
#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"
#include "tools/imagegen/ImageGen.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>

#include <cstdio>
#include <functional>

namespace {

int g_failures = 0;
QElapsedTimer g_clock;

void step(const char* what)
{
    std::printf("[%6.1f s] %s\n", g_clock.elapsed() / 1000.0, what);
    std::fflush(stdout);
}

bool check(bool ok, const QString& what)
{
    if (!ok) {
        ++g_failures;
        std::printf("FAILED: %s\n", qPrintable(what));
        std::fflush(stdout);
    }
    return ok;
}

// Runs the event loop until pred holds or ms pass. Generous timeouts: the
// machine running this may be busy with other builds.
bool waitFor(const std::function<bool()>& pred, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return pred();
        QTest::qWait(20);
    }
    return true;
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable " + path.toUtf8() + ">");
}

// The modal boxes, answered as a user would: the folders given, Yes to the
// warning about the destination, Yes to closing.
class ScriptedDialogs : public Dialogs {
public:
    QString directoryAnswer, saveAnswer;
    QStringList asked;   // kind:title:text
    QStringList results; // the export results: "提示 " boxes saying 成功 or 失败

    QString getExistingDirectory(QWidget*, const QString& caption, const QString&, QFileDialog::Options) override
    {
        asked << "directory:" + caption;
        return directoryAnswer;
    }
    QString getSaveFileName(QWidget*, const QString& caption, const QString&, const QString& filter,
                            const QString&) override
    {
        asked << "save:" + caption + ":" + filter;
        return saveAnswer;
    }
    QMessageBox::StandardButton information(QWidget*, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons, QMessageBox::StandardButton) override
    {
        asked << "information:" + title + ":" + text;
        if (title == QStringLiteral("提示 ") && (text == QStringLiteral("成功") || text == QStringLiteral("失败")))
            results << text;
        return title == QStringLiteral("警告") ? QMessageBox::Yes : QMessageBox::Ok;
    }
    QMessageBox::StandardButton question(QWidget*, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons, QMessageBox::StandardButton) override
    {
        asked << "question:" + title + ":" + text;
        return QMessageBox::Yes;
    }
    QMessageBox::StandardButton warning(QWidget*, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons, QMessageBox::StandardButton) override
    {
        asked << "warning:" + title + ":" + text;
        return QMessageBox::Ok;
    }
};

// Where the check box of column 0 of a tree row is drawn, in viewport pixels.
QPoint checkBoxCentre(QTreeWidget* tree, int topLevelRow)
{
    const QModelIndex ix = tree->model()->index(topLevelRow, 0);
    QStyleOptionViewItem opt;
    opt.initFrom(tree->viewport());
    opt.rect = tree->visualRect(ix);
    opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay |
                   QStyleOptionViewItem::HasDecoration;
    opt.decorationSize = tree->iconSize();
    opt.checkState = Qt::Unchecked;
    opt.text = ix.data().toString();
    opt.showDecorationSelected = true;
    const QRect box = tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, tree);
    return box.isValid() ? box.center() : QPoint(opt.rect.left() + 10, opt.rect.center().y());
}

// Opens the playlist's context menu with a right click at a row and picks an
// entry with a left click on it. The menu runs its own loop, so the pick is
// armed before the right click.
bool menuCommand(QWidget* window, QTableView* view, int viewRow, const QString& entry)
{
    bool picked = false;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible())
            return;
        for (QAction* a : menu->actions())
            if (a->text() == entry) {
                poll.stop();
                picked = true;
                QTest::mouseMove(menu, menu->actionGeometry(a).center());
                QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, menu->actionGeometry(a).center());
                return;
            }
        poll.stop();
        menu->close();
    });
    poll.start();
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [&] {
        if (auto* menu = QApplication::activePopupWidget())
            menu->close();
    });
    giveUp.start(30000);

    const QRect cell = view->visualRect(view->model()->index(viewRow, 0));
    const QPoint at = cell.center();
    QTest::mouseMove(view->viewport(), at);
    // What a right button press on a window becomes: a context menu event at
    // the widget under the pointer, handed up until someone takes it.
    QContextMenuEvent ev(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at), Qt::NoModifier);
    QCursor::setPos(view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &ev);
    poll.stop();
    giveUp.stop();
    (void)window;
    return picked;
}

QPoint rowPoint(QTableView* view, int viewRow)
{
    return view->visualRect(view->model()->index(viewRow, 1)).center();
}

void saveShot(QWidget* window, const QString& path)
{
    const QPoint at = window->mapToGlobal(QPoint(0, 0));
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), window->width(), window->height());
    shot.save(path);
}

struct Km2Start {
    QStringList args;
};

// The stand-in's log: "start PID N", then "arg PID INDEX HEX" per argument.
QVector<Km2Start> readKm2Log(const QString& path)
{
    QVector<Km2Start> starts;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return starts;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> w = line.split(' ');
        if (w.size() >= 3 && w[0] == "start")
            starts.append(Km2Start{});
        else if (w.size() == 4 && w[0] == "arg" && !starts.isEmpty())
            starts.last().args << QString::fromUtf8(w[3] == "-" ? QByteArray() : QByteArray::fromHex(w[3]));
    }
    return starts;
}

} // namespace

int main(int argc, char** argv)
{
    g_clock.start();
    corvoPreferX11Platform();
    QApplication app(argc, argv);
    corvoInitApplication();
    if (argc != 6) {
        std::fprintf(stderr, "usage: corvotkl_e2e IMAGE TRUTH.json EXPECT_DIR OUT_DIR KM2_LOG\n");
        return 2;
    }
    const QString image = QFile::decodeName(argv[1]);
    const QString truthPath = QFile::decodeName(argv[2]);
    const QDir expectDir(QFile::decodeName(argv[3]));
    const QDir outDir(QFile::decodeName(argv[4]));
    const QString km2Log = QFile::decodeName(argv[5]);
    const int kLong = 120000;

    imagegen::Truth truth;
    QString error;
    if (!imagegen::readTruthFile(truthPath, &truth, &error)) {
        std::printf("FAILED: truth %s: %s\n", qPrintable(truthPath), qPrintable(error));
        return 1;
    }
    if (truth.size() < 3) {
        std::printf("FAILED: the image should hold 3 fragments or more, its truth lists %d\n", int(truth.size()));
        return 1;
    }
    QVector<QByteArray> expected(truth.size() + 1);
    for (const auto& t : truth)
        expected[t.serial] = fileBytes(expectDir.filePath(QString::asprintf("fragment-%05d.TKL", t.serial)));

    ScriptedDialogs boxes;
    setDialogs(&boxes);

    step("start the main window with the image");
    MainWindow window(QStringList{image});
    corvoApplyWindowPalette(&window);
    window.show();
    if (!check(QTest::qWaitForWindowExposed(&window, 20000), "the main window was never exposed"))
        return 1;
    window.activateWindow();
    window.raise();
    check(QTest::qWaitForWindowActive(&window, 20000), "the main window never became active");

    step("Ctrl+E opens the disk dialog");
    QTest::keyClick(&window, Qt::Key_E, Qt::ControlModifier);
    auto* diskDialog = window.findChild<QDialog*>("diskDialog");
    auto* tree = window.findChild<QTreeWidget*>("diskTree");
    auto* startButton = window.findChild<QPushButton*>("diskStartButton");
    if (!check(diskDialog && tree && startButton, "no diskDialog, diskTree or diskStartButton") ||
        !check(waitFor([&] { return diskDialog->isVisible(); }, 20000), "Ctrl+E did not open the disk dialog"))
        return 1;
    check(QTest::qWaitForWindowExposed(diskDialog, 20000), "the disk dialog was never exposed");

    step("tick the image's row");
    int imageRow = -1;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (tree->topLevelItem(i)->toolTip(0) == image || tree->topLevelItem(i)->text(0) == image)
            imageRow = i;
    if (!check(imageRow >= 0, "the disk tree has no row for " + image))
        return 1;
    QTreeWidgetItem* item = tree->topLevelItem(imageRow);
    check(item->text(1) == QString::number(QFileInfo(image).size()),
          "the image row's size column says " + item->text(1));
    tree->scrollToItem(item);
    QTest::qWait(100);
    QPoint box = checkBoxCentre(tree, imageRow);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, box);
    if (!waitFor([&] { return item->checkState(0) == Qt::Checked; }, 2000)) {
        // Styles place the indicator differently; feel along the row for it.
        const QRect cell = tree->visualRect(tree->model()->index(imageRow, 0));
        for (int x = cell.left() + 2; x < cell.left() + 60 && item->checkState(0) != Qt::Checked; x += 4) {
            QTest::qWait(QApplication::doubleClickInterval() + 50);
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, cell.center().y()));
        }
    }
    if (!check(item->checkState(0) == Qt::Checked, "a click on the image row's check box did not tick it"))
        return 1;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (i != imageRow)
            check(tree->topLevelItem(i)->checkState(0) != Qt::Checked, "another row got ticked too");

    step("开始 scans it to 100 %");
    check(startButton->text() == QStringLiteral("开始"), "the start button reads " + startButton->text());
    // A notice about the machine's own unreadable disks may have come with the
    // dialog; from here on nothing may warn.
    const int warningsBefore = boxes.asked.filter("warning:").size();
    QTest::mouseClick(startButton, Qt::LeftButton);
    check(waitFor([&] { return !diskDialog->isVisible(); }, 20000), "the disk dialog stayed open after 开始");
    auto* scanTable = window.findChild<QTableWidget*>("scanTable");
    if (!check(scanTable && waitFor([&] { return scanTable->rowCount() == 1; }, 20000),
               "the scan table did not get exactly one row"))
        return 1;
    auto* progress = qobject_cast<QProgressBar*>(scanTable->cellWidget(0, 1));
    auto* status = qobject_cast<QLabel*>(scanTable->cellWidget(0, 6));
    if (!check(progress && status, "the scan row has no progress bar or status label"))
        return 1;
    check(waitFor([&] { return progress->value() == 100 && status->text() == QStringLiteral("   扫描结束..."); },
                  kLong),
          QString("the scan did not end normally at 100 %: %1 %, \"%2\"").arg(progress->value()).arg(status->text()));
    check(boxes.asked.filter("warning:").size() == warningsBefore,
          "warnings during the scan: " + boxes.asked.filter("warning:").join(" | "));

    step("the playlist lists the ground truth");
    auto* view = window.findChild<DropTableView*>("playlistView");
    if (!check(view && view->listModel, "no playlistView"))
        return 1;
    check(waitFor([&] { return view->model()->rowCount() == truth.size(); }, 20000),
          QString("the playlist shows %1 rows, the image holds %2 fragments")
              .arg(view->model()->rowCount())
              .arg(truth.size()));
    {
        const CPlayListTableModel* model = view->listModel;
        QVector<bool> seen(truth.size() + 1, false);
        for (int r = 0; r < model->rowCount(); ++r) {
            const SPlayListTableItem& row = model->item(r);
            const int serial = row.iSerial;
            if (!check(serial >= 1 && serial <= truth.size() && !seen[serial],
                       QString("playlist row %1 has serial %2").arg(r).arg(serial)))
                continue;
            seen[serial] = true;
            const auto& t = truth[serial - 1];
            const SFragmentFit& f = row.sFragmentFit;
            check(f.totalBytes == t.totalBytes && f.frameCount == t.frameCount && f.formatCode == t.format &&
                      f.stream == t.stream && f.firstTime == t.firstTime && f.lastTime == t.lastTime,
                  QString("fragment %1: %2 bytes in %3 frames, the truth says %4 in %5")
                      .arg(serial)
                      .arg(f.totalBytes)
                      .arg(f.frameCount)
                      .arg(t.totalBytes)
                      .arg(t.frameCount));
            bool sameExtents = f.extents && f.extents->size() == t.extents.size();
            for (int e = 0; sameExtents && e < t.extents.size(); ++e)
                sameExtents = f.extents->at(e).start == t.extents[e].start && f.extents->at(e).end == t.extents[e].end;
            check(sameExtents, QString("fragment %1: extents differ from the truth").arg(serial));
        }
        // What the user reads: the name column ends in the five-digit serial.
        for (int v = 0; v < view->model()->rowCount(); ++v) {
            const int serial = model->item(view->sortProxy->mapToSource(view->model()->index(v, 0)).row()).iSerial;
            const QString name = view->model()->index(v, 1).data().toString();
            check(name.endsWith(QString::asprintf("%05d", serial)),
                  QString("row %1 shows the name \"%2\" for fragment %3").arg(v).arg(name).arg(serial));
        }
    }

    step("export every row through the context menu");
    const QString exportDir = outDir.filePath("export");
    QDir().mkpath(exportDir);
    boxes.directoryAnswer = exportDir;
    const int rows = view->model()->rowCount();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(view, 0));
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    check(view->selectedModelRows().size() == rows, "Ctrl+A did not select every row");
    check(menuCommand(&window, view, 0, QStringLiteral("导出")), "the context menu had no 导出");
    check(boxes.asked.filter("directory:").size() == 1, "导出 did not ask for a folder");
    check(waitFor([&] { return boxes.results.size() == 1; }, kLong), "the export never reported its result");
    check(boxes.results.value(0) == QStringLiteral("成功"), "the export said " + boxes.results.value(0));
    {
        const QFileInfoList files = QDir(exportDir).entryInfoList(QDir::Files, QDir::Name);
        check(files.size() == truth.size(),
              QString("%1 exported files for %2 fragments").arg(files.size()).arg(truth.size()));
        int exact = 0;
        for (const QFileInfo& fi : files) {
            // "(NN)FIRST-LAST_SSSSS.TKL": the serial ends the name.
            const QString base = fi.completeBaseName();
            const int serial = base.mid(base.lastIndexOf('_') + 1).toInt();
            if (!check(fi.suffix() == "TKL" && serial >= 1 && serial <= truth.size(),
                       "unexpected exported file " + fi.fileName()))
                continue;
            if (check(fileBytes(fi.filePath()) == expected[serial],
                      QString("%1 differs from fragment %2").arg(fi.fileName()).arg(serial)))
                ++exact;
        }
        std::printf("           %d of %d exported files exact\n", exact, int(truth.size()));
    }
    QTest::qWait(200);

    step("merge three rows picked with Ctrl+clicks, in the picking order");
    const QString mergeFile = outDir.filePath("merged.TKL");
    boxes.saveAnswer = mergeFile;
    const QList<int> pick{2, 0, rows - 1}; // view rows
    view->scrollTo(view->model()->index(pick[0], 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(view, pick[0]));
    for (int i = 1; i < pick.size(); ++i) {
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        view->scrollTo(view->model()->index(pick[i], 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, rowPoint(view, pick[i]));
    }
    QByteArray mergedExpected;
    QList<int> pickedSerials;
    for (int r : view->selectedModelRows()) {
        pickedSerials << view->listModel->item(r).iSerial;
        mergedExpected += expected[view->listModel->item(r).iSerial];
    }
    QList<int> wantedSerials;
    for (int v : pick)
        wantedSerials << view->listModel->item(view->sortProxy->mapToSource(view->model()->index(v, 0)).row()).iSerial;
    check(pickedSerials == wantedSerials, "the selection does not follow the clicks");
    check(menuCommand(&window, view, pick.last(), QStringLiteral("合并")), "the context menu had no 合并");
    check(waitFor([&] { return boxes.results.size() == 2; }, kLong), "the merge never reported its result");
    check(boxes.results.value(1) == QStringLiteral("成功"), "the merge said " + boxes.results.value(1));
    check(boxes.asked.filter("save:").size() == 1 && boxes.asked.filter("save:").value(0).endsWith("Video files(*.TKL);;MP4 video(*.mp4)"),
          "合并 did not ask for a file name with the video filter");
    check(fileBytes(mergeFile) == mergedExpected,
          QString("the merged file (%1 bytes) is not fragments %2 in that order (%3 bytes)")
              .arg(QFileInfo(mergeFile).size())
              .arg([&] {
                  QStringList s;
                  for (int x : pickedSerials)
                      s << QString::number(x);
                  return s.join(",");
              }())
              .arg(mergedExpected.size()));

    step("a double click previews a fragment through km2");
    const int playRow = qMin(1, rows - 1);
    const int playSerial =
        view->listModel->item(view->sortProxy->mapToSource(view->model()->index(playRow, 0)).row()).iSerial;
    view->scrollTo(view->model()->index(playRow, 0));
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    // What the window system delivers for a double click: press, release,
    // the second press as a double click, release.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(view, playRow));
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(view, playRow));
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(view, playRow));
    check(waitFor([&] { return readKm2Log(km2Log).size() == 1 && readKm2Log(km2Log)[0].args.size() == 13; }, 30000),
          "km2 was not started once with 13 arguments");
    const QString preview = QCoreApplication::applicationDirPath() + "/thumb/Tessaro";
    const QVector<Km2Start> starts = readKm2Log(km2Log);
    if (!starts.isEmpty()) {
        const QStringList a = starts[0].args;
        QWidget* area = window.findChild<QWidget*>("PlayerWin");
        // The video output is left to the player: "-vo" with an empty value.
        const QStringList want{"-slave", "-quiet", "-zoom", "-vo", QString(), "-wid",
                               area ? QString::number(area->winId()) : "?", "-noborder", "-autosync", "30",
                               "-cache", "8296", preview};
        check(a == want, "km2 arguments: " + a.join(' ') + "\n        wanted: " + want.join(' '));
    }
    check(fileBytes(preview) == expected[playSerial],
          QString("the preview file %1 does not hold fragment %2").arg(preview).arg(playSerial));
    check(boxes.asked.filter("question:").isEmpty(), "a question came up for a finished scan's preview");

    saveShot(&window, outDir.filePath("e2e-window.png"));

    step("帮助 shows the notice and opens the manual from the working directory");
    const QString openerLog = qEnvironmentVariable("E2E_OPENER_LOG");
    if (!openerLog.isEmpty()) {
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        QTest::mouseClick(window.findChild<QPushButton*>("helpButton"), Qt::LeftButton);
        check(boxes.asked.filter(QStringLiteral("information:帮助:欢迎使用MarzenTKL监控视频恢复软件。")).size() == 1,
              "帮助 did not show its notice");
        const QString manual = QDir::current().absoluteFilePath(QStringLiteral("TKL使用手册.chm"));
        auto opened = [&] {
            QFile f(openerLog);
            if (!f.open(QIODevice::ReadOnly))
                return QString();
            return QUrl::fromEncoded(f.readAll().trimmed()).toLocalFile();
        };
        check(waitFor([&] { return !opened().isEmpty(); }, 20000) && opened() == manual,
              "the desktop was asked to open \"" + opened() + "\", not " + manual);
    }

    step("close: the question is answered Yes");
    QTest::mouseClick(window.findChild<QPushButton*>("closeButton"), Qt::LeftButton);
    check(waitFor([&] { return !window.isVisible(); }, 20000), "the window did not close");
    check(boxes.asked.filter("question:").size() == 1, "closing did not ask once");

    setDialogs(nullptr);
    std::printf("%s: %d fragment(s), %d failure(s), %.1f s\n", g_failures ? "FAILED" : "PASSED",
                int(truth.size()), g_failures, g_clock.elapsed() / 1000.0);
    return g_failures ? 1 : 0;
}
