#include "session/ScanSession.h"

#include "disk/Nyx.h"
#include "disk/SourceGuard.h"
#include "scan/CSchedule.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sqlite3.h>
#include <sys/stat.h>

namespace {

constexpr int kSchemaVersion = 1;

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
  disk TEXT NOT NULL, format INTEGER NOT NULL, stream INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL,
  bytes INTEGER NOT NULL, frames INTEGER NOT NULL,
  start INTEGER NOT NULL, end INTEGER NOT NULL, extents TEXT NOT NULL);
CREATE TABLE open_fragments(
  serial INTEGER, disk TEXT NOT NULL, format INTEGER NOT NULL, stream INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL,
  bytes INTEGER NOT NULL, frames INTEGER NOT NULL,
  start INTEGER NOT NULL, end INTEGER NOT NULL, extents TEXT NOT NULL);
CREATE TABLE ranges(
  kind TEXT NOT NULL CHECK (kind IN ('unreadable', 'untried')),
  start INTEGER NOT NULL, end INTEGER NOT NULL, error INTEGER NOT NULL DEFAULT 0);
)";

QString nowText() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODate); }

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

bool parseExtents(const QByteArray& text, SExtentList* out)
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

SessionFragment readFragment(sqlite3_stmt* st)
{
    // serial, disk, format, stream, first_time, last_time, bytes, frames, extents
    SessionFragment f;
    f.serial = sqlite3_column_int(st, 0);
    f.fragment.diskName = columnBytes(st, 1);
    f.fragment.formatCode = sqlite3_column_int(st, 2);
    f.fragment.stream = sqlite3_column_int(st, 3);
    f.fragment.firstTime = quint32(sqlite3_column_int64(st, 4));
    f.fragment.lastTime = quint32(sqlite3_column_int64(st, 5));
    f.fragment.totalBytes = sqlite3_column_int64(st, 6);
    f.fragment.frameCount = sqlite3_column_int(st, 7);
    auto ext = std::make_shared<SExtentList>();
    parseExtents(columnBytes(st, 8), ext.get());
    f.fragment.extents = ext;
    return f;
}

const char* const kFragmentColumns =
    "serial, disk, format, stream, first_time, last_time, bytes, frames, extents";

} // namespace

ScanSession::~ScanSession()
{
    if (m_db) {
        commit();
        sqlite3_finalize(m_insert);
        sqlite3_finalize(m_insertOpen);
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
    if (sqlite3_prepare_v2(m_db, ("INSERT INTO fragments" + values).constData(), -1, &m_insert, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(m_db, ("INSERT INTO open_fragments" + values).constData(), -1, &m_insertOpen, nullptr) !=
            SQLITE_OK)
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
    if (sqlite3_column_int(st, 0) != kSchemaVersion) {
        m_error = QStringLiteral("schema version %1 is not %2").arg(sqlite3_column_int(st, 0)).arg(kSchemaVersion);
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
    QList<SessionFragment> out;
    sqlite3_stmt* st = nullptr;
    const QByteArray sql = QByteArray("SELECT ") + kFragmentColumns + " FROM fragments ORDER BY serial";
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &st, nullptr) != SQLITE_OK)
        return out;
    while (sqlite3_step(st) == SQLITE_ROW)
        out.append(readFragment(st));
    sqlite3_finalize(st);
    return out;
}

ScanResumePoint ScanSession::resumePoint() const
{
    ScanResumePoint p;
    p.position = m_info.savedPosition;
    p.finished = m_info.finished;
    sqlite3_stmt* st = nullptr;
    const QByteArray sql = QByteArray("SELECT ") + kFragmentColumns + " FROM open_fragments ORDER BY stream";
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &st, nullptr) != SQLITE_OK)
        return p;
    while (sqlite3_step(st) == SQLITE_ROW)
        p.open.append(readFragment(st).fragment);
    sqlite3_finalize(st);
    return p;
}

