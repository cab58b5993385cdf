#pragma once
// One found fragment as one line of JSON. Scripts read these lines, so the
// field order and the spelling stay fixed:
// {"serial":N,"disk":"…","format":14,"stream":N,"first_time":N,"last_time":N,
//  "bytes":N,"frames":N,"extents":[[start,end],…]}
// Header-only: the CLI and the image generator's ground truth share it.

#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QString>

#include <charconv>

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

// Appends the line (without the newline) to `out`, whose capacity is reused
// from line to line. `quotedDisk` is corvoJsonString(disk), made once per name.
inline void corvoAppendFragmentJson(QByteArray& out, int serial, const QByteArray& quotedDisk, int format,
                                    int stream, quint32 firstTime, quint32 lastTime, qint64 bytes, int frames,
                                    const SExtent* extents, int extentCount)
{
    char num[24];
    const auto put = [&](const char* key, int keyLen, long long v) {
        out.append(key, keyLen);
        out.append(num, int(std::to_chars(num, num + sizeof num, v).ptr - num));
    };
    put("{\"serial\":", 10, serial);
    out.append(",\"disk\":", 8);
    out.append(quotedDisk);
    put(",\"format\":", 10, format);
    put(",\"stream\":", 10, stream);
    put(",\"first_time\":", 14, (long long)firstTime);
    put(",\"last_time\":", 13, (long long)lastTime);
    put(",\"bytes\":", 9, bytes);
    put(",\"frames\":", 10, frames);
    out.append(",\"extents\":[", 12);
    for (int i = 0; i < extentCount; ++i) {
        put(i ? ",[" : "[", i ? 2 : 1, extents[i].start);
        put(",", 1, extents[i].end);
        out.append(']');
    }
    out.append("]}", 2);
}

// Without the trailing newline.
inline QByteArray corvoFragmentJsonLine(int serial, const QByteArray& disk, int format, int stream,
                                        quint32 firstTime, quint32 lastTime, qint64 bytes, int frames,
                                        const SExtentList& extents)
{
    QByteArray line;
    line.reserve(160 + 40 * extents.size());
    corvoAppendFragmentJson(line, serial, corvoJsonString(disk), format, stream, firstTime, lastTime, bytes, frames,
                            extents.constData(), extents.size());
    return line;
}

inline QByteArray corvoFragmentJsonLine(int serial, const SFragmentFit& f)
{
    static const SExtentList kNone;
    return corvoFragmentJsonLine(serial, f.diskName, f.formatCode, f.stream, f.firstTime, f.lastTime,
                                 f.totalBytes, f.frameCount, f.extents ? *f.extents : kNone);
}
