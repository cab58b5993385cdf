#include "export/ExportCore.h"

#include "disk/Nyx.h"
#include "disk/SourceGuard.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcExport, "corvotkl.export")

namespace ExportCore {

namespace {

QString reason(int error)
{
    if (error < 0)
        error = -error;
    return error ? qt_error_string(error) : QStringLiteral("unknown error");
}

// What a user recognises: the file or device behind "\\.\NAME".
QString shownSource(const QByteArray& sourcePath)
{
    return QFile::decodeName(nyxDevicePathToFile(sourcePath));
}

QString shown(const QByteArray& path) { return QFile::decodeName(path); }

qint64 roundUp512(qint64 v) { return (v + kSectorBytes - 1) / kSectorBytes * kSectorBytes; }

} // namespace

QString singleFileName(const SPlayListTableItem& row)
{
    const SFragmentFit& f = row.sFragmentFit;
    return QString::asprintf("(%02d)%s-%s_%05d.%s", f.stream,
                             PackedTime::fileNameForm(f.firstTime).toLatin1().constData(),
                             PackedTime::fileNameForm(f.lastTime).toLatin1().constData(), row.iSerial, "TKL");
}

QString hhmmss(qint64 secs)
{
    if (secs < 0)
        secs = 0;
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(secs / 3600),
                             static_cast<long long>(secs % 3600 / 60), static_cast<long long>(secs % 60));
}

QString elapsedText(qint64 secs) { return QStringLiteral("已用时间 ") + hhmmss(secs); }

QString remainingText(qint64 secs, qint64 totalSize, qint64 inc)
{
    if (secs <= 0)
        return QString();
    const qint64 rate = inc / secs;
    if (rate <= 0)
        return QString();
    return QStringLiteral(" 剩余时间 ") + hhmmss((totalSize - inc) / rate);
}

int percentOf(qint64 totalSize, qint64 inc)
{
    if (totalSize <= 0)
        return 0;
    // Written bytes can pass the total by the tail of a chunk; the bar ignores values past 100.
    const qint64 p = qint64(static_cast<__int128>(inc) * 100 / totalSize);
    return int(std::clamp<qint64>(p, 0, 100));
}

// ---------------------------------------------------------------- BufferedSource

BufferedSource::BufferedSource(NyxCIOSystemDevice* device) : m_device(device) {}

void BufferedSource::reset(NyxCIOSystemDevice* device)
{
    m_device = device;
    m_bufStart = 0;
    m_bufLen = 0;
}

std::int64_t BufferedSource::read(qint64 offset, qint64 len, qint64 readLimit, const char** data)
{
    *data = nullptr;
    if (offset < 0 || len < 0 || len > kChunkBytes || !m_device)
        return -EINVAL;
    if (m_buf.empty())
        m_buf.resize(size_t(kReadAheadBytes + kChunkBytes));
    if (offset >= m_bufStart && offset + len <= m_bufStart + m_bufLen) {
        *data = m_buf.data() + (offset - m_bufStart);
        return len;
    }
    const qint64 aligned = offset - offset % kSectorBytes;
    const qint64 need = roundUp512(offset + len) - aligned;
    const qint64 wanted = std::max(need, std::min<qint64>(roundUp512(readLimit) - aligned, kReadAheadBytes));
    qint64 size = wanted;
    std::int64_t n = NyxfIOSystemDevice_read_from(m_device, m_buf.data(), aligned, std::uint32_t(size));
    // A bad sector further on must not cost the good ones before it: halve the
    // read until it succeeds or only the asked bytes remain.
    while (n < 0 && size > need) {
        size = std::max(need, roundUp512(size / 2));
        n = NyxfIOSystemDevice_read_from(m_device, m_buf.data(), aligned, std::uint32_t(size));
    }
    if (n < 0) {
        m_bufLen = 0;
        return n;
    }
    m_bufStart = aligned;
    m_bufLen = std::min<qint64>(n, size);
    const qint64 avail = std::clamp<qint64>(m_bufLen - (offset - aligned), 0, len);
    *data = m_buf.data() + (offset - aligned);
    return avail;
}

// ---------------------------------------------------------------- OutputFile

OutputFile::~OutputFile()
{
    if (m_fd >= 0)
        close();
}

