#include "disk/SourceGuard.h"

#include "disk/DiskInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

constexpr int kUp = 1;    // partitions and holders: what is built on a device
constexpr int kDown = 2;  // slaves, the disk of a partition, a loop's file
// Loop on loop on ... deeper than this is a cycle or nonsense.
constexpr int kMaxDepth = 16;
const char kPrefix[] = "\\\\.\\";

QByteArray readAttr(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(4096).trimmed();
}

QByteArray devNumberText(dev_t d)
{
    return QByteArray::number(major(d)) + ':' + QByteArray::number(minor(d));
}

QByteArray unescapeMountField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int c = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(c));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

bool pathUnder(const QByteArray& path, const QByteArray& folder)
{
    if (folder == "/")
        return path.startsWith('/');
    return path == folder || (path.startsWith(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

// The destination itself when it exists, else its nearest existing folder.
// A dangling symbolic link is judged where it points, since that is where
// the file would be created.
QByteArray existingPart(const QByteArray& destination, bool* exact)
{
    QByteArray path = QFile::encodeName(QFileInfo(QFile::decodeName(destination)).absoluteFilePath());
    *exact = true;
    for (int hop = 0; hop < kMaxDepth; ++hop) {
        struct stat st {};
        if (::stat(path.constData(), &st) == 0)
            return path;
        if (::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            const QString target = QFileInfo(QFile::decodeName(path)).symLinkTarget();
            if (!target.isEmpty()) {
                path = QFile::encodeName(target);
                continue;
            }
        }
        *exact = false;
        const int slash = path.lastIndexOf('/');
        if (slash <= 0)
            return QByteArrayLiteral("/");
        path.truncate(slash);
    }
    return path;
}

} // namespace

SourceGuard::SourceGuard(const QList<QByteArray>& sources)
{
    const DiskEnumEnv& env = diskEnumEnv();
    m_devRoot = QFile::encodeName(QDir::cleanPath(env.devRoot));

    const QString block = env.sysRoot + QStringLiteral("/block");
    const QStringList disks = QDir(block).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& d : disks) {
        const QString dir = block + '/' + d;
        m_sysDirs.insert(QFile::encodeName(d), dir);
        // Partitions are named after their disk (sda1, nvme0n1p1, loop0p1).
        const QStringList subs = QDir(dir).entryList({d + '*'}, QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& p : subs) {
            if (QFile::exists(dir + '/' + p + QStringLiteral("/partition")))
                m_sysDirs.insert(QFile::encodeName(p), dir + '/' + p);
        }
    }
    for (auto it = m_sysDirs.cbegin(); it != m_sysDirs.cend(); ++it) {
        const QByteArray dev = readAttr(it.value() + QStringLiteral("/dev"));
        if (!dev.isEmpty())
            m_byDevNumber.insert(dev, it.key());
    }

    QFile mi(env.mountInfoPath);
    if (mi.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : mi.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() < 7)
                continue;
            Mount m;
            m.devNumber = f[2];
            m.mountPoint = unescapeMountField(f[4]);
            const int dash = f.indexOf("-", 6);
            if (dash > 0 && dash + 2 < f.size())
                m.source = unescapeMountField(f[dash + 2]);
            if (dash > 0 && dash + 3 < f.size() && f[dash + 1] == "overlay") {
                for (const QByteArray& o : f[dash + 3].split(',')) {
                    if (o.startsWith("upperdir="))
                        m.upperDir = unescapeMountField(o.mid(9));
                }
            }
            m_mounts.append(m);
        }
    }

    for (const QByteArray& s : sources)
        addSource(s);

    // A loop device whose file lies on a source writes onto the source too.
    for (bool grew = true; grew;) {
        grew = false;
        for (auto it = m_sysDirs.cbegin(); it != m_sysDirs.cend(); ++it) {
            if (!it.key().startsWith("loop") || m_devices.contains(it.key()))
                continue;
            const QByteArray backing = readAttr(it.value() + QStringLiteral("/loop/backing_file"));
            if (backing.isEmpty())
                continue;
            const QString why = judge(backing, false);
            if (why.isEmpty())
                continue;
            protectDevice(it.key(), QStringLiteral("%1, whose file %2").arg(QString::fromLocal8Bit(it.key()), why), kUp);
            grew = true;
        }
    }
}

QString SourceGuard::sysDir(const QByteArray& name) const
{
    return m_sysDirs.value(name);
}

QList<QByteArray> SourceGuard::entriesOf(const QByteArray& name, const char* sub) const
{
    QList<QByteArray> out;
    const QString dir = sysDir(name);
    if (dir.isEmpty())
        return out;
    const QStringList e = QDir(dir + '/' + QLatin1String(sub))
                              .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& n : e)
        out.append(QFile::encodeName(n));
    return out;
}

