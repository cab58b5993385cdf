#pragma once
// Fragments as video people can play: the payload probed with libavformat
// and remuxed without re-encoding (H.264/H.265 into MP4, other recognised
// streams into Matroska), its pictures counted for a duration, and its first
// decodable picture made into a JPEG thumbnail.

#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <atomic>
#include <functional>

class NyxCIOSystemDevice;

namespace Media {

// Recorders without timing information record PAL rate.
constexpr int kDefaultFps = 25;
// How much of a fragment's head a thumbnail or a probe may read.
constexpr qint64 kHeadBytes = 2 << 20;

// How much of a payload's head the cheap check below looks at.
constexpr int kSniffBytes = 64 << 10;
// A cheap check on a payload's head before anything else: a recorder stream
// (H.264/H.265 Annex B, read by our own code) has NAL units whose headers and
// first fields make sense every few kilobytes; a transport stream (the one
// thing left to libavformat) has its sync byte every 188 bytes. Noise and
// zero-filled damage fail it. False means no probe would recognise it.
bool looksLikeVideo(const char* head, int size);
bool looksLikeTransportStream(const char* head, int size);
// Payloads handed to libavformat's probe so far, in this process.
qint64 ffmpegProbes();

struct StreamInfo {
    bool recognised = false;
    QString format;     // libavformat's short name: h264, hevc, …
    QString codec;      // h264, hevc, …
    int width = 0;
    int height = 0;
    int fpsNum = kDefaultFps;
    int fpsDen = 1;
    bool borrowedParameterSets = false;
    QString error;      // why it was not recognised
    double fps() const { return fpsDen ? double(fpsNum) / fpsDen : kDefaultFps; }
    bool mp4() const { return codec == QLatin1String("h264") || codec == QLatin1String("hevc"); }
};

// The fragment listed before f on the same source in disk order, or null.
const SPlayListTableItem* precedingFragment(const QList<SPlayListTableItem>& all, const SFragmentFit& f);
// The SPS/PPS/VPS units (with start codes) in the head of f.
QByteArray parameterSets(const SFragmentFit& f);

// Probes the head of f. When its stream lacks parameter sets and previous is
// given, they are borrowed from previous.
StreamInfo probe(const SFragmentFit& f, const SFragmentFit* previous = nullptr);

struct Duration {
    bool known = false;
    qint64 pictures = 0;
    double fps = kDefaultFps;
    double seconds = 0;
};
// Counts access units (pictures) over the whole payload; the frame rate is the
// stream's timing (that of the fragment before when f has no SPS), else 25.
// cancel ends the count early (the result is then not known).
// source: an open device of f's disk to read it through (else one is opened).
Duration countPictures(const SFragmentFit& f, const SFragmentFit* previous = nullptr,
                       const std::atomic<bool>* cancel = nullptr, NyxCIOSystemDevice* source = nullptr);

struct RemuxOptions {
    // Source bytes read so far over all rows, total.
    std::function<void(qint64 done, qint64 total)> progress;
    const std::atomic<bool>* cancel = nullptr;
};

struct RemuxResult {
    enum Status { Written, Unrecognised, Refused, Failed, Cancelled } status = Failed;
    QString path;        // the file written (its suffix follows the container)
    QString message;     // what failed and why, naming the fragments
    qint64 pictures = 0; // written
    qint64 dropped = 0;  // damaged access units left out, their time kept
    double seconds = 0;
};

// Remuxes rows, one after another, into path (".mp4"; ".mkv" instead for
// codecs MP4 does not take). all is the whole list, for parameter sets a
// continuing fragment borrows. A merge of different codecs or picture sizes
// is Refused. The file is written as path + ".part" and renamed when whole.
RemuxResult remux(const QList<SPlayListTableItem>& rows, const QList<SPlayListTableItem>& all, const QString& path,
                  const RemuxOptions& options = RemuxOptions());

struct Thumbnail {
    bool ok = false;
    QByteArray jpeg;
    int width = 0;           // of the thumbnail
    int height = 0;
    int pictureWidth = 0;    // of the video
    int pictureHeight = 0;
    qint64 sourceBytesRead = 0;
    QString error;
};
// The first decodable picture of f's head, scaled to at most maxWidth.
Thumbnail thumbnail(const SFragmentFit& f, int maxWidth = 320, const SFragmentFit* previous = nullptr);

} // namespace Media

Q_DECLARE_METATYPE(Media::Duration)
