// The scan status panel: its rows, the commands on them, and their sessions.
#include "app/panels/ScanPanel.h"

#include "gui/Dialogs.h"
#include "app/panels/CButtonAndThread.h"
#include "app/panels/PlaylistFeed.h"
#include "app/panels/RowSession.h"
#include "disk/SourceGuard.h"
#include "session/ScanSession.h"
#include "disk/Nyx.h"
#include "disk/widget.h"
#include "scan/CFragmentFit.h"
#include "scan/CSchedule.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

const QString kTitle = QStringLiteral("提示 ");

// A session that does not fit is moved aside, never overwritten.
void keepAside(const QString& file)
{
    const QString aside = file + "." + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) + ".old";
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::rename(file + suffix, aside + suffix);
}

void warnNothingSelected()
{
    dialogs().warning(nullptr, QStringLiteral("提示 "), QStringLiteral("请选择一个磁盘！"), QMessageBox::Ok,
                      QMessageBox::NoButton);
}
} // namespace

void ScanPanel::ScanRowDelete::operator()(CButtonAndThread* row) const
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

ScanPanel::ScanPanel(QWidget* window) : QObject(window), m_window(window)
{
    // Idempotent; main registers them too, but the panel must not depend on it.
    qRegisterMetaType<SFragmentFit>("SFragmentFit");
    qRegisterMetaType<SSchedule>("SSchedule");

    m_scanTable = new QTableWidget(window);
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

ScanPanel::~ScanPanel()
{
    stopAll();
    // Sessions first: they write what the rows' scans sent.
    m_rowSessions.clear();
    m_scanRows.clear();
}

CButtonAndThread* ScanPanel::row(int row) const
{
    if (row < 0 || row >= int(m_scanRows.size()))
        return nullptr;
    return m_scanRows[size_t(row)].get();
}

QList<QByteArray> ScanPanel::sources() const
{
    QList<QByteArray> paths;
    for (const auto& r : m_scanRows)
        paths.append(r->devicePath());
    return paths;
}

int ScanPanel::rowIndex(const QObject* rowOrButton) const
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

void ScanPanel::setOtherRowsEnabled(int row, bool enabled)
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

void ScanPanel::stopAll()
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

void ScanPanel::quitClicked(char cStatusUnusual, QObject* origin)
{
    // A row's own end signal ends that row; a button ends the current one.
    int row = m_currentScanRow;
    if (qobject_cast<CButtonAndThread*>(origin)) {
        row = rowIndex(origin);
        if (row < 0)
            return; // a row already replaced
    }
    CButtonAndThread* r = this->row(row);

    emit scanStopped();
    emit selectDiskEnabled(true);
    if (!r)
        return;
    if (r->m_remainingLabel)
        r->m_remainingLabel->setText(QStringLiteral("00:00:00"));
    r->finishScan(cStatusUnusual);
    setOtherRowsEnabled(row, true);
}

void ScanPanel::startClicked()
{
    if (scanTargetList().isEmpty()) {
        warnNothingSelected();
        return;
    }
    emit selectDiskEnabled(false);
    CButtonAndThread* r = row(m_currentScanRow);
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
            emit selectDiskEnabled(true);
            return;
        }
        r->startScan();
        setOtherRowsEnabled(m_currentScanRow, false);
    } else if (r->pausedFlag() == 'Y') {
        r->continueScan();
        setOtherRowsEnabled(m_currentScanRow, false);
    } else {
        r->pauseScan();
        setOtherRowsEnabled(m_currentScanRow, true);
    }
}

void ScanPanel::rowClicked(QObject* origin)
{
    QWidget* w = qobject_cast<QWidget*>(origin);
    if (!w)
        return;
    const int own = rowIndex(w);
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

void ScanPanel::notify(long long int i)
{
    CButtonAndThread* r = row(m_currentScanRow);
    if (r && r->m_progressBar)
        r->m_progressBar->setValue(i >= 100 ? 100 : int(i - 1));
}

void ScanPanel::notifyScanOver(bool isOver)
{
    if (isOver)
        quitClicked('N', nullptr);
    if (m_scanRows.empty())
        return;
    if (m_currentScanRow < int(m_scanRows.size()) - 1) {
        ++m_currentScanRow;
        emit selectDiskEnabled(false);
        startClicked();
        return;
    }
    emit selectDiskEnabled(true);
    emit lastRowEnded();
    setOtherRowsEnabled(m_currentScanRow, true);
    if (CButtonAndThread* r = row(m_currentScanRow)) {
        if (r->m_startButton)
            r->m_startButton->setEnabled(false);
        if (r->m_stopButton)
            r->m_stopButton->setEnabled(false);
    }
    m_currentScanRow = 0;
}

void ScanPanel::addRows()
{
    QList<ScanTarget>& targets = scanTargetList();
    if (targets.isEmpty()) {
        warnNothingSelected();
        return;
    }
    if (!m_scanRows.empty()) {
        stopAll();
        // The table drops the cells first; the rows then own no widget.
        m_scanTable->setRowCount(0);
        m_rowSessions.clear();
        m_scanRows.clear();
        m_currentScanRow = 0;
    }
    emit rowsBuilt();
    emit selectDiskEnabled(false);

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

        QPushButton* startButton = r->m_startButton;
        QPushButton* stopButton = r->m_stopButton;
        connect(startButton, &QPushButton::clicked, this, [this, startButton] { rowClicked(startButton); });
        connect(stopButton, &QPushButton::clicked, this, [this, stopButton] { rowClicked(stopButton); });
        connect(startButton, &QPushButton::clicked, this, &ScanPanel::startClicked);
        connect(stopButton, &QPushButton::clicked, this, [this] { quitClicked('N', nullptr); });
        connect(r, &CButtonAndThread::TransmitOver, this, [this, r](char c) { quitClicked(c, r); });
        connect(r->scanThread(), &CFragmentFit::TransmitFragmentBatch, this, &ScanPanel::TransmitFragmentBatch);
    }
}

