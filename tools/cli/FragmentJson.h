#pragma once
// One found fragment as one line of JSON. Scripts read these lines, so the
// field order and the spelling stay fixed:
// {"serial":N,"disk":"…","format":14,"stream":N,"first_time":N,"last_time":N,
//  "bytes":N,"frames":N,"extents":[[start,end],…]}
// Header-only: the CLI and the image generator's ground truth share it.

#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QString>

// A JSON string literal. Device names are bytes; invalid UTF-8 becomes U+FFFD.
inline QByteArray corvoJsonString(const QByteArray& bytes)
{
    const QByteArray utf8 = QString::fromUtf8(bytes).toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                char esc[8];
                qsnprintf(esc, sizeof esc, "\\u%04x", u);
                out += esc;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

// Without the trailing newline.
inline QByteArray corvoFragmentJsonLine(int serial, const QByteArray& disk, int format, int stream,
                                        quint32 firstTime, quint32 lastTime, qint64 bytes, int frames,
                                        const SExtentList& extents)
{
    QByteArray line;
    line.reserve(160 + 40 * extents.size());
    line += "{\"serial\":" + QByteArray::number(serial);
    line += ",\"disk\":" + corvoJsonString(disk);
    line += ",\"format\":" + QByteArray::number(format);
    line += ",\"stream\":" + QByteArray::number(stream);
    line += ",\"first_time\":" + QByteArray::number(firstTime);
    line += ",\"last_time\":" + QByteArray::number(lastTime);
    line += ",\"bytes\":" + QByteArray::number(bytes);
    line += ",\"frames\":" + QByteArray::number(frames);
    line += ",\"extents\":[";
    for (int i = 0; i < extents.size(); ++i) {
        if (i)
            line += ',';
        line += '[' + QByteArray::number(extents[i].start) + ',' + QByteArray::number(extents[i].end) + ']';
    }
    line += "]}";
    return line;
}

inline QByteArray corvoFragmentJsonLine(int serial, const SFragmentFit& f)
{
    static const SExtentList kNone;
    return corvoFragmentJsonLine(serial, f.diskName, f.formatCode, f.stream, f.firstTime, f.lastTime,
                                 f.totalBytes, f.frameCount, f.extents ? *f.extents : kNone);
}
