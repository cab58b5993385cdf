#include "app/MainWindow.h"

// Placeholders until the playlist lands.
void MainWindow::buildPlaylistModel() {}
void MainWindow::buildPlaylistView() {}
void MainWindow::buildMergeDialog() {}
void MainWindow::slotAddPlayList(SFragmentFit, int) {}
void MainWindow::slotonHeaderClicked(int) {}
void MainWindow::ShowPanelMenu(QPoint) {}
void MainWindow::slotPlayFragment() {}
void MainWindow::VideoLogSlot(QString) {}