QString ScanPanel::percentSaved(const SessionInfo& i)
{
    const qint64 span = std::max<qint64>(1, i.rangeEnd - i.rangeStart);
    const double pct = 100.0 * double(std::max<qint64>(0, i.savedPosition - i.rangeStart)) / double(span);
    return QString::number(std::min(pct, 100.0), 'f', 1);
}

bool ScanPanel::prepareRowSession(CButtonAndThread* row)
{
    const QByteArray name = row->devicePath().mid(4);
    SourceIdentity id;
    QString why;
    // A source that cannot be opened is reported by the scan itself.
    if (!identifySource(name, &id, &why))
        return true;
    const QString file = sessionFileFor(id);
    // One guard judges the session file, its journal beside it, and whether
    // it is the source itself: not even its folder is made on a source.
    QString refused = SourceGuard({row->devicePath()}).check(QFile::encodeName(QFileInfo(file).absoluteFilePath()));
    if (refused.isEmpty() && !QDir().mkpath(QFileInfo(file).absolutePath()))
        refused = QStringLiteral("the folder %1 cannot be made").arg(QFileInfo(file).absolutePath());
    if (!refused.isEmpty()) {
        dialogs().warning(m_window, kTitle,
                          QStringLiteral("无法保存扫描记录：%1\n扫描照常进行，但中断后需要重新扫描。")
                              .arg(QStringLiteral("cannot keep the session %1: %2").arg(file, refused)),
                          QMessageBox::Ok, QMessageBox::NoButton);
        m_rowSessions.erase(row);
        return true;
    }

    std::unique_ptr<ScanSession> session;
    auto current = m_rowSessions.find(row);
    const bool listedHere = current != m_rowSessions.end() && current->second->session()->info().file == file;
    if (listedHere) {
        // This window scanned it: its fragments are on the playlist already.
        const SessionInfo info = current->second->session()->info();
        current->second.reset();
        session = ScanSession::open(file, &why);
        if (session && info.finished) {
            const auto answer = dialogs().question(
                m_window, kTitle, QStringLiteral("%1 已经扫描完成（%2 个片段）。\n是否重新扫描？").arg(QString::fromLocal8Bit(name)).arg(info.closedCount),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
            if (answer != QMessageBox::Yes) {
                m_rowSessions[row] = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
                return false;
            }
            session.reset();
        } else if (session) {
            const auto answer = dialogs().question(
                m_window, kTitle,
                QStringLiteral("对 %1 的扫描停在 %2%。\n是否从停下的位置继续扫描？\n选“否”重新扫描。")
                    .arg(QString::fromLocal8Bit(name), percentSaved(info)),
                QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
            if (answer == QMessageBox::Cancel) {
                m_rowSessions[row] = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
                return false;
            }
            if (answer == QMessageBox::No)
                session.reset();
        }
    } else if (QFileInfo::exists(file)) {
        session = ScanSession::open(file, &why);
        if (session && (!identityDifference(session->info().source, id).isEmpty() ||
                        session->info().rangeStart != row->rangeStart() || session->info().rangeEnd != row->rangeEnd())) {
            session.reset();
            keepAside(file);
        } else if (session) {
            const SessionInfo info = session->info();
            const QString where = QString::fromLocal8Bit(name);
            if (info.finished) {
                const auto answer = dialogs().question(
                    m_window, kTitle,
                    QStringLiteral("%1 上次已经扫描完成（%2 个片段）。\n选“是”重新扫描；选“否”列出上次找到的片段，不再扫描。")
                        .arg(where).arg(info.closedCount),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::No);
                if (answer == QMessageBox::Cancel)
                    return false;
                if (answer == QMessageBox::No) {
                    m_playlist->listSavedFragments(*session);
                    m_rowSessions[row] = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
                    return false;
                }
                session.reset();
            } else {
                const auto answer = dialogs().question(
                    m_window, kTitle,
                    QStringLiteral("上次对 %1 的扫描没有完成：已保存到 %2%，找到 %3 个片段。\n是否从上次的位置继续扫描？\n选“否”重新扫描。")
                        .arg(where, percentSaved(info)).arg(info.closedCount),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
                if (answer == QMessageBox::Cancel)
                    return false;
                if (answer == QMessageBox::Yes) {
                    m_playlist->listSavedFragments(*session);
                } else {
                    session.reset();
                }
            }
        }
    }
    if (session && !session->info().finished) {
        ScanResumePoint point = session->resumePoint();
        for (SFragmentFit& f : point.open)
            f.diskName = name;
        if (point.position >= 0) {
            m_playlist->dropRowsContinuedBy(point);
            row->setResumePoint(point);
        }
    } else {
        session = ScanSession::create(file, id, row->rangeStart(), row->rangeEnd(), &why);
        if (!session) {
            dialogs().warning(m_window, kTitle, QStringLiteral("无法保存扫描记录：%1\n扫描照常进行，但中断后需要重新扫描。").arg(why),
                              QMessageBox::Ok, QMessageBox::NoButton);
            m_rowSessions.erase(row);
            return true;
        }
    }
    auto recorder = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
    connect(recorder.get(), &RowSession::failed, this, [this](const QString& reason) {
        dialogs().warning(m_window, kTitle, QStringLiteral("无法继续保存扫描记录：%1\n扫描照常进行。").arg(reason), QMessageBox::Ok,
                          QMessageBox::NoButton);
    });
    m_rowSessions[row] = std::move(recorder);
    return true;
}

