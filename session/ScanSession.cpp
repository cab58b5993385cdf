#include "session/ScanSession.h"

#include "disk/Nyx.h"
#include "disk/SourceGuard.h"
#include "scan/CSchedule.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtEndian>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int kSchemaVersion = 3;
constexpr int kOldestVersion = 1; // extents as JSON text; version 2 kept no durations

const char* const kSchema = R"(
CREATE TABLE session(
  id INTEGER PRIMARY KEY CHECK (id = 1),
  version INTEGER NOT NULL,
  source TEXT NOT NULL, size INTEGER NOT NULL,
  model TEXT, serial TEXT, by_id TEXT, fingerprint TEXT,
  range_start INTEGER NOT NULL, range_end INTEGER NOT NULL,
  saved_position INTEGER NOT NULL DEFAULT -1,
  finished INTEGER NOT NULL DEFAULT 0,
  created TEXT NOT NULL, changed TEXT NOT NULL);
CREATE TABLE fragments(
  serial INTEGER PRIMARY KEY,
  disk TEXT, format INTEGER NOT NULL, stream INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL,
  bytes INTEGER NOT NULL, frames INTEGER NOT NULL,
  start INTEGER NOT NULL, end INTEGER NOT NULL, extents BLOB NOT NULL, duration REAL);
CREATE TABLE open_fragments(
  serial INTEGER, disk TEXT, format INTEGER NOT NULL, stream INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL,
  bytes INTEGER NOT NULL, frames INTEGER NOT NULL,
  start INTEGER NOT NULL, end INTEGER NOT NULL, extents BLOB NOT NULL);
CREATE TABLE ranges(
  kind TEXT NOT NULL CHECK (kind IN ('unreadable', 'untried')),
  start INTEGER NOT NULL, end INTEGER NOT NULL, error INTEGER NOT NULL DEFAULT 0);
)";

QString nowText() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODate); }

// Extents as little-endian int64 pairs: a tenth of the text's cost to
// write and half its size. Version 1 kept them as JSON text. Written into
// the writer's one buffer, so a fragment costs no allocation.
void extentsBlob(const SExtentList& list, std::vector<char>* out)
{
    out->resize(size_t(list.size()) * 16);
    char* p = out->data();
    for (const SExtent& e : list) {
        qToLittleEndian<qint64>(e.start, p);
        qToLittleEndian<qint64>(e.end, p + 8);
        p += 16;
    }
}

QByteArray extentsText(const SExtentList& list)
{
    QByteArray t = "[";
    for (int i = 0; i < list.size(); ++i) {
        if (i)
            t += ',';
        t += '[' + QByteArray::number(list[i].start) + ',' + QByteArray::number(list[i].end) + ']';
    }
    return t + ']';
}

bool parseExtentsText(const QByteArray& text, SExtentList* out)
{
    static const QRegularExpression pair(QStringLiteral("\\[(\\d+),(\\d+)\\]"));
    SExtentList list;
    auto it = pair.globalMatch(QString::fromLatin1(text));
    while (it.hasNext()) {
        const auto m = it.next();
        list.append(SExtent{m.captured(1).toLongLong(), m.captured(2).toLongLong()});
    }
    *out = list;
    return !list.isEmpty();
}

void readExtents(sqlite3_stmt* st, int i, SExtentList* out)
{
    const auto* p = static_cast<const char*>(sqlite3_column_blob(st, i));
    const int n = sqlite3_column_bytes(st, i);
    if (sqlite3_column_type(st, i) == SQLITE_TEXT) {
        parseExtentsText(QByteArray(p, n), out);
        return;
    }
    out->reserve(n / 16);
    for (int k = 0; k + 16 <= n; k += 16)
        out->append(SExtent{qFromLittleEndian<qint64>(p + k), qFromLittleEndian<qint64>(p + k + 8)});
}

QString columnText(sqlite3_stmt* st, int i)
{
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    return p ? QString::fromUtf8(p) : QString();
}

QByteArray columnBytes(sqlite3_stmt* st, int i)
{
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_blob(st, i));
    return p ? QByteArray(p, sqlite3_column_bytes(st, i)) : QByteArray();
}

void bindBytes(sqlite3_stmt* st, int i, const QByteArray& b)
{
    sqlite3_bind_text(st, i, b.constData(), b.size(), SQLITE_TRANSIENT);
}

