#include "disk/DiskInfo.h"
#include "disk/Nyx.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <linux/magic.h>
#include <unistd.h>

namespace {

int openForReadCheck(const QByteArray& path)
{
    // Read-only, and non-blocking so an empty drive answers at once.
    int fd;
    do {
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

DiskEnumEnv& envStorage()
{
    static DiskEnumEnv env;
    return env;
}

// Disk names from the last GetDiskInfo: index = disk number.
QList<QByteArray>& diskNames()
{
    static QList<QByteArray> names;
    return names;
}

DiskEnumSummary& summaryStorage()
{
    static DiskEnumSummary s;
    return s;
}

QString blockDir(const QByteArray& disk)
{
    return diskEnumEnv().sysRoot + QStringLiteral("/block/") + QString::fromLocal8Bit(disk);
}

QByteArray devicePath(const QByteArray& name)
{
    return QFile::encodeName(diskEnumEnv().devRoot) + '/' + name;
}

QByteArray readAttr(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(4096).trimmed();
}

bool readNumber(const QString& path, quint64* value)
{
    bool ok = false;
    const quint64 v = readAttr(path).toULongLong(&ok, 10);
    if (ok)
        *value = v;
    return ok;
}

int checkOpen(const QByteArray& path)
{
    const DiskEnumEnv& env = diskEnumEnv();
    return env.canOpenForRead ? env.canOpenForRead(path) : openForReadCheck(path);
}

// Whole disks we offer: real storage and bound loop devices, not RAM disks,
// compressed swap, device-mapper or md targets, nor the hidden per-path
// nodes of multipath NVMe and the boot areas of eMMC.
bool qualifies(const QByteArray& name)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(?:(?:sd|hd|vd|xvd)[a-z]+|nvme\\d+n\\d+|mmcblk\\d+|loop\\d+)$"));
    if (!pattern.match(QString::fromLatin1(name)).hasMatch())
        return false;
    const QString dir = blockDir(name);
    if (readAttr(dir + QStringLiteral("/hidden")) == "1")
        return false;
    if (name.startsWith("loop") && readAttr(dir + QStringLiteral("/loop/backing_file")).isEmpty())
        return false;
    quint64 sectors = 0;
    // No medium (empty card slot, unbound device): nothing to scan.
    if (!readNumber(dir + QStringLiteral("/size"), &sectors) || sectors == 0)
        return false;
    return true;
}

// Partitions of one disk: subdirectories holding a "partition" attribute.
QList<QByteArray> partitionsOf(const QByteArray& disk)
{
    const QString dir = blockDir(disk);
    QList<QByteArray> parts;
    const QStringList entries = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        if (QFile::exists(dir + '/' + e + QStringLiteral("/partition")))
            parts.append(QFile::encodeName(e));
    }
    std::sort(parts.begin(), parts.end(), blockNameLess);
    if (parts.size() > kMaxPartitions)
        parts = parts.mid(0, kMaxPartitions);
    return parts;
}

QByteArray unescapeMountField(const QByteArray& field)
{
    // mountinfo escapes space, tab, newline and backslash as \ooo.
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const QByteArray oct = field.mid(i + 1, 3);
            bool ok = false;
            const int c = oct.toInt(&ok, 8);
            if (ok && oct.size() == 3) {
                out.append(char(c));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

struct MountTable {
    QHash<QByteArray, QByteArray> byDevNumber; // "8:1" -> mount point
    QHash<QByteArray, QByteArray> bySource;    // "/dev/sda1" -> mount point
};

MountTable readMountTable()
{
    MountTable t;
    QFile f(diskEnumEnv().mountInfoPath);
    if (!f.open(QIODevice::ReadOnly))
        return t;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 7)
            continue;
        const QByteArray mountPoint = unescapeMountField(fields[4]);
        if (!t.byDevNumber.contains(fields[2]))
            t.byDevNumber.insert(fields[2], mountPoint);
        const int dash = fields.indexOf("-", 6);
        if (dash > 0 && dash + 2 < fields.size()) {
            const QByteArray source = unescapeMountField(fields[dash + 2]);
            if (!t.bySource.contains(source))
                t.bySource.insert(source, mountPoint);
        }
    }
    return t;
}

quint64 freeBytesOf(const QByteArray& mountPoint)
{
    struct statvfs st {};
    if (::statvfs(mountPoint.constData(), &st) != 0)
        return 0;
    return quint64(st.f_bfree) * quint64(st.f_frsize);
}

// Printable ASCII only, trimmed, cut to the field.
template <size_t N>
void setText(char (&field)[N], const QByteArray& text)
{
    QByteArray clean;
    for (char c : text) {
        if (c >= 0x20 && c < 0x7f)
            clean.append(c);
    }
    clean = clean.trimmed().left(int(N) - 1);
    std::memset(field, 0, N);
    std::memcpy(field, clean.constData(), size_t(clean.size()));
}

QByteArray firstAttr(const QString& dir, std::initializer_list<const char*> names)
{
    for (const char* n : names) {
        const QByteArray v = readAttr(dir + '/' + QLatin1String(n));
        if (!v.isEmpty())
            return v;
    }
    return QByteArray();
}

QByteArray udevProperty(const QByteArray& disk, const QByteArray& key)
{
    const QByteArray dev = readAttr(blockDir(disk) + QStringLiteral("/dev"));
    if (dev.isEmpty())
        return QByteArray();
    QFile f(diskEnumEnv().udevDataRoot + QStringLiteral("/b") + QString::fromLatin1(dev));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray prefix = "E:" + key + '=';
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return QByteArray();
}

// Splits into runs of digits and non-digits; digit runs compare as numbers.
int naturalCompare(const QByteArray& a, const QByteArray& b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9';
        const bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            int ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
            QByteArray na = a.mid(i, ei - i), nb = b.mid(j, ej - j);
            while (na.size() > 1 && na[0] == '0') na.remove(0, 1);
            while (nb.size() > 1 && nb[0] == '0') nb.remove(0, 1);
            if (na.size() != nb.size())
                return na.size() < nb.size() ? -1 : 1;
            if (na != nb)
                return na < nb ? -1 : 1;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return uchar(a[i]) < uchar(b[j]) ? -1 : 1;
            ++i;
            ++j;
        }
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

// "sd" + letters: the letters count like a number (sdz < sdaa).
bool splitLetterFamily(const QByteArray& name, QByteArray* family, QByteArray* letters, QByteArray* rest)
{
    for (const char* f : {"xvd", "sd", "hd", "vd"}) {
        if (!name.startsWith(f))
            continue;
        const int start = int(std::strlen(f));
        int k = start;
        while (k < name.size() && name[k] >= 'a' && name[k] <= 'z') ++k;
        if (k == start)
            return false;
        *family = name.left(start);
        *letters = name.mid(start, k - start);
        *rest = name.mid(k);
        return true;
    }
    return false;
}

} // namespace

