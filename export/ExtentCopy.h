#pragma once
// Copies extents of a source to a sink: the one copy loop of the single
// export, the merge and the preview file.
//
// Unreadable sectors become zeros, exactly those sectors, so every later
// byte keeps its offset in the output and a decoder resyncs at the next
// frame. A failed block is narrowed by halving down to 512 bytes; past a bad
// sector the next ones are probed at doubling distances and the edge of the
// skipped stretch is narrowed again, so a bad area costs few reads.
// Bytes past the end of the source are left out, never invented.

#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class NyxCIOSystemDevice;

namespace ExportCore {

// What one or more copies did to the bytes they were asked for.
struct CopyTally {
    qint64 copied = 0;     // bytes handed to the sink, read or zero-filled
    qint64 zeroFilled = 0; // unreadable bytes handed on as zeros
    qint64 leftOut = 0;    // bytes past the end of the source, not handed on
    qint64 firstBad = -1;  // source offset of the first unreadable sector
    int readError = 0;     // errno of the first failed read
    qint64 reads = 0;      // read requests made

    void add(const CopyTally& other);
    bool intact() const { return zeroFilled == 0 && leftOut == 0; }
};

enum class CopyEnd { Done, Stopped, SinkFailed };

class ExtentCopier {
public:
    // Takes len bytes; false stops the copy (a failed write).
    using Sink = std::function<bool(const char* data, qint64 len)>;
    // After every block, with the bytes just handed on; true stops the copy.
    using Step = std::function<bool(qint64 bytes)>;
    // Copies [offset, offset + len) of the device into the sink's file
    // itself, in the kernel: bytes copied, kDirectUnsupported, kSinkBroken
    // (the output failed), or another negative value (read those bytes).
    using Direct = std::function<qint64(NyxCIOSystemDevice* device, qint64 offset, qint64 len)>;
    static constexpr qint64 kDirectUnsupported = -EOPNOTSUPP;
    static constexpr qint64 kSinkBroken = -(qint64(1) << 62);
    // Stretches shorter than this are read and handed to the sink, which gathers them.
    static constexpr qint64 kDirectCopyBytes = 64 << 10;

    // Bytes read per request; a multiple of 512.
    static constexpr qint64 kBlockBytes = 1 << 20;
    static constexpr qint64 kSector = 512;

    // The source to read from (not owned); its size bounds every copy.
    void setDevice(NyxCIOSystemDevice* device);
    // [start, end) of the source, in order, into sink.
    // With direct, long readable stretches go by it instead, bytes and
    // tally the same; a stretch it cannot copy is read as ever.
    CopyEnd copy(qint64 start, qint64 end, const Sink& sink, CopyTally* tally, const Step& step = Step(),
                 const Direct& direct = Direct());

private:
    // Fills the block buffer for [a, b) (512-aligned, within one block,
    // whose whole read failed) with what can be read and zeros elsewhere.
    void rescue(qint64 blockStart, qint64 a, qint64 b, CopyTally* tally);
    // Reads [off, off + len) into the block buffer; true when all came.
    bool readInto(qint64 blockStart, qint64 off, qint64 len, CopyTally* tally);
    // Smallest g in [lo, hi] with [g, hi) readable; reads land in the buffer.
    qint64 readableTail(qint64 blockStart, qint64 lo, qint64 hi, CopyTally* tally);
    void zero(qint64 blockStart, qint64 a, qint64 b);

    NyxCIOSystemDevice* m_device = nullptr;
    qint64 m_size = -1;
    std::unique_ptr<char[]> m_buf;
    // Zeroed ranges of the current block, to count the extent's share.
    std::vector<std::pair<qint64, qint64>> m_zeroed;
    // Probe distance of a bad area that reached the end of the last block; 0 when none.
    qint64 m_runStride = 0;
};

} // namespace ExportCore