void bindText(sqlite3_stmt* st, int i, const QString& s) { bindBytes(st, i, s.toUtf8()); }

// A NULL disk is the session's source.
SessionFragment readFragment(sqlite3_stmt* st, const QByteArray& source)
{
    // serial, disk, format, stream, first_time, last_time, bytes, frames, extents
    SessionFragment f;
    f.serial = sqlite3_column_int(st, 0);
    f.fragment.diskName = sqlite3_column_type(st, 1) == SQLITE_NULL ? source : columnBytes(st, 1);
    f.fragment.formatCode = sqlite3_column_int(st, 2);
    f.fragment.stream = sqlite3_column_int(st, 3);
    f.fragment.firstTime = quint32(sqlite3_column_int64(st, 4));
    f.fragment.lastTime = quint32(sqlite3_column_int64(st, 5));
    f.fragment.totalBytes = sqlite3_column_int64(st, 6);
    f.fragment.frameCount = sqlite3_column_int(st, 7);
    auto ext = std::make_shared<SExtentList>();
    readExtents(st, 8, ext.get());
    f.fragment.extents = ext;
    if (sqlite3_column_count(st) > 9 && sqlite3_column_type(st, 9) != SQLITE_NULL)
        f.durationS = sqlite3_column_double(st, 9);
    return f;
}

const char* const kFragmentColumns =
    "serial, disk, format, stream, first_time, last_time, bytes, frames, extents";

} // namespace

ScanSession::~ScanSession()
{
    if (m_db) {
        commit();
        if (m_writer.joinable()) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_quit = true;
            }
            m_wake.notify_all();
            m_writer.join();
        }
        sqlite3_finalize(m_insert);
        sqlite3_finalize(m_insertOpen);
        sqlite3_finalize(m_update);
        sqlite3_finalize(m_insertRange);
        sqlite3_close(m_db);
    }
}

bool ScanSession::fail(const QString& what)
{
    m_error = QStringLiteral("%1: %2").arg(what, m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory"));
    return false;
}

bool ScanSession::exec(const char* sql)
{
    char* msg = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        m_error = QString::fromUtf8(msg ? msg : "failed");
        sqlite3_free(msg);
        return false;
    }
    return true;
}