bool OutputFile::open(const QByteArray& path)
{
    m_error = 0;
    m_used = 0;
    if (path.isEmpty()) {
        m_error = ENOENT;
        return false;
    }
    do {
        m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    if (m_buf.size() != size_t(kWriteBufferBytes))
        m_buf.resize(size_t(kWriteBufferBytes));
    return true;
}

bool OutputFile::flush()
{
    qint64 done = 0;
    while (done < m_used) {
        const ssize_t w = ::write(m_fd, m_buf.data() + done, size_t(m_used - done));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            return false;
        }
        if (w == 0) {
            m_error = EIO;
            return false;
        }
        done += w;
        m_committed += w;
    }
    m_used = 0;
    return true;
}

bool OutputFile::write(const char* data, qint64 len)
{
    if (m_fd < 0 || m_error)
        return false;
    while (len > 0) {
        const qint64 n = std::min<qint64>(len, qint64(m_buf.size()) - m_used);
        std::memcpy(m_buf.data() + m_used, data, size_t(n));
        m_used += n;
        data += n;
        len -= n;
        if (m_used == qint64(m_buf.size()) && !flush())
            return false;
    }
    return true;
}

bool OutputFile::close()
{
    if (m_fd < 0)
        return m_error == 0;
    bool ok = m_error == 0 && flush();
    // A file unlinked while written (its folder removed) keeps taking bytes
    // and then vanishes: nothing was saved.
    struct stat st {};
    if (ok && ::fstat(m_fd, &st) == 0 && st.st_nlink == 0) {
        m_error = ENOENT;
        ok = false;
    }
    // Linux closes the descriptor even when close reports an error; never retry.
    if (::close(m_fd) != 0 && ok) {
        m_error = errno;
        ok = false;
    }
    m_fd = -1;
    m_used = 0;
    return ok;
}

// ---------------------------------------------------------------- ExportJob

ExportJob::ExportJob() = default;
ExportJob::~ExportJob() = default;

void ExportJob::diag(const QString& message)
{
    if (onDiagnostic) {
        onDiagnostic(message);
        return;
    }
    std::printf("%s\n", message.toLocal8Bit().constData());
    std::fflush(stdout);
}

void ExportJob::progress(bool force)
{
    if (!onProgress || m_total <= 0)
        return;
    if (!force) {
        // Reading the clock per sector would cost more than the copy.
        if (m_written < m_nextClockCheck)
            return;
        m_nextClockCheck = m_written + 256 * 1024;
        if (m_sinceReport.isValid() && m_sinceReport.elapsed() < kProgressIntervalMs)
            return;
    }
    m_sinceReport.start();
    onProgress(m_total, m_written);
}

NyxCIOSystemDevice* ExportJob::openSource(const QByteArray& sourcePath, int* error)
{
    NyxCIOSystemDevice* device = NyxfIOSystemDevice_new_not_open(sourcePath.constData());
    const int rc = NyxfIOSystemDevice_open(device, NyxAccessRead, NyxOpenExisting);
    if (rc != 0) {
        *error = rc;
        NyxfIOSystemDevice_delete(&device);
        return nullptr;
    }
    *error = 0;
    return device;
}

bool ExportJob::isSourceOf(const QList<SPlayListTableItem>& rows, const QByteArray& outputPath, QString* why) const
{
    // The rows are those of the job: sysfs and the mount table are read once.
    if (!m_guard) {
        QList<QByteArray> sources;
        std::set<QByteArray> seen;
        for (const SPlayListTableItem& row : rows) {
            if (seen.insert(row.sFragmentFit.diskName).second)
                sources.append(nyxDevicePathForName(row.sFragmentFit.diskName));
        }
        m_guard = std::make_unique<SourceGuard>(sources);
    }
    const QString problem = m_guard->check(outputPath);
    if (why)
        *why = problem;
    return !problem.isEmpty();
}

