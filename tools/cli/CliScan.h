#pragma once
// One scan from the command line: the same CFragmentFit thread as the GUI,
// its fragments arriving in batches by queued signal in the event loop of a
// QCoreApplication, printed as they come and, for an export, kept compactly.

#include "scan/CFragmentFit.h"
#include "export/ExportCore.h"
#include "scan/SFragmentFit.h"
#include "scan/SSchedule.h"
#include "tools/cli/CliFragmentStore.h"
#include "tools/cli/CliOptions.h"

#include "disk/Nyx.h"
#include "media/MediaFile.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

class CFragmentFit;
class CSchedule;
class CliDurations;
class CliSession;

// What SOURCE names: the device path every reader is given and the file it maps to.
struct CliSource {
    QByteArray name;       // the device name the fragments carry: sdb1, or an absolute file path
    QByteArray devicePath; // "\\.\" + name
    QByteArray filePath;   // what gets opened
};
// A bare name is a device under /dev; when no such device exists but a file
// of that name does in the working directory, it is that file.
CliSource resolveCliSource(const QString& source);

// Read errors of the devices made through cliWatchingFactory(): the first
// one's reason names what went wrong in the summary, next to the ranges the
// scan itself lists as unreadable or untried.
struct CliReadErrors {
    std::atomic<int> failures{0};
    std::atomic<int> firstError{0};
    std::atomic<qint64> firstOffset{-1};
    void record(int error, qint64 offset);
    void reset();
};
// Makes devices with `inner` (the POSIX device when empty) and counts their
// failed and short reads in `log`.
NyxDeviceFactory cliWatchingFactory(NyxDeviceFactory inner, CliReadErrors* log);

class CliScan : public QObject {
    Q_OBJECT
public:
    CliScan(const CliOptions& options, FILE* out, FILE* err, QObject* parent = nullptr);
    ~CliScan() override;

    // Opens the source, checks the range and starts the scan. False when it
    // cannot start; the message is written and exitCode() tells why.
    bool start();
    // Where to find the read errors of the scan's device (see cliWatchingFactory).
    void watchReads(CliReadErrors* log) { m_readErrors = log; }
    // Stops the scan through CFragmentFit::stop; done() follows with `code`.
    void interrupt(int code);

    int exitCode() const { return m_exitCode; }
    // Before start(): keep the fragments for fragments(). Set when the
    // options ask for an export; otherwise nothing is kept per fragment.
    void keepFragments(bool on) { m_keep = on; }
    QList<CliFragment> fragments() const { return m_store.toList(); }
    // The same, read one at a time: what an export of many fragments uses.
    const CliFragmentStore& kept() const { return m_store; }
    const CliSource& source() const { return m_source; }
    qint64 rangeStart() const { return m_start; }
    qint64 rangeEnd() const { return m_end; }

signals:
    void done(int exitCode);

private slots:
    void onBatch(SFragmentBatch batch);
    void onSample(SSchedule sample);
    void onScanFinished();
    // The counts gathered since the last call, then the rows they settle.
    void takeCounted();
    void onCheckpoint(ScanResumePoint point);
    void finishSaved();

private:
    bool fail(int code, const QString& message);
    void printRow(int serial, const SFragmentView& f, const Media::Duration& duration);
    void listFragment(int serial, const SFragmentView& f, const Media::Duration& duration);
    // Tells the session, lists the row and counts it as listed.
    void listNow(int serial, const SFragmentView& f, const Media::Duration& duration);
    void dropSession();
    void printJsonSummary(qint64 scanned, int error, const std::vector<SourceRange>& unreadable,
                          const std::vector<SourceRange>& untried);
    void finishWhenListed();
    // Lists the settled rows at the head of m_pending.
    void listSettled();
    // Writes what the rows buffer holds; the terminal's progress line is
    // cleared and drawn again around it.
    void flushRows();
    void flushRowsSoon();
    void drawProgress();
    void clearProgress();
    QString sourceLabel() const;

    CliOptions m_options;
    FILE* m_out;
    FILE* m_err;
    CliSource m_source;
    qint64 m_size = 0;
    qint64 m_start = 0;
    qint64 m_end = 0;
    CFragmentFit* m_scan = nullptr;
    CSchedule* m_sampler = nullptr;
    CliDurations* m_durations = nullptr;
    int m_listed = 0;   // rows printed, in order
    int m_counting = 0; // rows handed to m_durations and not yet back
    bool m_scanEnded = false;
    bool m_countDurations = false; // a disk's scan counts none
    // Counts arrive from the counter's thread and wait here; one queued call
    // takes all that came meanwhile, not one event per fragment.
    std::mutex m_countedLock;
    std::vector<std::pair<int, Media::Duration>> m_countedIn;
    bool m_countedPosted = false;
    std::atomic<char> m_samplerStopped{'N'};
    std::atomic<char> m_samplerPaused{'N'};
    CliReadErrors* m_readErrors = nullptr;
    CliSession* m_session = nullptr; // with --session
    int m_savedCount = 0;
    bool m_keep = false;
    CliFragmentStore m_store;
    // Fragments received and not yet listed, from index m_listed on, in the
    // batches they came in; a row waits here for its duration.
    enum RowState : unsigned char {
        Waiting, // handed to the counter
        Settled, // listed without a duration
        Counted, // its duration is in m_countedRows
    };
    struct PendingBatch {
        SFragmentBatch batch;
        int first = 0; // the index of its first row
        int next = 0;  // its first row not yet listed
        std::vector<RowState> state;
    };
    std::deque<PendingBatch> m_pending;
    std::unordered_map<int, Media::Duration> m_countedRows; // by index, until listed
    int m_fragmentCount = 0; // received, saved ones included
    qint64 m_resumedAt = -1; // where a resumed run began
    std::vector<SourceRange> m_savedUnreadable, m_savedUntried;
    QList<CliFragment> m_fragments;
    qint64 m_fragmentBytes = 0;
    QByteArray m_rows; // rows not yet written, one buffer reused
    QByteArray m_quotedDisk;
    QByteArray m_quotedFor;
    qint64 m_lastFlushMs = 0;
    QTimer m_flushTimer;
    qint64 m_startedMs = 0;
    bool m_progress = false;       // stderr is a terminal
    bool m_progressShown = false;
    bool m_clearBeforeRows = false; // stdout is the same terminal
    bool m_interrupted = false;
    bool m_finished = false;
    bool m_outputFailed = false;
    int m_exitCode = CliExitOk;
};
