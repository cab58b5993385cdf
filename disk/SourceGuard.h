#pragma once
// Whether a destination (a file or folder to be written) lies on one of the
// sources being recovered. Writing there would overwrite the free space that
// holds the lost recordings, or the source itself.
//
// A destination is refused when it is:
//  - a source file itself (same device and inode), or the file behind a
//    loop device among the sources, through every layer of loop on loop;
//  - a source block device, or a device below or stacked on one;
//  - inside a file system whose block device is a source, one of its
//    partitions or a device stacked on them (holders), found from the mount
//    that contains it: st_dev is anonymous on btrfs and overlayfs.
// A path that does not exist yet is judged by its nearest existing folder.
//
// sysfs, /dev and the mount table are read from diskEnumEnv() (disk/DiskInfo.h),
// so tests run on fixture trees. Built once per job; check() is cheap.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <utility>

#include <sys/stat.h>

class SourceGuard {
public:
    // sources: "\\.\NAME" device paths as the scan and export use them, plain
    // kernel names, block device paths or image file paths.
    explicit SourceGuard(const QList<QByteArray>& sources);

    // Empty when destination may be written; else why not, naming the source.
    QString check(const QByteArray& destination) const;
    // The same for something that exists (st: stat of it, links followed)
    // in a folder check() has already passed: whether it is itself a source
    // file, a file holding one, or a protected block device. No system call.
    QString checkInCheckedFolder(const QByteArray& destination, const struct stat& st) const;

private:
    using FileId = std::pair<quint64, quint64>; // st_dev, st_ino

    void addSource(const QByteArray& source);
    void protectDevice(const QByteArray& name, const QString& why, int directions);
    // container: the file only holds a protected one (an outer image);
    // writing it is refused, writing beside it on its loop's file system is not.
    void protectFile(const QByteArray& path, const QString& why, int depth, bool container);
    QString judge(const QByteArray& destination, bool containers, int depth = 0) const;
    // Why st (of destination, shown so) is itself a source file, a file
    // holding one (with containers), or a protected block device; else empty.
    QString sourceItIs(const QString& shown, const struct stat& st, bool containers) const;
    QByteArray nameOfDevNumber(const QByteArray& majorMinor) const;
    QByteArray nameOfDevicePath(const QByteArray& path) const;
    QString sysDir(const QByteArray& name) const;
    QList<QByteArray> entriesOf(const QByteArray& name, const char* sub) const;
    QByteArray mountDeviceOf(const QByteArray& canonicalPath, QByteArray* mountPoint) const;

    struct Mount {
        QByteArray mountPoint;
        QByteArray devNumber;  // "8:17"; "0:N" on btrfs, overlayfs, tmpfs
        QByteArray source;     // "/dev/sdb1", "overlay", ...
        QByteArray upperDir;   // overlayfs: where its writes go
    };

    QHash<QByteArray, QString> m_sysDirs;       // kernel name -> its sysfs folder
    QHash<QByteArray, QByteArray> m_byDevNumber;  // "8:17" -> kernel name
    QList<Mount> m_mounts;
    QHash<QByteArray, int> m_directionsDone;
    QHash<QByteArray, QString> m_devices;  // protected block devices -> why
    QHash<QByteArray, QString> m_raw;      // devices holding a protected file: their raw bytes only
    QHash<FileId, QString> m_files;        // protected files -> why
    QHash<FileId, QString> m_containers;   // files holding protected ones -> why
    QByteArray m_devRoot;
};