bool ScanSession::prepare()
{
    // Open fragments live in a table of their own, so replacing them at
    // every commit never walks the closed ones.
    const QByteArray values = QByteArray("(") + kFragmentColumns + ", start, end) VALUES (?,?,?,?,?,?,?,?,?,?,?)";
    // Durations came with version 3; older files are written as they were made.
    const QByteArray closed = m_version >= 3 ? QByteArray("(") + kFragmentColumns +
                                                   ", start, end, duration) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)"
                                             : values;
    if (sqlite3_prepare_v2(m_db, ("INSERT INTO fragments" + closed).constData(), -1, &m_insert, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(m_db, ("INSERT INTO open_fragments" + values).constData(), -1, &m_insertOpen, nullptr) !=
            SQLITE_OK ||
        sqlite3_prepare_v2(m_db, "UPDATE session SET saved_position = ?, finished = ?, changed = ? WHERE id = 1", -1,
                           &m_update, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(m_db, "INSERT INTO ranges(kind, start, end, error) VALUES (?,?,?,?)", -1, &m_insertRange,
                           nullptr) != SQLITE_OK)
        return fail(QStringLiteral("cannot prepare the session"));
    return true;
}

std::unique_ptr<ScanSession> ScanSession::create(const QString& file, const SourceIdentity& source, qint64 rangeStart,
                                                 qint64 rangeEnd, QString* why)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(file + suffix);
    std::unique_ptr<ScanSession> s(new ScanSession);
    const QByteArray path = QFile::encodeName(file);
    if (sqlite3_open_v2(path.constData(), &s->m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        s->fail(QStringLiteral("cannot create the session %1").arg(file));
        *why = s->m_error;
        return nullptr;
    }
    sqlite3_busy_timeout(s->m_db, 2000);
    // Made unsynced: a new file cut short by a power failure holds nothing
    // yet, and the syncs of the switch to WAL would cost more than a scan
    // of a cached gigabyte. From the first commit on, FULL: a commit
    // survives a power cut, and once a second it is cheap.
    if (!s->exec("PRAGMA synchronous=OFF; PRAGMA journal_mode=WAL;") || !s->exec("BEGIN") || !s->exec(kSchema)) {
        *why = QStringLiteral("cannot create the session %1: %2").arg(file, s->m_error);
        return nullptr;
    }
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s->m_db,
                       "INSERT INTO session(id, version, source, size, model, serial, by_id, fingerprint, range_start, "
                       "range_end, created, changed) VALUES (1,?,?,?,?,?,?,?,?,?,?,?)",
                       -1, &st, nullptr);
    sqlite3_bind_int(st, 1, kSchemaVersion);
    bindBytes(st, 2, source.name);
    sqlite3_bind_int64(st, 3, source.size);
    bindText(st, 4, source.model);
    bindText(st, 5, source.serial);
    bindText(st, 6, source.byId);
    bindBytes(st, 7, source.fingerprint);
    sqlite3_bind_int64(st, 8, rangeStart);
    sqlite3_bind_int64(st, 9, rangeEnd);
    bindText(st, 10, nowText());
    bindText(st, 11, nowText());
    const bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    s->m_version = kSchemaVersion;
    if (!ok || !s->exec("COMMIT") || !s->exec("PRAGMA synchronous=FULL;") || !s->prepare() || !s->loadInfo()) {
        *why = QStringLiteral("cannot create the session %1: %2").arg(file, s->m_error);
        return nullptr;
    }
    s->m_info.file = file;
    s->m_lastCommitMs = corvoMonotonicMs();
    return s;
}

std::unique_ptr<ScanSession> ScanSession::open(const QString& file, QString* why)
{
    if (!QFileInfo(file).isFile()) {
        *why = QStringLiteral("no session %1: No such file").arg(file);
        return nullptr;
    }
    std::unique_ptr<ScanSession> s(new ScanSession);
    const QByteArray path = QFile::encodeName(file);
    if (sqlite3_open_v2(path.constData(), &s->m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        s->fail(QStringLiteral("cannot open the session %1").arg(file));
        *why = s->m_error;
        return nullptr;
    }
    sqlite3_busy_timeout(s->m_db, 2000);
    if (!s->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") || !s->loadInfo() || !s->prepare()) {
        *why = QStringLiteral("%1 is not a scan session: %2").arg(file, s->m_error);
        return nullptr;
    }
    s->m_info.file = file;
    s->m_lastCommitMs = corvoMonotonicMs();
    return s;
}

bool ScanSession::loadInfo()
{
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT version, source, size, model, serial, by_id, fingerprint, range_start, range_end, "
                           "saved_position, finished, changed FROM session WHERE id = 1",
                           -1, &st, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("no session table"));
    if (sqlite3_step(st) != SQLITE_ROW) {
        sqlite3_finalize(st);
        m_error = QStringLiteral("the session table is empty");
        return false;
    }
    m_version = sqlite3_column_int(st, 0);
    if (m_version < kOldestVersion || m_version > kSchemaVersion) {
        m_error = QStringLiteral("schema version %1 is not one of %2 to %3")
                      .arg(m_version).arg(kOldestVersion).arg(kSchemaVersion);
        sqlite3_finalize(st);
        return false;
    }
    SessionInfo& i = m_info;
    i.source.name = columnBytes(st, 1);
    i.source.size = sqlite3_column_int64(st, 2);
    i.source.model = columnText(st, 3);
    i.source.serial = columnText(st, 4);
    i.source.byId = columnText(st, 5);
    i.source.fingerprint = columnBytes(st, 6);
    i.rangeStart = sqlite3_column_int64(st, 7);
    i.rangeEnd = sqlite3_column_int64(st, 8);
    i.savedPosition = sqlite3_column_int64(st, 9);
    i.finished = sqlite3_column_int(st, 10) != 0;
    i.changed = QDateTime::fromString(columnText(st, 11), Qt::ISODate);
    sqlite3_finalize(st);
    if (sqlite3_prepare_v2(m_db,
                           "SELECT count(*), coalesce(sum(bytes), 0), (SELECT count(*) FROM open_fragments) FROM fragments",
                           -1, &st, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("no fragments table"));
    if (sqlite3_step(st) == SQLITE_ROW) {
        i.closedCount = sqlite3_column_int(st, 0);
        i.closedBytes = sqlite3_column_int64(st, 1);
        i.openCount = sqlite3_column_int(st, 2);
    }
    sqlite3_finalize(st);
    return true;
}

QList<SessionFragment> ScanSession::closedFragments() const
{
    const_cast<ScanSession*>(this)->commit();
    QList<SessionFragment> out;
    sqlite3_stmt* st = nullptr;
    const QByteArray sql = QByteArray("SELECT ") + kFragmentColumns + (m_version >= 3 ? ", duration" : "") +
                           " FROM fragments ORDER BY serial";
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &st, nullptr) != SQLITE_OK)
        return out;
    while (sqlite3_step(st) == SQLITE_ROW)
        out.append(readFragment(st, m_info.source.name));
    sqlite3_finalize(st);
    return out;
}

