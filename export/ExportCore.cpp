#include "export/ExportCore.h"
#include "export/CopyAhead.h"
#include "export/FolderHand.h"

#include "disk/Nyx.h"
#include "disk/RequestingUser.h"
#include "disk/SourceGuard.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <set>
#include <system_error>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
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

QString bytesText(qint64 n) { return QLocale(QLocale::English, QLocale::UnitedStates).toString(n); }

// The folder an output file goes into.
QByteArray folderOf(const QByteArray& path)
{
    return QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
}

// FAT32 keeps a file's size in 32 bits.
constexpr qint64 kFatMaxFileBytes = Q_INT64_C(4294967295);

} // namespace

QByteArray singleFileNameBytes(const SPlayListTableItem& row)
{
    // Made once per file of an export: formatted in place, no text conversions.
    const SFragmentFit& f = row.sFragmentFit;
    char first[32], last[32], buf[128];
    PackedTime::writeFileNameForm(first, sizeof first, f.firstTime);
    PackedTime::writeFileNameForm(last, sizeof last, f.lastTime);
    const int n = std::snprintf(buf, sizeof buf, "(%02d)%s-%s_%05d.TKL", f.stream, first, last, row.iSerial);
    return QByteArray(buf, std::clamp(n, 0, int(sizeof buf) - 1));
}

QString singleFileName(const SPlayListTableItem& row) { return QString::fromLatin1(singleFileNameBytes(row)); }

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

QByteArray partPathOf(const QByteArray& path) { return path + ".part"; }

// Rows whose files are made before their turn: enough that the copy never
// waits for one.
constexpr int kMadeAhead = 32;
// Files smaller than this are not worth a second copying thread.
constexpr qint64 kCopiedAheadBytes = 64 << 10;

// How many rows ahead files may be made with the descriptors this process
// has left: each row ahead holds one, and as many again wait to be closed
// behind. A quarter of what is left, so a file made the long way, a source
// opened late and the caller's own files still find one.
int madeAheadWithin(int openNow, rlim_t limit)
{
    if (limit == RLIM_INFINITY || limit > rlim_t(1) << 20)
        return kMadeAhead;
    const qint64 left = qint64(limit) - openNow;
    return int(std::clamp<qint64>(left / 8, 0, kMadeAhead));
}

int openDescriptors()
{
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = -1; // the listing's own
    while (const dirent* e = ::readdir(d))
        n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

int madeAhead()
{
    struct rlimit r {};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0)
        return kMadeAhead;
    const int open = openDescriptors();
    // Unknown: taken as half used.
    return madeAheadWithin(open >= 0 ? open : int(std::min<rlim_t>(r.rlim_cur, 1 << 20) / 2), r.rlim_cur);
}

bool probeDestination(const QByteArray& directory, DestinationSpace* space)
{
    struct statvfs v {};
    if (::statvfs(directory.constData(), &v) != 0)
        return false;
    space->freeBytes = qint64(v.f_bavail) * qint64(v.f_frsize);
    struct statfs f {};
    space->maxFileBytes = (::statfs(directory.constData(), &f) == 0 && f.f_type == MSDOS_SUPER_MAGIC) ? kFatMaxFileBytes : -1;
    return true;
}

QStringList ExportResult::details() const
{
    QStringList lines;
    for (const Failure& f : failures)
        lines << QStringLiteral("%1: %2").arg(f.file, f.reason);
    for (const Damaged& d : damaged) {
        QStringList what;
        if (d.zeroFilled)
            what << QStringLiteral("%1 unreadable bytes written as zeros").arg(bytesText(d.zeroFilled));
        if (d.leftOut)
            what << QStringLiteral("%1 bytes missing from the source left out").arg(bytesText(d.leftOut));
        if (!what.isEmpty())
            lines << QStringLiteral("%1: %2").arg(d.file, what.join(QStringLiteral(", ")));
    }
    for (const QString& p : partsLeft)
        lines << QStringLiteral("%1: incomplete, left under this name").arg(p);
    if (cancelled)
        lines << QStringLiteral("cancelled before every file was written");
    return lines;
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
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return adopt(fd);
}

