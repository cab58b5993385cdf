#pragma once
// The CLI's sessions: `scan --session FILE` keeps the scan in FILE and
// continues an unfinished one, `export SESSION` writes saved fragments, and
// `sessions` lists the window's sessions.

#include "session/ScanSession.h"
#include "tools/cli/CliOptions.h"
#include "tools/cli/CliScan.h"

#include "disk/Nyx.h"

#include <QList>
#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class CliSession {
public:
    // Opens FILE for a scan of `source` over [start, end): continues it when
    // it holds this scan unfinished, creates it when missing or --fresh.
    // False with the message and exit status when it must not be used.
    bool prepare(const CliOptions& options, const QByteArray& source, qint64 start, qint64 end, QString* why,
                 int* exitCode);
    bool resuming() const { return m_resuming; }
    bool finished() const { return m_session && m_session->info().finished; }
    // The saved closed fragments, carrying the source's present name and
    // the durations their rows showed.
    const QList<CliFragment>& saved() const { return m_saved; }
    // The unreadable and untried ranges saved before the resume point.
    const std::vector<SourceRange>& savedUnreadable() const { return m_savedUnreadable; }
    const std::vector<SourceRange>& savedUntried() const { return m_savedUntried; }
    qint64 resumedAt() const { return m_point.position; }
    // Continues the scan from the saved point with the serials going on.
    void attach(CFragmentFit* scan);
    // A fragment is kept with its duration, so it waits for counted(); a
    // checkpoint waits until every fragment sent before it is counted.
    // False once the session could not be written; error() says why.
    void fragment(int serial, const SFragmentFit& f);
    bool counted(int serial, const Media::Duration& duration);
    bool checkpoint(const ScanResumePoint& point);
    // Durations counted from now on are not to be kept (the counting was
    // abandoned): nothing more is handed to the session.
    void stopSaving() { m_stopped = true; }
    // Commits what is final and the scan's bad ranges before it.
    bool finish(const CFragmentFit& scan);
    QString error() const { return m_session ? m_session->lastError() : QString(); }
    // Until the session's writer has written what it was given.
    void waitWritten() const
    {
        if (m_session)
            m_session->waitWritten();
    }

private:
    struct Held {
        int serial = 0;
        SFragmentFit fragment;
        double durationS = -1;
    };
    bool handOver();

    std::unique_ptr<ScanSession> m_session;
    QList<CliFragment> m_saved;
    std::vector<SourceRange> m_savedUnreadable, m_savedUntried;
    std::deque<Held> m_held;   // sent, not yet handed to the session
    size_t m_countedHeld = 0;  // the first this many of m_held are counted
    qint64 m_received = 0;     // fragments sent by the scan
    qint64 m_handed = 0;       // of those, handed to the session
    std::deque<std::pair<qint64, ScanResumePoint>> m_points; // with m_received when it came
    bool m_stopped = false;
    ScanResumePoint m_point;
    bool m_resuming = false;
    bool m_failed = false;
};

// `corvotkl-cli export SESSION ...`; returns the exit status.
int runSessionExport(const CliOptions& options, const std::atomic<bool>* interrupt, FILE* err);
// `corvotkl-cli sessions`; returns the exit status.
int listSessions(FILE* out, FILE* err);

// For tests of interruptions: with CORVOTKL_KILL_AT_READ=k in the
// environment, the process kills itself (SIGKILL) at the scan's k-th read
// of its source, so a test can stop a scan at an exact point: that read is
// held until the fragments and checkpoints sent before it are handled.
// Reads of other threads are not counted. Otherwise `inner`.
NyxDeviceFactory cliKillAtReadFactory(NyxDeviceFactory inner);
// Asked on the main thread before that kill, again until it says true: the
// rows before the kill are counted and the session's writer has finished
// what it was given, so the kill's moment is defined by what was handled.
void cliSetBeforeKill(std::function<bool()> ready);
// Reads made while one is alive, on its thread, are not counted: those
// that measure what was found (durations), so a kill point names a read of
// the checks or the scan.
struct CliUncountedReads {
    CliUncountedReads();
    ~CliUncountedReads();
    CliUncountedReads(const CliUncountedReads&) = delete;
    CliUncountedReads& operator=(const CliUncountedReads&) = delete;
};
