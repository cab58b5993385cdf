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

#include "scan/CFragmentFit.h"
#include "session/SourceIdentity.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

struct SessionFragment {
    int serial = 0;
    SFragmentFit fragment;
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

    const SessionInfo& info() const { return m_info; }
    // Saved closed fragments by serial, and the point to resume from.
    QList<SessionFragment> closedFragments() const;
    ScanResumePoint resumePoint() const;
    int lastSerial() const;

    void setCommitInterval(int ms) { m_commitIntervalMs = ms; }
    void fragmentSent(int serial, const SFragmentFit& fragment);
    // False when a due commit failed (lastError() says why).
    bool checkpoint(const ScanResumePoint& point);
    // Writes what is final now, due or not.
    bool commit();
    bool addRange(SessionRange kind, qint64 start, qint64 end, int error);
    QString lastError() const { return m_error; }

private:
    ScanSession() = default;
    bool exec(const char* sql);
    bool fail(const QString& what);
    bool prepare();
    bool loadInfo();

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    sqlite3_stmt* m_insertOpen = nullptr;
    SessionInfo m_info;
    QList<SessionFragment> m_unconfirmed; // sent after the newest checkpoint
    QList<SessionFragment> m_final;       // before it, not yet committed
    ScanResumePoint m_point;
    bool m_pointDirty = false;
    int m_commitIntervalMs = 1000;
    qint64 m_lastCommitMs = 0;
    QString m_error;
};

// $XDG_DATA_HOME/corvotkl/sessions (or ~/.local/share/corvotkl/sessions).
QString sessionsFolder();
// The window's session file for a source, named from its identity.
QString sessionFileFor(const SourceIdentity& source);
// Whether a session file may be written at `file` for a scan of `source`.
// It must not be the source itself; the damaged-disk destination guard
// belongs here too. False with *why.
bool checkSessionDestination(const QString& file, const QByteArray& source, QString* why);
