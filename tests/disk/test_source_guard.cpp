// Destinations on a source, judged on a fixture machine: disks, partitions,
// a device-mapper volume, a btrfs mount with an anonymous device number, and
// loop devices stacked on one another.

#include "disk/SourceGuard.h"
#include "support/FakeSysfs.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

// sda1 at a1 (unrelated); sdb1 at b1; dm-0 on sdb2 at dm0; sdc1 as btrfs at
// c1; loop0 over outer.img at l0, holding inner.img; loop1 over /dev/loop0;
// loop2 over l0/inner.img; loop3 over b1/disk.img at l3; an overlay at ov
// writing into b1/upper.
struct Machine {
    FakeSysfs fs;
    QString root;

    Machine()
    {
        root = QFileInfo(fs.root()).canonicalFilePath();
        for (const char* d : {"a1", "b1", "dm0", "c1", "l0", "l3", "ov", "b1/upper"})
            QDir(root).mkpath(QLatin1String(d));
        for (const char* f : {"outer.img", "l0/inner.img", "b1/disk.img", "image.img"})
            fs.writeFile(QLatin1String(f), QByteArray(4096, 'x'));

        fs.addDisk("sda", disk("8:0"));
        fs.addPartition("sda", "sda1", 2048, 1000, "8:1");
        fs.addDisk("sdb", disk("8:16"));
        fs.addPartition("sdb", "sdb1", 2048, 1000, "8:17");
        fs.addPartition("sdb", "sdb2", 4096, 1000, "8:18");
        fs.addDisk("dm-0", disk("253:7"));
        fs.addStack("sdb/sdb2", "dm-0");
        fs.addDisk("sdc", disk("8:32"));
        fs.addPartition("sdc", "sdc1", 2048, 1000, "8:33");
        fs.addDisk("loop0", loop("7:0", path("outer.img")));
        fs.addDisk("loop1", loop("7:1", QFile::encodeName(fs.dev()) + "/loop0"));
        fs.addDisk("loop2", loop("7:2", path("l0/inner.img")));
        fs.addDisk("loop3", loop("7:3", path("b1/disk.img")));

        fs.addMount("8:1", path("a1"), "/dev/sda1");
        fs.addMount("8:17", path("b1"), "/dev/sdb1");
        fs.addMount("253:7", path("dm0"), "/dev/mapper/vg-lv");
        fs.addMount("0:45", path("c1"), QFile::encodeName(fs.dev()) + "/sdc1", "btrfs");
        fs.addMount("7:0", path("l0"), "/dev/loop0");
        fs.addMount("7:3", path("l3"), "/dev/loop3");
        fs.addMount("0:61", path("ov"), "overlay", "overlay", "rw,lowerdir=/x,upperdir=" + path("b1/upper") + ",workdir=/y");
    }

    QByteArray path(const char* rel) const { return QFile::encodeName(root) + '/' + rel; }

    static FakeSysfs::Disk disk(const QByteArray& dev)
    {
        FakeSysfs::Disk d;
        d.sectors = 1 << 20;
        d.dev = dev;
        return d;
    }
    static FakeSysfs::Disk loop(const QByteArray& dev, const QByteArray& backing)
    {
        FakeSysfs::Disk d = disk(dev);
        d.backingFile = backing;
        return d;
    }
};

Machine& machine()
{
    static Machine m;
    return m;
}

struct Case {
    const char* name;
    const char* source;       // a kernel name, or a path under the fixture root with '/'
    const char* destination;  // under the fixture root
    const char* refusal;      // part of the reason, or "" when allowed
};

class SourceGuardTest : public ::testing::TestWithParam<Case> {};

TEST_P(SourceGuardTest, JudgesTheDestination)
{
    const Case& c = GetParam();
    Machine& m = machine();
    DiskEnvGuard env(m.fs.env());
    const QByteArray source = QByteArray(c.source).contains('/') ? m.path(c.source + 1) : QByteArray(c.source);
    const SourceGuard guard({"\\\\.\\" + source});
    const QByteArray destination = m.path(c.destination);
    const QString why = guard.check(destination);
    if (*c.refusal == '\0') {
        EXPECT_TRUE(why.isEmpty()) << qPrintable(why);
    } else {
        EXPECT_TRUE(why.contains(QLatin1String(c.refusal))) << "reason: " << qPrintable(why);
        EXPECT_TRUE(why.contains(QFile::decodeName(destination))) << "reason does not name the path: " << qPrintable(why);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixture, SourceGuardTest,
    ::testing::Values(
        Case{"PartitionOfScannedDisk", "sdb", "b1/new/out.TKL", "sdb1, a partition of sdb"},
        Case{"OtherDisk", "sdb", "a1/out.TKL", ""},
        Case{"HolderOfPartition", "sdb", "dm0/out.TKL", "dm-0, stacked on sdb2, a partition of sdb"},
        Case{"AnonymousBtrfsMount", "sdc", "c1/out.TKL", "sdc1, a partition of sdc"},
        Case{"LoopOnLoopBackingFile", "loop1", "outer.img", "the file behind loop0"},
        Case{"LoopInFileSystemOnLoop", "loop2", "outer.img", "the file behind loop0, the device holding"},
        Case{"LoopBackingFileItself", "loop2", "l0/inner.img", "the file behind loop2"},
        Case{"BesideLoopBackingFile", "loop2", "l0/other.TKL", ""},
        Case{"LoopWhoseFileIsOnSource", "sdb", "l3/out.TKL", "loop3, whose file"},
        Case{"OverlayWritingOntoSource", "sdb", "ov/out.TKL", "the overlay folder"},
        Case{"ImageFileItself", "/image.img", "image.img", "a source being recovered"},
        Case{"BesideImageFile", "/image.img", "out.TKL", ""}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
