#pragma once
// The machine's physical disks and their partitions, as the disk tree lists
// them. Built from sysfs and the mount table only: no device is read, each
// candidate is merely opened read-only once to learn whether we may read it.
//
// Numbers: a disk's number (driveIndex, deviceNumber) is its position among
// the qualifying disks of /sys/block in name order (sda, sdb, ..., sdz, sdaa,
// nvme0n1, vda, ...). A disk we may not open leaves a gap, as on Windows.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <functional>

// One volume: a partition of a listed disk.
struct LogicalDriveInfo {
    QByteArray name;            // kernel name (sda1, nvme0n1p2), also the tail of its device path
    quint64 capacity = 0;       // bytes of the partition
    quint64 freeSpace = 0;      // free bytes of its file system when mounted, else 0
    qint32 ordinal = 0;         // position among all listed volumes (0 = first)
    quint64 startingOffset = 0; // byte offset of the partition on its disk
    qint32 removableType = 1;   // 2 on removable media, else 1
    qint32 deviceNumber = -1;   // number of the disk that holds it
};

constexpr int kMaxPartitions = 26;

// One physical disk.
struct HardDiskSerialInfo {
    char modelNumber[39] = {};
    char serialNumber[20] = {};   // "Removable:%d" for removable media
    char firmwareRevision[9] = {};
    qint32 driveIndex = 0;
    quint64 diskSize = 0;
    qint32 isFixed = 0;
    qint32 partitionCount = 0;
    QByteArray deviceName;        // kernel name (sda, nvme0n1)
    std::array<LogicalDriveInfo, kMaxPartitions> partitions {};
};

// Where the enumeration looks. Tests point these at a fake tree.
struct DiskEnumEnv {
    QString sysRoot = QStringLiteral("/sys");
    QString devRoot = QStringLiteral("/dev");
    QString mountInfoPath = QStringLiteral("/proc/self/mountinfo");
    QString udevDataRoot = QStringLiteral("/run/udev/data");
    // 0 when the device at this path can be opened for reading, else errno.
    // The default opens it O_RDONLY and closes it again.
    std::function<int(const QByteArray& devicePath)> canOpenForRead;
};

// Replace the environment (tests); resetDiskEnumEnv() restores the real one.
void setDiskEnumEnv(const DiskEnumEnv& env);
void resetDiskEnumEnv();
const DiskEnumEnv& diskEnumEnv();

// The process-wide lists, rebuilt from empty by BuildDiskList / GetDiskInfo.
QList<HardDiskSerialInfo>& diskList();
QList<LogicalDriveInfo>& volumeList();

// Stands for GetLogicalDrives + GetDriveTypeW: the kernel names of the
// qualifying disks in number order (index = disk number).
QList<QByteArray> GetLocalDiskNames();

// A partition of a qualifying disk, before the open check.
struct VolumeCandidate {
    QByteArray name;
    int diskNumber = -1;
};
// Stands for GetLocalDriveLetters: the partitions of the qualifying disks,
// disk by disk and in name order within a disk, at most 26 per disk.
QList<VolumeCandidate> GetLocalVolumeNames();

// Stands for the 24-byte drive geometry answer. On Linux the size is exact:
// cylinders x tracks x sectors x bytes per sector == the device's size.
struct DriveGeometry {
    qint64 cylinders = 0;
    qint32 mediaType = 0;          // 11 removable media, 12 fixed media
    quint32 tracksPerCylinder = 0;
    quint32 sectorsPerTrack = 0;
    quint32 bytesPerSector = 0;
};
constexpr qint32 kRemovableMedia = 11;
constexpr qint32 kFixedMedia = 12;
// Non-zero on success.
int QueryDriveGeometry(DriveGeometry* geometry, int n);

// Rebuilds the volume list. A machine without any partition is fine.
void GetDiskInfo();
// Fills identity, name and partitions of disk n; false (record untouched)
// when the disk does not exist or cannot be opened for reading.
bool GetDriverPhysicalInfo(HardDiskSerialInfo* info, int n);
// Rebuilds both lists.
void BuildDiskList();

// What the last BuildDiskList saw: qualifying disks, how many of them could
// not be opened, and the errno of the first such failure.
struct DiskEnumSummary {
    int candidateDisks = 0;
    int unreadableDisks = 0;
    int firstError = 0;
    QByteArray firstUnreadable;
};
DiskEnumSummary lastDiskEnumSummary();

// Name order of kernel block device names (sdz before sdaa, sda2 before sda10).
bool blockNameLess(const QByteArray& a, const QByteArray& b);

// Checks a disk image or block device given by path: 0 and its size in bytes
// when it can be read, else an errno (ENOENT, EACCES, EISDIR, ENODEV for
// anything that is neither a regular file nor a block device, ...).
// Opens read-only; never blocks on FIFOs or character devices.
int ProbeSourceImage(const QString& path, qint64* size);

// Whether reading a file at two places at once makes its disk seek to and
// fro: false only for a file in memory (tmpfs) or on a disk whose sysfs
// says it does not rotate. Unknown counts as seeking.
bool fileReadsSeek(const QByteArray& file);
// The same for the block device major:minor (a partition asks its disk).
bool blockDeviceSeeks(quint32 major, quint32 minor);
