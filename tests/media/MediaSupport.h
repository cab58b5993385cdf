#pragma once
// Test streams made by ffmpeg, cut into TKL frames on an in-memory disk, and
// ffprobe's view of what was written.

#include "disk/Nyx.h"
#include "scan/SFragmentFit.h"
#include "tools/tklframe/TklFrame.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <memory>
#include <ostream>

namespace mediatest {

inline bool haveFfmpeg()
{
    return !QStandardPaths::findExecutable("ffmpeg").isEmpty() && !QStandardPaths::findExecutable("ffprobe").isEmpty();
}

inline QByteArray runTool(const QString& program, const QStringList& args, int* exitCode = nullptr)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(120000);
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

struct StreamSpec {
    const char* codec; // h264 or hevc
    int fps;
    int seconds;
    int width, height;
    int pictures() const { return fps * seconds; }
};
inline void PrintTo(const StreamSpec& s, std::ostream* os)
{
    *os << s.codec << ' ' << s.width << 'x' << s.height << ' ' << s.fps << " fps";
}

// An Annex B elementary stream, with B-pictures, one keyframe a second.
inline QByteArray encode(const StreamSpec& s)
{
    static QMap<QString, QByteArray> cache;
    const QString key = QStringLiteral("%1-%2-%3-%4x%5").arg(s.codec).arg(s.fps).arg(s.seconds).arg(s.width).arg(s.height);
    if (cache.contains(key))
        return cache[key];
    const bool hevc = QByteArray(s.codec) == "hevc";
    QStringList args{"-v", "error", "-f", "lavfi", "-i",
                     QStringLiteral("testsrc=size=%1x%2:rate=%3").arg(s.width).arg(s.height).arg(s.fps),
                     "-t", QString::number(s.seconds), "-pix_fmt", "yuv420p"};
    if (hevc)
        args << "-c:v" << "libx265" << "-x265-params" << QStringLiteral("log-level=error:keyint=%1:bframes=2").arg(s.fps);
    else
        args << "-c:v" << "libx264" << "-bf" << "2" << "-g" << QString::number(s.fps);
    args << "-f" << (hevc ? "hevc" : "h264") << "-";
    return cache[key] = runTool("ffmpeg", args);
}

// The index of the n-th IDR slice's start code in an H.264 stream.
inline int idrAt(const QByteArray& es, int n)
{
    int seen = 0;
    for (int i = 0; i + 4 < es.size(); ++i) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && (es[i + 3] & 0x1f) == 5 && seen++ == n)
            return i > 0 && es[i - 1] == 0 ? i - 1 : i;
    }
    return -1;
}

// Where the second picture's first slice starts: what a decoder needs of the
// stream for its first picture ends there.
inline int secondPictureAt(const QByteArray& es, bool hevc)
{
    int pictures = 0;
    const int header = hevc ? 2 : 1;
    for (int i = 0; i + 3 + header < es.size(); ++i) {
        if (es[i] != 0 || es[i + 1] != 0 || es[i + 2] != 1)
            continue;
        const int type = hevc ? (es[i + 3] >> 1) & 0x3f : es[i + 3] & 0x1f;
        const bool slice = hevc ? type < 32 : type == 1 || type == 5;
        if (slice && (es[i + 3 + header] & 0x80) && ++pictures == 2)
            return i;
    }
    return es.size();
}

// The stream without its SPS and PPS units, as a recording that goes on
// past the fragment that held them.
inline QByteArray withoutParameterSets(const QByteArray& es)
{
    QByteArray out;
    int unit = 0;
    for (int i = 0; i <= es.size(); ++i) {
        const bool next = i == es.size() || (i + 3 < es.size() && es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1);
        if (!next || i == 0)
            continue;
        const int type = unit + 3 < es.size() ? es[unit + 3] & 0x1f : 0;
        if (type != 7 && type != 8)
            out += es.mid(unit, i - unit);
        unit = i;
        i += 2;
    }
    return out;
}

// A disk in memory: garbage, then recordings cut into TKL frames.
class Disk {
public:
    explicit Disk(QByteArray name = "/mem/disk.img") : m_name(std::move(name)) { garbage(4096); }
    ~Disk() { nyxSetDeviceFactory({}); }

    void garbage(int n)
    {
        for (int i = 0; i < n; ++i)
            m_bytes += char((i * 131 + 7) & 0x7f); // never a header: no 0x00 0x00 0x01
    }
    // Frames payload at m_bytes' end; returns the fragment holding them.
    SFragmentFit add(const QByteArray& payload, int framePayload = 3000)
    {
        const std::string framed = tklframe::frame(reinterpret_cast<const std::uint8_t*>(payload.constData()),
                                                   size_t(payload.size()), size_t(framePayload));
        SFragmentFit f;
        f.diskName = m_name;
        const qint64 start = m_bytes.size();
        m_bytes.append(framed.data(), int(framed.size()));
        f.totalBytes = qint64(framed.size());
        f.frameCount = int((payload.size() + framePayload - 1) / framePayload);
        f.extents = std::make_shared<SExtentList>(SExtentList{SExtent{start, m_bytes.size()}});
        garbage(4096);
        return f;
    }
    QByteArray& bytes() { return m_bytes; }
    // Every device opened from now on reads these bytes.
    void install() const
    {
        const QByteArray bytes = m_bytes;
        nyxSetDeviceFactory([bytes](const QByteArray&) { return std::make_unique<MemoryDevice>(bytes); });
    }

private:
    QByteArray m_name;
    QByteArray m_bytes;
};

inline SPlayListTableItem row(const SFragmentFit& f, int serial)
{
    SPlayListTableItem r;
    r.sFragmentFit = f;
    r.iSerial = serial;
    return r;
}

// ffprobe on the first video stream: nb_read_frames counts pictures decoded,
// nb_read_packets pictures stored.
inline QMap<QString, QString> probeFile(const QString& path)
{
    const QByteArray out = runTool("ffprobe", {"-v", "error", "-count_frames", "-count_packets", "-select_streams", "v:0",
                                               "-show_entries",
                                               "stream=codec_name,nb_read_frames,nb_read_packets,width,height,duration",
                                               "-of", "default=noprint_wrappers=1", path});
    QMap<QString, QString> m;
    for (const QByteArray& line : out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            m[QString::fromUtf8(line.left(eq))] = QString::fromUtf8(line.mid(eq + 1)).trimmed();
    }
    return m;
}

// One MD5 per decoded picture, in presentation order.
inline QByteArrayList pictureHashes(const QString& path, const char* format = nullptr)
{
    QStringList args{"-v", "error"};
    if (format)
        args << "-f" << format;
    args << "-i" << path << "-f" << "framemd5" << "-";
    QByteArrayList hashes;
    for (const QByteArray& line : runTool("ffmpeg", args).split('\n'))
        if (!line.startsWith('#') && line.contains(','))
            hashes << line.split(',').last().trimmed();
    return hashes;
}

} // namespace mediatest
