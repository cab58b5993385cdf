#pragma once
// Synthetic TKL disk images with their ground truth, for tests and benchmarks.
//
// An image holds random bytes, zero-filled stretches, header-like traps that
// are not valid headers, and recordings of back-to-back TKL frames (lengths
// 1..65535, both variants) at arbitrary offsets; some recordings are split by
// a single byte and some straddle the 2 MiB steps where the scan's buffer
// slides. Every accidental valid header in garbage and payloads is scrubbed,
// so the only valid headers are the planted ones and the truth is exact.
//
// The truth is the list of fragments a whole-image scan must report, in the
// order it reports them: every recording closed by a later header, and the
// last one only when it holds more than 512 bytes. Serials run 1..n.

#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace imagegen {

struct TruthFragment {
    int serial = 0;
    int format = 14;
    int stream = 0;
    quint32 firstTime = 0;
    quint32 lastTime = 0;
    qint64 totalBytes = 0;
    int frameCount = 0;
    SExtentList extents;
};
using Truth = QVector<TruthFragment>;

bool operator==(const TruthFragment& a, const TruthFragment& b);
inline bool operator!=(const TruthFragment& a, const TruthFragment& b) { return !(a == b); }

// Counts of what went into an image (tests check that the mix is there).
struct ImageStats {
    qint64 frames = 0;
    qint64 shortFrames = 0;      // length below 8
    qint64 recordings = 0;
    qint64 splitBySingleByte = 0;
    qint64 straddles = 0;        // recordings planted across a 2 MiB step
    qint64 traps = 0;
    qint64 scrubbed = 0;         // accidental valid headers broken
    qint64 zeroBytes = 0;
    bool lastRecordingDropped = false; // the last recording held 512 bytes or less
};

// Writes an image of `size` bytes made from `seed` to `path` (created or
// truncated). The same size and seed always give the same bytes.
bool generateImage(const QString& path, qint64 size, quint64 seed, Truth* truth, QString* error,
                   ImageStats* stats = nullptr);
// The same image in memory (small images in tests).
QByteArray generateImageBytes(qint64 size, quint64 seed, Truth* truth, ImageStats* stats = nullptr);

// Demo images: real video for the player. ffmpeg (or $CORVO_FFMPEG) makes
// H.264 test video; each NAL unit, with a 4-byte start code, becomes the
// payload of one TKL frame (a longer one runs on into the next frames). A
// player reading the frames as an H.264 stream skips the 8-byte headers: they
// start like a start code with a NAL type that decoders ignore.
QVector<QByteArray> frameH264AsTkl(const QByteArray& annexB, int variant);
// `seconds` of H.264 from one of a few test sources, chosen by index.
bool makeDemoVideo(int index, int seconds, QByteArray* annexB, QString* error);
// Four recordings of seconds/4 each, among garbage, zero stretches and
// traps; the second recording is split by a damaged stretch of whole frames,
// so the truth holds five fragments.
bool generateDemoImage(const QString& path, qint64 size, quint64 seed, int seconds, Truth* truth, QString* error);
// Each truth fragment's bytes, as an export must write them, in
// dir/fragment-NNNNN.TKL (NNNNN the serial).
bool writeExpectedFiles(const QString& imagePath, const Truth& truth, const QString& dir, QString* error);

// A plain byte-by-byte scan of image[start, end) without buffers, following
// the scan's rules: the start is aligned down to 512; a header needs its 8
// bytes inside the range; after a frame the search resumes at its end; a
// header exactly at the end of the previous frame continues its fragment,
// any other closes it; the fragment open at the end is kept only when it
// holds more than 512 bytes. end < 0 means the image size.
Truth referenceScan(const QByteArray& image, qint64 start = 0, qint64 end = -1);
Truth referenceScan(const unsigned char* image, qint64 size, qint64 start, qint64 end);

// The truth of a scan of image[start, end) derived from the whole image's
// truth by walking its frames: frames whose 8 header bytes lie in the range,
// from the start aligned down to 512, in the same fragments; the last one
// kept only above 512 bytes. Needs every fragment of the image, so pass the
// truth of an image whose last recording was not dropped, or end before it.
Truth restrictTruth(const QByteArray& image, const Truth& whole, qint64 start, qint64 end);

// True when the 8 bytes at p are a valid TKL header; *length gets its length.
bool isFrameHeader(const unsigned char* p, int* length = nullptr);
// Writes a TKL header (variant 1: 40 00, variant 2: 00 40).
void writeFrameHeader(unsigned char* p, int length, int variant);

// Truth as JSON lines, the form of `corvotkl-cli scan --json`.
QByteArray truthJsonLines(const Truth& truth, const QByteArray& disk);
bool writeTruthFile(const QString& path, const Truth& truth, const QByteArray& disk, QString* error);
// Parses JSON lines (truth files or CLI output); *disk gets the disk of the
// last line. False with *error naming the line on a malformed one.
bool parseJsonLines(const QByteArray& text, Truth* truth, QString* error, QByteArray* disk = nullptr);
bool readTruthFile(const QString& path, Truth* truth, QString* error);

// Renumbers serials 1..n in order.
void renumber(Truth* truth);
// Describes the first difference between two truths, or returns "" if equal.
QString describeDifference(const Truth& expected, const Truth& actual);

} // namespace imagegen
