#pragma once
// A fake /sys, /dev and mount table in a temporary directory, so the disk
// enumeration can be run against any machine layout without root.

#include "disk/DiskInfo.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>

#include <cerrno>
#include <memory>
#include <unistd.h>

class FakeSysfs {
public:
    struct Disk {
        quint64 sectors = 0;
        bool removable = false;
        QByteArray model, serial, rev, virtioSerial;
        QByteArray dev;            // "8:0"
        QByteArray backingFile;    // loop devices
        bool hidden = false;
        quint64 logicalBlockSize = 512;
    };

    FakeSysfs()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("sys/block"));
        QDir(m_dir.path()).mkpath(QStringLiteral("dev"));
        QDir(m_dir.path()).mkpath(QStringLiteral("udev"));
        writeFile(QStringLiteral("mountinfo"), QByteArray());
    }

    QString root() const { return m_dir.path(); }
    QString sys() const { return m_dir.path() + QStringLiteral("/sys"); }
    QString dev() const { return m_dir.path() + QStringLiteral("/dev"); }

    void addDisk(const QByteArray& name, const Disk& d)
    {
        const QString b = QStringLiteral("sys/block/") + name;
        QDir(m_dir.path()).mkpath(b + QStringLiteral("/queue"));
        writeFile(b + QStringLiteral("/size"), QByteArray::number(d.sectors) + '\n');
        writeFile(b + QStringLiteral("/removable"), d.removable ? "1\n" : "0\n");
        writeFile(b + QStringLiteral("/hidden"), d.hidden ? "1\n" : "0\n");
        writeFile(b + QStringLiteral("/queue/logical_block_size"), QByteArray::number(d.logicalBlockSize) + '\n');
        if (!d.dev.isEmpty())
            writeFile(b + QStringLiteral("/dev"), d.dev + '\n');
        if (!d.model.isEmpty() || !d.serial.isEmpty() || !d.rev.isEmpty())
            QDir(m_dir.path()).mkpath(b + QStringLiteral("/device"));
        if (!d.model.isEmpty())
            writeFile(b + QStringLiteral("/device/model"), d.model + '\n');
        if (!d.serial.isEmpty())
            writeFile(b + QStringLiteral("/device/serial"), d.serial + '\n');
        if (!d.rev.isEmpty())
            writeFile(b + QStringLiteral("/device/rev"), d.rev + '\n');
        if (!d.virtioSerial.isEmpty())
            writeFile(b + QStringLiteral("/serial"), d.virtioSerial);   // the kernel writes no newline here
        if (name.startsWith("loop")) {
            QDir(m_dir.path()).mkpath(b + QStringLiteral("/loop"));
            if (!d.backingFile.isEmpty())
                writeFile(b + QStringLiteral("/loop/backing_file"), d.backingFile + '\n');
        }
        addDevNode(name);
    }

    void addPartition(const QByteArray& disk, const QByteArray& name, quint64 start, quint64 sectors,
                      const QByteArray& dev = QByteArray())
    {
        const QString p = QStringLiteral("sys/block/") + disk + '/' + name;
        QDir(m_dir.path()).mkpath(p);
        writeFile(p + QStringLiteral("/partition"), "1\n");
        writeFile(p + QStringLiteral("/start"), QByteArray::number(start) + '\n');
        writeFile(p + QStringLiteral("/size"), QByteArray::number(sectors) + '\n');
        if (!dev.isEmpty())
            writeFile(p + QStringLiteral("/dev"), dev + '\n');
        addDevNode(name);
    }

    // upper is built on lower (device-mapper, md): lower's holders name it,
    // its slaves name lower. lowerDir is "sdb" or "sdb/sdb2".
    void addStack(const QByteArray& lowerDir, const QByteArray& upper)
    {
        const QByteArray lower = lowerDir.mid(lowerDir.lastIndexOf('/') + 1);
        QDir(m_dir.path()).mkpath(QStringLiteral("sys/block/") + lowerDir + QStringLiteral("/holders"));
        QDir(m_dir.path()).mkpath(QStringLiteral("sys/block/") + upper + QStringLiteral("/slaves"));
        writeFile(QStringLiteral("sys/block/") + lowerDir + QStringLiteral("/holders/") + upper, QByteArray());
        writeFile(QStringLiteral("sys/block/") + upper + QStringLiteral("/slaves/") + lower, QByteArray());
    }

    // What the disk's queue says of it.
    void setRotational(const QByteArray& disk, bool rotates)
    {
        writeFile(QStringLiteral("sys/block/") + disk + QStringLiteral("/queue/rotational"), rotates ? "1\n" : "0\n");
    }

    // sys/dev/block/MAJ:MIN, the kernel's link to the device's folder
    // ("sda" or "sda/sda1"), relative as the kernel's are.
    void linkDev(const QByteArray& devNumber, const QByteArray& blockDir)
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("sys/dev/block"));
        const QByteArray link = QFile::encodeName(m_dir.path()) + "/sys/dev/block/" + devNumber;
        ::symlink(("../../block/" + blockDir).constData(), link.constData());
    }

    void addUdevProperty(const QByteArray& dev, const QByteArray& line)
    {
        QFile f(m_dir.path() + QStringLiteral("/udev/b") + dev);
        f.open(QIODevice::Append);
        f.write(line + '\n');
    }

    void addMount(const QByteArray& devNumber, const QByteArray& escapedMountPoint, const QByteArray& source,
                  const QByteArray& fsType = "ext4", const QByteArray& superOptions = "rw")
    {
        QFile f(m_dir.path() + QStringLiteral("/mountinfo"));
        f.open(QIODevice::Append);
        f.write(QByteArray::number(++m_mountId) + " 1 " + devNumber + " / " + escapedMountPoint
                + " rw,relatime shared:1 - " + fsType + " " + source + " " + superOptions + "\n");
    }

    // Devices the fake "open" refuses, with the errno it gives.
    void refuse(const QByteArray& name, int err = EACCES) { m_refused->insert(name, err); }

    DiskEnumEnv env() const
    {
        DiskEnumEnv e;
        e.sysRoot = sys();
        e.devRoot = dev();
        e.mountInfoPath = m_dir.path() + QStringLiteral("/mountinfo");
        e.udevDataRoot = m_dir.path() + QStringLiteral("/udev");
        auto refused = m_refused;
        auto opened = m_opened;
        const QByteArray devRoot = QFile::encodeName(dev()) + '/';
        e.canOpenForRead = [refused, opened, devRoot](const QByteArray& path) {
            opened->append(path);
            if (!path.startsWith(devRoot))
                return ENOENT;
            return refused->value(path.mid(devRoot.size()), 0);
        };
        return e;
    }

    // Every path the enumeration asked to open, in order.
    QList<QByteArray> opened() const { return *m_opened; }

    void writeFile(const QString& rel, const QByteArray& bytes)
    {
        QFile f(m_dir.path() + '/' + rel);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
    }

private:
    void addDevNode(const QByteArray& name) { writeFile(QStringLiteral("dev/") + name, QByteArray()); }

    QTemporaryDir m_dir;
    std::shared_ptr<QHash<QByteArray, int>> m_refused = std::make_shared<QHash<QByteArray, int>>();
    std::shared_ptr<QList<QByteArray>> m_opened = std::make_shared<QList<QByteArray>>();
    int m_mountId = 20;
};

// Installs a fake tree's environment for the life of the guard.
struct DiskEnvGuard {
    explicit DiskEnvGuard(const DiskEnumEnv& env) { setDiskEnumEnv(env); }
    ~DiskEnvGuard() { resetDiskEnumEnv(); }
};
