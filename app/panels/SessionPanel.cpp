#include "app/MainWindow.h"

#include "app/Dialogs.h"
#include "app/MyButton.h"
#include "app/panels/CButtonAndThread.h"
#include "app/panels/PlayListModel.h"
#include "app/panels/RowSession.h"
#include "disk/SourceGuard.h"
#include "session/ScanSession.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>

namespace {

const QString kTitle = QStringLiteral("提示 ");

QString percentSaved(const SessionInfo& i)
{
    const qint64 span = std::max<qint64>(1, i.rangeEnd - i.rangeStart);
    const double pct = 100.0 * double(std::max<qint64>(0, i.savedPosition - i.rangeStart)) / double(span);
    return QString::number(std::min(pct, 100.0), 'f', 1);
}

// A session that does not fit is moved aside, never overwritten.
void keepAside(const QString& file)
{
    const QString aside = file + "." + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) + ".old";
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::rename(file + suffix, aside + suffix);
}

} // namespace

void MainWindow::listSavedFragments(const ScanSession& session)
{
    const QList<SessionFragment> saved = session.closedFragments();
    const bool alone = m_playlistModel->rowCount() == 0 && m_pendingRows.isEmpty();
    if (alone)
        CFragmentFit::fragmentSerial = std::max(CFragmentFit::fragmentSerial.load(), session.lastSerial());
    for (const SessionFragment& f : saved) {
        SPlayListTableItem item;
        item.sFragmentFit = f.fragment;
        // The fragments name the source as it is found now.
        item.sFragmentFit.diskName = session.info().source.name;
        item.iSerial = alone ? f.serial : ++CFragmentFit::fragmentSerial;
        m_pendingRows.append(item);
    }
    addPendingRows(true);
}

bool MainWindow::prepareRowSession(CButtonAndThread* row)
{
    const QByteArray name = row->devicePath().mid(4);
    SourceIdentity id;
    QString why;
    // A source that cannot be opened is reported by the scan itself.
    if (!identifySource(name, &id, &why))
        return true;
    const QString file = sessionFileFor(id);
    // Not even the folder is made on a source; the check below says why.
    if (SourceGuard({row->devicePath()}).check(QFile::encodeName(file)).isEmpty())
        QDir().mkpath(sessionsFolder());
    if (!checkSessionDestination(file, name, &why)) {
        dialogs().warning(this, kTitle, QStringLiteral("无法保存扫描记录：%1\n扫描照常进行，但中断后需要重新扫描。").arg(why),
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
                this, kTitle, QStringLiteral("%1 已经扫描完成（%2 个片段）。\n是否重新扫描？").arg(QString::fromLocal8Bit(name)).arg(info.closedCount),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
            if (answer != QMessageBox::Yes) {
                m_rowSessions[row] = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
                return false;
            }
            session.reset();
        } else if (session) {
            const auto answer = dialogs().question(
                this, kTitle,
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
                    this, kTitle,
                    QStringLiteral("%1 上次已经扫描完成（%2 个片段）。\n选“是”重新扫描；选“否”列出上次找到的片段，不再扫描。")
                        .arg(where).arg(info.closedCount),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::No);
                if (answer == QMessageBox::Cancel)
                    return false;
                if (answer == QMessageBox::No) {
                    listSavedFragments(*session);
                    m_rowSessions[row] = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
                    return false;
                }
                session.reset();
            } else {
                const auto answer = dialogs().question(
                    this, kTitle,
                    QStringLiteral("上次对 %1 的扫描没有完成：已保存到 %2%，找到 %3 个片段。\n是否从上次的位置继续扫描？\n选“否”重新扫描。")
                        .arg(where, percentSaved(info)).arg(info.closedCount),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
                if (answer == QMessageBox::Cancel)
                    return false;
                if (answer == QMessageBox::Yes) {
                    listSavedFragments(*session);
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
        if (point.position >= 0)
            row->setResumePoint(point);
    } else {
        session = ScanSession::create(file, id, row->rangeStart(), row->rangeEnd(), &why);
        if (!session) {
            dialogs().warning(this, kTitle, QStringLiteral("无法保存扫描记录：%1\n扫描照常进行，但中断后需要重新扫描。").arg(why),
                              QMessageBox::Ok, QMessageBox::NoButton);
            m_rowSessions.erase(row);
            return true;
        }
    }
    auto recorder = std::make_unique<RowSession>(std::move(session), row->scanThread(), this);
    connect(recorder.get(), &RowSession::failed, this, [this](const QString& reason) {
        dialogs().warning(this, kTitle, QStringLiteral("无法继续保存扫描记录：%1\n扫描照常进行。").arg(reason), QMessageBox::Ok,
                          QMessageBox::NoButton);
    });
    m_rowSessions[row] = std::move(recorder);
    return true;
}

bool MainWindow::openSessionFile(const QString& file)
{
    QString why;
    std::unique_ptr<ScanSession> session = ScanSession::open(file, &why);
    if (!session) {
        dialogs().warning(this, kTitle, QStringLiteral("无法打开记录：%1").arg(why), QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    const SessionInfo& info = session->info();
    const QString source = QString::fromLocal8Bit(info.source.name);
    SourceIdentity now;
    if (!identifySource(info.source.name, &now, &why)) {
        dialogs().warning(this, kTitle, QStringLiteral("无法打开记录 %1：找不到它的磁盘 %2（%3）。").arg(file, source, why),
                          QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    const QString changed = identityDifference(info.source, now);
    if (!changed.isEmpty()) {
        dialogs().warning(this, kTitle, QStringLiteral("无法打开记录 %1：磁盘 %2 已经改变（%3）。").arg(file, source, changed),
                          QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    listSavedFragments(*session);
    if (!info.finished && m_statusLabel)
        m_statusLabel->setText(QStringLiteral("记录未扫描完成：已保存到 %1%").arg(percentSaved(info)));
    return true;
}

void MainWindow::slotOpenSession()
{
    const QString file = dialogs().getOpenFileName(this, QStringLiteral("打开记录"), sessionsFolder(),
                                                   QStringLiteral("扫描记录 (*.session)"));
    if (!file.isEmpty())
        openSessionFile(file);
}