int ScanSession::lastSerial() const
{
    sqlite3_stmt* st = nullptr;
    int n = 0;
    if (sqlite3_prepare_v2(m_db, "SELECT coalesce(max(serial), 0) FROM fragments", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
}

void ScanSession::fragmentSent(int serial, const SFragmentFit& fragment)
{
    m_unconfirmed.append(SessionFragment{serial, fragment});
}

bool ScanSession::checkpoint(const ScanResumePoint& point)
{
    m_final += m_unconfirmed;
    m_unconfirmed.clear();
    m_point = point;
    m_pointDirty = true;
    if (point.finished || corvoMonotonicMs() - m_lastCommitMs >= m_commitIntervalMs)
        return commit();
    return true;
}

bool ScanSession::commit()
{
    if (!m_pointDirty || !m_db)
        return true;
    auto insert = [this](const SFragmentFit& f, int serial, bool open) {
        sqlite3_stmt* st = open ? m_insertOpen : m_insert;
        sqlite3_reset(st);
        if (open)
            sqlite3_bind_null(st, 1);
        else
            sqlite3_bind_int(st, 1, serial);
        bindBytes(st, 2, f.diskName);
        sqlite3_bind_int(st, 3, f.formatCode);
        sqlite3_bind_int(st, 4, f.stream);
        sqlite3_bind_int64(st, 5, f.firstTime);
        sqlite3_bind_int64(st, 6, f.lastTime);
        sqlite3_bind_int64(st, 7, f.totalBytes);
        sqlite3_bind_int(st, 8, f.frameCount);
        const SExtentList none;
        const SExtentList& ext = f.extents ? *f.extents : none;
        bindBytes(st, 9, extentsText(ext));
        sqlite3_bind_int64(st, 10, ext.isEmpty() ? 0 : ext.first().start);
        sqlite3_bind_int64(st, 11, ext.isEmpty() ? 0 : ext.last().end);
        return sqlite3_step(st) == SQLITE_DONE;
    };
    if (!exec("BEGIN IMMEDIATE"))
        return fail(QStringLiteral("cannot write the session %1").arg(m_info.file));
    bool ok = true;
    for (const SessionFragment& f : m_final)
        ok = ok && insert(f.fragment, f.serial, false);
    ok = ok && exec("DELETE FROM open_fragments");
    for (const SFragmentFit& f : m_point.open)
        ok = ok && insert(f, 0, true);
    sqlite3_stmt* st = nullptr;
    ok = ok && sqlite3_prepare_v2(m_db, "UPDATE session SET saved_position = ?, finished = ?, changed = ? WHERE id = 1",
                                  -1, &st, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int64(st, 1, m_point.position);
        sqlite3_bind_int(st, 2, m_point.finished ? 1 : 0);
        bindText(st, 3, nowText());
        ok = sqlite3_step(st) == SQLITE_DONE;
    }
    sqlite3_finalize(st);
    if (!ok || !exec("COMMIT")) {
        fail(QStringLiteral("cannot write the session %1").arg(m_info.file));
        exec("ROLLBACK");
        return false;
    }
    for (const SessionFragment& f : m_final) {
        ++m_info.closedCount;
        m_info.closedBytes += f.fragment.totalBytes;
    }
    m_final.clear();
    m_info.openCount = m_point.open.size();
    m_info.savedPosition = m_point.position;
    m_info.finished = m_point.finished;
    m_info.changed = QDateTime::currentDateTimeUtc();
    m_pointDirty = false;
    m_lastCommitMs = corvoMonotonicMs();
    return true;
}

bool ScanSession::addRange(SessionRange kind, qint64 start, qint64 end, int error)
{
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "INSERT INTO ranges(kind, start, end, error) VALUES (?,?,?,?)", -1, &st, nullptr) !=
        SQLITE_OK)
        return fail(QStringLiteral("cannot write the session %1").arg(m_info.file));
    sqlite3_bind_text(st, 1, kind == SessionRange::Unreadable ? "unreadable" : "untried", -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 2, start);
    sqlite3_bind_int64(st, 3, end);
    sqlite3_bind_int(st, 4, error);
    const bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    return ok || fail(QStringLiteral("cannot write the session %1").arg(m_info.file));
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
