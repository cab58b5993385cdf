#pragma once
// The copying logic of every export: one file per fragment (exportAll) or
// several fragments concatenated into one file (videoMerge). The GUI threads
// and the command-line tool drive the very same ExportJob, so what a test
// proves here holds for both.
//
// Sources are read through the device layer (disk/Nyx.h) and are never
// opened for writing; an output that lies on a source (disk/SourceGuard.h)
// is refused.

#include "disk/DiskInfo.h"
#include "disk/Nyx.h"
#include "export/ExtentCopy.h"
#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QStringList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <sys/types.h>

struct stat;

class NyxCIOSystemDevice;
class SourceGuard;

namespace ExportCore {

class CopyAhead;
class FolderHand;

// Small pieces are gathered and written in blocks of this size; pieces of
// kDirectWriteBytes or more are written from the caller's buffer as they are.
constexpr qint64 kWriteBufferBytes = 1 << 20;
constexpr qint64 kDirectWriteBytes = 64 << 10;
// Progress is reported at most this often (and always the final value).
constexpr qint64 kProgressIntervalMs = 100;

// "(%02d)%s-%s_%05d.%s": stream, first and last time in file-name form,
// serial, "TKL".
QString singleFileName(const SPlayListTableItem& row);
// The same as the file system is given it (the name is ASCII).
QByteArray singleFileNameBytes(const SPlayListTableItem& row);

// "HH:MM:SS"; hours grow past 99, negative values show as 00:00:00.
QString hhmmss(qint64 secs);
// "已用时间 HH:MM:SS"
QString elapsedText(qint64 secs);
// " 剩余时间 HH:MM:SS", or empty while secs is 0 or fewer bytes than seconds
// have been written.
QString remainingText(qint64 secs, qint64 totalSize, qint64 inc);
// inc * 100 / totalSize, kept within 0..100 (0 when totalSize is not positive).
int percentOf(qint64 totalSize, qint64 inc);

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
    // Creates name in the folder open as dirfd, never through an existing
    // file or link: fails with EEXIST when name exists.
    bool create(int dirfd, const QByteArray& name);
    // Takes a file opened for writing elsewhere; -1 fails with errno.
    bool adopt(int fd);
    // Counts the bytes someone else wrote into the adopted file, and goes on
    // after them; with trim, anything past them is dropped first, so the
    // file holds exactly what was counted whatever a failed copy left.
    bool continueAfter(qint64 bytes, bool trim);
    // len bytes of device from offset appended in the kernel, after what is
    // gathered: ExtentCopier::Direct's results.
    qint64 copyFrom(NyxCIOSystemDevice* device, qint64 offset, qint64 len);
    // Hands the open file to uid:gid; false with errno set on failure.
    bool giveTo(uid_t uid, gid_t gid);
    bool write(const char* data, qint64 len);
    // Flushes and closes; false if anything written since open was lost.
    // A file renamed next need not be looked at: a rename of a file unlinked
    // meanwhile fails.
    bool close(bool renamedNext = false);
    // Flushes and hands the open file to *fd for someone else to close and
    // rename; false if anything written since open was lost.
    bool handOver(int* fd);
    bool isOpen() const { return m_fd >= 0; }
    int error() const { return m_error; }
    // Bytes the system accepted, over every file since the last reset.
    qint64 committed() const { return m_committed; }
    void resetCommitted() { m_committed = 0; }

private:
    bool flush();
    bool writeAll(const char* data, qint64 len);

    int m_fd = -1;
    int m_error = 0;
    std::vector<char> m_buf;
    qint64 m_used = 0;
    qint64 m_committed = 0;
};

// What a destination can take.
struct DestinationSpace {
    qint64 freeBytes = -1;    // for an unprivileged writer; -1 unknown
    qint64 maxFileBytes = -1; // largest file the file system allows; -1 no limit known
};
// statvfs/statfs of a folder; false with errno set when it cannot be examined.
bool probeDestination(const QByteArray& directory, DestinationSpace* space);

// What an export or merge did, file by file. Paths as the user gave them.
struct ExportResult {
    struct Damaged {
        QString file;
        qint64 zeroFilled = 0; // unreadable bytes written as zeros
        qint64 leftOut = 0;    // bytes past the end of the source, not written
    };
    struct Failure {
        QString file;
        QString reason;
    };
    QStringList written;     // complete, under their final names
    QList<Damaged> damaged;  // under their final names, but not every byte was read
    QList<Failure> failures; // not written, or left as .part
    QStringList partsLeft;   // temporary files left by a write failure or a cancel
    bool cancelled = false;

