#pragma once
// The scan thread: reads a byte range of a source front to back, finds TKL
// frames and emits every fragment it closes with TransmitAddFragmentList and,
// gathered, with TransmitFragmentBatch.
// Control (setDevicePath, setRange, pause, resume, stop) is called from the
// GUI thread; the flags are atomics read once per pass of the main loop.

#include "scan/SFragmentFit.h"
#include "scan/SourceReader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <vector>

struct FrameInfo {
    quint32 time = 0;
    qint32 stream = 0;
    qint32 length = 0;
};

// A point a scan can be continued from: every frame header starting before
// `position` has been processed, and `open` are the fragments still open
// there (one per stream, extents copied). `finished` marks the range's end.
struct ScanResumePoint {
    qint64 position = -1;
    QList<SFragmentFit> open;
    bool finished = false;
};
Q_DECLARE_METATYPE(ScanResumePoint)

class PauseSemaphore;
class ScanBuffer;
struct FragmentSlot;

// The buffer's shape: `data` bytes of the device in view, refilled `chunk`
// bytes at a time (also the look-ahead held back while the device goes on),
// `slack` readable bytes after them; probes across a bad area grow from one
// chunk up to `probeCap`. Smaller shapes serve tests and fuzzing.
//
// On block devices a reader thread reads `ahead` chunks past the view into
// the ring, bypassing the page cache, while the search runs; image files are
// read in the scan thread through the cache, which serves repeated scans.
struct ScanGeometry {
    enum ReadAhead { Never, BlockDevices, Always };
    qint64 data = 6 * 1048576;
    qint64 chunk = 2 * 1048576;
    qint64 slack = 1 * 1048576;
    qint64 probeCap = SourceReader::kProbeCap;
    ReadAhead readAhead = BlockDevices;
    int ahead = 2;
};

class CFragmentFit : public QThread {
    Q_OBJECT
public:
    CFragmentFit();
    // data a multiple of chunk, chunk of the page size, slack at most chunk.
    explicit CFragmentFit(const ScanGeometry& geometry);
    ~CFragmentFit() override;

    // First TKL header in window[0, n). On success foundAt is its offset;
    // on failure the number of positions examined (the resume point).
    // Reads up to 4 bytes past window + n: the caller guarantees they exist.
    static bool findFrameHeader(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info);

    // The path ("\\.\" + name) is copied; any length.
    void setDevicePath(const char* devicePath);
    // -1 (nothing changed) without a device path or with formatCode 0.
    int setRange(qint64 start, qint64 end);
    // After setRange, before start(): continue from a saved point instead of
    // the range start (setRange clears it). The serials go on from fragmentSerial.
    void setResumePoint(const ScanResumePoint& point) { m_resumePoint = point; }
    // Before start(): send TransmitCheckpoint after every pass of the search.
    void setCheckpoints(bool on) { m_checkpoints = on; }
    // Before start(): the longest a closed fragment waits in the thread for
    // its batch (4 ms by default: a batch after every pass). A receiver that
    // is not a window, like the CLI, is woken less often with a longer one.
    void setBatchInterval(int ms) { m_batchMs = ms; }
    void pause();
    void resume();
    void stop();

    // Device offset read up to; the sampler reads it from its own thread.
    const std::atomic<qint64>* publishedPosition() const { return &m_position; }
    char stopRequested() const { return m_stopRequested.load(); }
    char runFinished() const { return m_runFinished.load(); }
    // The two stop bytes as one 16-bit value ('N','N' = 20046, 'Y','Y' = 22873).
    quint16 stopFlags() const { return quint16(quint8(stopRequested())) | quint16(quint8(runFinished())) << 8; }
    char pauseFlag() const { return m_pauseFlag.load(); }
    // Waits until the run is parked in a pause; false after timeoutMs.
    bool waitUntilParked(int timeoutMs) const;
    int formatCode() const { return m_formatCode; }
    // The system's reason when the source could not be opened or read (errno), 0 if none.
    int lastError() const { return m_lastError.load(); }

    // Bytes of the range a read failed on, and bytes skipped untried inside
    // bad areas. Both are counted as the scan passes them.
    qint64 unreadableBytes() const { return m_unreadable.load(); }
    qint64 untriedBytes() const { return m_untried.load(); }
    qint64 skippedBytes() const { return unreadableBytes() + untriedBytes(); }
    // Bytes of the range read and searched.
    qint64 readBytes() const { return m_read.load(); }
    // The ranges behind those counts, ascending; complete once the run ended.
    std::vector<SourceRange> unreadableRanges() const;
    std::vector<SourceRange> untriedRanges() const;

    // Process-wide: the n-th fragment sent since start carries n.
    static std::atomic<int> fragmentSerial;

signals:
    void TransmitAddFragmentList(SFragmentFit sFragmentFit, int i);
    // The same fragments with the same serials, in the same order, a few
    // milliseconds' worth at a time. A batch nobody has read yet takes the
    // next fragments in, so at most one waits per receiver. Sent before
    // TransmitCheckpoint and before the thread finishes.
    void TransmitFragmentBatch(SFragmentBatch batch);
    // Everything sent before it is final; queued after those fragments.
    void TransmitCheckpoint(ScanResumePoint point);

protected:
    void run() override;

private:
    void lookAtReceivers();
    // Gives the fragments of m_out still without a serial (0) theirs, in order.
    void numberOutgoing();
    // The slot's fragment as sent: this scan's disk and format.
    SFragmentView viewOf(const FragmentSlot& slot) const;
    void sendFragment(const FragmentSlot& slot);
    void sendBatch();
    void finish();
    void sendCheckpoint(qint64 position, const std::vector<FragmentSlot>& table,
                        const std::vector<qint32>& open, bool finished);

    std::atomic<char> m_stopRequested{'N'};
    std::atomic<char> m_runFinished{'N'};
    std::atomic<char> m_pauseFlag{'N'};
    std::atomic<qint64> m_position{0};
    std::atomic<int> m_lastError{0};
    std::atomic<qint64> m_unreadable{0};
    std::atomic<qint64> m_untried{0};
    std::atomic<qint64> m_read{0};
    mutable QMutex m_rangesLock;
    std::vector<SourceRange> m_unreadableRanges;
    std::vector<SourceRange> m_untriedRanges;
    ScanGeometry m_geometry;
    PauseSemaphore* m_pauseSemaphore = nullptr;
    ScanBuffer* m_buffer = nullptr;
    qint64 m_rangeStart = 0;
    qint64 m_rangeEnd = 0;
    int m_formatCode = 14;
    QByteArray m_devicePath;
    QByteArray m_diskName; // shared by every fragment sent
    // Fragments closed since the last batch went, packed as in a batch.
    SFragmentPack m_out;
    bool m_oneByOne = false; // TransmitAddFragmentList has a receiver
    bool m_batched = false;  // TransmitFragmentBatch has one
    SFragmentBatch m_lastBatch;
    QElapsedTimer m_sinceBatch;
    int m_batchMs;
    bool m_hasDevicePath = false;
    ScanResumePoint m_resumePoint;
    bool m_checkpoints = false;
};
