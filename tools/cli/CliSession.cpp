#include "tools/cli/CliSession.h"

#include "scan/CFragmentFit.h"
#include "disk/SourceGuard.h"
#include "tools/cli/CliExport.h"
#include "tools/cli/CliMedia.h"

#include <QDir>
#include <QFileInfo>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <unistd.h>

bool CliSession::prepare(const CliOptions& options, const QByteArray& source, qint64 start, qint64 end, QString* why,
                         int* exitCode)
{
    const QString file = options.session;
    *exitCode = CliExitUsage;
    if (!checkSessionDestination(file, source, why))
        return false;
    SourceIdentity now;
    if (!identifySource(source, &now, why)) {
        *exitCode = CliExitSourceError;
        return false;
    }
    // An empty file is a session whose creation was cut short.
    const QFileInfo existing(file);
    if (options.fresh && existing.exists() && existing.size() > 0 && !ScanSession::open(file, why)) {
        *why = QStringLiteral("--fresh would replace %1, which is not a scan session (%2); give another file")
                   .arg(file, *why);
        return false;
    }
    if (!options.fresh && existing.exists() && (existing.size() > 0 || QFileInfo::exists(file + "-wal"))) {
        m_session = ScanSession::open(file, why);
        if (!m_session)
            return false;
        const SessionInfo& info = m_session->info();
        const QString changed = identityDifference(info.source, now);
        if (!changed.isEmpty()) {
            *why = QStringLiteral("the session %1 was kept for %2, and %3 is not that source: %4; "
                                  "give --fresh to start it over")
                       .arg(file, QString::fromLocal8Bit(info.source.name), QString::fromLocal8Bit(source), changed);
            return false;
        }
        if (info.rangeStart != start || info.rangeEnd != end) {
            *why = QStringLiteral("the session %1 covers bytes %2 to %3, not %4 to %5; give the same --start and "
                                  "--end, or --fresh to start it over")
                       .arg(file).arg(info.rangeStart).arg(info.rangeEnd).arg(start).arg(end);
            return false;
        }
        for (const SessionFragment& f : m_session->closedFragments()) {
            CliFragment c{f.serial, f.fragment, {}};
            c.fragment.diskName = source;
            if (f.durationS >= 0) {
                c.duration.known = true;
                c.duration.seconds = f.durationS;
            }
            m_saved.append(c);
        }
        for (const SessionRangeEntry& r : m_session->ranges())
            (r.kind == SessionRange::Unreadable ? m_savedUnreadable : m_savedUntried).push_back({r.start, r.end});
        m_point = m_session->resumePoint();
        for (SFragmentFit& f : m_point.open)
            f.diskName = source;
        m_resuming = m_point.position >= 0;
    } else {
        m_session = ScanSession::create(file, now, start, end, why);
        if (!m_session) {
            *exitCode = CliExitSourceError;
            return false;
        }
    }
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("CORVOTKL_SESSION_COMMIT_MS", &ok);
    if (ok && ms >= 0)
        m_session->setCommitInterval(ms);
    return true;
}

void CliSession::attach(CFragmentFit* scan)
{
    CFragmentFit::fragmentSerial = m_saved.isEmpty() ? 0 : m_saved.last().serial;
    if (m_resuming)
        scan->setResumePoint(m_point);
    scan->setCheckpoints(true);
}

void CliSession::fragment(int serial, const SFragmentFit& f)
{
    ++m_received;
    if (!m_failed && !m_stopped)
        m_held.push_back(Held{serial, f, -1});
}

bool CliSession::counted(int serial, const Media::Duration& duration)
{
    if (m_failed)
        return false;
    if (m_stopped)
        return true;
    // Counts come in the order the fragments were sent.
    if (m_countedHeld < m_held.size() && m_held[m_countedHeld].serial == serial) {
        m_held[m_countedHeld].durationS = duration.known ? duration.seconds : -1;
        ++m_countedHeld;
    }
    return handOver();
}

bool CliSession::checkpoint(const ScanResumePoint& point)
{
    if (m_failed)
        return false;
    if (!m_stopped)
        m_points.emplace_back(m_received, point);
    return handOver();
}

