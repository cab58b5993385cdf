#include "tools/cli/CliScan.h"

#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"
#include "scan/CSchedule.h"
#include "tools/cli/CliSession.h"
#include "tools/cli/FragmentJson.h"
#include "tools/cli/CliMedia.h"
#include "tools/cli/CliDurations.h"
#include "tools/cli/TerminalProgress.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

class WatchedDevice : public NyxCIOSystemDevice {
public:
    WatchedDevice(std::unique_ptr<NyxCIOSystemDevice> inner, CliReadErrors* log)
        : m_inner(std::move(inner)), m_log(log)
    {
    }
    int open(std::uint32_t accessFlag, int openMethod) override { return m_inner->open(accessFlag, openMethod); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        return note(m_inner->readFrom(dst, offset, count), offset, count);
    }
    std::int64_t readDirect(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        return note(m_inner->readDirect(dst, offset, count), offset, count);
    }
    int logicalBlockSize() const override { return m_inner->logicalBlockSize(); }
    bool isBlockDevice() const override { return m_inner->isBlockDevice(); }
    void pinForDirectReads(void* base, std::size_t bytes) override { m_inner->pinForDirectReads(base, bytes); }
    std::int64_t size() const override { return m_inner->size(); }
    int lastError() const override { return m_inner->lastError(); }

private:
    std::int64_t note(std::int64_t r, std::int64_t offset, std::uint32_t count)
    {
        if (r < 0) {
            m_log->record(m_inner->lastError() ? m_inner->lastError() : int(-r), offset);
        } else if (r < count) {
            // Short before the end of the device: the rest could not be read.
            const std::int64_t size = m_inner->size();
            if (size >= 0 && offset + r < size)
                m_log->record(m_inner->lastError() ? m_inner->lastError() : EIO, offset + r);
        }
        return r;
    }

    std::unique_ptr<NyxCIOSystemDevice> m_inner;
    CliReadErrors* m_log;
};

} // namespace

void CliReadErrors::record(int error, qint64 offset)
{
    if (failures.fetch_add(1) == 0) {
        firstError = error;
        firstOffset = offset;
    }
}

void CliReadErrors::reset()
{
    failures = 0;
    firstError = 0;
    firstOffset = -1;
}

NyxDeviceFactory cliWatchingFactory(NyxDeviceFactory inner, CliReadErrors* log)
{
    return [inner, log](const QByteArray& devicePath) -> std::unique_ptr<NyxCIOSystemDevice> {
        std::unique_ptr<NyxCIOSystemDevice> dev =
            inner ? inner(devicePath) : nyxMakePosixDevice(nyxDevicePathToFile(devicePath));
        if (!dev)
            return dev;
        return std::make_unique<WatchedDevice>(std::move(dev), log);
    };
}

CliSource resolveCliSource(const QString& source)
{
    CliSource s;
    QByteArray name = source.toLocal8Bit();
    if (!name.contains('/')) {
        const QByteArray dev = "/dev/" + name;
        if (::access(dev.constData(), F_OK) != 0 && QFileInfo::exists(source))
            name = QFileInfo(source).absoluteFilePath().toLocal8Bit();
    } else {
        name = QFileInfo(source).absoluteFilePath().toLocal8Bit();
    }
    s.name = name;
    s.devicePath = nyxDevicePathForName(name);
    s.filePath = nyxDevicePathToFile(s.devicePath);
    return s;
}

CliScan::CliScan(const CliOptions& options, FILE* out, FILE* err, QObject* parent)
    : QObject(parent), m_options(options), m_out(out), m_err(err)
{
    m_progress = ::isatty(::fileno(err)) == 1;
    m_clearBeforeRows = m_progress && ::isatty(::fileno(out)) == 1;
}

CliScan::~CliScan()
{
    if (m_sampler) {
        m_samplerStopped = 'Y';
        m_sampler->wait();
        delete m_sampler;
    }
    if (m_scan) {
        m_scan->stop();
        m_scan->wait();
    }
    if (m_durations) {
        m_durations->stopAndWait(ULONG_MAX);
        delete m_durations;
    }
    delete m_scan;
    cliSetBeforeKill({});
    delete m_session;
}

