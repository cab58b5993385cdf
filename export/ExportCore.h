#pragma once
// The copying logic of every export: one file per fragment (exportAll) or
// several fragments concatenated into one file (videoMerge). The GUI threads
// and the command-line tool drive the very same ExportJob, so what a test
// proves here holds for both.
//
// Sources are read through the device layer (disk/Nyx.h) and are never
// opened for writing; an output that lies on a source (disk/SourceGuard.h)
// is refused.

#include "disk/Nyx.h"
#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class NyxCIOSystemDevice;
class SourceGuard;

namespace ExportCore {

// The single export copies in chunks of this size, aligned on the device.
constexpr qint64 kChunkBytes = 102400;
// The merge copies sector by sector.
using ::kSectorBytes;
// Sources are read ahead in blocks of this size
// so a sector or a chunk is a memory copy, not a system call. A multiple of 512.
constexpr qint64 kReadAheadBytes = 1 << 20;
// Outputs are written in blocks of this size.
constexpr qint64 kWriteBufferBytes = 1 << 20;
// Progress is reported at most this often (and always the final value).
constexpr qint64 kProgressIntervalMs = 100;

// "(%02d)%s-%s_%05d.%s": stream, first and last time in file-name form,
// serial, "TKL".
QString singleFileName(const SPlayListTableItem& row);

// "HH:MM:SS"; hours grow past 99, negative values show as 00:00:00.
QString hhmmss(qint64 secs);
// "已用时间 HH:MM:SS"
QString elapsedText(qint64 secs);
// " 剩余时间 HH:MM:SS", or empty while secs is 0 or fewer bytes than seconds
// have been written.
QString remainingText(qint64 secs, qint64 totalSize, qint64 inc);
// inc * 100 / totalSize, kept within 0..100 (0 when totalSize is not positive).
int percentOf(qint64 totalSize, qint64 inc);

// Reads a source through large aligned blocks. Requests are served from the
// block when they fall inside it; a refill reads from the request's offset
// rounded down to 512 up to the caller's hint (rounded up to 512), at most
// kReadAheadBytes, so small extents do not drag in a megabyte each.
class BufferedSource {
public:
    explicit BufferedSource(NyxCIOSystemDevice* device = nullptr);
    // Reads another device (or the same one anew), keeping the buffer:
    // fresh pages cost a fault each, dearer than the copy on some machines.
    void reset(NyxCIOSystemDevice* device);
    // Points *data at the bytes from offset on and returns how many are
    // available (at most len; fewer at the end of the source), or -errno.
    // readLimit is the end of the extent being copied.
    std::int64_t read(qint64 offset, qint64 len, qint64 readLimit, const char** data);

private:
    NyxCIOSystemDevice* m_device;
    std::vector<char> m_buf;
    qint64 m_bufStart = 0;
    qint64 m_bufLen = 0;
};

// An output file written through a large buffer; every write, the final
// flush and close are checked, so a full disk is a failure.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates or truncates path. false with error() set on failure.
    // The buffer is kept from one file to the next.
    bool open(const QByteArray& path);
    bool write(const char* data, qint64 len);
    // Flushes and closes; false if anything written since open was lost.
    bool close();
    bool isOpen() const { return m_fd >= 0; }
    int error() const { return m_error; }
    // Bytes the system accepted, over every file since the last reset.
    qint64 committed() const { return m_committed; }
    void resetCommitted() { m_committed = 0; }

private:
    bool flush();

    int m_fd = -1;
    int m_error = 0;
    std::vector<char> m_buf;
    qint64 m_used = 0;
    qint64 m_committed = 0;
};

class ExportJob {
public:
    ExportJob();
    ~ExportJob();

    // Progress: totalSize = bytes of all rows, inc = bytes written so far.
    // Called at most every kProgressIntervalMs, and always with the final value.
    std::function<void(qint64 totalSize, qint64 inc)> onProgress;
    // A source could not be opened (the GUI shows "打开磁盘错误！"). For the
    // merge only the first row's source asks, as the warning box does.
    std::function<void(const QByteArray& sourcePath, int error)> onSourceOpenFailed;
    // One diagnostic line naming the file and the reason. Unset: printf to stdout.
    std::function<void(const QString& message)> onDiagnostic;

    // Set from any thread; the copy stops after the current chunk or sector.
    std::atomic<bool> cancel{false};

    // One file per row in directory, named by singleFileName. 1 when no row
    // failed (a cancel is no failure); 0 when the list or the directory is
    // empty, or a row's output could not be made, its source not opened, or
    // its copy met a read error, a short read or a write error (the other
    // rows are still written).
    int exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& directory);
    // The rows one after another into outputPath. 1 when done or cancelled
    // (progress then shows 100 %), 0 on any failure; partial output stays.
    int videoMerge(const QList<SPlayListTableItem>& rows, const QByteArray& outputPath);

    // Totals of the last run: bytes that reached the output files (not
    // those lost in a failed write), bytes expected.
    qint64 bytesWritten() const { return m_output.committed(); }
    qint64 bytesTotal() const { return m_total; }
    // Number of rows that failed in the last exportAll.
    int failedRows() const { return m_failedRows; }

private:
    enum class CopyResult { Done, Cancelled, ReadFailed, WriteFailed };

    bool exportItem(const SPlayListTableItem& row);
    CopyResult copyExtent(qint64 start, qint64 end, const QByteArray& sourcePath, const QByteArray& outputPath);
    NyxCIOSystemDevice* openSource(const QByteArray& sourcePath, int* error);
    // Whether outputPath lies on a source of rows; *why says how.
    bool isSourceOf(const QList<SPlayListTableItem>& rows, const QByteArray& outputPath, QString* why) const;
    // Counters and the total of a new job over these rows.
    void begin(const QList<SPlayListTableItem>& rows);
    void progress(bool force);
    void diag(const QString& message);

    BufferedSource m_source;
    OutputFile m_output;
    // The source check of the current job, built at its first use.
    mutable std::unique_ptr<SourceGuard> m_guard;
    QList<SPlayListTableItem> m_rows;
    QByteArray m_directory;
    qint64 m_total = 0;
    qint64 m_written = 0;
    qint64 m_rowWritten = 0;
    qint64 m_rowSize = 0;
    int m_failedRows = 0;
    qint64 m_nextClockCheck = 0;
    QElapsedTimer m_sinceReport;
};

} // namespace ExportCore
