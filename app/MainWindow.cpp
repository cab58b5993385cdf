#include "app/MainWindow.h"
#include "app/panels/Mp4Export.h"

#include "app/AppSetup.h"
#include "gui/Dialogs.h"
#include "app/MyButton.h"
#include "app/panels/DiskPanel.h"
#include "app/panels/PlayListModel.h"
#include "app/panels/PlayListPanel.h"
#include "app/panels/PreviewPanel.h"
#include "app/panels/ScanPanel.h"
#include "disk/RequestingUser.h"
#include "disk/widget.h"
#include "export/VideoInfo.h"
#include "player/PlayWin.h"
#include "session/ScanSession.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QResizeEvent>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QUrl>

namespace {

const char* const kProductTitle = "MarzenTKL监控恢复V6.8";
const char* const kHelpFile = "TKL使用手册.chm";
const char* const kCommandButtonStyle =
    " QPushButton {background-color:transparent;color:white;border:0px;margin-left:15px}";

// CHM readers Debian ships, the package's recommendation first.
const char* const kChmViewers[] = {"xchm", "kchmviewer"};

QString firstExisting(const QStringList& paths)
{
    for (const QString& p : paths)
        if (QFileInfo(p).isFile())
            return QFileInfo(p).absoluteFilePath();
    return QString();
}

// The desktop's handler, run as the user who asked: a browser refuses to
// run as root.
bool openForUser(const QUrl& url)
{
    const RequestingUser user = requestingUser();
    if (!user.other)
        return QDesktopServices::openUrl(url);
    return QProcess::startDetached(
        QStringLiteral("runuser"),
        {QStringLiteral("-u"), user.name, QStringLiteral("--"), QStringLiteral("xdg-open"), url.toString()},
        QDir::rootPath());
}

} // namespace

MainWindow::MainWindow(const QStringList& imagePaths, QWidget* parent)
    : QMainWindow(parent)
{
    corvoInitResources();
    setWindowFlags(Qt::CustomizeWindowHint);
    setWindowTitle(tr("CorvoTKL"));
    setStyleSheet("QWidget{font-family:SimSun;}");
    m_playlist = new PlayListPanel(this);
    buildTitleBar();
    m_preview = new PreviewPanel(this);
    m_playlist->buildView();
    m_scan = new ScanPanel(this);
    buildStatusBar();
    m_disks = new DiskPanel(this, imagePaths);
    buildCentralLayout();
    resize(1000, 780);
    setMinimumWidth(1095);
    setMinimumHeight(780);

    // The panels meet only here.
    m_preview->setPlaylist(m_playlist->model(), m_playlist->proxy());
    connect(m_preview, &PreviewPanel::previousWanted, this, &MainWindow::slotUpStep);
    connect(m_preview, &PreviewPanel::nextWanted, this, &MainWindow::slotDownStep);
    connect(m_preview, &PreviewPanel::startWanted, this, &MainWindow::slotPlay);
    connect(m_playlist->view(), &QAbstractItemView::doubleClicked, this, &MainWindow::slotDoubleClicked);
    connect(m_playlist->view()->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &MainWindow::slotonHeaderClicked);
    m_playlist->setScanSources([this] { return m_scan->sources(); });
    m_scan->setPlaylist(m_playlist);
    connect(m_scan, &ScanPanel::TransmitFragmentBatch, this, &MainWindow::slotAddFragmentBatch);
    // Queued, and a signal: the rows it passes on count as signalled ones.
    connect(this, &MainWindow::batchRowsLeft, this, &MainWindow::takeBatchRows, Qt::QueuedConnection);
    connect(m_scan, &ScanPanel::selectDiskEnabled, this, &MainWindow::setSelectDiskEnabled);
    connect(m_scan, &ScanPanel::rowsBuilt, m_disks, &DiskPanel::rowsBuilt);
    connect(m_scan, &ScanPanel::scanStopped, m_disks, &DiskPanel::scanStopped);
    connect(m_scan, &ScanPanel::lastRowEnded, m_disks, &DiskPanel::lastRowEnded);
    connect(m_disks, &DiskPanel::startPressed, this, &MainWindow::slotWantScan);
}

MainWindow::~MainWindow()
{
    stopAllScans();
}

