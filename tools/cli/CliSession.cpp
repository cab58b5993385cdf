#include "tools/cli/CliSession.h"

#include "scan/CFragmentFit.h"
#include "tools/cli/CliExport.h"

#include <QDir>
#include <QFileInfo>

#include <csignal>

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
            m_saved.append(c);
        }
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
    if (!m_failed)
        m_session->fragmentSent(serial, f);
}

bool CliSession::checkpoint(const ScanResumePoint& point)
{
    if (m_failed)
        return false;
    if (!m_session->checkpoint(point))
        m_failed = true;
    return !m_failed;
}

bool CliSession::finish()
{
    if (m_failed)
        return false;
    m_failed = !m_session->commit();
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
    QList<CliFragment> found;
    for (const SessionFragment& f : session->closedFragments())
        found.append(CliFragment{f.serial, f.fragment, {}});
    return runCliExport(options, found, CliExitOk, interrupt, err);
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

class KillAtReadDevice : public NyxCIOSystemDevice {
public:
    KillAtReadDevice(std::unique_ptr<NyxCIOSystemDevice> inner, std::shared_ptr<std::atomic<long>> left)
        : m_inner(std::move(inner)), m_left(std::move(left))
    {
    }
    int open(std::uint32_t a, int m) override { return m_inner->open(a, m); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (t_uncounted == 0 && --*m_left == 0)
            std::raise(SIGKILL);
        return m_inner->readFrom(dst, offset, count);
    }
    std::int64_t size() const override { return m_inner->size(); }
    int lastError() const override { return m_inner->lastError(); }

private:
    std::unique_ptr<NyxCIOSystemDevice> m_inner;
    std::shared_ptr<std::atomic<long>> m_left;
};

} // namespace

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
