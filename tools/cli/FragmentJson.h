#pragma once
// One found fragment as one line of JSON. Scripts read these lines, so the
// field order and the spelling stay fixed:
// {"serial":N,"disk":"…","format":14,"stream":N,"first_time":N,"last_time":N,
//  "bytes":N,"frames":N,"extents":[[start,end],…]}
// Header-only: the CLI and the image generator's ground truth share it.

#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QString>

#include <cstring>
#include <vector>

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

// Digits of u in decimal: compared with powers of ten, not divided.
inline int corvoDecimalDigits(unsigned long long u)
{
    int n = 1;
    for (unsigned long long ten = 10; n < 20 && u >= ten; ten *= 10)
        ++n;
    return n;
}

// Characters of v in decimal, its sign included.
inline int corvoNumberWidth(long long v)
{
    const unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    return corvoDecimalDigits(u) + (v < 0);
}

// Writes v in decimal at p (at most 20 characters); returns the end.
// Two digits a step: a row holds a dozen numbers, and a dense disk millions of rows.
inline char* corvoWriteNumber(char* p, long long v)
{
    static const char kPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                 "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                 "8081828384858687888990919293949596979899";
    unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    if (v < 0)
        *p++ = '-';
    const int n = corvoDecimalDigits(u);
    // Filled from the end in place: no copy, no call per number.
    char* d = p + n;
    while (u >= 100) {
        const unsigned k = unsigned(u % 100) * 2;
        u /= 100;
        *--d = kPairs[k + 1];
        *--d = kPairs[k];
    }
    if (u >= 10) {
        *--d = kPairs[u * 2 + 1];
        *--d = kPairs[u * 2];
    } else {
        *--d = char('0' + u);
    }
    return p + n;
}

// Room the line needs, at most.
inline int corvoFragmentJsonBound(int quotedDiskSize, int extentCount)
{
    return 200 + quotedDiskSize + 44 * extentCount;
}

// Writes the line (without the newline) at p, which has room for
// corvoFragmentJsonBound characters; returns its end. `quotedDisk` is
// corvoJsonString(disk), made once per name.
inline char* corvoWriteFragmentJson(char* p, int serial, const QByteArray& quotedDisk, int format, int stream,
                                    quint32 firstTime, quint32 lastTime, qint64 bytes, int frames,
                                    const SExtent* extents, int extentCount)
{
    const auto key = [&p](const char* text, size_t len) {
        std::memcpy(p, text, len);
        p += len;
    };
    const auto num = [&p](long long v) { p = corvoWriteNumber(p, v); };
    key("{\"serial\":", 10);
    num(serial);
    key(",\"disk\":", 8);
    key(quotedDisk.constData(), size_t(quotedDisk.size()));
    key(",\"format\":", 10);
    num(format);
    key(",\"stream\":", 10);
    num(stream);
    key(",\"first_time\":", 14);
    num(firstTime);
    key(",\"last_time\":", 13);
    num(lastTime);
    key(",\"bytes\":", 9);
    num(bytes);
    key(",\"frames\":", 10);
    num(frames);
    key(",\"extents\":[", 12);
    for (int i = 0; i < extentCount; ++i) {
        key(i ? ",[" : "[", i ? 2 : 1);
        num(extents[i].start);
        *p++ = ',';
        num(extents[i].end);
        *p++ = ']';
    }
    key("]}", 2);
    return p;
}

// Appends the line (without the newline) to `out`.
inline void corvoAppendFragmentJson(QByteArray& out, int serial, const QByteArray& quotedDisk, int format,
                                    int stream, quint32 firstTime, quint32 lastTime, qint64 bytes, int frames,
                                    const SExtent* extents, int extentCount)
{
    char local[1024];
    std::vector<char> large;
    char* start = local;
    const int bound = corvoFragmentJsonBound(quotedDisk.size(), extentCount);
    if (bound > int(sizeof local)) {
        large.resize(size_t(bound));
        start = large.data();
    }
    const char* end = corvoWriteFragmentJson(start, serial, quotedDisk, format, stream, firstTime, lastTime, bytes,
                                             frames, extents, extentCount);
    out.append(start, int(end - start));
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
