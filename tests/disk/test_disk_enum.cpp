#include "support/FakeSysfs.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QList<QByteArray> partNames(const HardDiskSerialInfo& d)
{
    QList<QByteArray> out;
    for (int i = 0; i < d.partitionCount; ++i)
        out.append(d.partitions[size_t(i)].name);
    return out;
}

QList<QByteArray> diskNamesListed()
{
    QList<QByteArray> out;
    for (const HardDiskSerialInfo& d : diskList())
        out.append(d.deviceName);
    return out;
}

FakeSysfs::Disk disk(quint64 sectors, const QByteArray& dev = QByteArray())
{
    FakeSysfs::Disk d;
    d.sectors = sectors;
    d.dev = dev;
    return d;
}

} // namespace

TEST(DiskEnum, PartitionsListedUnderTheirDisksInNameOrder)
{
    FakeSysfs fs;
    // Created out of order: the listing must not depend on directory order.
    fs.addDisk("sdb", disk(2000000));
    fs.addPartition("sdb", "sdb2", 1050624, 500000);
    fs.addPartition("sdb", "sdb1", 2048, 1048576);
    fs.addDisk("sda", disk(976773168));
    fs.addPartition("sda", "sda1", 2048, 409600);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskNamesListed(), (QList<QByteArray>{"sda", "sdb"}));
    const HardDiskSerialInfo& a = diskList()[0];
    const HardDiskSerialInfo& b = diskList()[1];
    EXPECT_EQ(a.driveIndex, 0);
    EXPECT_EQ(b.driveIndex, 1);
    EXPECT_EQ(a.diskSize, 976773168ull * 512);
    EXPECT_EQ(a.isFixed, 1);
    EXPECT_EQ(partNames(a), (QList<QByteArray>{"sda1"}));
    EXPECT_EQ(partNames(b), (QList<QByteArray>{"sdb1", "sdb2"}));
    EXPECT_EQ(b.partitions[0].capacity, 1048576ull * 512);
    EXPECT_EQ(b.partitions[0].startingOffset, 2048ull * 512);
    EXPECT_EQ(b.partitions[1].startingOffset, 1050624ull * 512);
    EXPECT_EQ(b.partitions[1].deviceNumber, 1);
    EXPECT_EQ(b.partitions[1].removableType, 1);

    // The volume list holds all of them, disk by disk, numbered in that order.
    ASSERT_EQ(volumeList().size(), 3);
    EXPECT_EQ(volumeList()[0].name, "sda1");
    EXPECT_EQ(volumeList()[2].name, "sdb2");
    EXPECT_EQ(volumeList()[2].ordinal, 2);

    // Only reading was ever asked for, and only of our own device nodes.
    for (const QByteArray& p : fs.opened())
        EXPECT_TRUE(p.startsWith(QFile::encodeName(fs.dev()) + '/')) << p.constData();
}

TEST(DiskEnum, KeepsTheFirst26PartitionsInNumericOrder)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(100000000));
    for (int i = 30; i >= 1; --i)
        fs.addPartition("sda", "sda" + QByteArray::number(i), quint64(i) * 2048, 2048);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskList().size(), 1);
    const HardDiskSerialInfo& d = diskList()[0];
    ASSERT_EQ(d.partitionCount, 26);
    for (int i = 0; i < 26; ++i)
        EXPECT_EQ(d.partitions[size_t(i)].name, "sda" + QByteArray::number(i + 1)) << i;
}

TEST(DiskEnum, RemovableMediaIsNotFixedAndCarriesItsNumberAsSerial)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(1000000));
    FakeSysfs::Disk stick = disk(7864320);
    stick.removable = true;
    stick.serial = "AA00000000000123";
    fs.addDisk("sdb", stick);
    fs.addPartition("sdb", "sdb1", 2048, 7862272);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskList().size(), 2);
    EXPECT_EQ(diskList()[0].isFixed, 1);
    EXPECT_EQ(diskList()[1].isFixed, 0);
    EXPECT_STREQ(diskList()[1].serialNumber, "Removable:1");
    EXPECT_EQ(diskList()[1].partitions[0].removableType, 2);
}

