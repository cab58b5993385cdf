#include "tools/cli/CliScan.h"

#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"
#include "scan/CSchedule.h"
#include "tools/cli/CliSession.h"
#include "tools/cli/FragmentJson.h"
#include "tools/cli/CliMedia.h"
#include "tools/cli/CliDurations.h"
#include "tools/cli/TerminalProgress.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr qint64 kFlushMs = 200;          // rows reach a pipe at most this late
constexpr int kRowsWriteAt = 256 * 1024;  // a full buffer is written at once
constexpr int kCountingBacklog = 1024;    // rows handed to the counter and not yet back, at most
constexpr size_t kPendingRows = 8192;     // rows held back behind one being counted, at most


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
    int queueRead(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        const int ticket = m_inner->queueRead(dst, offset, count);
        if (ticket > 0)
            m_queued.push_back({ticket, offset, count});
        return ticket;
    }
    std::int64_t awaitRead(int ticket) override
    {
        const std::int64_t r = m_inner->awaitRead(ticket);
        for (auto it = m_queued.begin(); it != m_queued.end(); ++it) {
            if (it->ticket == ticket) {
                const Queued q = *it;
                m_queued.erase(it);
                // Read the plain way after all: that read is noted.
                return r == -EOPNOTSUPP ? r : note(r, q.offset, q.count);
            }
        }
        return r;
    }
    // A failed copy is read again through readFrom, which notes it.
    std::int64_t copyTo(int outFd, std::int64_t offset, std::uint32_t count) override
    {
        return m_inner->copyTo(outFd, offset, count);
    }
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

    struct Queued {
        int ticket;
        std::int64_t offset;
        std::uint32_t count;
    };
    std::unique_ptr<NyxCIOSystemDevice> m_inner;
    CliReadErrors* m_log;
    std::vector<Queued> m_queued;
};

// A resumed run's ranges follow the saved ones; a bad area across the
// resume point is one range, as in one whole scan.
std::vector<SourceRange> joinedRanges(const std::vector<SourceRange>& saved, const std::vector<SourceRange>& now)
{
    std::vector<SourceRange> all = saved;
    for (const SourceRange& r : now) {
        if (!all.empty() && all.back().end == r.start)
            all.back().end = r.end;
        else
            all.push_back(r);
    }
    return all;
}

