// How long opening the disk dialog holds the GUI thread in the enumeration:
// this machine's real /sys, and a fake tree of 16 disks with 26 partitions
// each, every partition mounted (the worst realistic case).
#include "support/FakeSysfs.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The enumeration prints a line per device; keep it out of the report.
struct QuietStdout {
    int saved;
    QuietStdout()
    {
        std::fflush(stdout);
        saved = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
    }
};
} // namespace

static void BM_BuildDiskList_ThisMachine(benchmark::State& state)
{
    resetDiskEnumEnv();
    QuietStdout quiet;
    for (auto _ : state) {
        BuildDiskList();
        benchmark::DoNotOptimize(diskList().size());
    }
}
BENCHMARK(BM_BuildDiskList_ThisMachine)->Unit(benchmark::kMillisecond);

static void BM_BuildDiskList_16Disks416Partitions(benchmark::State& state)
{
    FakeSysfs fs;
    QTemporaryDir mnt;
    for (int d = 0; d < 16; ++d) {
        const QByteArray disk = "sd" + QByteArray(1, char('a' + d));
        FakeSysfs::Disk info;
        info.sectors = 7814037168ull;
        info.dev = "8:" + QByteArray::number(d * 16);
        info.model = "WDC WD40PURZ-85TTDY0";
        fs.addDisk(disk, info);
        for (int p = 1; p <= 26; ++p) {
            const QByteArray devNo = QByteArray::number(100 + d) + ':' + QByteArray::number(p);
            fs.addPartition(disk, disk + QByteArray::number(p), quint64(p) * 2048, 2048, devNo);
            fs.addMount(devNo, QFile::encodeName(mnt.path()), "/dev/" + disk + QByteArray::number(p));
        }
    }
    DiskEnvGuard g(fs.env());
    {
        QuietStdout quiet;
        for (auto _ : state) {
            BuildDiskList();
            benchmark::DoNotOptimize(diskList().size());
        }
    }
    state.counters["disks"] = double(diskList().size());
}
BENCHMARK(BM_BuildDiskList_16Disks416Partitions)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