ScanResumePoint ScanSession::resumePoint() const
{
    const_cast<ScanSession*>(this)->commit();
    ScanResumePoint p;
    p.position = m_info.savedPosition;
    p.finished = m_info.finished;
    sqlite3_stmt* st = nullptr;
    const QByteArray sql = QByteArray("SELECT ") + kFragmentColumns + " FROM open_fragments ORDER BY stream";
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &st, nullptr) != SQLITE_OK)
        return p;
    while (sqlite3_step(st) == SQLITE_ROW)
        p.open.append(readFragment(st, m_info.source.name).fragment);
    sqlite3_finalize(st);
    return p;
}

int ScanSession::lastSerial() const
{
    const_cast<ScanSession*>(this)->commit();
    sqlite3_stmt* st = nullptr;
    int n = 0;
    if (sqlite3_prepare_v2(m_db, "SELECT coalesce(max(serial), 0) FROM fragments", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
}

void ScanSession::fragmentSent(int serial, const SFragmentFit& fragment, double durationS)
{
    m_unconfirmed.push_back(SessionFragment{serial, fragment, durationS});
}

void ScanSession::fragmentSent(int serial, SFragmentFit&& fragment, double durationS)
{
    m_unconfirmed.push_back(SessionFragment{serial, std::move(fragment), durationS});
}

const SessionInfo& ScanSession::info() const
{
    drain();
    return m_info;
}

bool ScanSession::checkpoint(const ScanResumePoint& point)
{
    if (m_final.empty())
        m_final.swap(m_unconfirmed);
    else
        m_final.insert(m_final.end(), std::make_move_iterator(m_unconfirmed.begin()),
                       std::make_move_iterator(m_unconfirmed.end()));
    m_unconfirmed.clear();
    m_point = point;
    m_pointDirty = true;
    handOff(point.finished || corvoMonotonicMs() - m_lastCommitMs >= m_commitIntervalMs);
    absorb();
    return !m_failedSeen;
}

void ScanSession::handOff(bool commitNow, bool force)
{
    const bool news = m_pointDirty || !m_ranges.empty();
    if (!m_db || (!news && (!force || !m_writer.joinable())))
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.ranges.insert(m_pending.ranges.end(), m_ranges.begin(), m_ranges.end());
        // A batch the writer has not taken yet is joined, not replaced.
        if (m_pending.closed.empty())
            m_pending.closed.swap(m_final);
        else
            m_pending.closed.insert(m_pending.closed.end(), std::make_move_iterator(m_final.begin()),
                                    std::make_move_iterator(m_final.end()));
        if (m_pointDirty) {
            m_pending.point = m_point;
            m_pending.hasPoint = true;
        }
        m_pending.commit = m_pending.commit || commitNow;
        m_pendingDirty = true;
        if (!m_writer.joinable())
            m_writer = std::thread(&ScanSession::writerLoop, this);
    }
    m_final.clear();
    m_ranges.clear();
    m_pointDirty = false;
    if (commitNow)
        m_lastCommitMs = corvoMonotonicMs();
    m_wake.notify_one();
}

bool ScanSession::commit()
{
    // Also when nothing is new: the last point handed may still wait in
    // the writer's open transaction.
    handOff(true, true);
    return drain();
}

bool ScanSession::drain() const
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return !m_pendingDirty && !m_writing; });
    }
    absorb();
    return !m_failedSeen;
}

void ScanSession::absorb() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* self = const_cast<ScanSession*>(this);
    if (m_writtenPoint) {
        m_info.closedCount += m_writtenClosed;
        m_info.closedBytes += m_writtenBytes;
        m_info.openCount = m_writtenAt.open.size();
        m_info.savedPosition = m_writtenAt.position;
        m_info.finished = m_writtenAt.finished;
        m_info.changed = QDateTime::currentDateTimeUtc();
        self->m_writtenClosed = 0;
        self->m_writtenBytes = 0;
        self->m_writtenPoint = false;
    }
    if (m_writeFailed && !m_failedSeen) {
        self->m_failedSeen = true;
        m_error = m_writeError;
    }
}

