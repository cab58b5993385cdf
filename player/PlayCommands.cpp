#include "app/MainWindow.h"

// Placeholders until playback lands.
void MainWindow::buildPlayWin() {}
void MainWindow::slotPlay() {}
void MainWindow::slotUpStep() {}
void MainWindow::slotDownStep() {}
void MainWindow::slotDoubleClicked(QModelIndex) {}
void MainWindow::PlayListDoubleClicked(int, int) {}
void MainWindow::PlayListClicked(int, int) {}
