#include "app/MainWindow.h"

#include "app/Dialogs.h"
#include "app/panels/CButtonAndThread.h"
#include "app/panels/RowSession.h"
#include "disk/Nyx.h"
#include "disk/widget.h"
#include "scan/CFragmentFit.h"
#include "scan/CSchedule.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <cstdio>

namespace {
// How long a rebuild or a close waits for stopped scans: the sampler and the
// scan thread notice a stop at once or within one read. A read stuck on a
// failing disk is not waited for beyond this.
constexpr int kScanEndWaitMs = 3000;

void warnNothingSelected()
{
    dialogs().warning(nullptr, QStringLiteral("提示 "), QStringLiteral("请选择一个磁盘！"), QMessageBox::Ok,
                      QMessageBox::NoButton);
}
} // namespace

void MainWindow::ScanRowDelete::operator()(CButtonAndThread* row) const
{
    if (!row)
        return;
    if (row->threadsRunning()) {
        std::printf("scan row threads still running; the row goes when they end\n");
        row->disconnect();
        row->deleteWhenThreadsEnd();
        return;
    }
    delete row;
}

void MainWindow::buildScanTable()
{
    // Idempotent; main registers them too, but the panel must not depend on it.
    qRegisterMetaType<SFragmentFit>("SFragmentFit");
    qRegisterMetaType<SSchedule>("SSchedule");

    m_scanTable = new QTableWidget(this);
    m_scanTable->setObjectName(QStringLiteral("scanTable"));
    m_scanTable->resize(397, 360);
    m_scanTable->setMinimumHeight(200);
    m_scanTable->setMaximumHeight(250);
    m_scanTable->setRowCount(0);
    m_scanTable->setColumnCount(7);
    m_scanTable->setHorizontalHeaderLabels({QStringLiteral("  位置 "), QStringLiteral("  进度"),
                                            QStringLiteral("已用时间 "), QStringLiteral(" 剩余时间 "),
                                            QStringLiteral(" 开始/暂停"), QStringLiteral("结束"),
                                            QStringLiteral("  扫描状态")});
    m_scanTable->setFont(QFont(QStringLiteral("Helvetica")));
    m_scanTable->setShowGrid(false);
    const int widths[7] = {90, 120, 120, 120, 120, 120, 200};
    for (int c = 0; c < 7; ++c)
        m_scanTable->setColumnWidth(c, widths[c]);
    QHeaderView* header = m_scanTable->horizontalHeader();
    header->setFixedHeight(40);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_scanTable->verticalHeader()->setHidden(true);
    m_scanTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_scanTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scanTable->setSelectionMode(QAbstractItemView::NoSelection);
    m_scanTable->setAcceptDrops(false);
    // An image path outgrows the location column; its file name is the telling end.
    m_scanTable->setWordWrap(false);
    m_scanTable->setTextElideMode(Qt::ElideLeft);
    m_scanTable->setStyleSheet(QStringLiteral(
        "QTableWidget{font-family: arial, sans-serif;border-image:url(:/images/list_bg.png);border:0px ;color:white}"));
    header->setStyleSheet(
        QStringLiteral(" QHeaderView,QHeaderView::section{background-color: transparent;border-image:url(:/images/"
                       "log_list.png) repeat;height:50px;color:white;}"));
}

CButtonAndThread* MainWindow::scanRow(int row) const
{
    if (row < 0 || row >= int(m_scanRows.size()))
        return nullptr;
    return m_scanRows[size_t(row)].get();
}

int MainWindow::scanRowIndex(const QObject* rowOrButton) const
{
    if (!rowOrButton)
        return -1;
    for (size_t i = 0; i < m_scanRows.size(); ++i) {
        const CButtonAndThread* r = m_scanRows[i].get();
        if (r == rowOrButton || r->m_startButton == rowOrButton || r->m_stopButton == rowOrButton)
            return int(i);
    }
    return -1;
}

void MainWindow::setOtherScanRowsEnabled(int row, bool enabled)
{
    for (int i = 0; i < int(m_scanRows.size()); ++i) {
        if (i == row)
            continue;
        CButtonAndThread* r = m_scanRows[size_t(i)].get();
        if (r->m_startButton)
            r->m_startButton->setEnabled(enabled);
        if (r->m_stopButton)
            r->m_stopButton->setEnabled(enabled);
    }
}

void MainWindow::setSelectDiskEnabled(bool enabled)
{
    // Found by name: the button's class belongs to the window chrome.
    if (QWidget* b = findChild<QWidget*>(QStringLiteral("selectDiskButton")))
        b->setEnabled(enabled);
}

void MainWindow::stopAllScans()
{
    for (auto& row : m_scanRows) {
        if (row->stoppedFlag() == 'N')
            row->finishScan('N');
    }
    // All asked first, then waited for together: a paused row's sampler
    // needs up to a second to notice, and they notice in parallel.
    QDeadlineTimer deadline(kScanEndWaitMs);
    for (auto& row : m_scanRows) {
        if (!row->waitThreads(int(qMax<qint64>(0, deadline.remainingTime()))))
            std::printf("scan of %s did not end in time\n", row->devicePath().constData());
    }
}

void MainWindow::ScanQuitClicked(char cStatusUnusual)
{
    // A row's own end signal ends that row; a button ends the current one.
    int row = m_currentScanRow;
    if (qobject_cast<CButtonAndThread*>(sender())) {
        row = scanRowIndex(sender());
        if (row < 0)
            return; // a row already replaced
    }
    CButtonAndThread* r = scanRow(row);

    if (m_diskDialog)
        m_diskDialog->hide();
    if (m_diskTree)
        m_diskTree->setEnabled(true);
    setSelectDiskEnabled(true);
    if (!r)
        return;
    if (r->m_remainingLabel)
        r->m_remainingLabel->setText(QStringLiteral("00:00:00"));
    r->finishScan(cStatusUnusual);
    setOtherScanRowsEnabled(row, true);
}

