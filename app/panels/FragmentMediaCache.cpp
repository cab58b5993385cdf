#include "app/panels/FragmentMediaCache.h"

#include "app/panels/PlayListModel.h"
#include "app/panels/ScanState.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QPointer>
#include <QUrl>

CFragmentMediaCache& CFragmentMediaCache::instance()
{
    static QPointer<CFragmentMediaCache> cache;
    if (!cache)
        cache = new CFragmentMediaCache(QCoreApplication::instance());
    return *cache;
}

CFragmentMediaCache::CFragmentMediaCache(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<Media::Duration>("Media::Duration");
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start(QThread::LowestPriority);
    m_retry.setInterval(500);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &CFragmentMediaCache::dispatch);
}

CFragmentMediaCache::~CFragmentMediaCache()
{
    m_abort.store(true);
    m_thread.quit();
    // A job in flight reads at most a fragment's head and counts its
    // pictures, which the abort ends at the next picture: never destroyed running.
    m_thread.wait();
}

QString CFragmentMediaCache::toolTip(const SPlayListTableItem& row, const QList<SPlayListTableItem>& all)
{
    const SFragmentFit& f = row.sFragmentFit;
    QString text = QStringLiteral("<b>%1</b><br>%2").arg(CPlayListTableModel::nameText(f, row.iSerial).toHtmlEscaped(),
                                                          CPlayListTableModel::sizeText(f.totalBytes));
    const QString key = keyOf(f);
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd() || !it->done) {
        if (it == m_entries.constEnd()) {
            m_entries.insert(key, Entry{});
            Job job;
            job.key = key;
            job.row = row;
            if (const SPlayListTableItem* prev = Media::precedingFragment(all, f)) {
                job.hasPrevious = true;
                job.previous = prev->sFragmentFit;
            }
            m_queue.append(job);
            while (m_queue.size() > kQueueLimit)
                m_entries.remove(m_queue.takeFirst().key);
            dispatch();
        }
        return text + QStringLiteral("<br>时长和缩略图生成中…");
    }
    if (it->duration.known) {
        const qint64 s = qint64(it->duration.seconds + 0.5);
        text += QStringLiteral("<br>时长 %1").arg(QString::asprintf("%02lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60));
    }
    if (!it->image.isEmpty())
        text += QStringLiteral("<br><img src=\"%1\">").arg(QUrl::fromLocalFile(it->image).toString().toHtmlEscaped());
    else if (!it->note.isEmpty())
        text += QStringLiteral("<br>%1").arg(it->note.toHtmlEscaped());
    return text;
}

void CFragmentMediaCache::dispatch()
{
    if (m_busy || m_queue.isEmpty())
        return;
    if (cScanState == 'N') { // a scan is reading: later
        m_retry.start();
        return;
    }
    // Newest first: the row the pointer is on now.
    const Job job = m_queue.takeLast();
    m_busy = true;
    const QString path = m_dir.filePath(QStringLiteral("thumb-%1.jpg").arg(++m_files));
    std::atomic<bool>* abort = &m_abort;
    QMetaObject::invokeMethod(m_worker, [this, job, path, abort] {
        const SPlayListTableItem& row = job.row;
        const SFragmentFit* previous = job.hasPrevious ? &job.previous : nullptr;
        Media::Duration d;
        QString image, note;
        if (!abort->load()) {
            const Media::Thumbnail t = Media::thumbnail(row.sFragmentFit, 320, previous);
            if (t.ok) {
                QFile f(path);
                if (f.open(QIODevice::WriteOnly) && f.write(t.jpeg) == t.jpeg.size() && f.flush())
                    image = path;
            } else {
                note = t.error;
            }
            d = Media::countPictures(row.sFragmentFit, previous, abort);
        }
        QMetaObject::invokeMethod(this, "take", Qt::QueuedConnection, Q_ARG(QString, job.key), Q_ARG(int, row.iSerial), Q_ARG(QString, image),
                                  Q_ARG(Media::Duration, d), Q_ARG(QString, note));
    });
}

QString CFragmentMediaCache::keyOf(const SFragmentFit& f)
{
    const qint64 at = f.extents && !f.extents->isEmpty() ? f.extents->first().start : -1;
    return QStringLiteral("%1@%2+%3").arg(QString::fromLocal8Bit(f.diskName)).arg(at).arg(f.totalBytes);
}

void CFragmentMediaCache::take(QString key, int serial, QString image, Media::Duration duration, QString note)
{
    m_busy = false;
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        it->done = true;
        it->image = image;
        it->duration = duration;
        it->note = note;
        emit ready(serial);
    }
    dispatch();
}