TEST(DiskEnum, FreeSpaceOnlyForMountedPartitions)
{
    QTemporaryDir mnt;
    ASSERT_TRUE(mnt.isValid());
    // A mount point with a space, escaped in the mount table as the kernel does.
    const QString point = mnt.path() + QStringLiteral("/my disk");
    ASSERT_TRUE(QDir().mkpath(point));
    struct statvfs st {};
    ASSERT_EQ(::statvfs(QFile::encodeName(point).constData(), &st), 0);
    const quint64 expectedFree = quint64(st.f_bfree) * st.f_frsize;
    ASSERT_GT(expectedFree, 0u);

    FakeSysfs fs;
    fs.addDisk("sda", disk(4000000, "8:0"));
    fs.addPartition("sda", "sda1", 2048, 1000000, "8:1");
    fs.addPartition("sda", "sda2", 1002048, 1000000, "8:2");
    fs.addPartition("sda", "sda3", 2002048, 1000000, "8:3");
    QByteArray escaped = QFile::encodeName(point);
    escaped.replace(" ", "\\040");
    fs.addMount("8:1", escaped, "/dev/sda1");
    // Matched by the source path when the device number does not match.
    fs.addMount("0:99", QFile::encodeName(mnt.path()), QFile::encodeName(fs.dev()) + "/sda3");
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskList().size(), 1);
    const HardDiskSerialInfo& d = diskList()[0];
    ASSERT_EQ(d.partitionCount, 3);
    // Others write to the same file system meanwhile: allow some drift.
    EXPECT_NEAR(double(d.partitions[0].freeSpace), double(expectedFree), 512.0 * 1024 * 1024);
    EXPECT_EQ(d.partitions[0].capacity, 1000000ull * 512);
    EXPECT_EQ(d.partitions[1].freeSpace, 0u);
    EXPECT_EQ(d.partitions[1].capacity, 1000000ull * 512);
    EXPECT_GT(d.partitions[2].freeSpace, 0u);
}

TEST(DiskEnum, UnreadableDiskLeavesAGapInTheNumbers)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(1000));
    fs.addDisk("sdb", disk(1000));
    fs.addPartition("sdb", "sdb1", 64, 900);
    fs.addDisk("sdc", disk(3000));
    fs.addPartition("sdc", "sdc1", 64, 900);
    fs.refuse("sdb", EACCES);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskNamesListed(), (QList<QByteArray>{"sda", "sdc"}));
    EXPECT_EQ(diskList()[0].driveIndex, 0);
    EXPECT_EQ(diskList()[1].driveIndex, 2);
    // sdb's partition belongs to disk 1 and must not slide under sdc.
    EXPECT_EQ(partNames(diskList()[1]), (QList<QByteArray>{"sdc1"}));
    const DiskEnumSummary s = lastDiskEnumSummary();
    EXPECT_EQ(s.candidateDisks, 3);
    EXPECT_EQ(s.unreadableDisks, 1);
    EXPECT_EQ(s.firstError, EACCES);
    EXPECT_EQ(s.firstUnreadable, "sdb");
}

TEST(DiskEnum, UnreadablePartitionIsLeftOutButItsDiskStays)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(10000));
    fs.addPartition("sda", "sda1", 64, 900);
    fs.addPartition("sda", "sda2", 1000, 900);
    fs.refuse("sda1", EPERM);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskList().size(), 1);
    EXPECT_EQ(partNames(diskList()[0]), (QList<QByteArray>{"sda2"}));
}

TEST(DiskEnum, SkipsRamZramMapperAndEmptyDevices)
{
    FakeSysfs fs;
    fs.addDisk("ram0", disk(8192));
    fs.addDisk("zram0", disk(8192));
    fs.addDisk("dm-0", disk(8192));
    fs.addDisk("md0", disk(8192));
    fs.addDisk("sr0", disk(8192));
    fs.addDisk("loop0", disk(0));                 // unbound
    FakeSysfs::Disk unbacked = disk(8192);        // size but no backing file
    fs.addDisk("loop1", unbacked);
    FakeSysfs::Disk bound = disk(16384);
    bound.backingFile = "/tmp/x.img";
    fs.addDisk("loop2", bound);
    fs.addPartition("loop2", "loop2p1", 2048, 8192);
    fs.addDisk("sdb", disk(0));                   // card reader without a card
    FakeSysfs::Disk path = disk(8192);
    path.hidden = true;
    fs.addDisk("nvme0c0n1", path);                // multipath node, hidden
    fs.addDisk("nvme0n1", disk(8192));
    fs.addDisk("mmcblk0", disk(8192));
    fs.addDisk("mmcblk0boot0", disk(8192));
    fs.addDisk("vda", disk(8192));
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    EXPECT_EQ(diskNamesListed(), (QList<QByteArray>{"loop2", "mmcblk0", "nvme0n1", "vda"}));
    ASSERT_EQ(diskList().size(), 4);
    EXPECT_EQ(partNames(diskList()[0]), (QList<QByteArray>{"loop2p1"}));
    EXPECT_EQ(lastDiskEnumSummary().candidateDisks, 4);
}