bool blockNameLess(const QByteArray& a, const QByteArray& b)
{
    QByteArray fa, la, ra, fb, lb, rb;
    if (splitLetterFamily(a, &fa, &la, &ra) && splitLetterFamily(b, &fb, &lb, &rb) && fa == fb) {
        if (la.size() != lb.size())
            return la.size() < lb.size();
        if (la != lb)
            return la < lb;
        return naturalCompare(ra, rb) < 0;
    }
    return naturalCompare(a, b) < 0;
}

void setDiskEnumEnv(const DiskEnumEnv& env) { envStorage() = env; }
void resetDiskEnumEnv() { envStorage() = DiskEnumEnv(); }
const DiskEnumEnv& diskEnumEnv() { return envStorage(); }

QList<HardDiskSerialInfo>& diskList()
{
    static QList<HardDiskSerialInfo> list;
    return list;
}

QList<LogicalDriveInfo>& volumeList()
{
    static QList<LogicalDriveInfo> list;
    return list;
}

DiskEnumSummary lastDiskEnumSummary() { return summaryStorage(); }

QList<QByteArray> GetLocalDiskNames()
{
    QList<QByteArray> names;
    const QStringList entries = QDir(diskEnumEnv().sysRoot + QStringLiteral("/block"))
                                    .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& e : entries) {
        const QByteArray name = QFile::encodeName(e);
        if (qualifies(name))
            names.append(name);
    }
    std::sort(names.begin(), names.end(), blockNameLess);
    return names;
}