qint64 rangeBytes(const std::vector<SourceRange>& ranges)
{
    qint64 n = 0;
    for (const SourceRange& r : ranges)
        n += r.size();
    return n;
}

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
    m_keep = !options.exportDir.isEmpty() || !options.mergeFile.isEmpty() || !options.thumbsDir.isEmpty();
    m_rows.reserve(kRowsWriteAt + 65536); // reserved, so emptying it keeps the memory
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &CliScan::flushRows);
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
            // Checkpoints wait for the durations of the rows before them.
            if (m_session && m_durations && !m_pending.empty())
                return false;
            if (m_session)
                m_session->waitWritten();
            return true;
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
        // Saved rows carry the durations they were listed with: counting
        // them again would read far behind the scan.
        for (const CliFragment& f : m_session->saved()) {
            ++m_fragmentCount;
            m_fragmentBytes += f.fragment.totalBytes;
            listFragment(f.serial, SFragmentView(f.fragment), f.duration);
        }
        m_listed = m_fragmentCount;
        m_savedCount = m_session->saved().size();
        flushRows();
        m_savedUnreadable = m_session->savedUnreadable();
        m_savedUntried = m_session->savedUntried();
        if (m_session->resuming())
            m_resumedAt = m_session->resumedAt();
        if (m_outputFailed)
            return false;
        if (m_session->finished()) {
            QMetaObject::invokeMethod(this, &CliScan::finishSaved, Qt::QueuedConnection);
            return true;
        }
    }

    m_scan = new CFragmentFit;
    // Rows reach a pipe at most kFlushMs late anyway: fewer, larger batches
    // wake this thread a few times a second instead of after every read.
    m_scan->setBatchInterval(int(kFlushMs / 2));
    connect(m_scan, &CFragmentFit::TransmitFragmentBatch, this, &CliScan::onBatch, Qt::QueuedConnection);
    if (m_session)
        connect(m_scan, &CFragmentFit::TransmitCheckpoint, this, &CliScan::onCheckpoint, Qt::QueuedConnection);
    connect(m_scan, &QThread::finished, this, &CliScan::onScanFinished, Qt::QueuedConnection);
    qRegisterMetaType<Media::Duration>();
    m_countDurations = !readDirectly;
    m_durations = new CliDurations(m_scan->publishedPosition(), readDirectly ? 0 : CliDurations::kDefaultWindow);
    connect(
        m_durations, &CliDurations::counted, this,
        [this](int index, Media::Duration duration) {
            // On the counter's thread.
            bool post = false;
            {
                std::lock_guard<std::mutex> hold(m_countedLock);
                m_countedIn.emplace_back(index, duration);
                post = !m_countedPosted;
                m_countedPosted = true;
            }
            if (post)
                QMetaObject::invokeMethod(this, &CliScan::takeCounted, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    m_durations->start();
    // The count of a fragment may borrow from the one before it.
    if (m_session && !m_session->saved().isEmpty())
        m_durations->add(-1, m_session->saved().last().fragment);
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
    if (m_session)
        m_session->stopSaving();
    m_durations->abandon();
    m_scan->stop();
}

void CliScan::onBatch(SFragmentBatch batch)
{
    const int n = batch.size();
    if (n == 0)
        return;
    PendingBatch pending;
    pending.first = m_fragmentCount;
    pending.state.assign(size_t(n), Settled);
    for (int k = 0; k < n; ++k) {
        const SFragmentRecord& r = batch.record(k);
        m_fragmentBytes += r.totalBytes;
        // The row waits for its duration, counted off the scan's path. When
        // the counter falls far behind (dense data closes fragments faster
        // than they can be counted), rows go out without one, so neither the
        // list nor the memory waits on it.
        const bool count = m_countDurations && m_counting < kCountingBacklog;
        if (!m_session && !count)
            continue;
        // A full record only for those that keep one, made once for both.
        const SFragmentFit fragment = batch.fragment(k);
        if (m_session)
            m_session->fragment(r.serial, fragment);
        if (count) {
            ++m_counting;
            pending.state[size_t(k)] = Waiting;
            m_durations->add(m_fragmentCount + k, fragment);
        }
    }
    m_fragmentCount += n;
    pending.batch = std::move(batch);
    m_pending.push_back(std::move(pending));
    // Rows not counted pile up behind those still being counted: past a
    // bound the ones in the counter go out without a duration too.
    if (size_t(m_fragmentCount - m_listed) > kPendingRows) {
        for (PendingBatch& p : m_pending)
            std::replace(p.state.begin() + p.next, p.state.end(), Waiting, Settled);
    }
    listSettled();
}

void CliScan::onCheckpoint(ScanResumePoint point)
{
    if (m_session && !m_session->checkpoint(point))
        dropSession();
}

void CliScan::dropSession()
{
    // The scan goes on; what the session holds stays consistent.
    clearProgress();
    std::fprintf(m_err, "corvotkl-cli: %s; the scan goes on without it\n", qPrintable(m_session->error()));
    std::fflush(m_err);
    if (m_exitCode == CliExitOk)
        m_exitCode = CliExitSourceError;
    delete m_session;
    m_session = nullptr;
}

void CliScan::printJsonSummary(qint64 scanned, int error, const std::vector<SourceRange>& unreadable,
                               const std::vector<SourceRange>& untried)
{
    const auto array = [](const std::vector<SourceRange>& ranges) {
        QByteArray a = "[";
        for (size_t k = 0; k < ranges.size(); ++k)
            a += (k ? ",[" : "[") + QByteArray::number(ranges[k].start) + ',' + QByteArray::number(ranges[k].end) + ']';
        return a + ']';
    };
    const QByteArray line = "{\"summary\":{\"source\":" + corvoJsonString(m_source.name) +
                            ",\"fragments\":" + QByteArray::number(m_fragmentCount) +
                            ",\"bytes_scanned\":" + QByteArray::number(scanned) +
                            ",\"stopped\":" + (m_interrupted ? "true" : "false") +
                            ",\"error\":" + (error ? corvoJsonString(std::strerror(error)) : QByteArray("null")) +
                            ",\"unreadable_bytes\":" + QByteArray::number(rangeBytes(unreadable)) +
                            ",\"untried_bytes\":" + QByteArray::number(rangeBytes(untried)) +
                            ",\"unreadable\":" + array(unreadable) + ",\"untried\":" + array(untried) + "}}\n";
    std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
    std::fflush(m_out);
}

void CliScan::finishSaved()
{
    // Listed as the scan that made it ended.
    if (m_options.json)
        printJsonSummary(m_end - (m_start & ~(kSectorBytes - 1)), 0, m_savedUnreadable, m_savedUntried);
    if (!m_savedUnreadable.empty() || !m_savedUntried.empty()) {
        std::fprintf(m_err, "corvotkl-cli: the scan kept in %s could not read %lld bytes of %s and left %lld bytes "
                            "untried inside bad areas\n",
                     qPrintable(m_options.session), (long long)rangeBytes(m_savedUnreadable),
                     qPrintable(sourceLabel()), (long long)rangeBytes(m_savedUntried));
        if (m_exitCode == CliExitOk)
            m_exitCode = CliExitSourceError;
    }
    std::fprintf(m_err, "corvotkl-cli: the session %s is complete: %d fragments, %lld bytes of video; nothing was "
                        "scanned again (--fresh scans anew)\n",
                 qPrintable(m_options.session), m_fragmentCount, (long long)m_fragmentBytes);
    std::fflush(m_err);
    emit done(m_exitCode);
}

void CliScan::takeCounted()
{
    std::vector<std::pair<int, Media::Duration>> counts;
    {
        std::lock_guard<std::mutex> hold(m_countedLock);
        counts.swap(m_countedIn);
        m_countedPosted = false;
    }
    for (const auto& c : counts) {
        const int index = c.first;
        if (index < 0 || index >= m_fragmentCount)
            continue;
        --m_counting;
        if (index < m_listed)
            continue; // listed already, without it
        // The batch holding the row: the last one starting at or before it.
        auto p = std::upper_bound(m_pending.begin(), m_pending.end(), index,
                                  [](int i, const PendingBatch& b) { return i < b.first; });
        if (p == m_pending.begin())
            continue;
        --p;
        p->state[size_t(index - p->first)] = Counted;
        m_countedRows[index] = c.second;
    }
    listSettled();
}

void CliScan::listSettled()
{
    while (!m_pending.empty()) {
        PendingBatch& p = m_pending.front();
        const int n = int(p.state.size());
        for (; p.next < n && p.state[size_t(p.next)] != Waiting; ++p.next) {
            Media::Duration duration;
            if (p.state[size_t(p.next)] == Counted) {
                const auto c = m_countedRows.find(p.first + p.next);
                if (c != m_countedRows.end()) {
                    duration = c->second;
                    m_countedRows.erase(c);
                }
            }
            listNow(p.batch.serial(p.next), p.batch.view(p.next), duration);
        }
        if (p.next < n)
            break;
        m_pending.pop_front();
    }
    flushRowsSoon();
    finishWhenListed();
}

void CliScan::listNow(int serial, const SFragmentView& fragment, const Media::Duration& duration)
{
    if (m_session && !m_session->counted(serial, duration))
        dropSession();
    listFragment(serial, fragment, duration);
    ++m_listed;
}

void CliScan::listFragment(int serial, const SFragmentView& fragment, const Media::Duration& duration)
{
    if (m_keep)
        m_store.append(serial, fragment);
    if (m_outputFailed)
        return;
    if (m_options.json) {
        const QByteArray& disk = *fragment.diskName;
        if (!(m_quotedFor.constData() == disk.constData() || m_quotedFor == disk)) {
            m_quotedFor = disk;
            m_quotedDisk = corvoJsonString(disk);
        }
        const int n = fragment.extentCount;
        const QByteArray seconds = cliDurationText(duration, QByteArrayLiteral("null"));
        // Written in place: the buffer keeps its capacity between flushes.
        const int at = m_rows.size();
        m_rows.resize(at + corvoFragmentJsonBound(m_quotedDisk.size(), n) + 16 + seconds.size());
        char* p = corvoWriteFragmentJson(m_rows.data() + at, serial, m_quotedDisk, fragment.formatCode,
                                         fragment.stream, fragment.firstTime, fragment.lastTime,
                                         fragment.totalBytes, fragment.frameCount,
                                         fragment.extents, n);
        --p; // the closing brace: the duration goes last
        std::memcpy(p, ",\"duration_s\":", 14);
        p += 14;
        std::memcpy(p, seconds.constData(), size_t(seconds.size()));
        p += seconds.size();
        std::memcpy(p, "}\n", 2);
        p += 2;
        m_rows.resize(int(p - m_rows.constData()));
    } else {
        printRow(serial, fragment, duration);
    }
    if (m_rows.size() >= kRowsWriteAt)
        flushRows();
}

void CliScan::flushRowsSoon()
{
    const qint64 since = corvoMonotonicMs() - m_lastFlushMs;
    if (since >= kFlushMs)
        flushRows();
    else if (!m_rows.isEmpty() && !m_flushTimer.isActive())
        m_flushTimer.start(int(kFlushMs - since));
}

void CliScan::flushRows()
{
    m_lastFlushMs = corvoMonotonicMs();
    m_flushTimer.stop();
    if (m_rows.isEmpty() || m_outputFailed) {
        m_rows.resize(0);
        return;
    }
    if (m_clearBeforeRows)
        clearProgress();
    std::fwrite(m_rows.constData(), 1, size_t(m_rows.size()), m_out);
    m_rows.resize(0);
    if (std::fflush(m_out) != 0 || std::ferror(m_out)) {
        // A full disk or a closed pipe: the list is incomplete, so stop.
        const int e = errno;
        m_outputFailed = true;
        fail(CliExitSourceError, QStringLiteral("cannot write the fragment list: %1").arg(QString::fromLocal8Bit(std::strerror(e))));
        if (m_session)
            m_session->stopSaving();
        if (m_durations)
            m_durations->abandon();
        if (m_scan)
            m_scan->stop();
        return;
    }
    if (m_clearBeforeRows && m_progressShown)
        drawProgress();
}

// printf's "%*lld" and "%0*d", without its cost per row: the digits are
// written at their place, after the fill. widths are at most kPadMost, and
// the caller has that much room at p and more.
constexpr int kPadMost = 24;
static char* padded(char* p, long long v, int width, char fill = ' ')
{
    // A fixed length is a few stores, where a variable one is a call.
    std::memset(p, fill, kPadMost);
    const int n = corvoNumberWidth(v);
    return corvoWriteNumber(p + std::max(0, width - n), v);
}

// "%7d %6d %8d %14lld %16lld %16lld %10s  2%03d-%02d-%02d %02d:%02d:%02d", and
// "  (%d extents)" when there are more than one.
void CliScan::printRow(int serial, const SFragmentView& fr, const Media::Duration& duration)
{
    const int n = fr.extentCount;
    const qint64 first = n ? fr.extents[0].start : 0;
    const qint64 last = n ? fr.extents[n - 1].end : 0;
    const quint32 t = fr.firstTime;
    // Written in place: six numbers of at most 20 characters, the duration
    // (at most 64), the time, the count, and the room padded() writes ahead.
    const int at = m_rows.size();
    m_rows.resize(at + 320);
    char* const line = m_rows.data() + at;
    char* p = line;
    p = padded(p, serial, 7);
    p = padded(p, fr.stream, 7);
    p = padded(p, fr.frameCount, 9);
    p = padded(p, fr.totalBytes, 15);
    p = padded(p, first, 17);
    p = padded(p, last, 17);
    const QByteArray seconds = cliDurationText(duration, QByteArrayLiteral("-")).left(64);
    *p++ = ' ';
    for (int i = int(seconds.size()); i < 10; ++i)
        *p++ = ' ';
    std::memcpy(p, seconds.constData(), size_t(seconds.size()));
    p += seconds.size();
    std::memcpy(p, "  2", 3);
    p = padded(p + 3, PackedTime::year(t), 3, '0');
    *p++ = '-';
    p = padded(p, PackedTime::month(t), 2, '0');
    *p++ = '-';
    p = padded(p, PackedTime::day(t), 2, '0');
    *p++ = ' ';
    p = padded(p, PackedTime::hour(t), 2, '0');
    *p++ = ':';
    p = padded(p, PackedTime::minute(t), 2, '0');
    *p++ = ':';
    p = padded(p, PackedTime::second(t), 2, '0');
    if (n > 1) {
        std::memcpy(p, "  (", 3);
        p = corvoWriteNumber(p + 3, n);
        std::memcpy(p, " extents)", 9);
        p += 9;
    }
    *p++ = '\n';
    m_rows.resize(at + int(p - line));
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
    std::fprintf(m_err, "\r\033[K%s", qPrintable(TerminalProgress::text(done, total, ms, QString::number(m_fragmentCount) + " fragments")));
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
    if (!m_scanEnded || m_finished || m_listed < m_fragmentCount)
        return;
    flushRows();
    m_finished = true;
    if (m_sampler) {
        m_samplerStopped = 'Y';
        m_sampler->wait();
    }
    const qint64 ms = std::max<qint64>(1, corvoMonotonicMs() - m_startedMs);
    // A resumed scan read on from its saved point; its list and summary are
    // those of the whole scan.
    const qint64 rangeAligned = m_start & ~(kSectorBytes - 1);
    const qint64 aligned = std::max(rangeAligned, m_resumedAt >= 0 ? m_resumedAt & ~(kSectorBytes - 1) : 0);
    const qint64 upTo = m_interrupted ? std::min(m_end, std::max(aligned, m_scan->publishedPosition()->load())) : m_end;
    const qint64 scanned = upTo - aligned;
    clearProgress();
    if (m_session && !m_session->finish(*m_scan)) {
        std::fprintf(m_err, "corvotkl-cli: %s\n", qPrintable(m_session->error()));
        if (m_exitCode == CliExitOk)
            m_exitCode = CliExitSourceError;
    }
    const int failures = m_readErrors ? m_readErrors->failures.load() : 0;
    const std::vector<SourceRange> unreadable = joinedRanges(m_savedUnreadable, m_scan->unreadableRanges());
    const std::vector<SourceRange> untried = joinedRanges(m_savedUntried, m_scan->untriedRanges());
    const qint64 unreadableBytes = rangeBytes(unreadable);
    const qint64 untriedBytes = rangeBytes(untried);
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
    if (m_options.json && !m_outputFailed)
        printJsonSummary(upTo - rangeAligned, m_scan->lastError(), unreadable, untried);
    std::fprintf(m_err, "corvotkl-cli: %s %s: %d fragments, %lld bytes of video; %lld bytes read in %.2f s, %.1f MB/s\n",
                 m_interrupted ? "stopped scanning" : "scanned", qPrintable(sourceLabel()), m_fragmentCount,
                 (long long)m_fragmentBytes, (long long)scanned, double(ms) / 1000.0,
                 double(scanned) / 1e6 / (double(ms) / 1000.0));
    if (m_resumedAt >= 0)
        std::fprintf(m_err, "corvotkl-cli: resumed %s at byte %lld: %d fragments were saved before, %d found now\n",
                     qPrintable(m_options.session), (long long)m_resumedAt, m_savedCount,
                     m_fragmentCount - m_savedCount);
    std::fflush(m_err);
    emit done(m_exitCode);
}
