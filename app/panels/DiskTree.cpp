#include "app/MainWindow.h"

// Placeholders until the disk tree lands.
void MainWindow::buildDiskDialog() {}
void MainWindow::SelectDisk() {}
void MainWindow::TreeItemChanged(QTreeWidgetItem*, int) {}
void MainWindow::TreeItemClicked(QTreeWidgetItem*, int) {}
void MainWindow::updateParentItem(QTreeWidgetItem*, int) {}
void MainWindow::SelectDiskName() {}
void MainWindow::slotWantScan() {}
void MainWindow::slotStartScan() {}