static QList<VolumeCandidate> volumeCandidates(const QList<QByteArray>& disks)
{
    QList<VolumeCandidate> out;
    for (int n = 0; n < disks.size(); ++n) {
        for (const QByteArray& p : partitionsOf(disks[n]))
            out.append(VolumeCandidate{p, n});
    }
    return out;
}

QList<VolumeCandidate> GetLocalVolumeNames()
{
    return volumeCandidates(GetLocalDiskNames());
}

int QueryDriveGeometry(DriveGeometry* geometry, int n)
{
    if (!geometry || n < 0 || n >= diskNames().size())
        return 0;
    const QString dir = blockDir(diskNames()[n]);
    quint64 sectors = 0;
    if (!readNumber(dir + QStringLiteral("/size"), &sectors))
        return 0;
    const quint64 bytes = sectors * 512;   // sysfs counts 512-byte units whatever the sector size
    quint64 sectorSize = 0;
    if (!readNumber(dir + QStringLiteral("/queue/logical_block_size"), &sectorSize) || sectorSize == 0
        || bytes % sectorSize != 0)
        sectorSize = kSectorBytes;
    DriveGeometry g;
    g.bytesPerSector = quint32(sectorSize);
    g.sectorsPerTrack = 1;
    g.tracksPerCylinder = 1;
    g.cylinders = qint64(bytes / sectorSize);
    g.mediaType = readAttr(dir + QStringLiteral("/removable")) == "1" ? kRemovableMedia : kFixedMedia;
    *geometry = g;
    return 1;
}

void GetDiskInfo()
{
    volumeList().clear();
    diskNames() = GetLocalDiskNames();
    const QList<VolumeCandidate> candidates = volumeCandidates(diskNames());
    if (candidates.isEmpty())
        return;   // disks without partitions are still listed
    const MountTable mounts = readMountTable();
    for (int i = 0; i < candidates.size(); ++i) {
        const VolumeCandidate& c = candidates[i];
        const QString dir = blockDir(diskNames()[c.diskNumber]) + '/' + QString::fromLocal8Bit(c.name);
        LogicalDriveInfo v;
        v.name = c.name;
        v.ordinal = i;
        v.deviceNumber = c.diskNumber;
        quint64 sectors = 0, start = 0;
        readNumber(dir + QStringLiteral("/size"), &sectors);
        readNumber(dir + QStringLiteral("/start"), &start);
        v.capacity = sectors * 512;
        v.startingOffset = start * 512;
        v.removableType = readAttr(blockDir(diskNames()[c.diskNumber]) + QStringLiteral("/removable")) == "1" ? 2 : 1;
        QByteArray mountPoint = mounts.byDevNumber.value(readAttr(dir + QStringLiteral("/dev")));
        if (mountPoint.isEmpty())
            mountPoint = mounts.bySource.value(devicePath(c.name));
        if (!mountPoint.isEmpty()) {
            v.freeSpace = freeBytesOf(mountPoint);
            std::printf("%s total:%llu\n", c.name.constData(), static_cast<unsigned long long>(v.capacity));
        }
        const int err = checkOpen(devicePath(c.name));
        if (err != 0) {
            std::printf("open error %s: %s\n", devicePath(c.name).constData(), std::strerror(err));
            continue;
        }
        volumeList().append(v);
    }
}

