// The main window as it opens: title bar, empty playlist and player, scan table.

#include "Shots.h"

#include "app/MainWindow.h"

CORVO_SHOT("main-window", "the main window as it opens")
(MainWindow& window, const QStringList&)
{
    window.activateWindow();
    window.raise();
}
