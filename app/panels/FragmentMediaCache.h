#pragma once
// Durations and thumbnails for the playlist's tooltips, made on demand on
// one low-priority worker with a short queue, and kept. Work waits while a
// scan runs unpaused, so a tooltip never sends the disk's head away from it.

#include "media/MediaFile.h"
#include "scan/SFragmentFit.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>

class CFragmentMediaCache : public QObject {
    Q_OBJECT
public:
    // One per application, deleted with it. GUI thread only.
    static CFragmentMediaCache& instance();
    ~CFragmentMediaCache() override;

    // Size, duration and picture as rich text; asks for what is not known
    // yet (the text then says so).
    QString toolTip(const SPlayListTableItem& row);
    // Most requests waiting; older ones are dropped (the pointer has moved on).
    static constexpr int kQueueLimit = 8;

signals:
    void ready(int serial);

private slots:
    void dispatch();
    void take(int serial, QString image, Media::Duration duration, QString note);

private:
    explicit CFragmentMediaCache(QObject* parent);
    struct Entry {
        bool done = false;
        QString image; // file path of the JPEG
        Media::Duration duration;
        QString note;
    };
    QHash<int, Entry> m_entries;
    QList<SPlayListTableItem> m_queue;
    bool m_busy = false;
    QThread m_thread;
    QObject* m_worker = nullptr;
    QTimer m_retry;
    QTemporaryDir m_dir;
    std::atomic<bool> m_abort{false};
};
