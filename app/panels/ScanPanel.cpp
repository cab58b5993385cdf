#include "app/MainWindow.h"

// Placeholders until the scan status panel lands.
void MainWindow::buildScanTable() {}
void MainWindow::stopAllScans() {}
void MainWindow::ScanQuitClicked(char) {}
void MainWindow::ScanQuitClickedOK() {}
void MainWindow::ScanStartClicked() {}
int MainWindow::getCurrentRow(int mRow, int) { return mRow; }
void MainWindow::ClickedLoction() {}
void MainWindow::OnNotify(long long int) {}
void MainWindow::OnNotifyScanOver(bool) {}
void MainWindow::AddScanDetailInfo() {}