void MainWindow::buildTitleBar()
{
    // The strip behind the title row; it sits at the window's top-left corner
    // under the central widget and spans the desktop so maximising never shows its end.
    m_titleBar = new QWidget(this);
    m_titleBar->setObjectName("titleBar");
    int desktopWidth = 1920;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        desktopWidth = screen->virtualGeometry().width();
    m_titleBar->resize(desktopWidth, 50);
    m_titleBar->setStyleSheet("QWidget{border-image:url(:/images/menu.png)repeat-x;}");
    m_titleBar->setAutoFillBackground(true);
    QPalette titlePalette = m_titleBar->palette();
    titlePalette.setBrush(QPalette::Window, QBrush(QPixmap(":/images/menu.png")));
    m_titleBar->setPalette(titlePalette);

    m_titleRow = new QHBoxLayout;
    m_titleRow->setContentsMargins(0, 0, 0, 0);
    m_titleRow->setSpacing(0);

    m_logoButton = new QPushButton(QIcon(":/images/TKLicon.png"), QString::fromUtf8(kProductTitle), this);
    m_logoButton->setObjectName("logoButton");
    m_logoButton->setFlat(true);
    m_logoButton->setIconSize(QSize(36, 36));
    m_logoButton->resize(36, 36);
    m_logoButton->setStyleSheet(" QPushButton {background-color:transparent;color:white;font:20px 微软雅黑;}");

    m_selectDiskButton = new MyButton(QIcon(":/images/selectDisk.png"), "选择磁盘(ctrl+E)", this);
    m_selectDiskButton->setObjectName("selectDiskButton");
    m_selectDiskButton->setIconSize(QSize(32, 36));
    m_selectDiskButton->resize(79, 40);
    m_selectDiskButton->setShortcut(QKeySequence("ctrl+e"));
    m_selectDiskButton->setStyleSheet(MyButton::kNormalStyle);

    // Beside 选择磁盘 and in its style: reopens a kept scan without rescanning.
    m_openSessionButton = new MyButton(style()->standardIcon(QStyle::SP_DirOpenIcon), "打开记录(ctrl+O)", this);
    m_openSessionButton->setObjectName("openSessionButton");
    m_openSessionButton->setIconSize(QSize(32, 36));
    m_openSessionButton->resize(79, 40);
    m_openSessionButton->setShortcut(QKeySequence("ctrl+o"));
    m_openSessionButton->setStyleSheet(MyButton::kNormalStyle);

    m_mergeButton = new MyButton(QIcon(":/images/merge.png"), "合并恢复(ctrl+R)", this);
    m_mergeButton->setObjectName("mergeButton");
    m_mergeButton->setIconSize(QSize(32, 36));
    m_mergeButton->resize(79, 40);
    m_mergeButton->setShortcut(QKeySequence("ctrl+r"));
    m_mergeButton->setStyleSheet(kCommandButtonStyle);

    m_helpButton = new MyButton(QIcon(":/images/help.png"), "帮助", this);
    m_helpButton->setObjectName("helpButton");
    m_helpButton->setIconSize(QSize(32, 36));
    m_helpButton->resize(79, 40);
    m_helpButton->setStyleSheet(kCommandButtonStyle);

    m_minButton = new QPushButton(QIcon(":/images/min.png"), QString(), this);
    m_minButton->setObjectName("minButton");
    m_minButton->setFlat(true);
    m_minButton->setIconSize(QSize(30, 21));
    m_minButton->setStyleSheet(" QPushButton {background-color:transparent;margin-top:-1px;margin-right:-2px;}");
    m_minButton->setMinimumWidth(30);
    m_minButton->resize(40, 40);

    m_maxButton = new QPushButton(QIcon(":/images/max.png"), QString(), this);
    m_maxButton->setObjectName("maxButton");
    m_maxButton->setFlat(true);
    m_maxButton->setIconSize(QSize(30, 21));
    m_maxButton->setStyleSheet(" QPushButton {background-color:transparent;margin-top:-1px}");
    m_maxButton->setMaximumWidth(30);
    m_maxButton->resize(40, 40);

    m_closeButton = new QPushButton(QIcon(":/images/close.png"), QString(), this);
    m_closeButton->setObjectName("closeButton");
    m_closeButton->setFlat(true);
    m_closeButton->setIconSize(QSize(30, 21));
    m_closeButton->setStyleSheet(" QPushButton {background-color:transparent;margin-top:-2px}");
    m_closeButton->setMaximumWidth(30);
    m_closeButton->resize(40, 40);
    m_closeButton->raise();

    m_titleRow->addWidget(m_logoButton, 0);
    m_titleRow->addStretch(40);
    m_titleRow->addWidget(m_selectDiskButton, 2);
    m_titleRow->addWidget(m_openSessionButton, 2);
    m_titleRow->addWidget(m_mergeButton, 2);
    m_titleRow->addWidget(m_helpButton, 0);
    m_titleRow->addStretch(1);
    m_titleRow->addWidget(m_minButton, 0, Qt::AlignTop | Qt::AlignRight);
    m_titleRow->addWidget(m_maxButton, 0, Qt::AlignTop | Qt::AlignRight);
    m_titleRow->addWidget(m_closeButton, 0, Qt::AlignTop | Qt::AlignRight);

    connect(m_selectDiskButton, SIGNAL(clicked()), this, SLOT(SelectDisk()));
    connect(m_mergeButton, SIGNAL(clicked()), this, SLOT(MergeDisk()));
    connect(m_openSessionButton, &QAbstractButton::clicked, this, &MainWindow::slotOpenSession);
    connect(m_helpButton, SIGNAL(clicked()), this, SLOT(HelpDisk()));
    connect(m_minButton, SIGNAL(clicked()), this, SLOT(minWindowEvent()));
    connect(m_closeButton, SIGNAL(clicked()), this, SLOT(closeWindowEvent()));
    connect(m_maxButton, SIGNAL(clicked()), this, SLOT(maxWindowEvent()));
}