QByteArray SourceGuard::nameOfDevNumber(const QByteArray& majorMinor) const
{
    return m_byDevNumber.value(majorMinor);
}

QByteArray SourceGuard::nameOfDevicePath(const QByteArray& path) const
{
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
        const QByteArray name = nameOfDevNumber(devNumberText(st.st_rdev));
        if (!name.isEmpty())
            return name;
    }
    // /dev/mapper/x and /dev/disk/by-id/... are links to the kernel name.
    QByteArray canonical = QFile::encodeName(QFileInfo(QFile::decodeName(path)).canonicalFilePath());
    if (canonical.isEmpty())
        canonical = path;
    QByteArray devRoot = QFile::encodeName(QFileInfo(QFile::decodeName(m_devRoot)).canonicalFilePath());
    if (devRoot.isEmpty())
        devRoot = m_devRoot;
    if (canonical.startsWith(devRoot + '/')) {
        const QByteArray tail = canonical.mid(devRoot.size() + 1);
        if (m_sysDirs.contains(tail))
            return tail;
    }
    return QByteArray();
}

void SourceGuard::addSource(const QByteArray& source)
{
    QByteArray s = source;
    if (s.startsWith(kPrefix))
        s = s.mid(int(sizeof kPrefix) - 1);
    if (s.isEmpty())
        return;
    const QString shown = QString::fromLocal8Bit(s);
    if (!s.contains('/')) {
        if (m_sysDirs.contains(s)) {
            protectDevice(s, QStringLiteral("%1, a source being recovered").arg(shown), kUp | kDown);
            return;
        }
        s = m_devRoot + '/' + s;
    }
    const QByteArray name = nameOfDevicePath(s);
    if (!name.isEmpty()) {
        protectDevice(name, QStringLiteral("%1, a source being recovered").arg(QString::fromLocal8Bit(name)), kUp | kDown);
        return;
    }
    protectFile(s, QStringLiteral("a source being recovered"), 0, false);
}

void SourceGuard::protectDevice(const QByteArray& name, const QString& why, int directions)
{
    const int done = m_directionsDone.value(name, 0);
    if ((done & directions) == directions || m_directionsDone.size() > 4096)
        return;
    m_directionsDone.insert(name, done | directions);
    if (!m_devices.contains(name))
        m_devices.insert(name, why);
    const QString dir = sysDir(name);

    if (directions & kUp) {
        // Partitions first: their reason reads best.
        if (!dir.isEmpty() && !QFile::exists(dir + QStringLiteral("/partition"))) {
            const QStringList subs = QDir(dir).entryList({QFileInfo(dir).fileName() + '*'}, QDir::Dirs | QDir::NoDotAndDotDot);
            for (const QString& p : subs) {
                if (m_sysDirs.value(QFile::encodeName(p)) == dir + '/' + p)
                    protectDevice(QFile::encodeName(p), QStringLiteral("%1, a partition of %2").arg(p, why), kUp);
            }
        }
        for (const QByteArray& h : entriesOf(name, "holders"))
            protectDevice(h, QStringLiteral("%1, stacked on %2").arg(QString::fromLocal8Bit(h), why), kUp);
    }
    if (directions & kDown) {
        for (const QByteArray& s : entriesOf(name, "slaves"))
            protectDevice(s, QStringLiteral("%1, beneath %2").arg(QString::fromLocal8Bit(s), why), kDown);
        if (!dir.isEmpty() && QFile::exists(dir + QStringLiteral("/partition"))) {
            const QByteArray disk = QFile::encodeName(QFileInfo(dir).dir().dirName());
            if (m_sysDirs.contains(disk) && !m_raw.contains(disk))
                m_raw.insert(disk, QStringLiteral("%1, the disk holding %2").arg(QString::fromLocal8Bit(disk), why));
        }
    }
    if (name.startsWith("loop") && !dir.isEmpty()) {
        const QByteArray backing = readAttr(dir + QStringLiteral("/loop/backing_file"));
        if (!backing.isEmpty())
            protectFile(backing, QStringLiteral("the file behind %1").arg(why), 0, false);
    }
}