TEST(DiskEnum, NoPartitionsAnywhereStillListsTheDisks)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(2048));
    fs.addDisk("sdb", disk(4096));
    DiskEnvGuard g(fs.env());

    BuildDiskList();   // must return, not end the process
    ASSERT_EQ(diskList().size(), 2);
    EXPECT_EQ(diskList()[0].partitionCount, 0);
    EXPECT_EQ(diskList()[1].diskSize, 4096u * 512);
    EXPECT_TRUE(volumeList().isEmpty());
}

TEST(DiskEnum, NothingReadable)
{
    FakeSysfs fs;
    fs.addDisk("vda", disk(2048));
    fs.addDisk("sda", disk(2048));
    fs.refuse("vda", EPERM);
    fs.refuse("sda", EACCES);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    EXPECT_TRUE(diskList().isEmpty());
    const DiskEnumSummary s = lastDiskEnumSummary();
    EXPECT_EQ(s.candidateDisks, 2);
    EXPECT_EQ(s.unreadableDisks, 2);
    EXPECT_EQ(s.firstUnreadable, "sda");
    EXPECT_EQ(s.firstError, EACCES);
}

TEST(DiskEnum, RebuildStartsFromEmpty)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(2048));
    fs.addPartition("sda", "sda1", 64, 900);
    DiskEnvGuard g(fs.env());
    BuildDiskList();
    BuildDiskList();
    EXPECT_EQ(diskList().size(), 1);
    EXPECT_EQ(volumeList().size(), 1);
    EXPECT_EQ(diskList()[0].partitionCount, 1);

    FakeSysfs empty;
    setDiskEnumEnv(empty.env());
    BuildDiskList();
    EXPECT_TRUE(diskList().isEmpty());
    EXPECT_TRUE(volumeList().isEmpty());
    EXPECT_EQ(lastDiskEnumSummary().candidateDisks, 0);
}

TEST(DiskEnum, IdentityTextsFromSysfsAndUdev)
{
    FakeSysfs fs;
    FakeSysfs::Disk sata = disk(1000, "8:0");
    sata.model = "  WDC WD5000AAKX-00ERMA0 with a model name far too long  ";
    sata.rev = "15.01H15";
    fs.addDisk("sda", sata);
    fs.addUdevProperty("8:0", "E:ID_SERIAL_SHORT=WD-WCC2EKA12345");
    FakeSysfs::Disk virtio = disk(1000, "254:0");
    virtio.virtioSerial = "1806632836766177";
    fs.addDisk("vda", virtio);
    DiskEnvGuard g(fs.env());

    BuildDiskList();
    ASSERT_EQ(diskList().size(), 2);
    const HardDiskSerialInfo& a = diskList()[0];
    EXPECT_EQ(std::strlen(a.modelNumber), 38u);
    EXPECT_EQ(QByteArray(a.modelNumber), QByteArray("WDC WD5000AAKX-00ERMA0 with a model na"));
    EXPECT_STREQ(a.serialNumber, "WD-WCC2EKA12345");
    EXPECT_STREQ(a.firmwareRevision, "15.01H15");
    EXPECT_STREQ(diskList()[1].serialNumber, "1806632836766177");
    EXPECT_STREQ(diskList()[1].modelNumber, "");
}