bool GetDriverPhysicalInfo(HardDiskSerialInfo* info, int n)
{
    if (!info || n < 0 || n >= diskNames().size())
        return false;
    const QByteArray name = diskNames()[n];
    const int err = checkOpen(devicePath(name));
    if (err != 0) {
        std::printf(" open error %s: %s\n", devicePath(name).constData(), std::strerror(err));
        DiskEnumSummary& s = summaryStorage();
        if (s.unreadableDisks++ == 0) {
            s.firstError = err;
            s.firstUnreadable = name;
        }
        return false;
    }
    const QString dir = blockDir(name);
    const QString dev = dir + QStringLiteral("/device");
    QByteArray model = firstAttr(dev, {"model", "name"});
    if (model.isEmpty())
        model = udevProperty(name, "ID_MODEL");
    QByteArray serial = firstAttr(dev, {"serial"});
    if (serial.isEmpty())
        serial = readAttr(dir + QStringLiteral("/serial"));   // virtio
    if (serial.isEmpty())
        serial = udevProperty(name, "ID_SERIAL_SHORT");
    const QByteArray firmware = firstAttr(dev, {"rev", "firmware_rev", "fwrev"});
    setText(info->modelNumber, model);
    setText(info->serialNumber, serial);
    setText(info->firmwareRevision, firmware);
    info->driveIndex = n;
    info->deviceName = name;
    int count = 0;
    for (const LogicalDriveInfo& v : volumeList()) {
        if (v.deviceNumber != n)
            continue;
        if (count == kMaxPartitions)
            break;
        info->partitions[size_t(count++)] = v;
    }
    info->partitionCount = count;
    return true;
}

void BuildDiskList()
{
    diskList().clear();
    summaryStorage() = DiskEnumSummary();
    GetDiskInfo();
    summaryStorage().candidateDisks = diskNames().size();
    for (int n = 0; n < diskNames().size(); ++n) {
        HardDiskSerialInfo info;
        if (!GetDriverPhysicalInfo(&info, n))
            continue;
        info.driveIndex = n;
        DriveGeometry g;
        if (QueryDriveGeometry(&g, n)) {
            if (g.mediaType == kRemovableMedia) {
                info.isFixed = 0;
                setText(info.serialNumber, "Removable:" + QByteArray::number(n));
            } else if (g.mediaType == kFixedMedia) {
                info.isFixed = 1;
            }
            info.diskSize = quint64(g.cylinders) * g.tracksPerCylinder * g.sectorsPerTrack * g.bytesPerSector;
        } else {
            std::printf("GetDriveGeometry failed. Error %d.\n", errno);
        }
        diskList().append(info);
    }
}

int ProbeSourceImage(const QString& path, qint64* size)
{
    const QByteArray file = QFile::encodeName(path);
    if (file.isEmpty())
        return ENOENT;
    struct stat st {};
    if (::stat(file.constData(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    // A FIFO or terminal would block the open or the scan.
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return ENODEV;
    std::unique_ptr<NyxCIOSystemDevice> dev = nyxMakePosixDevice(file);
    const int err = dev->open(NyxAccessRead, NyxOpenExisting);
    if (err != 0)
        return err;
    if (size)
        *size = std::max<std::int64_t>(dev->size(), 0);
    return 0;
}

bool blockDeviceSeeks(quint32 major, quint32 minor)
{
    const QString dev = diskEnumEnv().sysRoot + QStringLiteral("/dev/block/%1:%2").arg(major).arg(minor);
    // A partition has no queue of its own: its disk's is one folder up.
    for (const QString& queue : {dev + QStringLiteral("/queue"), dev + QStringLiteral("/../queue")}) {
        const QByteArray v = readAttr(queue + QStringLiteral("/rotational"));
        if (!v.isEmpty())
            return v != "0";
    }
    return true;
}

bool fileReadsSeek(const QByteArray& file)
{
    struct stat st {};
    struct statfs fs {};
    if (::stat(file.constData(), &st) != 0 || !S_ISREG(st.st_mode) || ::statfs(file.constData(), &fs) != 0)
        return true;
    if (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC)
        return false;
    return blockDeviceSeeks(major(st.st_dev), minor(st.st_dev));
}