bool OutputFile::create(int dirfd, const QByteArray& name)
{
    m_error = 0;
    m_used = 0;
    int fd;
    do {
        fd = ::openat(dirfd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return adopt(fd);
}

bool OutputFile::adopt(int fd)
{
    m_error = 0;
    m_used = 0;
    m_fd = fd;
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    if (m_buf.size() != size_t(kWriteBufferBytes))
        m_buf.resize(size_t(kWriteBufferBytes));
    return true;
}

qint64 OutputFile::copyFrom(NyxCIOSystemDevice* device, qint64 offset, qint64 len)
{
    if (m_fd < 0 || m_error || !flush())
        return ExtentCopier::kSinkBroken;
    const std::int64_t r = device->copyTo(m_fd, offset, std::uint32_t(len));
    if (r > 0)
        m_committed += r;
    // Only the output can be out of room; anything else is read again.
    if (r == -ENOSPC || r == -EDQUOT || r == -EFBIG) {
        m_error = int(-r);
        return ExtentCopier::kSinkBroken;
    }
    return r;
}

bool OutputFile::continueAfter(qint64 bytes, bool trim)
{
    if (m_fd < 0 || m_error)
        return false;
    m_committed += bytes;
    if (trim && (::ftruncate(m_fd, bytes) != 0 || ::lseek(m_fd, bytes, SEEK_SET) != bytes)) {
        m_error = errno;
        return false;
    }
    return true;
}

bool OutputFile::giveTo(uid_t uid, gid_t gid)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::fchown(m_fd, uid, gid) == 0;
}

bool OutputFile::flush()
{
    if (!writeAll(m_buf.data(), m_used))
        return false;
    m_used = 0;
    return true;
}

bool OutputFile::writeAll(const char* data, qint64 len)
{
    qint64 done = 0;
    while (done < len) {
        const ssize_t w = ::write(m_fd, data + done, size_t(len - done));
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
    return true;
}

bool OutputFile::write(const char* data, qint64 len)
{
    if (m_fd < 0 || m_error)
        return false;
    // Pieces of a read block go to the system straight from the caller's
    // (read) buffer: copying them into ours first would cost a second pass
    // over every byte. Only small pieces are gathered, to save calls.
    if (len >= kDirectWriteBytes)
        return flush() && writeAll(data, len);
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

bool OutputFile::handOver(int* fd)
{
    const bool ok = m_fd >= 0 && m_error == 0 && flush();
    *fd = m_fd;
    m_fd = -1;
    m_used = 0;
    return ok;
}

bool OutputFile::close(bool renamedNext)
{
    if (m_fd < 0)
        return m_error == 0;
    bool ok = m_error == 0 && flush();
    // A file unlinked while written (its folder removed) keeps taking bytes
    // and then vanishes: nothing was saved.
    struct stat st {};
    if (ok && !renamedNext && ::fstat(m_fd, &st) == 0 && st.st_nlink == 0) {
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
ExportJob::~ExportJob() { closeSources(); }

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

ExportJob::JobSource* ExportJob::openedSource(const QByteArray& diskName)
{
    for (JobSource& s : m_sources) {
        if (s.diskName == diskName)
            return &s;
    }
    return nullptr;
}

ExportJob::JobSource* ExportJob::sourceFor(const QByteArray& diskName, int* error)
{
    *error = 0;
    if (JobSource* s = openedSource(diskName))
        return s;
    const QByteArray sourcePath = nyxDevicePathForName(diskName);
    NyxDeviceHandle device = nyxOpenForReading(sourcePath, error);
    if (!device)
        return nullptr;
    JobSource s;
    s.diskName = diskName;
    s.file = nyxDevicePathToFile(sourcePath);
    s.device = std::move(device);
    s.opened = Denoted::of(s.file);
    s.copiedAhead = !s.device->isBlockDevice() && readsSeek && !readsSeek(s.file);
    m_sources.push_back(std::move(s));
    return &m_sources.back();
}

ExportJob::Denoted ExportJob::Denoted::of(const QByteArray& file)
{
    Denoted d;
    struct stat st {};
    if (::stat(file.constData(), &st) == 0) {
        d.named = true;
        d.dev = quint64(st.st_dev);
        d.ino = quint64(st.st_ino);
        d.rdev = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) ? quint64(st.st_rdev) : 0;
    }
    return d;
}

bool ExportJob::stillTheSame(JobSource* source)
{
    if (!source->changed.isEmpty())
        return false;
    if (source->opened == Denoted::of(source->file))
        return true;
    // What the fragments were found on is no longer what the name gives:
    // nothing more is read from it, and nothing written as if it were.
    source->changed = QStringLiteral("source %1 changed during the export: its name no longer gives the file or "
                                     "device that was opened")
                          .arg(shownSource(nyxDevicePathForName(source->diskName)));
    if (m_copyAhead)
        m_copyAhead->quiesce(); // it may be copying from this very device
    source->device.reset();
    return false;
}

void ExportJob::closeSources()
{
    m_sources.clear();
    if (m_dirFd >= 0)
        ::close(m_dirFd);
    m_dirFd = -1;
}

bool ExportJob::openDirectory(const QByteArray& directory, QString* why)
{
    // Checked once: every file is then made inside this very folder.
    *why = m_guard ? m_guard->check(directory) : QString();
    if (m_dirFd >= 0)
        ::close(m_dirFd);
    m_dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    m_dirError = m_dirFd < 0 ? errno : 0;
    return why->isEmpty();
}

bool ExportJob::openItem(const QByteArray& name, const QByteArray& fullPath, Target* target, QString* why)
{
    QString problem;
    struct stat st {};
    if (m_dirFd >= 0 && ::fstatat(m_dirFd, name.constData(), &st, 0) == 0) {
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe bearing the name is written in place.
            if (isSourceOf(fullPath, &problem)) {
                *why = QStringLiteral("refusing to write %1: %2").arg(shown(fullPath), problem);
                return false;
            }
            *target = {fullPath, fullPath, -1, {}, {}};
            if (m_output.open(fullPath))
                return true;
            *why = QStringLiteral("cannot create %1: %2").arg(shown(fullPath), reason(m_output.error()));
            return false;
        }
        *why = refusalToReplace(fullPath, st);
        if (!why->isEmpty())
            return false;
    }
    *target = {fullPath, partPathOf(fullPath), m_dirFd, name, partPathOf(name)};
    if (m_dirFd < 0) {
        *why = QStringLiteral("cannot create %1: %2").arg(shown(target->writePath), reason(m_dirError));
        return false;
    }
    const QByteArray partName = partPathOf(name);
    bool made = m_output.create(m_dirFd, partName);
    if (!made && m_output.error() == EEXIST) {
        // A .part left by an earlier run is ours, unless it is a source.
        if (isSourceOf(fullPath, &problem)) {
            *why = QStringLiteral("refusing to write %1: %2").arg(shown(fullPath), problem);
            return false;
        }
        ::unlinkat(m_dirFd, partName.constData(), 0);
        made = m_output.create(m_dirFd, partName);
    }
    if (!made) {
        *why = QStringLiteral("cannot create %1: %2").arg(shown(target->writePath), reason(m_output.error()));
        return false;
    }
    return true;
}

QString ExportJob::refusalToReplace(const QByteArray& fullPath, const struct stat& st) const
{
    // A file being replaced: the rename must not take a source's name away.
    const QString problem = m_guard ? m_guard->checkInCheckedFolder(fullPath, st) : QString();
    return problem.isEmpty() ? QString() : QStringLiteral("refusing to write %1: %2").arg(shown(fullPath), problem);
}

void ExportJob::giveToRequestingUser(const Target& target)
{
    // Run as root for a user (pkexec, sudo), the file this run made is theirs,
    // whole or left as .part; a device written in place keeps its owner.
    if (!m_giveAway || target.writePath == target.path || m_output.giveTo(m_ownerUid, m_ownerGid))
        return;
    diag(QStringLiteral("cannot give %1 to user %2: %3")
             .arg(shown(target.writePath)).arg(m_ownerUid).arg(reason(errno)));
}

void ExportJob::buildSourceCheck(const QList<QByteArray>& diskNames)
{
    // Once per job: sysfs and the mount table are read here, not per output.
    QList<QByteArray> sources;
    for (const QByteArray& name : diskNames)
        sources.append(nyxDevicePathForName(name));
    m_sourcesExamined = sources.size();
    m_guard = std::make_unique<SourceGuard>(sources);
}

bool ExportJob::isSourceOf(const QByteArray& outputPath, QString* why) const
{
    // Its temporary name too: that file is replaced before it is written.
    for (const QByteArray& path : {outputPath, partPathOf(outputPath)}) {
        const QString problem = m_guard ? m_guard->check(path) : QString();
        if (!problem.isEmpty()) {
            *why = problem;
            return true;
        }
    }
    return false;
}

ExportJob::Target ExportJob::targetFor(const QByteArray& path)
{
    // A device or a pipe named as the output is written in place; a file
    // under a temporary name, so it never looks complete before it is.
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return {path, path, -1, {}, {}};
    // A .part left by an earlier run is ours; made anew, never written
    // through a link it may have become.
    const QByteArray part = partPathOf(path);
    ::unlink(part.constData());
    return {path, part, -1, {}, {}};
}

bool ExportJob::fits(const QByteArray& directory, int targetCount, const std::function<QByteArray(int)>& targetAt,
                     bool oneFile)
{
    DestinationSpace space;
    if (!spaceProbe || !spaceProbe(directory, &space))
        return true; // the writes themselves will tell
    // A refusal is told through the result only: nothing was tried.
    // Files about to be replaced give their room back; looked at only when
    // the free room alone is too small.
    qint64 reclaimed = 0;
    const bool short_ = space.freeBytes >= 0 && m_total > space.freeBytes;
    for (int i = 0; short_ && i < targetCount; ++i) {
        const QByteArray t = targetAt(i);
        struct stat st {};
        if (::stat(t.constData(), &st) != 0)
            continue;
        if (!S_ISREG(st.st_mode))
            return true;
        reclaimed += st.st_size;
    }
    const QString what = oneFile ? QStringLiteral("merge") : QStringLiteral("export");
    if (space.freeBytes >= 0 && m_total > space.freeBytes + reclaimed) {
        const QString reason = QStringLiteral("not enough space: the %1 needs %2 bytes, %3 has %4 bytes free; nothing written")
                                   .arg(what, bytesText(m_total), shown(directory), bytesText(space.freeBytes + reclaimed));
        m_result.failures.append({shown(oneFile ? targetAt(0) : directory), reason});
        return false;
    }
    const qint64 largest = oneFile ? m_total : m_largestRow;
    if (space.maxFileBytes >= 0 && largest > space.maxFileBytes) {
        const QString reason = QStringLiteral("too large: the %1 makes a file of %2 bytes, the file system of %3 "
                                              "takes at most %4 bytes per file; nothing written")
                                   .arg(what, bytesText(largest), shown(directory), bytesText(space.maxFileBytes));
        m_result.failures.append({shown(oneFile ? targetAt(0) : directory), reason});
        return false;
    }
    return true;
}

ExportJob::CopyResult ExportJob::copyRow(const SFragmentFit& f, const QByteArray& outputPath, CopyTally* tally,
                                         bool* broken, qint64 skip)
{
    if (!f.extents)
        return CopyResult::Done;
    const auto sink = [this](const char* data, qint64 len) { return m_output.write(data, len); };
    const auto direct = [this](NyxCIOSystemDevice* device, qint64 offset, qint64 len) {
        return m_output.copyFrom(device, offset, len);
    };
    const auto step = [this](qint64 bytes) {
        m_written += bytes;
        progress(false);
        return cancel.load(std::memory_order_relaxed);
    };
    for (const SExtent& e : *f.extents) {
        if (e.end < e.start) {
            diag(QStringLiteral("bad extent %1-%2 in a fragment of %3, left out of %4")
                     .arg(e.start).arg(e.end).arg(shownSource(nyxDevicePathForName(f.diskName)), shown(outputPath)));
            *broken = true;
            continue;
        }
        if (skip >= e.end - e.start) {
            skip -= e.end - e.start;
            continue;
        }
        const CopyEnd end = m_copier.copy(e.start + skip, e.end, sink, tally, step, direct);
        skip = 0;
        if (end == CopyEnd::SinkFailed) {
            diag(QStringLiteral("write error: %1: %2").arg(shown(outputPath), reason(m_output.error())));
            return CopyResult::WriteFailed;
        }
        if (end == CopyEnd::Stopped || cancel.load(std::memory_order_relaxed))
            return CopyResult::Cancelled;
    }
    return CopyResult::Done;
}

void ExportJob::reportReadTrouble(const QByteArray& sourcePath, const QByteArray& outputPath, const CopyTally& tally)
{
    if (tally.zeroFilled > 0)
        diag(QStringLiteral("read error: %1 at offset %2: %3; %4 unreadable bytes written as zeros in %5")
                 .arg(shownSource(sourcePath)).arg(tally.firstBad).arg(reason(tally.readError))
                 .arg(bytesText(tally.zeroFilled), shown(outputPath)));
    if (tally.leftOut > 0)
        diag(QStringLiteral("short read: %1 ends before the fragment does (%2); %3 bytes past its end left out of %4")
                 .arg(shownSource(sourcePath), tally.readError ? reason(tally.readError) : QStringLiteral("end of source"))
                 .arg(bytesText(tally.leftOut), shown(outputPath)));
}

bool ExportJob::finish(const Target& target, Ending ending, const CopyTally& tally, const QString& failure)
{
    const QString file = shown(target.path);
    const bool temporary = target.writePath != target.path;
    if (ending == Ending::WriteFailed) {
        m_result.failures.append({file, failure});
        if (temporary) {
            m_result.partsLeft << shown(target.writePath);
            diag(QStringLiteral("%1 is incomplete and left as %2").arg(file, shown(target.writePath)));
        }
        return false;
    }
    if (ending == Ending::Cancelled) {
        m_result.cancelled = true;
        if (temporary) {
            m_result.partsLeft << shown(target.writePath);
            diag(QStringLiteral("cancelled: %1 is incomplete and left as %2").arg(file, shown(target.writePath)));
        }
        return true;
    }
    const bool renamed = !temporary ||
                         (target.dirFd >= 0 ? ::renameat(target.dirFd, target.writeName.constData(), target.dirFd,
                                                         target.name.constData())
                                            : ::rename(target.writePath.constData(), target.path.constData())) == 0;
    return finishNamed(target, tally, failure, renamed ? 0 : errno);
}

bool ExportJob::finishNamed(const Target& target, const CopyTally& tally, const QString& failure, int renameError)
{
    const QString file = shown(target.path);
    if (renameError) {
        const QString why = QStringLiteral("cannot rename %1 to its final name: %2").arg(shown(target.writePath), reason(renameError));
        diag(why);
        m_result.failures.append({file, why});
        m_result.partsLeft << shown(target.writePath);
        return false;
    }
    if (!tally.intact() || !failure.isEmpty()) {
        m_result.damaged.append({file, tally.zeroFilled, tally.leftOut});
        if (!failure.isEmpty())
            m_result.failures.append({file, failure});
        return false;
    }
    m_result.written << file;
    return true;
}

bool ExportJob::copiedAhead(const JobSource& source, const SFragmentFit& f)
{
    // A small file costs its folder more than its copy.
    if (f.totalBytes < kCopiedAheadBytes || !f.extents || !source.copiedAhead || !source.device ||
        !source.changed.isEmpty())
        return false;
    // Anything odd (a malformed extent, one past the end) is left to the
    // export's own copy, which says what it did with it.
    const qint64 size = source.device->size();
    return std::none_of(f.extents->begin(), f.extents->end(),
                        [&](const SExtent& e) { return e.end < e.start || size < 0 || e.end > size; });
}

ExportJob::ItemEnd ExportJob::exportItem(const SPlayListTableItem& row, const QByteArray& name, FolderHand* hand,
                                        int made, CopyAhead* ahead)
{
    // Before anything else touches its file, the row is copied or left.
    CopyAhead::Copied pre;
    const bool helped = ahead && ahead->take(made, &pre);
    const SFragmentFit& f = row.sFragmentFit;
    const QByteArray sourcePath = nyxDevicePathForName(f.diskName);
    QByteArray fullPath = m_directory;
    if (!fullPath.endsWith('/'))
        fullPath += '/';
    fullPath += name;
    const QByteArray partName = partPathOf(name);
    // Rows are recorded in their order: the files handed on before go first.
    const auto settle = [&] {
        if (hand)
            settleHanded(hand, true);
    };
    const auto fail = [&](const QString& why) {
        if (made >= 0)
            hand->close(made, partName, name, FolderHand::Then::Remove); // made ahead, never written
        settle();
        diag(why);
        m_result.failures.append({shown(fullPath), why});
        return ItemEnd::Failed;
    };

    QString problem;
    if (m_dirRefused && isSourceOf(fullPath, &problem))
        return fail(QStringLiteral("refusing to write %1: %2").arg(shown(fullPath), problem));
    int error = 0;
    JobSource* source = sourceFor(f.diskName, &error);
    if (!source) {
        if (onSourceOpenFailed)
            onSourceOpenFailed(sourcePath, error);
        return fail(QStringLiteral("cannot open source %1: %2").arg(shownSource(sourcePath), reason(error)));
    }
    if (!stillTheSame(source))
        return fail(QStringLiteral("%1; %2 not written").arg(source->changed, shown(fullPath)));
    Target target;
    QString why;
    const bool handing = made >= 0;
    if (handing) {
        target = {fullPath, partPathOf(fullPath), m_dirFd, name, partName};
        m_output.adopt(made);
    } else {
        // The name is taken, or its .part is: what is still being named may be it.
        settle();
        if (!openItem(name, fullPath, &target, &why))
            return fail(why);
    }
    giveToRequestingUser(target);
    NyxCIOSystemDevice* device = source->device.get();

    CopyTally tally;
    bool broken = false;
    CopyResult r = CopyResult::Done;
    qint64 skip = 0;
    if (helped) {
        skip = pre.bytes;
        tally.copied = pre.bytes;
        tally.reads = pre.reads;
        m_written += pre.bytes;
        if (!m_output.continueAfter(pre.bytes, !pre.whole)) {
            diag(QStringLiteral("write error: %1: %2").arg(shown(target.writePath), reason(m_output.error())));
            r = CopyResult::WriteFailed;
        } else if (!pre.whole && cancel.load(std::memory_order_relaxed)) {
            r = CopyResult::Cancelled;
        }
        progress(false);
    }
    // What was not copied ahead (a bad sector, the end of the source) is
    // copied here from where that copy stopped.
    if (f.totalBytes >= 0 && r == CopyResult::Done && !(helped && pre.whole)) {
        m_copier.setDevice(device);
        r = copyRow(f, fullPath, &tally, &broken, skip);
        m_copier.setDevice(nullptr);
    }
    if (r == CopyResult::WriteFailed)
        why = QStringLiteral("write error: %1").arg(reason(m_output.error()));
    int fd = -1;
    const bool closed = handing ? m_output.handOver(&fd) : m_output.close(target.writePath != target.path);
    if (!closed && r != CopyResult::WriteFailed) {
        why = QStringLiteral("write error: %1").arg(reason(m_output.error()));
        diag(QStringLiteral("write error: %1: %2").arg(shown(target.writePath), reason(m_output.error())));
        r = CopyResult::WriteFailed;
    }
    reportReadTrouble(sourcePath, fullPath, tally);
    const Ending ending = r == CopyResult::WriteFailed ? Ending::WriteFailed
                          : r == CopyResult::Cancelled ? Ending::Cancelled
                                                       : Ending::Complete;
    const QString failure = broken && ending == Ending::Complete ? QStringLiteral("bad extents left out") : why;
    if (handing && ending == Ending::Complete) {
        hand->close(fd, partName, name, FolderHand::Then::Rename);
        m_handed.push_back({target, tally, failure});
        return ItemEnd::Handed;
    }
    if (handing)
        hand->close(fd, partName, name, FolderHand::Then::Keep);
    settle();
    return finish(target, ending, tally, failure) ? ItemEnd::Whole : ItemEnd::Failed;
}

void ExportJob::settleHanded(FolderHand* hand, bool wait)
{
    while (!m_handed.empty() && (wait || hand->closedReady())) {
        const FolderHand::Closed c = hand->closed();
        const Handed h = std::move(m_handed.front());
        m_handed.pop_front();
        bool whole;
        if (c.closeError) {
            diag(QStringLiteral("write error: %1: %2").arg(shown(h.target.writePath), reason(c.closeError)));
            whole = finish(h.target, Ending::WriteFailed, h.tally,
                           QStringLiteral("write error: %1").arg(reason(c.closeError)));
        } else if (c.renameError == EEXIST) {
            whole = renameOntoTaken(h);
        } else {
            whole = finishNamed(h.target, h.tally, h.failure, c.renameError);
        }
        if (!whole)
            ++m_failedRows;
    }
}

bool ExportJob::renameOntoTaken(const Handed& h)
{
    // Free when the folder was listed, taken since: what bears the name now
    // is judged as a file there before would have been.
    const Target& target = h.target;
    struct stat st {};
    if (::fstatat(target.dirFd, target.name.constData(), &st, 0) == 0) {
        if (!S_ISREG(st.st_mode))
            return finishNamed(target, h.tally, h.failure, EEXIST);
        const QString why = refusalToReplace(target.path, st);
        if (!why.isEmpty()) {
            diag(why);
            m_result.failures.append({shown(target.path), why});
            m_result.partsLeft << shown(target.writePath);
            return false;
        }
    }
    const int error = ::renameat(target.dirFd, target.writeName.constData(), target.dirFd, target.name.constData()) == 0
                          ? 0
                          : errno;
    return finishNamed(target, h.tally, h.failure, error);
}

void ExportJob::begin(const RowSource& rows)
{
    m_total = 0;
    m_largestRow = 0;
    m_written = 0;
    m_output.resetCommitted();
    m_failedRows = 0;
    m_nextClockCheck = 0;
    m_sinceReport.invalidate();
    closeSources();
    m_dirRefused = false;
    const RequestingUser owner = requestingUser();
    m_giveAway = owner.other;
    m_ownerUid = owner.uid;
    m_ownerGid = owner.gid;
    // One pass: a row may be built anew each time it is asked for.
    QList<QByteArray> names;
    std::set<QByteArray> seen;
    for (int i = 0; i < rows.size(); ++i) {
        const SPlayListTableItem row = rows.at(i);
        const qint64 bytes = std::max<qint64>(0, row.sFragmentFit.totalBytes);
        m_total += bytes;
        m_largestRow = std::max(m_largestRow, bytes);
        const QByteArray& name = row.sFragmentFit.diskName;
        if ((names.isEmpty() || names.last() != name) && seen.insert(name).second)
            names.append(name);
    }
    buildSourceCheck(names);
}

int ExportJob::exportAll(const QList<SPlayListTableItem>& rows, const QByteArray& directory)
{
    return exportAll(ListRowSource(rows), directory);
}

int ExportJob::videoMerge(const QList<SPlayListTableItem>& rows, const QByteArray& outputPath)
{
    return videoMerge(ListRowSource(rows), outputPath);
}

int ExportJob::exportAll(const RowSource& rows, const QByteArray& directory)
{
    m_result = ExportResult();
    if (rows.size() == 0 || directory.isEmpty())
        return 0;
    m_directory = directory;
    begin(rows);
    QByteArray dir = directory;
    if (!dir.endsWith('/'))
        dir += '/';
    const auto targetAt = [&](int i) { return dir + singleFileNameBytes(rows.at(i)); };
    if (!fits(directory, rows.size(), targetAt, false)) {
        m_failedRows = rows.size();
        return 0;
    }
    QString refused;
    m_dirRefused = !openDirectory(directory, &refused);
    // Files made a few rows ahead and named behind, beside the copy. Never
    // in a folder refused: nothing is made there, not even ahead.
    std::unique_ptr<FolderHand> hand;
    const int madeFirst = rows.size() > 1 ? madeAhead() : 0;
    if (!m_dirRefused && m_dirFd >= 0 && madeFirst > 0) {
        try {
            hand = std::make_unique<FolderHand>(m_dirFd);
        } catch (const std::system_error&) {
            // No thread to be had: each file is made and named in turn.
        }
    }
    struct Next {
        SPlayListTableItem row;
        QByteArray name;
        int fd = -1;        // its file, once taken from the hand
        bool taken = false;
        bool planned = false; // looked at for the copier
        bool offered = false; // to the copier
    };
    std::deque<Next> ahead;
    int asked = 0;
    // Where a source allows, a second thread copies files too: it takes
    // the newest of the rows in view, this thread the oldest, each row once,
    // so each copies as much as it can and they meet only at the end of a
    // view. This thread waits only for a row being copied when it reaches it.
    std::unique_ptr<CopyAhead> copier;
    bool noCopier = false;
    const size_t inView = size_t(std::max(1, madeFirst / 2)); // the rest still being made
    const auto offer = [&] {
        std::vector<CopyAhead::Row> offered;
        for (size_t k = 0; k < ahead.size() && k < inView; ++k) {
            Next& x = ahead[k];
            const SFragmentFit& f = x.row.sFragmentFit;
            if (x.planned)
                continue;
            // Rows are offered in their order, as they are taken back: this
            // one and those after it wait until its source is open (opening
            // one, and saying why it cannot be, is the row's own turn).
            JobSource* from = openedSource(f.diskName);
            if (!from)
                break;
            x.planned = true;
            if (!copiedAhead(*from, f))
                continue;
            if (!copier && !noCopier) {
                try {
                    copier = std::make_unique<CopyAhead>(&cancel);
                    m_copyAhead = copier.get();
                } catch (const std::system_error&) {
                    noCopier = true; // no thread to be had: copied in turn
                }
            }
            if (!copier)
                break;
            // Files are taken from the hand in the rows' order.
            for (size_t j = 0; j <= k; ++j) {
                if (!ahead[j].taken) {
                    ahead[j].fd = hand->made();
                    ahead[j].taken = true;
                }
            }
            if (x.fd < 0)
                continue;
            offered.push_back({from->device.get(), x.fd, f.extents});
            x.offered = true;
        }
        if (!offered.empty())
            copier->offer(std::move(offered));
    };
    for (int i = 0; i < rows.size(); ++i) {
        while (asked < rows.size() && asked <= i + (hand ? madeFirst : 0)) {
            Next n{rows.at(asked++), {}};
            n.name = singleFileNameBytes(n.row);
            if (hand)
                hand->make(n.name, partPathOf(n.name));
            ahead.push_back(std::move(n));
        }
        Next n = std::move(ahead.front());
        ahead.pop_front();
        if (hand && !n.taken)
            n.fd = hand->made();
        if (hand && !cancel.load(std::memory_order_relaxed))
            offer();
        if (exportItem(n.row, n.name, hand.get(), hand ? n.fd : -1, n.offered ? copier.get() : nullptr) ==
            ItemEnd::Failed)
            ++m_failedRows;
        if (hand)
            settleHanded(hand.get(), false);
        if (cancel.load(std::memory_order_relaxed)) {
            if (i + 1 < rows.size())
                m_result.cancelled = true;
            break;
        }
    }
    if (hand) {
        // Done with the files it may still be writing before they are removed.
        copier.reset();
        m_copyAhead = nullptr;
        for (const Next& n : ahead) {
            const int fd = n.taken ? n.fd : hand->made();
            if (fd >= 0)
                hand->close(fd, partPathOf(n.name), n.name, FolderHand::Then::Remove);
        }
        settleHanded(hand.get(), true);
        hand.reset(); // after what it was asked, before the folder is closed
    }
    closeSources();
    progress(true);
    return m_failedRows == 0 ? 1 : 0;
}

int ExportJob::videoMerge(const RowSource& rows, const QByteArray& outputPath)
{
    m_result = ExportResult();
    if (rows.size() == 0)
        return 0;
    begin(rows);

    QString problem;
    if (isSourceOf(outputPath, &problem)) {
        const QString why = QStringLiteral("refusing to write %1: %2").arg(shown(outputPath), problem);
        diag(QStringLiteral("open file error: ") + why);
        m_result.failures.append({shown(outputPath), why});
        return 0;
    }
    if (!fits(folderOf(outputPath), 1, [&](int) { return outputPath; }, true))
        return 0;
    const Target target = targetFor(outputPath);
    if (!m_output.open(target.writePath)) {
        const QString why = QStringLiteral("cannot create %1: %2").arg(shown(target.writePath), reason(m_output.error()));
        diag(QStringLiteral("open file error: ") + why);
        m_result.failures.append({shown(outputPath), why});
        return 0;
    }
    giveToRequestingUser(target);

    CopyTally tally;
    bool broken = false;
    QStringList missing;
    CopyResult r = CopyResult::Done;
    for (int i = 0; i < rows.size() && r == CopyResult::Done; ++i) {
        const SPlayListTableItem row = rows.at(i);
        const SFragmentFit& f = row.sFragmentFit;
        // Every row is read from its own disk, opened once for the whole merge.
        const QByteArray sourcePath = nyxDevicePathForName(f.diskName);
        if (i == 0)
            qCDebug(lcExport, "drivename %s", sourcePath.constData());
        int error = 0;
        JobSource* source = sourceFor(f.diskName, &error);
        if (!source) {
            if (i == 0 && onSourceOpenFailed)
                onSourceOpenFailed(sourcePath, error);
            diag(QStringLiteral("open drive0 error: %1: %2; fragment %3 left out of %4")
                     .arg(shownSource(sourcePath), reason(error)).arg(row.iSerial).arg(shown(outputPath)));
            missing << QStringLiteral("cannot open source %1: %2").arg(shownSource(sourcePath), reason(error));
            tally.leftOut += std::max<qint64>(0, f.totalBytes);
            continue;
        }
        CopyTally rowTally;
        m_copier.setDevice(source->device.get());
        r = copyRow(f, outputPath, &rowTally, &broken);
        m_copier.setDevice(nullptr);
        reportReadTrouble(sourcePath, outputPath, rowTally);
        tally.add(rowTally);
    }
    closeSources();

    QString why;
    if (r == CopyResult::WriteFailed)
        why = QStringLiteral("write error: %1").arg(reason(m_output.error()));
    if (!m_output.close(target.writePath != target.path) && r != CopyResult::WriteFailed) {
        why = QStringLiteral("write error: %1").arg(reason(m_output.error()));
        diag(QStringLiteral("write error: %1: %2").arg(shown(target.writePath), reason(m_output.error())));
        r = CopyResult::WriteFailed;
    }
    if (why.isEmpty() && !missing.isEmpty())
        why = missing.join(QStringLiteral("; "));
    if (why.isEmpty() && broken)
        why = QStringLiteral("bad extents left out");
    const Ending ending = r == CopyResult::WriteFailed ? Ending::WriteFailed
                          : r == CopyResult::Cancelled ? Ending::Cancelled
                                                       : Ending::Complete;
    bool ok = false;
    if (ending == Ending::Complete && tally.copied == 0 && !missing.isEmpty() && target.writePath != target.path) {
        // Not one byte could be read: no empty file under the final name.
        ::unlink(target.writePath.constData());
        m_result.failures.append({shown(outputPath), why});
    } else {
        ok = finish(target, ending, tally, why);
    }
    if (ok && onProgress && m_total > 0)
        onProgress(m_total, m_total);
    else
        progress(true);
    return ok ? 1 : 0;
}

} // namespace ExportCore
