#include "app/MainWindow.h"

// Placeholders until the playlist and export commands land.
void MainWindow::SortItem() {}
void MainWindow::DeletItem() {}
void MainWindow::ExportItem() {}
void MainWindow::PlayListMerge() {}
void MainWindow::MergeDisk() {}
void MainWindow::DeletPanelItem() {}
void MainWindow::StartMerge() {}
void MainWindow::SCanResult(int) {}