void MainWindow::buildStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setMinimumHeight(25);
    bar->setStyleSheet(
        "QStatusBar,QStatusBar::item{padding:15px;border-image:url(:/images/status_bg.jpg) ;border:0;color:white}");
    bar->setSizeGripEnabled(false);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName("statusLabel");
    m_statusLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_statusLabel->setStyleSheet("QLabel{color:white;font-family:SimSun;}");
    m_statusLabel->setTextFormat(Qt::RichText);
    m_statusLabel->setText(QString::fromUtf8(
        "MarzenTKL监控恢复V6.8&nbsp;&nbsp;&nbsp;&nbsp;"
        "技术支持：<a style=\"color:#8cc8ff;text-decoration:none\" href=\"https://www.marzen-data.com\">"
        "www.marzen-data.com</a>&nbsp;&nbsp;&nbsp;&nbsp;"
        "邮箱：<a style=\"color:#8cc8ff;text-decoration:none\" href=\"mailto:support@marzen-data.com\">"
        "support@marzen-data.com</a>"));
    // Links go through openUrl so that they open in the desktop's browser or mailer.
    m_statusLabel->setOpenExternalLinks(false);
    connect(m_statusLabel, SIGNAL(linkActivated(QString)), this, SLOT(openUrl(QString)));
    bar->addWidget(m_statusLabel, 1);
}

void MainWindow::buildCentralLayout()
{
    auto* central = new QWidget(this);
    central->setObjectName("centralWidget");

    // Every panel has built its widget by now (see the constructor).
    QWidget* scanLabel = m_playlist->scanLabel();
    QWidget* videoLabel = m_playlist->videoLabel();
    QWidget* playlist = m_playlist->view();
    QWidget* playback = m_preview->playWin();
    QWidget* scanTable = m_scan->table();

    auto* leftColumn = new QVBoxLayout;
    leftColumn->setContentsMargins(0, 0, 20, 0);
    leftColumn->setSpacing(0);
    leftColumn->addWidget(scanLabel);
    leftColumn->addSpacing(13);
    leftColumn->addWidget(playlist);

    auto* rightColumn = new QVBoxLayout;
    rightColumn->setSpacing(0);
    rightColumn->addWidget(videoLabel);
    rightColumn->addWidget(playback);

    auto* panels = new QHBoxLayout;
    panels->setSpacing(0);
    panels->addLayout(leftColumn);
    panels->addLayout(rightColumn);

    auto* top = new QVBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    top->addLayout(m_titleRow);
    top->addLayout(panels);

    auto* outer = new QVBoxLayout(central);
    outer->setContentsMargins(6, 1, 6, 6);
    outer->addLayout(top);
    outer->addWidget(scanTable);

    setCentralWidget(central);
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (m_titleBar && m_titleBar->width() < width())
        m_titleBar->resize(width(), m_titleBar->height());
}