void ScanSession::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_pendingDirty || m_quit; });
        if (!m_pendingDirty)
            return;
        Batch batch;
        std::swap(batch, m_pending);
        m_pendingDirty = false;
        m_writing = true;
        lock.unlock();
        const bool ok = !m_writeFailed && write(batch);
        lock.lock();
        m_writing = false;
        if (ok) {
            m_uncommittedClosed += int(batch.closed.size());
            for (const SessionFragment& f : batch.closed)
                m_uncommittedBytes += f.fragment.totalBytes;
            if (!m_inTransaction && m_haveLastPoint) {
                m_writtenAt = m_lastPoint;
                m_writtenClosed += m_uncommittedClosed;
                m_writtenBytes += m_uncommittedBytes;
                m_uncommittedClosed = 0;
                m_uncommittedBytes = 0;
                m_writtenPoint = true;
            }
        }
        m_idle.notify_all();
    }
}

bool ScanSession::write(const Batch& batch)
{
    std::vector<char> blob;
    blob.reserve(256);
    auto insert = [this, &blob](const SFragmentFit& f, int serial, bool open, double durationS) {
        sqlite3_stmt* st = open ? m_insertOpen : m_insert;
        sqlite3_reset(st);
        if (open)
            sqlite3_bind_null(st, 1);
        else
            sqlite3_bind_int(st, 1, serial);
        // Version 1 sessions are written as they were made.
        if (m_version >= 2 && f.diskName == m_info.source.name)
            sqlite3_bind_null(st, 2);
        else
            bindBytes(st, 2, f.diskName);
        sqlite3_bind_int(st, 3, f.formatCode);
        sqlite3_bind_int(st, 4, f.stream);
        sqlite3_bind_int64(st, 5, f.firstTime);
        sqlite3_bind_int64(st, 6, f.lastTime);
        sqlite3_bind_int64(st, 7, f.totalBytes);
        sqlite3_bind_int(st, 8, f.frameCount);
        const SExtentList none;
        const SExtentList& ext = f.extents ? *f.extents : none;
        // Bound without a copy: it outlives the step.
        QByteArray text;
        if (m_version >= 2) {
            extentsBlob(ext, &blob);
            sqlite3_bind_blob(st, 9, blob.data(), int(blob.size()), SQLITE_STATIC);
        } else {
            text = extentsText(ext);
            sqlite3_bind_text(st, 9, text.constData(), text.size(), SQLITE_STATIC);
        }
        sqlite3_bind_int64(st, 10, ext.isEmpty() ? 0 : ext.first().start);
        sqlite3_bind_int64(st, 11, ext.isEmpty() ? 0 : ext.last().end);
        if (!open && m_version >= 3) {
            if (durationS >= 0)
                sqlite3_bind_double(st, 12, durationS);
            else
                sqlite3_bind_null(st, 12);
        }
        return sqlite3_step(st) == SQLITE_DONE;
    };
    // Only this thread touches the database while it writes; errors are
    // taken from it here.
    auto failed = [this](const char* what) {
        const QString e = QStringLiteral("cannot write the session %1: %2")
                              .arg(m_info.file, QString::fromUtf8(what ? what : sqlite3_errmsg(m_db)));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writeFailed = true;
        m_writeError = e;
        return false;
    };
    if (!m_inTransaction && batch.closed.empty() && batch.ranges.empty() && !batch.hasPoint)
        return true;
    if (batch.hasPoint) {
        m_lastPoint = batch.point;
        m_haveLastPoint = true;
    }
    if (!m_inTransaction) {
        if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed(nullptr);
        m_inTransaction = true;
    }
    bool ok = true;
    for (const SessionFragment& f : batch.closed)
        ok = ok && insert(f.fragment, f.serial, false, f.durationS);
    for (const SessionRangeEntry& r : batch.ranges) {
        sqlite3_reset(m_insertRange);
        sqlite3_bind_text(m_insertRange, 1, r.kind == SessionRange::Unreadable ? "unreadable" : "untried", -1,
                          SQLITE_STATIC);
        sqlite3_bind_int64(m_insertRange, 2, r.start);
        sqlite3_bind_int64(m_insertRange, 3, r.end);
        sqlite3_bind_int(m_insertRange, 4, r.error);
        ok = ok && sqlite3_step(m_insertRange) == SQLITE_DONE;
    }
    if (ok && batch.commit) {
        // The newest point is committed with everything before it, never
        // fragments without their point.
        const ScanResumePoint& point = m_lastPoint;
        if (m_haveLastPoint) {
            ok = sqlite3_exec(m_db, "DELETE FROM open_fragments", nullptr, nullptr, nullptr) == SQLITE_OK;
            for (const SFragmentFit& f : point.open)
                ok = ok && insert(f, 0, true, -1);
            if (ok) {
                sqlite3_reset(m_update);
                sqlite3_bind_int64(m_update, 1, point.position);
                sqlite3_bind_int(m_update, 2, point.finished ? 1 : 0);
                bindText(m_update, 3, nowText());
                ok = sqlite3_step(m_update) == SQLITE_DONE;
            }
        }
        ok = ok && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (ok)
            m_inTransaction = false;
    }
    if (!ok) {
        failed(nullptr);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_inTransaction = false;
        return false;
    }
    return true;
}

