#pragma once
// A scan kept on disk: one SQLite database (WAL) per scan with the source's
// identity, the range, the position up to which everything is saved, every
// fragment sent before it, the fragments open there, and the unreadable and
// untried ranges. The schema is described in docs/guide.md.
//
// Writing: fragmentSent() for each fragment as it arrives, checkpoint() for
// each TransmitCheckpoint of the scan (queued after those fragments). A
// checkpoint makes the fragments before it final; they are committed with
// the checkpoint's open fragments and position in one transaction, at most
// once per commit interval and always on the last checkpoint and commit().
// Fragments after the newest checkpoint are never written: a resume sends
// them again, so what a crash leaves is always one consistent point.
// Each checkpoint's fragments go to a writer thread, which inserts them in
// an open transaction and commits when one is due, so the caller's thread
// never waits for the disk during a scan; commit() waits for it. What is
// read back is what is committed.

#include "scan/CFragmentFit.h"
#include "session/SourceIdentity.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct SessionFragment {
    int serial = 0;
    SFragmentFit fragment;
    double durationS = -1; // seconds of video; negative: not measured
};

struct SessionInfo {
    QString file;
    SourceIdentity source;
    qint64 rangeStart = 0;
    qint64 rangeEnd = 0;
    qint64 savedPosition = -1; // -1: nothing saved yet
    bool finished = false;
    int closedCount = 0;
    int openCount = 0;
    qint64 closedBytes = 0;
    QDateTime changed;
};

enum class SessionRange { Unreadable, Untried };

struct SessionRangeEntry {
    SessionRange kind = SessionRange::Unreadable;
    qint64 start = 0, end = 0;
    int error = 0;
};

class ScanSession {
public:
    ~ScanSession();
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    // A new session in `file`, replacing any there. Null with *why on failure.
    static std::unique_ptr<ScanSession> create(const QString& file, const SourceIdentity& source, qint64 rangeStart,
                                               qint64 rangeEnd, QString* why);
    // An existing session. Null with *why when it is missing or not a session.
    static std::unique_ptr<ScanSession> open(const QString& file, QString* why);

    const SessionInfo& info() const;
    // Saved closed fragments by serial, and the point to resume from.
    QList<SessionFragment> closedFragments() const;
    ScanResumePoint resumePoint() const;
    int lastSerial() const;

    void setCommitInterval(int ms) { m_commitIntervalMs = ms; }
    // durationS: its measured length in seconds, negative when not measured.
    void fragmentSent(int serial, const SFragmentFit& fragment, double durationS = -1);
    void fragmentSent(int serial, SFragmentFit&& fragment, double durationS = -1);
    // False once a commit has failed (lastError() says why).
    bool checkpoint(const ScanResumePoint& point);
    // Writes what is final now, due or not, and waits until it is written.
    bool commit();
    // Waits until what was handed to the writer is written; false once a
    // commit has failed.
    bool waitWritten() const { return drain(); }
    // Written with the next commit; false once a commit has failed.
    bool addRange(SessionRange kind, qint64 start, qint64 end, int error);
    QList<SessionRangeEntry> ranges() const;
    QString lastError() const { return m_error; }

private:
    struct Batch {
        std::vector<SessionFragment> closed;
        std::vector<SessionRangeEntry> ranges;
        ScanResumePoint point;
        bool hasPoint = false;
        bool commit = false; // otherwise the writer only inserts, in its open transaction
    };

    ScanSession() = default;
    bool exec(const char* sql);
    bool fail(const QString& what);
    bool prepare();
    bool loadInfo();
    void handOff(bool commitNow, bool force = false);
    // Waits until the writer is idle and takes over what it wrote.
    bool drain() const;
    void absorb() const;
    void writerLoop();
    bool write(const Batch& batch);

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    sqlite3_stmt* m_insertOpen = nullptr;
    sqlite3_stmt* m_update = nullptr;
    sqlite3_stmt* m_insertRange = nullptr;
    int m_version = 0;
    mutable SessionInfo m_info;
    std::vector<SessionFragment> m_unconfirmed; // sent after the newest checkpoint
    std::vector<SessionFragment> m_final;       // before it, not yet handed off
    std::vector<SessionRangeEntry> m_ranges;                // not yet handed off
    ScanResumePoint m_point;
    bool m_pointDirty = false;
    int m_commitIntervalMs = 1000;
    qint64 m_lastCommitMs = 0;
    mutable QString m_error;

    // Shared with the writer thread, under m_mutex.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake, m_idle;
    std::thread m_writer;
    Batch m_pending;
    bool m_pendingDirty = false;
    bool m_writing = false;
    bool m_quit = false;
    bool m_writeFailed = false;
    QString m_writeError;
    int m_writtenClosed = 0;   // fragments and bytes written since last absorbed
    qint64 m_writtenBytes = 0;
    bool m_writtenPoint = false;
    ScanResumePoint m_writtenAt;
    bool m_failedSeen = false;
    // The writer's own.
    bool m_inTransaction = false;
    ScanResumePoint m_lastPoint;
    bool m_haveLastPoint = false;
    int m_uncommittedClosed = 0;
    qint64 m_uncommittedBytes = 0;
};

// $XDG_DATA_HOME/corvotkl/sessions (or ~/.local/share/corvotkl/sessions).
QString sessionsFolder();
// The window's session file for a source, named from its identity.
QString sessionFileFor(const SourceIdentity& source);
// Whether a session file may be written at `file` for a scan of `source`.
// It must not be the source itself; the damaged-disk destination guard
// belongs here too. False with *why.
bool checkSessionDestination(const QString& file, const QByteArray& source, QString* why);

// Records the scan's unreadable and untried ranges up to the saved point;
// those after it are read again, and recorded, by the resume.
bool recordScanRanges(ScanSession* session, const CFragmentFit& scan);