void MainWindow::ScanQuitClickedOK()
{
    ScanQuitClicked('N');
}

void MainWindow::ScanStartClicked()
{
    if (scanTargetList().isEmpty()) {
        warnNothingSelected();
        return;
    }
    setSelectDiskEnabled(false);
    CButtonAndThread* r = scanRow(m_currentScanRow);
    if (!r)
        return;

    if (r->stoppedFlag() == 'Y') {
        // An ended row whose threads are still winding down (a stop was just
        // asked for) starts once they are done.
        if (r->threadsRunning() && !r->waitThreads(kScanEndWaitMs)) {
            std::printf("previous scan of %s has not ended yet\n", r->devicePath().constData());
            return;
        }
        if (!prepareRowSession(r)) {
            setSelectDiskEnabled(true);
            return;
        }
        r->startScan();
        setOtherScanRowsEnabled(m_currentScanRow, false);
    } else if (r->pausedFlag() == 'Y') {
        r->continueScan();
        setOtherScanRowsEnabled(m_currentScanRow, false);
    } else {
        r->pauseScan();
        setOtherScanRowsEnabled(m_currentScanRow, true);
    }
}

int MainWindow::getCurrentRow(int mRow, int)
{
    return mRow;
}

void MainWindow::ClickedLoction()
{
    QWidget* w = qobject_cast<QWidget*>(sender());
    if (!w)
        return;
    const int own = scanRowIndex(w);
    if (own >= 0) {
        m_currentScanRow = own;
        return;
    }
    if (!m_scanTable)
        return;
    const QModelIndex index = m_scanTable->indexAt(w->frameGeometry().topLeft());
    if (index.isValid())
        m_currentScanRow = index.row();
}

void MainWindow::OnNotify(long long int i)
{
    CButtonAndThread* r = scanRow(m_currentScanRow);
    if (r && r->m_progressBar)
        r->m_progressBar->setValue(i >= 100 ? 100 : int(i - 1));
}

void MainWindow::OnNotifyScanOver(bool isOver)
{
    if (isOver)
        ScanQuitClicked('N');
    if (m_scanRows.empty())
        return;
    if (m_currentScanRow < int(m_scanRows.size()) - 1) {
        ++m_currentScanRow;
        setSelectDiskEnabled(false);
        ScanStartClicked();
        return;
    }
    setSelectDiskEnabled(true);
    if (m_diskDialog)
        m_diskDialog->setEnabled(true);
    setOtherScanRowsEnabled(m_currentScanRow, true);
    if (CButtonAndThread* r = scanRow(m_currentScanRow)) {
        if (r->m_startButton)
            r->m_startButton->setEnabled(false);
        if (r->m_stopButton)
            r->m_stopButton->setEnabled(false);
    }
    m_currentScanRow = 0;
}

void MainWindow::AddScanDetailInfo()
{
    QList<ScanTarget>& targets = scanTargetList();
    if (targets.isEmpty()) {
        warnNothingSelected();
        return;
    }
    if (!m_scanRows.empty()) {
        stopAllScans();
        // The table drops the cells first; the rows then own no widget.
        m_scanTable->setRowCount(0);
        m_rowSessions.clear();
        m_scanRows.clear();
        m_currentScanRow = 0;
    }
    if (m_diskDialog)
        m_diskDialog->hide();
    setSelectDiskEnabled(false);

    const int count = targets.size();
    m_scanRows.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        m_scanRows.emplace_back(new CButtonAndThread());

    for (int i = 0; i < count; ++i) {
        ScanTarget& target = targets[i];
        if (target.startOffset < 0)
            target.startOffset = 0;
        target.startOffset -= target.startOffset % kSectorBytes;
        CButtonAndThread* r = m_scanRows[size_t(i)].get();
        r->setScanTarget(target.name, target.startOffset, target.endOffset);

        m_scanTable->insertRow(i);
        m_scanTable->setRowHeight(i, 30);
        r->m_startButton->resize(20, 25);
        m_scanTable->setCellWidget(i, 4, r->m_startButton);
        r->m_stopButton->setText(QStringLiteral("结束"));
        r->m_stopButton->resize(20, 25);
        m_scanTable->setCellWidget(i, 5, r->m_stopButton);
        m_scanTable->setCellWidget(i, 1, r->m_progressBar);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

        auto* where = new QTableWidgetItem(QStringLiteral("     %1").arg(target.name));
        where->setToolTip(target.name); // image paths outgrow the column
        m_scanTable->setItem(i, 0, where);
        m_scanTable->setCellWidget(i, 2, r->m_elapsedLabel);
        m_scanTable->setCellWidget(i, 3, r->m_remainingLabel);
        m_scanTable->setCellWidget(i, 6, r->m_statusLabel);

        connect(r->m_startButton, &QPushButton::clicked, this, &MainWindow::ClickedLoction);
        connect(r->m_stopButton, &QPushButton::clicked, this, &MainWindow::ClickedLoction);
        connect(r->m_startButton, &QPushButton::clicked, this, &MainWindow::ScanStartClicked);
        connect(r->m_stopButton, &QPushButton::clicked, this, &MainWindow::ScanQuitClickedOK);
        connect(r, &CButtonAndThread::TransmitOver, this, &MainWindow::ScanQuitClicked);
        connect(r->scanThread(), &CFragmentFit::TransmitFragmentBatch, this, &MainWindow::slotAddFragmentBatch);
    }
}
