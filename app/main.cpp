#include "app/AppSetup.h"
#include "app/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    corvoPreferX11Platform();

    // A second start under the same user ends here, before any window. When
    // the lock cannot be taken at all (unwritable runtime directory) we still
    // start: refusing to recover footage over a lock file would be worse.
    CorvoInstanceLock instance;
    if (instance.state() == CorvoInstanceLock::HeldElsewhere)
        return 0;

    QApplication app(argc, argv);
    corvoInitApplication();

    MainWindow window(app.arguments().mid(1));
    corvoApplyWindowPalette(&window);
    window.show();
    return app.exec();
}