bool CliSession::handOver()
{
    // The newest checkpoint whose fragments are all counted; the ones
    // before it are contained in it.
    const qint64 ready = m_handed + qint64(m_countedHeld);
    const ScanResumePoint* point = nullptr;
    qint64 upTo = m_handed;
    while (!m_points.empty() && m_points.front().first <= ready) {
        if (m_points.size() == 1 || m_points[1].first > ready) {
            upTo = m_points.front().first;
            break;
        }
        m_points.pop_front();
    }
    if (!m_points.empty() && m_points.front().first <= ready)
        point = &m_points.front().second;
    if (!point)
        return true;
    for (; m_handed < upTo; ++m_handed) {
        Held& h = m_held.front();
        m_session->fragmentSent(h.serial, std::move(h.fragment), h.durationS);
        m_held.pop_front();
        --m_countedHeld;
    }
    if (!m_session->checkpoint(*point))
        m_failed = true;
    m_points.pop_front();
    return !m_failed;
}

bool CliSession::finish(const CFragmentFit& scan)
{
    if (m_failed)
        return false;
    handOver();
    m_failed = !m_session->commit() || !recordScanRanges(m_session.get(), scan);
    return !m_failed;
}

int runSessionExport(const CliOptions& options, const std::atomic<bool>* interrupt, FILE* err)
{
    QString why;
    std::unique_ptr<ScanSession> session = ScanSession::open(options.session, &why);
    if (!session) {
        std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(why));
        return CliExitUsage;
    }
    const SessionInfo& info = session->info();
    const QString name = QString::fromLocal8Bit(info.source.name);
    SourceIdentity now;
    if (!identifySource(info.source.name, &now, &why)) {
        std::fprintf(err, "corvotkl-cli: the source of %s is missing: %s\n", qPrintable(options.session), qPrintable(why));
        return CliExitSourceError;
    }
    const QString changed = identityDifference(info.source, now);
    if (!changed.isEmpty()) {
        std::fprintf(err, "corvotkl-cli: cannot export from %s: the source %s has changed since the scan: %s\n",
                     qPrintable(options.session), qPrintable(name), qPrintable(changed));
        return CliExitSourceError;
    }
    if (!info.finished)
        std::fprintf(err, "corvotkl-cli: %s is unfinished (saved up to byte %lld of %lld); exporting the %d fragments "
                          "saved so far\n",
                     qPrintable(options.session), (long long)info.savedPosition, (long long)info.rangeEnd,
                     info.closedCount);
    // Thumbnails are written too: never onto the source's disk.
    if (!options.thumbsDir.isEmpty()) {
        const QString onSource = SourceGuard({nyxDevicePathForName(info.source.name)})
                                     .check(QFile::encodeName(QFileInfo(options.thumbsDir).absoluteFilePath()));
        if (!onSource.isEmpty()) {
            std::fprintf(err, "corvotkl-cli: --thumbs %s: refused, %s\n", qPrintable(options.thumbsDir),
                         qPrintable(onSource));
            return CliExitUsage;
        }
        if (!QDir().mkpath(options.thumbsDir) || !QFileInfo(options.thumbsDir).isWritable()) {
            std::fprintf(err, "corvotkl-cli: --thumbs %s: cannot write there\n", qPrintable(options.thumbsDir));
            return CliExitUsage;
        }
    }
    QList<CliFragment> found;
    for (const SessionFragment& f : session->closedFragments())
        found.append(CliFragment{f.serial, f.fragment, {}});
    int code = CliExitOk;
    if (cliWantsExport(options))
        code = runCliExport(options, found, code, interrupt, err);
    if (code != CliExitInterrupted && !options.thumbsDir.isEmpty()) {
        CliOptions named = options; // the contact sheet is titled by the source
        named.source = name;
        code = runCliThumbs(named, found, code, interrupt, err);
    }
    return code;
}