TEST(DiskEnum, GeometryGivesTheExactSizeWithLargeSectors)
{
    FakeSysfs fs;
    FakeSysfs::Disk big = disk(7814037168);   // 4 TB, 4 KiB logical sectors
    big.logicalBlockSize = 4096;
    fs.addDisk("sda", big);
    DiskEnvGuard g(fs.env());
    GetDiskInfo();
    DriveGeometry geo;
    ASSERT_NE(QueryDriveGeometry(&geo, 0), 0);
    EXPECT_EQ(geo.bytesPerSector, 4096u);
    EXPECT_EQ(geo.mediaType, kFixedMedia);
    EXPECT_EQ(quint64(geo.cylinders) * geo.tracksPerCylinder * geo.sectorsPerTrack * geo.bytesPerSector,
              7814037168ull * 512);
    EXPECT_EQ(QueryDriveGeometry(&geo, 1), 0);
    HardDiskSerialInfo untouched;
    untouched.driveIndex = 77;
    EXPECT_FALSE(GetDriverPhysicalInfo(&untouched, 5));
    EXPECT_EQ(untouched.driveIndex, 77);
}

TEST(DiskEnum, NameOrderFollowsTheKernel)
{
    QList<QByteArray> names{"sdaa", "sdb", "nvme0n10", "sdz", "nvme0n2", "sda", "nvme1n1", "vda", "loop10", "loop2"};
    std::sort(names.begin(), names.end(), blockNameLess);
    EXPECT_EQ(names, (QList<QByteArray>{"loop2", "loop10", "nvme0n2", "nvme0n10", "nvme1n1", "sda", "sdb", "sdz",
                                        "sdaa", "vda"}));
    EXPECT_TRUE(blockNameLess("sda9", "sda10"));
    EXPECT_TRUE(blockNameLess("nvme0n1p2", "nvme0n1p11"));
    EXPECT_FALSE(blockNameLess("sda", "sda"));
}

TEST(DiskEnum, DefaultOpenCheckUsesTheDeviceNodes)
{
    // No injected check: the real read-only open runs against the fake /dev,
    // where a missing node means the device cannot be read.
    FakeSysfs fs;
    fs.addDisk("sda", disk(2048));
    fs.addPartition("sda", "sda1", 64, 900);
    fs.addPartition("sda", "sda2", 1000, 900);
    fs.addDisk("sdb", disk(2048));
    ASSERT_TRUE(QFile::remove(fs.dev() + QStringLiteral("/sda2")));
    ASSERT_TRUE(QFile::remove(fs.dev() + QStringLiteral("/sdb")));
    DiskEnumEnv env = fs.env();
    env.canOpenForRead = nullptr;
    DiskEnvGuard g(env);

    BuildDiskList();
    ASSERT_EQ(diskNamesListed(), (QList<QByteArray>{"sda"}));
    EXPECT_EQ(partNames(diskList()[0]), (QList<QByteArray>{"sda1"}));
    EXPECT_EQ(lastDiskEnumSummary().firstError, ENOENT);
}

