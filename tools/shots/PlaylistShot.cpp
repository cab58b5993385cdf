// The playlist filled by a scan of a generated image, and a merge dialog
// holding rows dragged into it from the playlist.

#include "Shots.h"

#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"
#include "disk/widget.h"
#include "tools/imagegen/ImageGen.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <memory>

namespace {

void mouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons held,
           Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, held, mods);
    QApplication::sendEvent(w, &e);
}

QPoint rowCentre(DropTableView* view, int row)
{
    return view->visualRect(view->model()->index(row, 1)).center();
}

} // namespace

CORVO_SHOT("playlist", "the playlist after a scan and a merge dialog holding dragged rows")
(MainWindow& window, const QStringList& images)
{
    // The image: the first one given, else a generated one.
    static QTemporaryDir dir;
    QString path = images.value(0);
    if (path.isEmpty()) {
        path = dir.filePath("recorder-ch01.img");
        QString error;
        if (!imagegen::generateImage(path, 48LL << 20, 20261207, nullptr, &error)) {
            std::fprintf(stderr, "playlist: %s\n", qPrintable(error));
            return;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const int expected = imagegen::referenceScan(file.readAll()).size();

    // Scanned as the disk dialog's start button would start it.
    scanTargetList() = {ScanTarget{QFileInfo(path).absoluteFilePath(), QFileInfo(path).size(), 0}};
    shots::invoke(window, "AddScanDetailInfo");
    shots::invoke(window, "ScanStartClicked");
    auto* playlist = shots::find<DropTableView>(window, "playlistView");
    shots::waitFor([&] { return playlist->model()->rowCount() == expected; }, 60000);
    shots::settle(500);

    // Sorted by size with a header click, as a user would.
    QHeaderView* header = playlist->horizontalHeader();
    const QPoint sizeHeader(header->sectionViewportPosition(2) + 30, header->height() / 2);
    mouse(header->viewport(), QEvent::MouseButtonPress, sizeHeader, Qt::LeftButton, Qt::LeftButton);
    mouse(header->viewport(), QEvent::MouseButtonRelease, sizeHeader, Qt::LeftButton, Qt::NoButton);

    shots::invoke(window, "MergeDisk");
    auto* dialog = shots::find<QDialog>(window, "mergeDialog");
    auto* list = dialog->findChild<DropTableView*>("mergeListView");
    const QRect frame = window.frameGeometry();
    dialog->move(frame.x() + 760, frame.y() + 42);
    shots::waitFor([&] { return dialog->windowHandle() && dialog->windowHandle()->isExposed(); });
    shots::settle(300);

    // Pick three rows with ctrl-clicks, then drag them out of the playlist
    // and drop them on the merge list.
    QWidget* vp = playlist->viewport();
    for (int row : {4, 1, 2}) {
        mouse(vp, QEvent::MouseButtonPress, rowCentre(playlist, row), Qt::LeftButton, Qt::LeftButton,
              Qt::ControlModifier);
        mouse(vp, QEvent::MouseButtonRelease, rowCentre(playlist, row), Qt::LeftButton, Qt::NoButton,
              Qt::ControlModifier);
    }
    mouse(vp, QEvent::MouseButtonPress, rowCentre(playlist, 1), Qt::LeftButton, Qt::LeftButton);
    QWidget* target = list->viewport();
    const QPoint drop = target->rect().center();
    QTimer::singleShot(100, target, [target, drop] {
        mouse(target, QEvent::MouseMove, drop, Qt::NoButton, Qt::LeftButton);
        QTimer::singleShot(100, target, [target, drop] {
            mouse(target, QEvent::MouseButtonRelease, drop, Qt::LeftButton, Qt::NoButton);
        });
    });
    const QPoint outside = vp->mapFrom(playlist, QPoint(playlist->width() + 20, playlist->height() / 3));
    mouse(vp, QEvent::MouseMove, outside, Qt::NoButton, Qt::LeftButton);
    shots::waitFor([&] { return list->model()->rowCount() == 3; }, 3000);
    list->selectRow(0);
    dialog->raise();
    dialog->activateWindow();
}