ExportJob::CopyResult ExportJob::copyExtent(qint64 start, qint64 end, const QByteArray& sourcePath,
                                            const QByteArray& outputPath)
{
    BufferedSource& source = m_source;
    OutputFile& output = m_output;
    if (end <= start)
        return CopyResult::Done;
    qint64 offset = start % kChunkBytes;
    const qint64 base = start - offset;
    const qint64 chunks = (end - base - 1) / kChunkBytes + 1;
    qint64 done = 0;
    for (qint64 i = 0; i < chunks; ++i) {
        const qint64 pos = base + i * kChunkBytes + offset;
        const qint64 len = std::min(kChunkBytes - offset, (end - start) - done);
        const char* data = nullptr;
        const std::int64_t got = source.read(pos, len, end, &data);
        if (got < 0) {
            diag(QStringLiteral("read error: %1 at offset %2: %3").arg(shownSource(sourcePath)).arg(pos).arg(reason(int(got))));
            return CopyResult::ReadFailed;
        }
        if (got < len) {
            // Keep what the source still had, then report the gap.
            if (got > 0 && output.write(data, got)) {
                m_written += got;
                m_rowWritten += got;
            }
            diag(QStringLiteral("short read: %1 ends at offset %2, before the extent's end %3")
                     .arg(shownSource(sourcePath)).arg(pos + got).arg(end));
            return CopyResult::ReadFailed;
        }
        if (!output.write(data, len)) {
            diag(QStringLiteral("write error: %1: %2").arg(shown(outputPath), reason(output.error())));
            return CopyResult::WriteFailed;
        }
        done += len;
        offset = 0;
        m_written += len;
        m_rowWritten += len;
        if (m_rowWritten > m_rowSize)
            return CopyResult::Done;
        progress(false);
        if (cancel.load(std::memory_order_relaxed))
            return CopyResult::Cancelled;
    }
    return CopyResult::Done;
}

bool ExportJob::exportItem(const SPlayListTableItem& row)
{
    const SFragmentFit& f = row.sFragmentFit;
    const QByteArray sourcePath = nyxDevicePathForName(f.diskName);
    QByteArray fullPath = m_directory;
    if (!fullPath.endsWith('/'))
        fullPath += '/';
    fullPath += QFile::encodeName(singleFileName(row));

    QString why;
    if (isSourceOf(m_rows, fullPath, &why)) {
        diag(QStringLiteral("refusing to write %1: %2").arg(shown(fullPath), why));
        return false;
    }
    OutputFile& output = m_output;
    if (!output.open(fullPath)) {
        diag(QStringLiteral("cannot create %1: %2").arg(shown(fullPath), reason(output.error())));
        return false;
    }
    int error = 0;
    NyxCIOSystemDevice* device = openSource(sourcePath, &error);
    if (!device) {
        diag(QStringLiteral("cannot open source %1: %2").arg(shownSource(sourcePath), reason(error)));
        if (onSourceOpenFailed)
            onSourceOpenFailed(sourcePath, error);
        if (!output.close())
            diag(QStringLiteral("write error: %1: %2").arg(shown(fullPath), reason(output.error())));
        return false;
    }

    bool ok = true;
    if (f.extents && f.totalBytes >= 0) {
        m_source.reset(device);
        for (const SExtent& e : *f.extents) {
            const CopyResult r = copyExtent(e.start, e.end, sourcePath, fullPath);
            if (r == CopyResult::ReadFailed)
                ok = false; // the next extent still follows
            if (r == CopyResult::WriteFailed) {
                ok = false; // a full disk fails every later write too
                break;
            }
            if (cancel.load(std::memory_order_relaxed) || m_rowWritten >= m_rowSize)
                break;
        }
    }
    m_source.reset(nullptr);
    NyxfIOSystemDevice_delete(&device);
    if (!output.close()) {
        diag(QStringLiteral("write error: %1: %2").arg(shown(fullPath), reason(output.error())));
        ok = false;
    }
    return ok;
}

void ExportJob::begin(const QList<SPlayListTableItem>& rows)
{
    m_guard.reset();
    m_total = 0;
    m_written = 0;
    m_output.resetCommitted();
    m_failedRows = 0;
    m_nextClockCheck = 0;
    m_sinceReport.invalidate();
    for (const SPlayListTableItem& row : rows)
        m_total += row.sFragmentFit.totalBytes;
}

int ExportJob::exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& directory)
{
    if (rows.isEmpty() || directory.isEmpty())
        return 0;
    m_rows = rows;
    m_directory = directory;
    begin(rows);
    for (const SPlayListTableItem& row : rows) {
        m_rowWritten = 0;
        m_rowSize = row.sFragmentFit.totalBytes;
        if (!exportItem(row))
            ++m_failedRows;
        if (cancel.load(std::memory_order_relaxed))
            break;
    }
    progress(true);
    m_rows.clear();
    return m_failedRows == 0 ? 1 : 0;
}

