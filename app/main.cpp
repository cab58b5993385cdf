#include "app/AppSetup.h"
#include "app/MainWindow.h"
#include "app/SessionHandOff.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    corvoPreferX11Platform();

    // FILE.session arguments are kept scans to reopen; the rest are images.
    QStringList images, sessions;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        (a.endsWith(QLatin1String(".session")) ? sessions : images) << a;
    }

    // A second start under the same user ends here, before any window. When
    // the lock cannot be taken at all (unwritable runtime directory) we still
    // start: refusing to recover footage over a lock file would be worse.
    CorvoInstanceLock instance;
    const QString handOff = corvoHandOffName(instance.path());
    if (instance.state() == CorvoInstanceLock::HeldElsewhere) {
        if (sessions.isEmpty())
            return 0;
        QCoreApplication core(argc, argv);
        QString why;
        if (!corvoSendSessionFiles(handOff, sessions, &why)) {
            std::fprintf(stderr, "corvotkl: %s\n", qPrintable(why));
            return 1;
        }
        return 0;
    }

    QApplication app(argc, argv);
    corvoInitApplication();

    MainWindow window(images);
    corvoApplyWindowPalette(&window);
    window.show();
    SessionHandOffServer server;
    QString why;
    if (instance.state() == CorvoInstanceLock::Acquired && !server.listen(handOff, &why))
        std::fprintf(stderr, "corvotkl: sessions given to a second start cannot reach this window: %s\n", qPrintable(why));
    QObject::connect(&server, &SessionHandOffServer::sessionFileReceived, &window, [&window](const QString& file) {
        window.raise();
        window.activateWindow();
        window.openSessionFile(file);
    });
    for (const QString& file : sessions)
        window.openSessionFile(file);
    return app.exec();
}