bool ScanSession::addRange(SessionRange kind, qint64 start, qint64 end, int error)
{
    m_ranges.push_back(SessionRangeEntry{kind, start, end, error});
    absorb();
    return !m_failedSeen;
}

QList<SessionRangeEntry> ScanSession::ranges() const
{
    const_cast<ScanSession*>(this)->commit();
    QList<SessionRangeEntry> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT kind, start, end, error FROM ranges ORDER BY start", -1, &st, nullptr) !=
        SQLITE_OK)
        return out;
    while (sqlite3_step(st) == SQLITE_ROW)
        out.append(SessionRangeEntry{columnText(st, 0) == QLatin1String("unreadable") ? SessionRange::Unreadable
                                                                                      : SessionRange::Untried,
                                     sqlite3_column_int64(st, 1), sqlite3_column_int64(st, 2),
                                     sqlite3_column_int(st, 3)});
    sqlite3_finalize(st);
    return out;
}

QString sessionsFolder()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + "/.local/share";
    return base + "/corvotkl/sessions";
}

QString sessionFileFor(const SourceIdentity& source)
{
    QString stem = !source.byId.isEmpty() ? source.byId
                   : !source.serial.isEmpty() ? source.model + "_" + source.serial
                                              : QFileInfo(QString::fromLocal8Bit(source.name)).fileName();
    stem.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return sessionsFolder() + "/" + stem + "-" + QString::number(source.size) + ".session";
}

bool checkSessionDestination(const QString& file, const QByteArray& source, QString* why)
{
    // The session must not be the source or live inside it.
    struct stat a {}, b {};
    const QByteArray sourceFile = nyxDevicePathToFile(nyxDevicePathForName(source));
    const QByteArray sessionPath = QFile::encodeName(QFileInfo(file).absoluteFilePath());
    if (::stat(sessionPath.constData(), &a) == 0 && ::stat(sourceFile.constData(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino) {
        *why = QStringLiteral("the session %1 is the source itself").arg(file);
        return false;
    }
    // Its journal lies beside it, so judging the file judges both;
    // a missing folder is judged by the nearest one that exists.
    const QString onSource = SourceGuard({nyxDevicePathForName(source)}).check(sessionPath);
    if (!onSource.isEmpty()) {
        *why = QStringLiteral("cannot keep the session %1: %2").arg(file, onSource);
        return false;
    }
    const QString folder = QFileInfo(file).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        *why = QStringLiteral("cannot keep the session %1: the folder %2 does not exist").arg(file, folder);
        return false;
    }
    return true;
}

bool recordScanRanges(ScanSession* session, const CFragmentFit& scan)
{
    const qint64 saved = session->info().savedPosition;
    const qint64 upTo = session->info().finished ? session->info().rangeEnd : saved;
    const auto add = [&](SessionRange kind, const std::vector<SourceRange>& ranges, int error) {
        for (const SourceRange& r : ranges) {
            const qint64 end = std::min(r.end, upTo);
            if (r.start < end && !session->addRange(kind, r.start, end, error))
                return false;
        }
        return true;
    };
    return add(SessionRange::Unreadable, scan.unreadableRanges(), EIO) && add(SessionRange::Untried, scan.untriedRanges(), 0);
}
