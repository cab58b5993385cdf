// The playlist filled by a scan of a generated image, and a merge dialog
// holding rows dragged into it from the playlist.

#include "Shots.h"

#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"
#include "tools/imagegen/ImageGen.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

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
        path = dir.filePath("demo.img");
        QString error;
        imagegen::generateImage(path, 48LL << 20, 20261207, nullptr, &error);
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const imagegen::Truth found = imagegen::referenceScan(file.readAll());

    // The fragments reach the window the way the scan sends them: queued.
    for (const imagegen::TruthFragment& t : found) {
        SFragmentFit f;
        f.diskName = path.toLocal8Bit();
        f.formatCode = t.format;
        f.stream = t.stream;
        f.firstTime = t.firstTime;
        f.lastTime = t.lastTime;
        f.totalBytes = t.totalBytes;
        f.frameCount = t.frameCount;
        f.extents = std::make_shared<const SExtentList>(t.extents);
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Qt::QueuedConnection, Q_ARG(SFragmentFit, f),
                                  Q_ARG(int, t.serial));
    }
    auto* playlist = shots::find<DropTableView>(window, "playlistView");
    shots::waitFor([&] { return playlist->model()->rowCount() == found.size(); });

    // Sorted by size with a header click, as a user would.
    QHeaderView* header = playlist->horizontalHeader();
    const QPoint sizeHeader(header->sectionViewportPosition(2) + 30, header->height() / 2);
    mouse(header->viewport(), QEvent::MouseButtonPress, sizeHeader, Qt::LeftButton, Qt::LeftButton);
    mouse(header->viewport(), QEvent::MouseButtonRelease, sizeHeader, Qt::LeftButton, Qt::NoButton);

    shots::invoke(window, "MergeDisk");
    auto* dialog = shots::find<QDialog>(window, "mergeDialog");
    auto* list = dialog->findChild<DropTableView*>("mergeListView");
    const QRect frame = window.frameGeometry();
    dialog->move(frame.x() + 470, frame.y() + 120);
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
