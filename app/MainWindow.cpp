#include "app/MainWindow.h"

#include <QCloseEvent>

MainWindow::MainWindow(const QStringList& imagePaths, QWidget* parent)
    : QMainWindow(parent), m_imagePaths(imagePaths)
{
    setWindowFlags(Qt::CustomizeWindowHint);
    setWindowTitle(tr("CorvoTKL"));
    buildPlaylistModel();
    buildTitleBar();
    buildPlayWin();
    buildPlaylistView();
    buildScanTable();
    buildStatusBar();
    buildDiskDialog();
    buildCentralLayout();
    resize(1000, 780);
}

MainWindow::~MainWindow()
{
    stopAllScans();
}

// Placeholders until the window chrome lands.
void MainWindow::buildTitleBar() {}
void MainWindow::buildStatusBar() {}
void MainWindow::buildCentralLayout() {}
void MainWindow::slotSelectFile() {}
void MainWindow::HelpDisk() {}
void MainWindow::openUrl(QString) {}
void MainWindow::minWindowEvent() {}
void MainWindow::maxWindowEvent() {}
void MainWindow::closeWindowEvent() {}
void MainWindow::mousePressEvent(QMouseEvent* event) { QMainWindow::mousePressEvent(event); }
void MainWindow::mouseReleaseEvent(QMouseEvent* event) { QMainWindow::mouseReleaseEvent(event); }
void MainWindow::mouseDoubleClickEvent(QMouseEvent* event) { QMainWindow::mouseDoubleClickEvent(event); }
void MainWindow::mouseMoveEvent(QMouseEvent* event) { QMainWindow::mouseMoveEvent(event); }
void MainWindow::contextMenuEvent(QContextMenuEvent* event) { QMainWindow::contextMenuEvent(event); }
void MainWindow::closeEvent(QCloseEvent* event)
{
    stopAllScans();
    QMainWindow::closeEvent(event);
}