void MainWindow::toggleMaximised()
{
    if (isMaximized()) {
        showNormal();
        m_maximised = false;
    } else {
        showMaximized();
        m_maximised = true;
    }
}

void MainWindow::slotSelectFile()
{
    if (m_tableShown) {
        m_tableShown = false;
        m_scan->table()->hide();
        showMaximized();
    } else {
        m_tableShown = true;
        m_scan->table()->show();
        resize(1062, 725);
    }
}

void MainWindow::HelpDisk()
{
    dialogs().information(nullptr, "帮助",
                          "欢迎使用MarzenTKL监控视频恢复软件。本软件用于恢复TKL监控视频文件！"
                          "能恢复误删除、误格式化、突然断电等原因导致的TKL监控视频数据丢失！"
                          "如需硬盘、磁盘阵列或其他存储设备的数据恢复服务，欢迎联系我们的技术支持。",
                          QMessageBox::Ok, QMessageBox::NoButton);
    const QString name = QString::fromUtf8(kHelpFile);
    const QString appDir = QCoreApplication::applicationDirPath();
    // The working directory first, as always; then beside the program and
    // where the package puts its documentation.
    const QStringList manualPlaces{QDir::current().absoluteFilePath(name), QDir(appDir).filePath(name),
                                   QStringLiteral("/usr/share/doc/corvotkl/") + name};
    const QString manual = firstExisting(manualPlaces);
    QString viewer;
    for (const char* v : kChmViewers)
        if (viewer.isEmpty())
            viewer = QStandardPaths::findExecutable(QString::fromLatin1(v));
    // Handing a missing file, or one nothing can read, to the desktop would
    // pop up its own error box or nothing at all.
    if (!manual.isEmpty() && !viewer.isEmpty() && openForUser(QUrl::fromLocalFile(manual)))
        return;

    // No CHM reader: the same guide as HTML, in the desktop's browser.
    const QString guide = firstExisting(helpGuidePlaces());
    if (!guide.isEmpty() && openForUser(QUrl::fromLocalFile(guide)))
        return;
    QString why = manual.isEmpty() ? QStringLiteral("找不到使用手册 %1（已查找 %2）").arg(name, manualPlaces.join(QStringLiteral("、")))
                  : viewer.isEmpty() ? QStringLiteral("没有安装 CHM 阅读器（xchm），无法打开 %1").arg(manual)
                                     : QStringLiteral("无法启动 %1 打开 %2").arg(viewer, manual);
    why += guide.isEmpty() ? QStringLiteral("；也找不到 HTML 版指南（%1）。").arg(helpGuidePlaces().join(QStringLiteral("、")))
                           : QStringLiteral("；也无法在浏览器中打开 %1。").arg(guide);
    dialogs().warning(this, QStringLiteral("帮助"), QStringLiteral("无法打开帮助：") + why, QMessageBox::Ok,
                      QMessageBox::Ok);
}

QStringList& MainWindow::helpGuidePlaces()
{
    static QStringList places{
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("html/index.html")),
        QStringLiteral("/usr/share/doc/corvotkl/html/index.html")};
    return places;
}

void MainWindow::openUrl(QString url)
{
    QDesktopServices::openUrl(QUrl(url));
}

void MainWindow::minWindowEvent()
{
    showMinimized();
}

void MainWindow::maxWindowEvent()
{
    toggleMaximised();
}

void MainWindow::closeWindowEvent()
{
    if (dialogs().question(this, "提示 ", "是否关闭程序?", QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
        QMessageBox::Yes)
        close();
}

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = true;
        m_dragOrigin = event->globalPos();
    }
    QMainWindow::mousePressEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_dragging = false;
    QMainWindow::mouseReleaseEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (m_maximised || isMaximized())
        return;
    if ((event->buttons() & Qt::LeftButton) && m_dragging) {
        move(pos() + (event->globalPos() - m_dragOrigin));
        m_dragOrigin = event->globalPos();
    }
}

