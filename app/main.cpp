#include "app/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    MainWindow w(app.arguments().mid(1));
    w.show();
    return app.exec();
}