int listSessions(FILE* out, FILE* err)
{
    const QDir dir(sessionsFolder());
    const QFileInfoList files = dir.entryInfoList({QStringLiteral("*.session")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(err, "corvotkl-cli: no sessions in %s\n", qPrintable(dir.path()));
        return CliExitOk;
    }
    std::fprintf(out, "%-40s %16s %9s %10s  %-20s  %s\n", "source", "size", "progress", "fragments", "changed", "file");
    for (const QFileInfo& fi : files) {
        QString why;
        std::unique_ptr<ScanSession> s = ScanSession::open(fi.absoluteFilePath(), &why);
        if (!s) {
            std::fprintf(err, "corvotkl-cli: %s\n", qPrintable(why));
            continue;
        }
        const SessionInfo& i = s->info();
        const qint64 span = std::max<qint64>(1, i.rangeEnd - i.rangeStart);
        const double pct = i.finished ? 100.0
                                      : 100.0 * double(std::max<qint64>(0, i.savedPosition - i.rangeStart)) / double(span);
        std::fprintf(out, "%-40s %16lld %8.1f%% %10d  %-20s  %s\n", i.source.name.constData(), (long long)i.source.size,
                     std::min(pct, 100.0), i.closedCount,
                     qPrintable(i.changed.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
                     qPrintable(fi.absoluteFilePath()));
    }
    return CliExitOk;
}

namespace {
thread_local int t_uncounted = 0;
} // namespace

CliUncountedReads::CliUncountedReads() { ++t_uncounted; }
CliUncountedReads::~CliUncountedReads() { --t_uncounted; }

namespace {

std::function<bool()>& beforeKill()
{
    static std::function<bool()> ready;
    return ready;
}

// Asked again from the event loop until the main thread has caught up; a
// nested loop here could sit on events it never gets to deliver.
void killWhenReady()
{
    if (beforeKill() && !beforeKill()()) {
        QTimer::singleShot(1, QCoreApplication::instance(), &killWhenReady);
        return;
    }
    std::raise(SIGKILL);
}

class KillAtReadDevice : public NyxCIOSystemDevice {
public:
    KillAtReadDevice(std::unique_ptr<NyxCIOSystemDevice> inner, std::shared_ptr<std::atomic<long>> left)
        : m_inner(std::move(inner)), m_left(std::move(left))
    {
    }
    int open(std::uint32_t a, int m) override { return m_inner->open(a, m); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        count1();
        return m_inner->readFrom(dst, offset, count);
    }
    std::int64_t readDirect(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        count1();
        return m_inner->readDirect(dst, offset, count);
    }
    int logicalBlockSize() const override { return m_inner->logicalBlockSize(); }
    // An export's copy, never the scan's read.
    std::int64_t copyTo(int outFd, std::int64_t offset, std::uint32_t count) override
    {
        return m_inner->copyTo(outFd, offset, count);
    }
    std::int64_t size() const override { return m_inner->size(); }
    int lastError() const override { return m_inner->lastError(); }

private:
    // Only the scan's own reads count, so the k-th read is the scan's k-th
    // step: the first fills its buffer, each one after refills one chunk.
    // The source's checks and the durations' reads run on other threads.
    void count1()
    {
        if (t_uncounted == 0 && qobject_cast<CFragmentFit*>(QThread::currentThread()) && --*m_left == 0)
            killOnceHandled();
    }
    // The kill waits until the main thread has handled everything the scan
    // sent before this read (its queued fragments and checkpoints come
    // first in the same queue), so what the session holds at the kill is
    // the same however busy the machine is. This read never happens.
    static void killOnceHandled()
    {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || QThread::currentThread() == app->thread())
            std::raise(SIGKILL);
        QMetaObject::invokeMethod(app, &killWhenReady, Qt::QueuedConnection);
        for (;;)
            ::pause();
    }

    std::unique_ptr<NyxCIOSystemDevice> m_inner;
    std::shared_ptr<std::atomic<long>> m_left;
};

} // namespace

void cliSetBeforeKill(std::function<bool()> ready) { beforeKill() = std::move(ready); }

NyxDeviceFactory cliKillAtReadFactory(NyxDeviceFactory inner)
{
    bool ok = false;
    const long k = qEnvironmentVariableIntValue("CORVOTKL_KILL_AT_READ", &ok);
    if (!ok || k <= 0)
        return inner;
    auto left = std::make_shared<std::atomic<long>>(k);
    return [inner, left](const QByteArray& devicePath) -> std::unique_ptr<NyxCIOSystemDevice> {
        std::unique_ptr<NyxCIOSystemDevice> dev =
            inner ? inner(devicePath) : nyxMakePosixDevice(nyxDevicePathToFile(devicePath));
        if (!dev)
            return dev;
        return std::make_unique<KillAtReadDevice>(std::move(dev), left);
    };
}
