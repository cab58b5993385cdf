#pragma once
// Images with known bytes and hand-built rows.

#include "disk/Nyx.h"
#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace exporttest {

// Bytes that differ at every offset, so a shifted or repeated copy shows.
inline QByteArray patternBytes(qint64 size, quint32 seed)
{
    QByteArray b(int(size), Qt::Uninitialized);
    quint32 x = seed ? seed : 1;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[int(i)] = char(x);
    }
    return b;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

inline SPlayListTableItem makeRow(const QByteArray& diskName, std::initializer_list<SExtent> extents, int serial,
                                  int stream = 0, quint32 first = 0, quint32 last = 0)
{
    SPlayListTableItem row;
    row.sFragmentFit.diskName = diskName;
    row.sFragmentFit.stream = stream;
    row.sFragmentFit.firstTime = first;
    row.sFragmentFit.lastTime = last;
    SExtentList list;
    qint64 total = 0;
    for (const SExtent& e : extents) {
        list.append(e);
        total += e.end - e.start;
    }
    row.sFragmentFit.totalBytes = total;
    row.sFragmentFit.frameCount = list.size();
    row.sFragmentFit.extents = std::make_shared<const SExtentList>(list);
    row.iSerial = serial;
    return row;
}

// The bytes a row's export must hold: its extents of image, in order.
inline QByteArray expectedBytes(const QByteArray& image, const SPlayListTableItem& row)
{
    QByteArray out;
    for (const SExtent& e : *row.sFragmentFit.extents)
        out += image.mid(int(e.start), int(e.end - e.start));
    return out;
}

// Restores the real devices when a test ends, whatever it asserted.
struct FactoryGuard {
    ~FactoryGuard() { nyxSetDeviceFactory({}); }
};

} // namespace exporttest
