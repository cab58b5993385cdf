#pragma once
// Thumbnails of many fragments at once and the HTML contact sheet that shows
// them: a picture, serial, size, duration and offset per fragment, in disk
// order, in pages any browser opens.

#include "media/MediaFile.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>

namespace Media {

constexpr int kSheetPageSize = 300;

struct SheetEntry {
    int serial = 0;
    qint64 bytes = 0;
    qint64 offset = 0;
    Duration duration;
    QString image;   // file name beside the page, empty without a picture
    QString note;    // why there is no picture
};

// Makes one JPEG per row into dir as thumb-SERIAL.jpg on `threads` workers
// and returns the entries (in the rows' order). Rows that give no picture
// get a note instead. progress(done, total) is called from the workers.
QList<SheetEntry> makeThumbnails(const QList<SPlayListTableItem>& rows, const QString& dir, int threads,
                                 const std::function<void(int done, int total)>& progress = {},
                                 const std::atomic<bool>* cancel = nullptr);

// Writes index.html (and index-2.html, … beyond kSheetPageSize entries),
// entries sorted by offset. false with *error naming the file and reason.
bool writeContactSheet(const QList<SheetEntry>& entries, const QString& dir, const QString& title, QString* error);

} // namespace Media
