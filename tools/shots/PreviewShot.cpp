// A recording of the first image playing in the playback area after a double
// click on its playlist row (real km2 and mplayer; run under an X server).
// The image's runs of back-to-back TKL frames are listed as the scan reports
// fragments, so the shot does not wait for a scan. A suitable image:
//   tests/player/make_preview_image.sh build /tmp/demo.img
//   scripts/screenshot preview -- /tmp/demo.img

#include "Shots.h"

#include "app/MainWindow.h"
#include "scan/SFragmentFit.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTableView>

namespace {
bool frameAt(const QByteArray& d, qint64 p, qint64* len)
{
    if (p + 8 > d.size() || d[int(p)] != 0 || d[int(p + 1)] != 0 || d[int(p + 2)] != 1 || uchar(d[int(p + 3)]) != 0xB7)
        return false;
    const uchar a = uchar(d[int(p + 6)]), b = uchar(d[int(p + 7)]);
    *len = uchar(d[int(p + 4)]) | (uchar(d[int(p + 5)]) << 8);
    return ((a == 0x40 && b == 0) || (a == 0 && b == 0x40)) && *len >= 8 && p + *len <= d.size();
}

bool pictureShown(QWidget* area)
{
    const QPoint at = area->mapToGlobal(QPoint(0, 0));
    const QImage img =
        QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), area->width(), area->height()).toImage();
    int lit = 0, all = 0;
    for (int y = 0; y < img.height(); y += 4)
        for (int x = 0; x < img.width(); x += 4, ++all) {
            const QColor c = img.pixelColor(x, y);
            lit += c.red() + c.green() + c.blue() > 60;
        }
    return all > 0 && lit * 2 > all;
}
} // namespace

CORVO_SHOT("preview", "the first recording of IMAGE playing after a double click")
(MainWindow& window, const QStringList& images)
{
    QFile f(images.value(0));
    if (!f.open(QIODevice::ReadOnly) || f.size() > (256 << 20))
        return;
    const QByteArray d = f.readAll();
    int serial = 0;
    for (qint64 p = 0, len = 0; p < d.size();) {
        if (!frameAt(d, p, &len)) {
            ++p;
            continue;
        }
        SFragmentFit fragment;
        fragment.diskName = images.value(0).toLocal8Bit();
        const qint64 start = p;
        int frames = 0;
        while (frameAt(d, p, &len))
            p += len, ++frames;
        fragment.extents = std::make_shared<const SExtentList>(SExtentList{{start, p}});
        fragment.totalBytes = p - start;
        fragment.frameCount = frames;
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, fragment), Q_ARG(int, ++serial));
    }
    shots::settle(300);
    auto* view = shots::find<QTableView>(window, "playlistView");
    auto* area = shots::find<QWidget>(window, "PlayerWin");
    if (!view || !area || !view->model() || view->model()->rowCount() == 0)
        return;
    view->selectRow(0);
    QMetaObject::invokeMethod(view, "doubleClicked", Q_ARG(QModelIndex, view->model()->index(0, 1)));
    shots::waitFor([&] { return pictureShown(area); }, 15000);
    shots::settle(1500);
}