void MainWindow::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (m_titleBar && m_titleBar->geometry().contains(event->pos()))
        toggleMaximised();
    else
        QMainWindow::mouseDoubleClickEvent(event);
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event)
{
    QWidget* view = m_playlist->view();
    if (!view || !view->isVisible() || !view->rect().contains(view->mapFromGlobal(event->globalPos()))) {
        event->ignore();
        return;
    }
    auto* menu = new QMenu(this);
    menu->setObjectName("playlistMenu");
    menu->resize(188, 234);
    menu->setStyleSheet("QMenu{background:url(:/images/tree_section.png) repeat;border:1px;border-top:0px;color:white}");
    menu->setWindowOpacity(0.8);
    menu->addAction("排序", this, SLOT(SortItem()));
    menu->addAction("删除", this, SLOT(DeletItem()));
    menu->addAction("导出", this, SLOT(ExportItem()));
    menu->addAction("预览");
    menu->addAction("合并", this, SLOT(PlayListMerge()));
    menu->addAction("导出MP4", this, SLOT(ExportItemMp4()));
    menu->addAction("合并导出MP4", this, SLOT(PlayListMergeMp4()));
    menu->exec(event->globalPos());
    // One menu per right click; do not let them pile up under the window.
    menu->deleteLater();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    stopAllScans();
    // Exports end too: their files closed, their windows gone with ours.
    cancelExportsInFlight();
    CMp4ExportThread::cancelAll();
    QMainWindow::closeEvent(event);
}

void MainWindow::setSelectDiskEnabled(bool enabled)
{
    m_selectDiskButton->setEnabled(enabled);
}

// ---- disk dialog ----

void MainWindow::SelectDisk() { m_disks->selectDisk(); }
void MainWindow::TreeItemChanged(QTreeWidgetItem*, int) { m_disks->treeItemChanged(); }
void MainWindow::TreeItemClicked(QTreeWidgetItem* item, int column) { m_disks->treeItemClicked(item, column); }
void MainWindow::updateParentItem(QTreeWidgetItem* item, int) { m_disks->updateParentItem(item); }
void MainWindow::SelectDiskName() { m_disks->selectDiskNames(); }

void MainWindow::slotWantScan()
{
    m_scanWanted = true;
    scanSelectedTargets();
}

void MainWindow::slotStartScan()
{
    if (m_scanWanted)
        scanSelectedTargets();
}

void MainWindow::scanSelectedTargets()
{
    SelectDiskName();
    if (scanTargetList().isEmpty()) {
        dialogs().warning(nullptr, QStringLiteral("提示 "), QStringLiteral("请选择一个磁盘！"), QMessageBox::Ok,
                          QMessageBox::NoButton);
        return;
    }
    AddScanDetailInfo();
    ScanStartClicked();
}

// ---- scan status panel ----

void MainWindow::stopAllScans() { m_scan->stopAll(); }
void MainWindow::ScanQuitClicked(char cStatusUnusual) { m_scan->quitClicked(cStatusUnusual, sender()); }
void MainWindow::ScanQuitClickedOK() { ScanQuitClicked('N'); }
void MainWindow::ScanStartClicked() { m_scan->startClicked(); }
int MainWindow::getCurrentRow(int mRow, int) { return mRow; }
void MainWindow::ClickedLoction() { m_scan->rowClicked(sender()); }
void MainWindow::OnNotify(long long int i) { m_scan->notify(i); }
void MainWindow::OnNotifyScanOver(bool isOver) { m_scan->notifyScanOver(isOver); }
void MainWindow::AddScanDetailInfo() { m_scan->addRows(); }

// ---- playlist, merge dialogs and their commands ----

void MainWindow::slotAddPlayList(SFragmentFit sFragmentFit, int i)
{
    // Signalled rows may wait for the end of the turn; a direct call shows its row at once.
    m_playlist->addFragment(std::move(sFragmentFit), i, sender() != nullptr);
}

void MainWindow::slotAddFragmentBatch(SFragmentBatch batch)
{
    // Read (and so fixed) only when its turn comes: the scan meanwhile adds
    // to it rather than queueing another.
    m_batchesIn.emplace_back(std::move(batch), 0);
    takeBatchRows();
}

