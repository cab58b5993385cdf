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
#include <memory>

class CliSession {
public:
    // Opens FILE for a scan of `source` over [start, end): continues it when
    // it holds this scan unfinished, creates it when missing or --fresh.
    // False with the message and exit status when it must not be used.
    bool prepare(const CliOptions& options, const QByteArray& source, qint64 start, qint64 end, QString* why,
                 int* exitCode);
    bool resuming() const { return m_resuming; }
    bool finished() const { return m_session && m_session->info().finished; }
    // The saved closed fragments, carrying the source's present name.
    const QList<CliFragment>& saved() const { return m_saved; }
    qint64 resumedAt() const { return m_point.position; }
    // Continues the scan from the saved point with the serials going on.
    void attach(CFragmentFit* scan);
    void fragment(int serial, const SFragmentFit& f);
    // False once the session could not be written; error() says why.
    bool checkpoint(const ScanResumePoint& point);
    bool finish();
    QString error() const { return m_session ? m_session->lastError() : QString(); }

private:
    std::unique_ptr<ScanSession> m_session;
    QList<CliFragment> m_saved;
    ScanResumePoint m_point;
    bool m_resuming = false;
    bool m_failed = false;
};

// `corvotkl-cli export SESSION ...`; returns the exit status.
int runSessionExport(const CliOptions& options, const std::atomic<bool>* interrupt, FILE* err);
// `corvotkl-cli sessions`; returns the exit status.
int listSessions(FILE* out, FILE* err);

// For tests of interruptions: with CORVOTKL_KILL_AT_READ=k in the
// environment, the process kills itself (SIGKILL) at its k-th read of a
// source, so a test can stop a scan at an exact point. Otherwise `inner`.
NyxDeviceFactory cliKillAtReadFactory(NyxDeviceFactory inner);
// Reads made while one is alive, on its thread, are not counted: those
// that measure what was found (durations), so a kill point names a read of
// the checks or the scan.
struct CliUncountedReads {
    CliUncountedReads();
    ~CliUncountedReads();
    CliUncountedReads(const CliUncountedReads&) = delete;
    CliUncountedReads& operator=(const CliUncountedReads&) = delete;
};