    bool complete() const { return damaged.isEmpty() && failures.isEmpty() && partsLeft.isEmpty() && !cancelled; }
    // One line per damaged file, failure and file left, for the window and stderr.
    QStringList details() const;
};

// "NAME.part": where an output is written until it is complete.
QByteArray partPathOf(const QByteArray& path);

// The rows of a job, handed out one at a time, so a caller that keeps
// millions of fragments compactly never expands them all at once.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual int size() const = 0;
    // Row i, 0 <= i < size(); may be built anew on every call.
    virtual SPlayListTableItem at(int i) const = 0;
};

class ListRowSource : public RowSource {
public:
    explicit ListRowSource(const QList<SPlayListTableItem>& rows) : m_rows(rows) {}
    int size() const override { return m_rows.size(); }
    SPlayListTableItem at(int i) const override { return m_rows.at(i); }

private:
    const QList<SPlayListTableItem>& m_rows;
};

class ExportJob {
public:
    ExportJob();
    ~ExportJob();
    ExportJob(const ExportJob&) = delete;
    ExportJob& operator=(const ExportJob&) = delete;

    // Progress: totalSize = bytes of all rows, inc = bytes written so far.
    // Called at most every kProgressIntervalMs, and always with the final value.
    std::function<void(qint64 totalSize, qint64 inc)> onProgress;
    // A source could not be opened (the GUI shows "打开磁盘错误！"). For the
    // merge only the first row's source asks, as the warning box does.
    std::function<void(const QByteArray& sourcePath, int error)> onSourceOpenFailed;
    // One diagnostic line naming the file and the reason. Unset: printf to stdout.
    std::function<void(const QString& message)> onDiagnostic;
    // How much a destination folder can take; tests replace it.
    std::function<bool(const QByteArray& directory, DestinationSpace* space)> spaceProbe = probeDestination;
    // Whether a source file seeks when read at two places at once; where it
    // does not, the next file is copied beside the current one.
    std::function<bool(const QByteArray& file)> readsSeek = fileReadsSeek;

    // Set from any thread; the copy stops after the current block.
    std::atomic<bool> cancel{false};

    // One file per row in directory, named by singleFileName, each written as
    // NAME.part and renamed when complete. 1 when every row was written whole
    // (a cancel is no failure); 0 when the list or the directory is empty, the
    // rows cannot fit, or a row could not be made, its source not opened, its
    // copy met an unreadable byte or a write error (the other rows are still
    // written).
    int exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& directory);
    int exportAll(const RowSource& rows, const QByteArray& directory);
    // The rows one after another into outputPath, written as outputPath.part
    // and renamed when done. 1 when done or cancelled (progress then shows
    // 100 %), 0 on any failure or unreadable byte; past an unreadable or
    // cut-off row the merge goes on with the next.
    int videoMerge(const QList<SPlayListTableItem>& rows, const QByteArray& outputPath);
    int videoMerge(const RowSource& rows, const QByteArray& outputPath);

    // Totals of the last run: bytes that reached the output files (not
    // those lost in a failed write), bytes expected.
    qint64 bytesWritten() const { return m_output.committed(); }
    qint64 bytesTotal() const { return m_total; }
    // Number of rows that failed in the last exportAll.
    int failedRows() const { return m_failedRows; }
    // File by file, the last run.
    const ExportResult& result() const { return m_result; }
    // Source files examined by the last run's check of its outputs against its sources.
    int sourcesExamined() const { return m_sourcesExamined; }