void MainWindow::takeBatchRows()
{
    // A batch may hold tens of thousands of rows: each turn of the event loop
    // passes on at most kRowsPerTurn, the rest follow in the next turns, in
    // order, so the window keeps answering.
    constexpr int kRowsPerTurn = 2048;
    m_batchRowsPosted = false;
    int budget = kRowsPerTurn;
    while (budget > 0 && !m_batchesIn.empty()) {
        const SFragmentBatch& batch = m_batchesIn.front().first;
        int& next = m_batchesIn.front().second;
        const int end = std::min(batch.size(), next + budget);
        // The extent lists all made first: the rows then lie together in
        // memory, which is what sorting and deleting a million of them walk.
        std::vector<SFragmentFit> fragments;
        fragments.reserve(size_t(end - next));
        for (int k = next; k < end; ++k)
            fragments.push_back(batch.fragment(k));
        for (int k = next; k < end; ++k)
            slotAddPlayList(std::move(fragments[size_t(k - next)]), batch.serial(k));
        budget -= end - next;
        next = end;
        if (next == batch.size())
            m_batchesIn.pop_front();
    }
    if (!m_batchesIn.empty() && !m_batchRowsPosted) {
        m_batchRowsPosted = true;
        emit batchRowsLeft();
    }
}

void MainWindow::slotonHeaderClicked(int column) { m_playlist->headerClicked(column); }
void MainWindow::ShowPanelMenu(QPoint) { m_playlist->showMergeListMenu(sender()); }
void MainWindow::SortItem() { m_playlist->sortRows(); }
void MainWindow::DeletItem() { m_playlist->deleteSelectedRows(); }
void MainWindow::ExportItem() { m_playlist->exportSelected(); }
void MainWindow::MergeDisk() { m_playlist->openMergeDialog(); }
void MainWindow::DeletPanelItem() { m_playlist->deleteMergeRows(sender()); }
void MainWindow::StartMerge() { m_playlist->mergeList(sender()); }
void MainWindow::PlayListMerge() { m_playlist->mergeSelected(); }
void MainWindow::ExportItemMp4() { m_playlist->exportSelectedMp4(); }
void MainWindow::PlayListMergeMp4() { m_playlist->mergeSelectedMp4(); }
void MainWindow::SCanResult(int result) { m_playlist->showExportResult(result, QString()); }
void MainWindow::showExportResult(int result, const QString& details) { m_playlist->showExportResult(result, details); }
void MainWindow::Mp4Result(int result, QString message) { m_playlist->showMp4Result(result, message); }
void MainWindow::VideoLogSlot(QString) {}

void MainWindow::slotPlayFragment()
{
    const int row = m_playlist->view()->currentIndex().row();
    if (row >= 0)
        PlayListDoubleClicked(row, 0);
}

// ---- preview area ----

void MainWindow::slotPlay() { m_preview->play(); }
void MainWindow::slotUpStep() { m_preview->step(-1); }
void MainWindow::slotDownStep() { m_preview->step(+1); }
void MainWindow::PlayListClicked(int row, int column) { m_preview->choose(row, column); }
void MainWindow::slotDoubleClicked(QModelIndex index) { PlayListDoubleClicked(index.row(), 0); }
void MainWindow::PlayListDoubleClicked(int row, int) { m_preview->playDoubleClicked(row); }

// ---- saved scans ----

bool MainWindow::openSessionFile(const QString& file)
{
    const QString title = QStringLiteral("提示 ");
    QString why;
    std::unique_ptr<ScanSession> session = ScanSession::open(file, &why);
    if (!session) {
        dialogs().warning(this, title, QStringLiteral("无法打开记录：%1").arg(why), QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    const SessionInfo& info = session->info();
    const QString source = QString::fromLocal8Bit(info.source.name);
    SourceIdentity now;
    if (!identifySource(info.source.name, &now, &why)) {
        dialogs().warning(this, title, QStringLiteral("无法打开记录 %1：找不到它的磁盘 %2（%3）。").arg(file, source, why),
                          QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    const QString changed = identityDifference(info.source, now);
    if (!changed.isEmpty()) {
        dialogs().warning(this, title, QStringLiteral("无法打开记录 %1：磁盘 %2 已经改变（%3）。").arg(file, source, changed),
                          QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    m_playlist->listSavedFragments(*session);
    if (!info.finished && m_statusLabel)
        m_statusLabel->setText(QStringLiteral("记录未扫描完成：已保存到 %1%").arg(ScanPanel::percentSaved(info)));
    return true;
}

void MainWindow::slotOpenSession()
{
    const QString file = dialogs().getOpenFileName(this, QStringLiteral("打开记录"), sessionsFolder(),
                                                   QStringLiteral("扫描记录 (*.session)"));
    if (!file.isEmpty())
        openSessionFile(file);
}