void SourceGuard::protectFile(const QByteArray& path, const QString& why, int depth, bool container)
{
    if (depth > kMaxDepth)
        return;
    // The kernel marks a backing file that was deleted or moved.
    QByteArray p = path;
    if (p.endsWith(" (deleted)"))
        p.chop(10);
    const QByteArray name = nameOfDevicePath(p);
    if (!name.isEmpty()) {
        // A loop over a block device: that device is the source.
        protectDevice(name, QStringLiteral("%1, which is %2").arg(QString::fromLocal8Bit(name), why), kUp | kDown);
        return;
    }
    struct stat st {};
    if (::stat(p.constData(), &st) != 0)
        return;
    const FileId id{quint64(st.st_dev), quint64(st.st_ino)};
    QHash<FileId, QString>& files = container ? m_containers : m_files;
    if (m_files.contains(id) || files.contains(id))
        return;
    files.insert(id, why);

    // Rewriting the device under the file's file system rewrites the file;
    // when that device is a loop, so does rewriting the loop's own file.
    QByteArray mountPoint;
    const QByteArray canonical = QFile::encodeName(QFileInfo(QFile::decodeName(p)).canonicalFilePath());
    const QByteArray holder = mountDeviceOf(canonical.isEmpty() ? p : canonical, &mountPoint);
    if (holder.isEmpty() || m_raw.contains(holder) || m_devices.contains(holder))
        return;
    const QString holderWhy = QStringLiteral("%1, the device holding %2 (%3)").arg(QString::fromLocal8Bit(holder), QString::fromLocal8Bit(p), why);
    m_raw.insert(holder, holderWhy);
    if (holder.startsWith("loop")) {
        const QByteArray backing = readAttr(sysDir(holder) + QStringLiteral("/loop/backing_file"));
        if (!backing.isEmpty())
            protectFile(backing, QStringLiteral("the file behind %1").arg(holderWhy), depth + 1, true);
    }
}

QByteArray SourceGuard::mountDeviceOf(const QByteArray& canonicalPath, QByteArray* mountPoint) const
{
    // The longest mount point holding the path; of equal ones the last
    // mounted, which hides the others.
    const Mount* best = nullptr;
    for (const Mount& m : m_mounts) {
        if (!pathUnder(canonicalPath, m.mountPoint))
            continue;
        if (!best || m.mountPoint.size() >= best->mountPoint.size())
            best = &m;
    }
    if (!best)
        return QByteArray();
    *mountPoint = best->mountPoint;
    QByteArray name;
    if (!best->devNumber.startsWith("0:"))
        name = nameOfDevNumber(best->devNumber);
    // btrfs and others report an anonymous number: the source names the device.
    if (name.isEmpty() && best->source.startsWith('/'))
        name = nameOfDevicePath(best->source);
    return name;
}

QString SourceGuard::check(const QByteArray& destination) const
{
    return judge(destination, true);
}

QString SourceGuard::checkInCheckedFolder(const QByteArray& destination, const struct stat& st) const
{
    return sourceItIs(QString::fromLocal8Bit(destination), st, true);
}

QString SourceGuard::sourceItIs(const QString& shown, const struct stat& st, bool containers) const
{
    const FileId id{quint64(st.st_dev), quint64(st.st_ino)};
    const QString file = m_files.value(id, containers ? m_containers.value(id) : QString());
    if (!file.isEmpty())
        return QStringLiteral("%1 is %2").arg(shown, file);
    if (S_ISBLK(st.st_mode)) {
        const QByteArray name = nameOfDevNumber(devNumberText(st.st_rdev));
        const QString why = m_devices.value(name, containers ? m_raw.value(name) : QString());
        if (!why.isEmpty())
            return QStringLiteral("%1 is %2").arg(shown, why);
    }
    return QString();
}

QString SourceGuard::judge(const QByteArray& destination, bool containers, int depth) const
{
    if (destination.isEmpty())
        return QString();
    bool exact = false;
    const QByteArray path = existingPart(destination, &exact);
    const QString shown = QString::fromLocal8Bit(destination);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return QString();

    if (exact) {
        const QString why = sourceItIs(shown, st, containers);
        if (!why.isEmpty())
            return why;
    }

    // The file system the path lies on.
    QList<QByteArray> candidates;
    QByteArray mountPoint;
    const QByteArray canonical = QFile::encodeName(QFileInfo(QFile::decodeName(path)).canonicalFilePath());
    const QByteArray fromMount = mountDeviceOf(canonical.isEmpty() ? path : canonical, &mountPoint);
    if (!mountPoint.isEmpty())
        candidates.append(fromMount);
    else if (major(st.st_dev) != 0)
        candidates.append(nameOfDevNumber(devNumberText(st.st_dev)));
    for (const QByteArray& name : candidates) {
        const QString why = m_devices.value(name);
        if (!why.isEmpty())
            return QStringLiteral("%1 lies on a file system on %2; writing there would overwrite the recordings being recovered")
                .arg(shown, why);
    }
    // An overlay writes into its upper folder, wherever that lies.
    if (fromMount.isEmpty() && depth < kMaxDepth) {
        for (const Mount& m : m_mounts) {
            if (m.mountPoint != mountPoint || m.upperDir.isEmpty())
                continue;
            const QString why = judge(m.upperDir + '/', containers, depth + 1);
            if (!why.isEmpty())
                return QStringLiteral("%1 is written into the overlay folder %2: %3")
                    .arg(shown, QString::fromLocal8Bit(m.upperDir), why);
        }
    }
    return QString();
}