QString CliScan::sourceLabel() const
{
    const QString given = m_options.source;
    const QString file = QString::fromLocal8Bit(m_source.filePath);
    return given == file ? given : QStringLiteral("%1 (%2)").arg(given, file);
}

bool CliScan::fail(int code, const QString& message)
{
    clearProgress();
    std::fprintf(m_err, "corvotkl-cli: %s\n", qPrintable(message));
    std::fflush(m_err);
    m_exitCode = code;
    return false;
}

bool CliScan::start()
{
    m_source = resolveCliSource(m_options.source);

    // Open it ourselves first: the scan thread ends silently on a source it
    // cannot open, and the size gives the default range.
    NyxDeviceHandle dev = nyxNewDevice(m_source.devicePath);
    const int rc = dev ? NyxfIOSystemDevice_open(dev.get(), NyxAccessRead, NyxOpenExisting) : ENODEV;
    if (rc != 0) {
        return fail(CliExitSourceError, QStringLiteral("cannot open %1: %2").arg(sourceLabel(), QString::fromLocal8Bit(std::strerror(rc))));
    }
    m_size = dev->size();
    if (m_size < 0) {
        return fail(CliExitSourceError,
                    QStringLiteral("cannot scan %1: its size is unknown (not a block device or a regular file)").arg(sourceLabel()));
    }

    if (m_size == 0) {
        return fail(CliExitSourceError,
                    QStringLiteral("cannot scan %1: it holds no bytes (an empty image, or a reader with no medium in it)")
                        .arg(sourceLabel()));
    }

    m_start = m_options.hasStart ? m_options.start : 0;
    m_end = m_options.hasEnd ? m_options.end : m_size;
    if (m_start > m_size) {
        return fail(CliExitUsage, QStringLiteral("--start %1 lies beyond the end of %2 (%3 bytes)")
                                      .arg(m_start).arg(sourceLabel()).arg(m_size));
    }
    if (m_end > m_size) {
        std::fprintf(m_err, "corvotkl-cli: %s holds %lld bytes; scanning up to there\n", qPrintable(sourceLabel()),
                     (long long)m_size);
        m_end = m_size;
    }

    // A disk is read past the page cache: behind the scan nothing is cached,
    // and counting durations would read every fragment off the disk again.
    const bool readDirectly = dev->isBlockDevice();
    dev.reset();

    if (!m_options.session.isEmpty()) {
        m_session = new CliSession;
        QString why;
        int code = CliExitUsage;
        if (!m_session->prepare(m_options, m_source.name, m_start, m_end, &why, &code))
            return fail(code, why);
        cliSetBeforeKill([this] {
            if (m_session)
                m_session->waitWritten();
        });
    }

    if (!m_options.json) {
        std::fprintf(m_out, "%7s %6s %8s %14s %16s %16s %10s  %s\n", "serial", "stream", "frames", "bytes", "start", "end",
                     "duration", "time");
    }
    if (std::fflush(m_out) != 0 || std::ferror(m_out))
        return fail(CliExitSourceError,
                    QStringLiteral("cannot write the fragment list: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));

    // A resumed session lists its saved fragments first, so that this run's
    // output alone is that of one whole scan.
    if (m_session) {
        // Saved rows keep no duration: counting them would read behind the scan.
        for (const CliFragment& f : m_session->saved()) {
            m_fragments.push_back(f);
            m_fragmentBytes += f.fragment.totalBytes;
            listFragment(f);
        }
        m_listed = m_counted = int(m_fragments.size());
        m_savedCount = m_session->saved().size();
        if (m_outputFailed)
            return false;
        if (m_session->finished()) {
            QMetaObject::invokeMethod(this, &CliScan::finishSaved, Qt::QueuedConnection);
            return true;
        }
    }

    m_scan = new CFragmentFit;
    connect(m_scan, &CFragmentFit::TransmitAddFragmentList, this, &CliScan::onFragment, Qt::QueuedConnection);
    if (m_session)
        connect(m_scan, &CFragmentFit::TransmitCheckpoint, this, &CliScan::onCheckpoint, Qt::QueuedConnection);
    connect(m_scan, &QThread::finished, this, &CliScan::onScanFinished, Qt::QueuedConnection);
    qRegisterMetaType<Media::Duration>();
    m_durations = new CliDurations(m_scan->publishedPosition(), readDirectly ? 0 : CliDurations::kDefaultWindow);
    connect(m_durations, &CliDurations::counted, this, &CliScan::onCounted, Qt::QueuedConnection);
    m_durations->start();
    m_scan->setDevicePath(m_source.devicePath.constData());
    m_scan->setRange(m_start, m_end);
    if (m_session)
        m_session->attach(m_scan);

    // The sampler only feeds the progress line, which is drawn on a terminal.
    if (m_progress) {
        m_sampler = new CSchedule(m_scan->publishedPosition(), &m_samplerStopped, &m_samplerPaused);
        m_sampler->setTotal(m_end);
        connect(m_sampler, &CSchedule::TransmitShowSchedule, this, &CliScan::onSample, Qt::QueuedConnection);
    }
    if (m_readErrors)
        m_readErrors->reset(); // what the checks above met is reported already
    m_startedMs = corvoMonotonicMs();
    m_scan->start();
    if (m_sampler)
        m_sampler->start();
    return true;
}

void CliScan::interrupt(int code)
{
    if (m_interrupted || !m_scan)
        return;
    m_interrupted = true;
    m_exitCode = code;
    clearProgress();
    std::fprintf(m_err, "corvotkl-cli: interrupted; stopping the scan\n");
    std::fflush(m_err);
    m_durations->abandon();
    m_scan->stop();
}

void CliScan::onFragment(SFragmentFit fragment, int serial)
{
    if (m_session)
        m_session->fragment(serial, fragment);
    m_fragments.push_back(CliFragment{serial, fragment, Media::Duration()});
    m_fragmentBytes += fragment.totalBytes;
    // The row waits for its duration, counted off the scan's path.
    m_durations->add(int(m_fragments.size()) - 1, fragment);
}

void CliScan::onCheckpoint(ScanResumePoint point)
{
    if (m_session && !m_session->checkpoint(point)) {
        // The scan goes on; what the session holds stays consistent.
        clearProgress();
        std::fprintf(m_err, "corvotkl-cli: %s; the scan goes on without it\n", qPrintable(m_session->error()));
        std::fflush(m_err);
        if (m_exitCode == CliExitOk)
            m_exitCode = CliExitSourceError;
        delete m_session;
        m_session = nullptr;
    }
}

void CliScan::finishSaved()
{
    std::fprintf(m_err, "corvotkl-cli: the session %s is complete: %d fragments, %lld bytes of video; nothing was "
                        "scanned again (--fresh scans anew)\n",
                 qPrintable(m_options.session), int(m_fragments.size()), (long long)m_fragmentBytes);
    std::fflush(m_err);
    emit done(m_exitCode);
}

void CliScan::onCounted(int index, Media::Duration duration)
{
    if (index < 0 || index >= m_fragments.size())
        return;
    m_fragments[index].duration = duration;
    m_counted = std::max(m_counted, index + 1);
    // Results come in the order added, so every row before this one is counted.
    while (m_listed < m_counted)
        listFragment(m_fragments[m_listed++]);
    finishWhenListed();
}

void CliScan::listFragment(const CliFragment& f)
{
    if (m_outputFailed)
        return;
    if (m_clearBeforeRows)
        clearProgress();
    if (m_options.json) {
        QByteArray line = corvoFragmentJsonLine(f.serial, f.fragment);
        line.chop(1);
        line += ",\"duration_s\":" + cliDurationText(f.duration, "null") + "}\n";
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
    } else {
        printRow(f);
    }
    if (std::fflush(m_out) != 0 || std::ferror(m_out)) {
        // A full disk or a closed pipe: the list is incomplete, so stop.
        const int e = errno;
        m_outputFailed = true;
        fail(CliExitSourceError, QStringLiteral("cannot write the fragment list: %1").arg(QString::fromLocal8Bit(std::strerror(e))));
        if (m_durations)
            m_durations->abandon();
        if (m_scan)
            m_scan->stop();
        return;
    }
    if (m_clearBeforeRows && m_progressShown)
        drawProgress();
}

void CliScan::printRow(const CliFragment& f)
{
    const SFragmentFit& fr = f.fragment;
    const SExtentList none;
    const SExtentList& ext = fr.extents ? *fr.extents : none;
    const qint64 first = ext.isEmpty() ? 0 : ext.first().start;
    const qint64 last = ext.isEmpty() ? 0 : ext.last().end;
    std::fprintf(m_out, "%7d %6d %8d %14lld %16lld %16lld %10s  %s", f.serial, fr.stream, fr.frameCount,
                 (long long)fr.totalBytes, (long long)first, (long long)last, cliDurationText(f.duration, "-").constData(),
                 qPrintable(PackedTime::displayForm(fr.firstTime)));
    if (ext.size() > 1)
        std::fprintf(m_out, "  (%d extents)", int(ext.size()));
    std::fputc('\n', m_out);
}

void CliScan::onSample(SSchedule)
{
    // The sampler's last sample arrives after the summary; the line is gone by then.
    if (!m_finished)
        drawProgress();
}

void CliScan::drawProgress()
{
    if (!m_progress || !m_scan)
        return;
    const qint64 aligned = m_start & ~(kSectorBytes - 1);
    const qint64 total = m_end - aligned;
    const qint64 done = std::min(total, std::max<qint64>(0, m_scan->publishedPosition()->load() - aligned));
    const qint64 ms = std::max<qint64>(1, corvoMonotonicMs() - m_startedMs);
    std::fprintf(m_err, "\r\033[K%s", qPrintable(TerminalProgress::text(done, total, ms, QString::number(m_fragments.size()) + " fragments")));
    std::fflush(m_err);
    m_progressShown = true;
}

void CliScan::clearProgress()
{
    if (m_progress && m_progressShown) {
        std::fputs("\r\033[K", m_err);
        std::fflush(m_err);
    }
}

void CliScan::onScanFinished()
{
    // The last rows may still wait for their durations; the summary follows them.
    m_scanEnded = true;
    m_durations->finishInput();
    finishWhenListed();
}

void CliScan::finishWhenListed()
{
    if (!m_scanEnded || m_finished || m_listed < m_fragments.size())
        return;
    m_finished = true;
    if (m_sampler) {
        m_samplerStopped = 'Y';
        m_sampler->wait();
    }
    const qint64 ms = std::max<qint64>(1, corvoMonotonicMs() - m_startedMs);
    // A resumed scan read on from its saved point.
    const qint64 aligned = std::max(m_start & ~(kSectorBytes - 1), m_session && m_session->resuming() ? m_session->resumedAt() & ~(kSectorBytes - 1) : 0);
    const qint64 scanned = m_interrupted ? std::min(m_end, std::max(aligned, m_scan->publishedPosition()->load())) - aligned
                                         : m_end - aligned;
    clearProgress();
    if (m_session && !m_session->finish(*m_scan)) {
        std::fprintf(m_err, "corvotkl-cli: %s\n", qPrintable(m_session->error()));
        if (m_exitCode == CliExitOk)
            m_exitCode = CliExitSourceError;
    }
    const int failures = m_readErrors ? m_readErrors->failures.load() : 0;
    const std::vector<SourceRange> unreadable = m_scan->unreadableRanges();
    const std::vector<SourceRange> untried = m_scan->untriedRanges();
    const qint64 unreadableBytes = m_scan->unreadableBytes();
    const qint64 untriedBytes = m_scan->untriedBytes();
    if (m_scan->lastError() != 0 && !m_outputFailed) {
        const qint64 at = m_scan->publishedPosition()->load();
        if (at > aligned && at < m_end)
            std::fprintf(m_err, "corvotkl-cli: cannot read %s: %s; the scan ended at byte %lld of %lld\n",
                         qPrintable(sourceLabel()), std::strerror(m_scan->lastError()), (long long)at, (long long)m_end);
        else
            std::fprintf(m_err, "corvotkl-cli: cannot read %s: %s\n", qPrintable(sourceLabel()),
                         std::strerror(m_scan->lastError()));
        if (m_exitCode == CliExitOk)
            m_exitCode = CliExitSourceError;
    }
    if (unreadableBytes + untriedBytes > 0 && !m_outputFailed) {
        // Fragments there are missing from the list: say where and how much.
        const int error = failures > 0 ? m_readErrors->firstError.load() : EIO;
        std::fprintf(m_err,
                     "corvotkl-cli: cannot read parts of %s: %s; %lld bytes unreadable, %lld bytes untried inside bad areas\n",
                     qPrintable(sourceLabel()), std::strerror(error), (long long)unreadableBytes, (long long)untriedBytes);
        const auto list = [&](const char* what, const std::vector<SourceRange>& ranges) {
            const size_t shown = std::min<size_t>(ranges.size(), 20);
            for (size_t k = 0; k < shown; ++k)
                std::fprintf(m_err, "corvotkl-cli:   %s %lld-%lld (%lld bytes)\n", what, (long long)ranges[k].start,
                             (long long)ranges[k].end, (long long)ranges[k].size());
            if (ranges.size() > shown)
                std::fprintf(m_err, "corvotkl-cli:   ... and %d more %s ranges\n", int(ranges.size() - shown), what);
        };
        list("unreadable", unreadable);
        list("untried", untried);
        if (m_exitCode == CliExitOk)
            m_exitCode = CliExitSourceError;
    }
    if (m_options.json && !m_outputFailed) {
        const auto array = [](const std::vector<SourceRange>& ranges) {
            QByteArray a = "[";
            for (size_t k = 0; k < ranges.size(); ++k)
                a += (k ? ",[" : "[") + QByteArray::number(ranges[k].start) + ',' + QByteArray::number(ranges[k].end) + ']';
            return a + ']';
        };
        const QByteArray line = "{\"summary\":{\"source\":" + corvoJsonString(m_source.name) +
                                ",\"fragments\":" + QByteArray::number(int(m_fragments.size())) +
                                ",\"bytes_scanned\":" + QByteArray::number(scanned) +
                                ",\"stopped\":" + (m_interrupted ? "true" : "false") +
                                ",\"error\":" + (m_scan->lastError() ? corvoJsonString(std::strerror(m_scan->lastError())) : QByteArray("null")) +
                                ",\"unreadable_bytes\":" + QByteArray::number(unreadableBytes) +
                                ",\"untried_bytes\":" + QByteArray::number(untriedBytes) +
                                ",\"unreadable\":" + array(unreadable) + ",\"untried\":" + array(untried) + "}}\n";
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
        std::fflush(m_out);
    }
    std::fprintf(m_err, "corvotkl-cli: %s %s: %d fragments, %lld bytes of video; %lld bytes read in %.2f s, %.1f MB/s\n",
                 m_interrupted ? "stopped scanning" : "scanned", qPrintable(sourceLabel()), int(m_fragments.size()),
                 (long long)m_fragmentBytes, (long long)scanned, double(ms) / 1000.0,
                 double(scanned) / 1e6 / (double(ms) / 1000.0));
    if (m_session && m_session->resuming())
        std::fprintf(m_err, "corvotkl-cli: resumed %s at byte %lld: %d fragments were saved before, %d found now\n",
                     qPrintable(m_options.session), (long long)m_session->resumedAt(), m_savedCount,
                     int(m_fragments.size()) - m_savedCount);
    std::fflush(m_err);
    emit done(m_exitCode);
}
