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

QString CFragmentMediaCache::toolTip(const SPlayListTableItem& row)
{
    const SFragmentFit& f = row.sFragmentFit;
    QString text = QStringLiteral("<b>%1</b><br>%2").arg(CPlayListTableModel::nameText(f, row.iSerial).toHtmlEscaped(),
                                                          CPlayListTableModel::sizeText(f.totalBytes));
    const auto it = m_entries.constFind(row.iSerial);
    if (it == m_entries.constEnd() || !it->done) {
        if (it == m_entries.constEnd()) {
            m_entries.insert(row.iSerial, Entry{});
            m_queue.append(row);
            while (m_queue.size() > kQueueLimit)
                m_entries.remove(m_queue.takeFirst().iSerial);
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
    const SPlayListTableItem row = m_queue.takeLast();
    m_busy = true;
    const QString path = m_dir.filePath(QStringLiteral("thumb-%1.jpg").arg(row.iSerial));
    std::atomic<bool>* abort = &m_abort;
    QMetaObject::invokeMethod(m_worker, [this, row, path, abort] {
        Media::Duration d;
        QString image, note;
        if (!abort->load()) {
            const Media::Thumbnail t = Media::thumbnail(row.sFragmentFit);
            if (t.ok) {
                QFile f(path);
                if (f.open(QIODevice::WriteOnly) && f.write(t.jpeg) == t.jpeg.size() && f.flush())
                    image = path;
            } else {
                note = t.error;
            }
            d = Media::countPictures(row.sFragmentFit, nullptr, abort);
        }
        QMetaObject::invokeMethod(this, "take", Qt::QueuedConnection, Q_ARG(int, row.iSerial), Q_ARG(QString, image),
                                  Q_ARG(Media::Duration, d), Q_ARG(QString, note));
    });
}

void CFragmentMediaCache::take(int serial, QString image, Media::Duration duration, QString note)
{
    m_busy = false;
    auto it = m_entries.find(serial);
    if (it != m_entries.end()) {
        it->done = true;
        it->image = image;
        it->duration = duration;
        it->note = note;
        emit ready(serial);
    }
    dispatch();
}