// Needs root and loop devices: attaches a partitioned image read-only and
// checks the real enumeration finds it with its partitions.
TEST(DiskEnumRoot, ReadOnlyLoopDeviceIsListedWithItsPartitions)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to attach a loop device";
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.path() + QStringLiteral("/two-parts.img");
    {
        QByteArray bytes(8 * 1024 * 1024, '\0');
        auto entry = [&](int slot, quint32 start, quint32 count) {
            char* e = bytes.data() + 446 + 16 * slot;
            e[4] = char(0x83);
            std::memcpy(e + 8, &start, 4);
            std::memcpy(e + 12, &count, 4);
        };
        entry(0, 2048, 4096);
        entry(1, 6144, 8192);
        bytes[510] = char(0x55);
        bytes[511] = char(0xAA);
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QProcess losetup;
    losetup.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), QStringLiteral("-r"), image});
    if (!losetup.waitForFinished(10000) || losetup.exitCode() != 0)
        GTEST_SKIP() << "loop devices are not available here: "
                     << losetup.readAllStandardError().trimmed().constData();
    const QByteArray loopDev = losetup.readAllStandardOutput().trimmed();
    const QByteArray loopName = loopDev.mid(loopDev.lastIndexOf('/') + 1);
    struct Detach {
        QByteArray dev;
        ~Detach()
        {
            QProcess::execute(QStringLiteral("partx"), {QStringLiteral("-d"), QString::fromLatin1(dev)});
            QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), QString::fromLatin1(dev)});
        }
    } detach{loopDev};
    // Partition scanning may be off for loop devices; partx adds them.
    const int partx = QProcess::execute(QStringLiteral("partx"), {QStringLiteral("-a"), QString::fromLatin1(loopDev)});
    if (partx != 0 && !QFile::exists(QStringLiteral("/sys/block/") + QString::fromLatin1(loopName) + '/'
                                     + QString::fromLatin1(loopName) + QStringLiteral("p1")))
        GTEST_SKIP() << "partx could not add the partitions of " << loopDev.constData();
    // Where udev makes the device nodes, let it finish.
    QProcess::execute(QStringLiteral("udevadm"), {QStringLiteral("settle")});

    resetDiskEnumEnv();
    BuildDiskList();
    const HardDiskSerialInfo* found = nullptr;
    for (const HardDiskSerialInfo& d : diskList()) {
        if (d.deviceName == loopName)
            found = &d;
    }
    ASSERT_NE(found, nullptr) << "the attached " << loopDev.constData() << " is not listed";
    EXPECT_EQ(found->diskSize, 8u * 1024 * 1024);
    ASSERT_EQ(found->partitionCount, 2);
    EXPECT_EQ(found->partitions[0].name, loopName + "p1");
    EXPECT_EQ(found->partitions[0].startingOffset, 2048u * 512);
    EXPECT_EQ(found->partitions[0].capacity, 4096u * 512);
    EXPECT_EQ(found->partitions[1].name, loopName + "p2");
    EXPECT_EQ(found->partitions[1].capacity, 8192u * 512);
}

TEST(DiskEnum, ProbeSourceImage)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString file = tmp.path() + QStringLiteral("/disk.img");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(123457, 'z'));
    }
    qint64 size = -1;
    EXPECT_EQ(ProbeSourceImage(file, &size), 0);
    EXPECT_EQ(size, 123457);
    EXPECT_EQ(ProbeSourceImage(tmp.path() + QStringLiteral("/missing.img"), &size), ENOENT);
    EXPECT_EQ(ProbeSourceImage(tmp.path(), &size), EISDIR);
    EXPECT_EQ(ProbeSourceImage(QString(), &size), ENOENT);
    // A FIFO without a writer would block an open for reading forever.
    const QByteArray fifo = QFile::encodeName(tmp.path() + QStringLiteral("/pipe"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    EXPECT_EQ(ProbeSourceImage(QFile::decodeName(fifo), &size), ENODEV);
    EXPECT_EQ(ProbeSourceImage(QStringLiteral("/dev/null"), &size), ENODEV);
}

TEST(DiskEnum, ADiskSeeksUnlessItsQueueSaysItDoesNotRotate)
{
    FakeSysfs fs;
    fs.addDisk("sda", disk(1000, "8:0"));
    fs.addPartition("sda", "sda1", 2048, 500, "8:1");
    fs.setRotational("sda", true);
    fs.addDisk("nvme0n1", disk(1000, "259:0"));
    fs.addPartition("nvme0n1", "nvme0n1p1", 2048, 500, "259:1");
    fs.setRotational("nvme0n1", false);
    fs.addDisk("vdb", disk(1000, "252:16")); // says nothing
    for (const auto& [dev, dir] : {std::pair<QByteArray, QByteArray>{"8:0", "sda"}, {"8:1", "sda/sda1"},
                                   {"259:0", "nvme0n1"}, {"259:1", "nvme0n1/nvme0n1p1"}, {"252:16", "vdb"}})
        fs.linkDev(dev, dir);
    DiskEnvGuard g(fs.env());

    EXPECT_TRUE(blockDeviceSeeks(8, 0));
    EXPECT_TRUE(blockDeviceSeeks(8, 1));
    EXPECT_FALSE(blockDeviceSeeks(259, 0));
    EXPECT_FALSE(blockDeviceSeeks(259, 1)); // its disk's queue
    EXPECT_TRUE(blockDeviceSeeks(252, 16));
    EXPECT_TRUE(blockDeviceSeeks(7, 99)); // no such device
    EXPECT_TRUE(fileReadsSeek("/nonexistent/image.img"));
}