private:
    // A source of the job, opened once and read by every row that names it.
    // What a source's name denotes (stat): a device node made anew for the
    // same device is the same; nothing there is a denotation too.
    struct Denoted {
        bool named = false;
        quint64 dev = 0, ino = 0, rdev = 0;
        bool operator==(const Denoted& o) const
        {
            return named == o.named && (!named || (rdev ? rdev == o.rdev : dev == o.dev && ino == o.ino));
        }
        static Denoted of(const QByteArray& file);
    };
    struct JobSource {
        QByteArray diskName;
        QByteArray file; // the path its name gives
        NyxDeviceHandle device;
        // When it was opened, so a file or device put in its place during
        // the job is noticed.
        Denoted opened;
        QString changed; // set once it no longer names what was opened
        // Read without seeking: its files are copied two at a time.
        bool copiedAhead = false;
    };
    enum class CopyResult { Done, Cancelled, WriteFailed };
    enum class Ending { Complete, Cancelled, WriteFailed };
    // Where an output goes: its final name, and the name written until then.
    struct Target {
        QByteArray path;
        QByteArray writePath;
        // Made in a held folder: renamed there by these names, wherever it went.
        int dirFd = -1;
        QByteArray name;
        QByteArray writeName;
    };

    // A written file handed to the folder hand, recorded once renamed.
    struct Handed {
        Target target;
        CopyTally tally;
        QString failure;
    };
    // What became of a row: recorded (whole or not), or handed on.
    enum class ItemEnd { Whole, Failed, Handed };

    // made: the row's .part, made ahead by hand, or -1. ahead: the row was
    // offered to it, with made.
    ItemEnd exportItem(const SPlayListTableItem& row, const QByteArray& name, FolderHand* hand, int made,
                       CopyAhead* ahead);
    // Whether a row of this open source may be copied by the copier.
    static bool copiedAhead(const JobSource& source, const SFragmentFit& f);
    // Records, in order, the handed files whose fate is known (all of them,
    // waited for, with wait), counting those not whole as failed rows.
    void settleHanded(FolderHand* hand, bool wait);
    // A handed file whose name was taken while it was written; false when
    // it was not renamed (or not whole).
    bool renameOntoTaken(const Handed& h);
    // The row's extents from the open source into the open output, from
    // its byte skip on; *broken when an extent was malformed and left out.
    CopyResult copyRow(const SFragmentFit& f, const QByteArray& outputPath, CopyTally* tally, bool* broken,
                       qint64 skip = 0);
    void reportReadTrouble(const QByteArray& sourcePath, const QByteArray& outputPath, const CopyTally& tally);
    // The job's source of that name if it is open already, else null.
    JobSource* openedSource(const QByteArray& diskName);
    // The job's open source of that name, opened on first use; null with
    // *error set when it cannot be opened (tried again by a later row).
    JobSource* sourceFor(const QByteArray& diskName, int* error);
    // Whether the source's name still denotes what was opened: one stat.
    bool stillTheSame(JobSource* source);
    void closeSources();
    // The destination folder of an export, held open for the job; false with
    // *why when it lies on a source.
    bool openDirectory(const QByteArray& directory, QString* why);
    // Built once per job, so a job's check is linear in its rows.
    void buildSourceCheck(const QList<QByteArray>& diskNames);
    // Whether outputPath, or the name it is written under until complete,
    // lies on a source of the job; *why says how.
    bool isSourceOf(const QByteArray& outputPath, QString* why) const;
    Target targetFor(const QByteArray& path);
    // Opens the output of an export's row in the held folder: false with
    // *why (refused or not created) when it cannot be written.
    bool openItem(const QByteArray& name, const QByteArray& fullPath, Target* target, QString* why);
    // Why the regular file st at fullPath may not be replaced (it is a
    // source), as the row's failure; empty when it may.
    QString refusalToReplace(const QByteArray& fullPath, const struct stat& st) const;
    void giveToRequestingUser(const Target& target);
    // Renames a written output to its final name and records the file in
    // the result; false when it is not whole (failure names why).
    bool finish(const Target& target, Ending ending, const CopyTally& tally, const QString& failure);
    // The same for a complete file whose rename gave renameError (0: done).
    bool finishNamed(const Target& target, const CopyTally& tally, const QString& failure, int renameError);
    // targetCount outputs, targetAt(i) the path of each.
    bool fits(const QByteArray& directory, int targetCount, const std::function<QByteArray(int)>& targetAt,
              bool oneFile);
    // Counters, the totals and the source check of a new job over these rows.
    void begin(const RowSource& rows);
    void progress(bool force);
    void diag(const QString& message);

    ExtentCopier m_copier;
    OutputFile m_output;
    std::deque<Handed> m_handed;
    // Copying rows ahead in the current export, when a source allows.
    CopyAhead* m_copyAhead = nullptr;
    // The source check of the current job (buildSourceCheck).
    std::unique_ptr<SourceGuard> m_guard;
    std::vector<JobSource> m_sources;
    QByteArray m_directory;
    int m_dirFd = -1;
    int m_dirError = 0;
    bool m_dirRefused = false; // each file is then checked on its own, to say why
    // Root acting for a user hands each file it makes to them.
    bool m_giveAway = false;
    uid_t m_ownerUid = 0;
    gid_t m_ownerGid = 0;
    qint64 m_total = 0;
    qint64 m_largestRow = 0;
    qint64 m_written = 0;
    int m_failedRows = 0;
    qint64 m_nextClockCheck = 0;
    QElapsedTimer m_sinceReport;
    ExportResult m_result;
    int m_sourcesExamined = 0;
};

} // namespace ExportCore
