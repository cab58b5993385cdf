#include "app/panels/Mp4Export.h"

#include "export/CDlgProgress.h"
#include "export/ExportCore.h"
#include "media/MediaFile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace {

QList<QPointer<CMp4ExportThread>>& live()
{
    static QList<QPointer<CMp4ExportThread>> list;
    return list;
}

} // namespace

CMp4ExportThread::CMp4ExportThread(const QList<SPlayListTableItem>& rows, const QList<SPlayListTableItem>& all,
                                   const QString& target, bool merge)
    : m_rows(rows), m_all(all), m_target(target), m_merge(merge)
{
    qRegisterMetaType<long long int>("long long int");
    m_dlg = new CDlgProgress;
    m_dlg->show();
    connect(this, &CMp4ExportThread::signalSetValue, m_dlg, &CDlgProgress::slotSetValue);
    connect(m_dlg, &CDlgProgress::signalOver, this, &CMp4ExportThread::slotOver);
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    live().append(this);
}

CMp4ExportThread::~CMp4ExportThread()
{
    live().removeAll(this);
    delete m_dlg;
}

bool CMp4ExportThread::cancelAll(int timeoutMs)
{
    QList<QPointer<CMp4ExportThread>> threads = live();
    for (const auto& t : threads)
        if (t) {
            disconnect(t, &CMp4ExportThread::Mp4Notify, nullptr, nullptr);
            t->m_cancel.store(true);
        }
    QDeadlineTimer deadline(timeoutMs);
    for (const auto& t : threads) {
        while (t && t->isRunning() && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (t)
                t->wait(20);
        }
        if (t && t->isRunning())
            return false;
        if (t && t->m_dlg)
            t->m_dlg->close();
    }
    return true;
}

void CMp4ExportThread::run()
{
    QString message;
    const int result = m_merge ? mergeAll(&message) : exportEach(&message);
    emit Mp4Notify(result, message);
}

int CMp4ExportThread::exportEach(QString* message)
{
    qint64 total = 0, before = 0;
    for (const SPlayListTableItem& row : m_rows)
        total += row.sFragmentFit.totalBytes;
    Media::RemuxOptions o;
    o.cancel = &m_cancel;
    o.progress = [&](qint64 done, qint64) { emit signalSetValue(total, before + done); };
    QStringList notes;
    int result = 1;
    for (const SPlayListTableItem& row : m_rows) {
        if (m_cancel.load())
            break;
        QString name = ExportCore::singleFileName(row);
        name.chop(4); // ".TKL"
        const Media::RemuxResult r = Media::remux({row}, m_all, QDir(m_target).filePath(name + ".mp4"), o);
        if (r.status == Media::RemuxResult::Unrecognised) {
            ExportCore::ExportJob job;
            notes << QStringLiteral("%1，已导出为TKL").arg(r.message);
            if (job.exportAll({row}, QFile::encodeName(m_target)) != 1)
                result = 0;
        } else if (r.status != Media::RemuxResult::Written && r.status != Media::RemuxResult::Cancelled) {
            notes << r.message;
            result = 0;
        }
        before += row.sFragmentFit.totalBytes;
        emit signalSetValue(total, before);
    }
    *message = notes.join('\n');
    return result;
}

int CMp4ExportThread::mergeAll(QString* message)
{
    Media::RemuxOptions o;
    o.cancel = &m_cancel;
    o.progress = [&](qint64 done, qint64 total) { emit signalSetValue(total, done); };
    const Media::RemuxResult r = Media::remux(m_rows, m_all, m_target, o);
    switch (r.status) {
    case Media::RemuxResult::Written:
    case Media::RemuxResult::Cancelled:
        return 1;
    case Media::RemuxResult::Unrecognised: {
        const QFileInfo fi(m_target);
        const QString tkl = fi.path() + '/' + fi.completeBaseName() + QStringLiteral(".TKL");
        *message = QStringLiteral("%1，已合并为 %2").arg(r.message, tkl);
        ExportCore::ExportJob job;
        job.onProgress = [this](qint64 total, qint64 inc) { emit signalSetValue(total, inc); };
        return job.videoMerge(m_rows, QFile::encodeName(tkl)) == 1 ? 1 : 0;
    }
    case Media::RemuxResult::Refused:
    case Media::RemuxResult::Failed:
        break;
    }
    *message = r.message;
    return 0;
}
