// End to end under a real X server with the real km2 and mplayer: the main
// window lists two recordings of a small disk image, a double click plays
// the first inside the playback area, Next shows the second, Previous the
// first again. Writes a screenshot of the window showing the first one.
//   preview_scenario IMAGE SHOT.png START1 END1 START2 END2
// Exit status 0 when every picture appeared as expected.
#include "app/AppSetup.h"
#include "app/MainWindow.h"
#include "scan/SFragmentFit.h"

#include <QTableView>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <cstdio>
#include <functional>

namespace {
void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

QImage grab(QWidget* w)
{
    const QPoint at = w->mapToGlobal(QPoint(0, 0));
    return QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), w->width(), w->height()).toImage();
}

enum class Picture { Black, Bars, Other };

// smptebars: seven vertical bars in the upper part, gray .. blue. testsrc
// looks nothing like it. The picture's own box is found first (mplayer keeps
// the aspect, so there may be black borders).
Picture classify(const QImage& img)
{
    int x0 = img.width(), y0 = img.height(), x1 = -1, y1 = -1, lit = 0;
    for (int y = 0; y < img.height(); y += 2)
        for (int x = 0; x < img.width(); x += 2) {
            const QColor c = img.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() > 60) {
                ++lit;
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
        }
    if (lit < (img.width() * img.height() / 4) / 10)
        return Picture::Black;
    const int w = x1 - x0, h = y1 - y0;
    auto at = [&](double fx, double fy) { return img.pixelColor(x0 + int(fx * w), y0 + int(fy * h)); };
    const QColor gray = at(1.0 / 14, 0.3), yellow = at(3.0 / 14, 0.3), blue = at(13.0 / 14, 0.3);
    const bool bars = gray.red() > 140 && gray.blue() > 140 && yellow.red() > 140 && yellow.green() > 140 &&
                      yellow.blue() < 80 && blue.blue() > 140 && blue.red() < 80 && blue.green() < 80;
    return bars ? Picture::Bars : Picture::Other;
}

const char* name(Picture p) { return p == Picture::Black ? "black" : p == Picture::Bars ? "bars" : "testsrc"; }

bool waitFor(QWidget* area, Picture want, const char* step)
{
    QElapsedTimer t;
    t.start();
    Picture seen = Picture::Black;
    while (t.elapsed() < 15000) {
        pump(250);
        seen = classify(grab(area));
        if (seen == want) {
            std::printf("%s: %s after %lld ms\n", step, name(seen), (long long)t.elapsed());
            return true;
        }
    }
    std::printf("%s: FAILED, wanted %s, the area shows %s\n", step, name(want), name(seen));
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    corvoPreferX11Platform();
    QApplication app(argc, argv);
    corvoInitApplication();
    if (argc != 7) {
        std::fprintf(stderr, "usage: preview_scenario IMAGE SHOT.png START1 END1 START2 END2\n");
        return 2;
    }
    const QString image = QString::fromLocal8Bit(argv[1]);
    const QString shot = QString::fromLocal8Bit(argv[2]);

    MainWindow window(QStringList{image});
    corvoApplyWindowPalette(&window);
    window.show();
    pump(500);

    // The two recordings, as the scan reports them.
    for (int i = 0; i < 2; ++i) {
        SFragmentFit f;
        f.diskName = image.toLocal8Bit();
        const qint64 start = QByteArray(argv[3 + 2 * i]).toLongLong(), end = QByteArray(argv[4 + 2 * i]).toLongLong();
        f.extents = std::make_shared<const SExtentList>(SExtentList{{start, end}});
        f.totalBytes = end - start;
        f.frameCount = 1;
        QMetaObject::invokeMethod(&window, "slotAddPlayList", Q_ARG(SFragmentFit, f), Q_ARG(int, i + 1));
    }
    pump(300);

    auto* view = window.findChild<QTableView*>("playlistView");
    auto* area = window.findChild<QWidget*>("PlayerWin");
    if (!view || !area || view->model()->rowCount() != 2) {
        std::printf("FAILED: no playlist with two rows\n");
        return 1;
    }
    // Displayed order: the first recording first.
    int first = 0;
    for (int r = 0; r < 2; ++r)
        if (view->model()->index(r, 1).data().toString().endsWith("00001"))
            first = r;
    view->selectRow(first);
    QMetaObject::invokeMethod(view, "doubleClicked", Q_ARG(QModelIndex, view->model()->index(first, 1)));
    bool ok = waitFor(area, Picture::Other, "double-click on the first recording");
    pump(1000);
    const QPoint at = window.mapToGlobal(QPoint(0, 0));
    const QImage whole =
        QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), window.width(), window.height()).toImage();
    ok = whole.save(shot) && ok;
    std::printf("screenshot %s\n", qPrintable(shot));

    const bool firstIsTop = first == 0;
    window.findChild<QPushButton*>(firstIsTop ? "pushButton_4" : "PlayLast")->click();
    ok = waitFor(area, Picture::Bars, firstIsTop ? "next" : "previous") && ok;
    window.findChild<QPushButton*>(firstIsTop ? "PlayLast" : "pushButton_4")->click();
    ok = waitFor(area, Picture::Other, firstIsTop ? "previous" : "next") && ok;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