int ExportJob::videoMerge(const QList<SPlayListTableItem>& rows, const QByteArray& outputPath)
{
    if (rows.isEmpty())
        return 0;
    begin(rows);

    QString why;
    if (isSourceOf(rows, outputPath, &why)) {
        diag(QStringLiteral("open file error: refusing to write %1: %2").arg(shown(outputPath), why));
        return 0;
    }
    OutputFile& output = m_output;
    BufferedSource& source = m_source;
    if (!output.open(outputPath)) {
        diag(QStringLiteral("open file error: %1: %2").arg(shown(outputPath), reason(output.error())));
        return 0;
    }

    QByteArray sourcePath = nyxDevicePathForName(rows.first().sFragmentFit.diskName);
    qCDebug(lcExport, "drivename %s", sourcePath.constData());
    int error = 0;
    NyxCIOSystemDevice* device = openSource(sourcePath, &error);
    if (!device) {
        if (onSourceOpenFailed)
            onSourceOpenFailed(sourcePath, error);
        diag(QStringLiteral("open drive0 error: %1: %2").arg(shownSource(sourcePath), reason(error)));
        output.close();
        return 0;
    }

    // Ends a failed merge: both files closed, the window keeps the last value.
    auto fail = [&]() {
        source.reset(nullptr);
        NyxfIOSystemDevice_delete(&device);
        output.close();
        progress(true);
        return 0;
    };

    bool cancelled = false;
    for (int r = 0; r < rows.size() && !cancelled; ++r) {
        const SFragmentFit& f = rows.at(r).sFragmentFit;
        source.reset(device);
        if (f.extents) {
            for (const SExtent& e : *f.extents) {
                if (e.end < e.start) {
                    diag(QStringLiteral("bad extent %1-%2 in a fragment of %3")
                             .arg(e.start).arg(e.end).arg(shownSource(sourcePath)));
                    return fail();
                }
                // An empty extent holds nothing to copy (a zero-length write is not a failure).
                if (e.end == 0 || e.end == e.start)
                    continue;
                qint64 offset = e.start % kSectorBytes;
                const qint64 base = e.start - offset;
                const qint64 sectors = (e.end - base - 1) / kSectorBytes + 1;
                qint64 done = 0;
                for (qint64 j = 0; j < sectors; ++j) {
                    const qint64 pos = base + j * kSectorBytes + offset;
                    const qint64 len = std::min(kSectorBytes - offset, (e.end - e.start) - done);
                    const char* data = nullptr;
                    const std::int64_t got = source.read(pos, len, e.end, &data);
                    if (got < 0) {
                        diag(QStringLiteral("read error: %1 at offset %2: %3")
                                 .arg(shownSource(sourcePath)).arg(pos).arg(reason(int(got))));
                        return fail();
                    }
                    if (got < len) {
                        if (got > 0 && output.write(data, got))
                            m_written += got;
                        diag(QStringLiteral("short read: %1 ends at offset %2, before the extent's end %3")
                                 .arg(shownSource(sourcePath)).arg(pos + got).arg(e.end));
                        return fail();
                    }
                    if (!output.write(data, len)) {
                        diag(QStringLiteral("write error: %1: %2").arg(shown(outputPath), reason(output.error())));
                        return fail();
                    }
                    done += len;
                    m_written += len;
                    progress(false);
                    if (cancel.load(std::memory_order_relaxed)) {
                        cancelled = true;
                        break;
                    }
                    offset = 0;
                }
                if (cancelled)
                    break;
            }
        }
        if (cancelled || r + 1 >= rows.size())
            break;
        // Every row is read from its own disk, reopened even when it is the same one.
        source.reset(nullptr);
        NyxfIOSystemDevice_delete(&device);
        sourcePath = nyxDevicePathForName(rows.at(r + 1).sFragmentFit.diskName);
        device = openSource(sourcePath, &error);
        if (!device) {
            diag(QStringLiteral("open drive0 error: %1: %2").arg(shownSource(sourcePath), reason(error)));
            return fail();
        }
    }

    const bool closed = output.close();
    source.reset(nullptr);
    NyxfIOSystemDevice_delete(&device);
    if (!closed) {
        diag(QStringLiteral("write error: %1: %2").arg(shown(outputPath), reason(output.error())));
        progress(true);
        return 0;
    }
    if (onProgress && m_total > 0)
        onProgress(m_total, m_total);
    return 1;
}

} // namespace ExportCore
