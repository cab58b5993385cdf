// Runner of the screenshot scenarios: starts the application's window as
// main() does, runs one scenario and saves a grab of the whole screen.

#include "Shots.h"

#include "app/AppSetup.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

struct Entry {
    std::string description;
    shots::Scenario run;
};

std::map<std::string, Entry>& registry()
{
    static std::map<std::string, Entry> r;
    return r;
}

QString g_outputPath;

void usage()
{
    std::fprintf(stderr, "usage: corvotkl-shots SCENARIO OUT.png [IMAGE...]\n       corvotkl-shots --list\nscenarios:\n");
    for (const auto& [name, entry] : registry())
        std::fprintf(stderr, "  %-20s %s\n", name.c_str(), entry.description.c_str());
}

} // namespace

namespace shots {

Registrar::Registrar(const char* name, const char* description, Scenario run)
{
    registry()[name] = Entry{description, std::move(run)};
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()>& ready, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!ready()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        settle(20);
    }
    return true;
}

bool invoke(QObject& obj, const char* member, Qt::ConnectionType type)
{
    return QMetaObject::invokeMethod(&obj, member, type);
}

bool grab()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "corvotkl-shots: no screen to grab\n");
        return false;
    }
    const QPixmap shot = screen->grabWindow(0);
    if (shot.isNull() || !shot.save(g_outputPath, "PNG")) {
        std::fprintf(stderr, "corvotkl-shots: cannot write %s\n", qPrintable(g_outputPath));
        return false;
    }
    std::printf("corvotkl-shots: wrote %s (%dx%d)\n", qPrintable(g_outputPath), shot.width(), shot.height());
    return true;
}

void grabWhen(const std::function<bool()>& ready, int timeoutMs)
{
    auto* poll = new QTimer(qApp);
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [=] {
        if (ready()) {
            poll->stop();
            settle(300);
            const bool ok = grab();
            std::fflush(stdout);
            std::fflush(stderr);
            // Leave from inside the blocking call without unwinding it.
            std::_Exit(ok ? 0 : 1);
        }
        if (clock->elapsed() > timeoutMs) {
            std::fprintf(stderr, "corvotkl-shots: the scenario's state never became ready\n");
            std::fflush(stderr);
            std::_Exit(1);
        }
    });
    poll->start(50);
}

} // namespace shots

int main(int argc, char* argv[])
{
    corvoPreferX11Platform();
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 1 && args[0] == "--list") {
        for (const auto& [name, entry] : registry())
            std::printf("%s\t%s\n", name.c_str(), entry.description.c_str());
        return 0;
    }
    if (args.size() < 2) {
        usage();
        return 2;
    }
    const auto it = registry().find(args[0].toStdString());
    if (it == registry().end()) {
        std::fprintf(stderr, "corvotkl-shots: unknown scenario %s\n", qPrintable(args[0]));
        usage();
        return 2;
    }
    g_outputPath = args[1];
    const QStringList images = args.mid(2);

    corvoInitApplication();
    MainWindow window(images);
    corvoApplyWindowPalette(&window);
    // Centred on the screen, as a window manager would place it.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        const QSize size = window.size().expandedTo(window.minimumSize());
        window.move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
    }
    window.show();
    if (!shots::waitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); })) {
        std::fprintf(stderr, "corvotkl-shots: the window was never shown (no X server?)\n");
        return 1;
    }
    shots::settle(300);

    it->second.run(window, images);

    shots::settle(300);
    return shots::grab() ? 0 : 1;
}
