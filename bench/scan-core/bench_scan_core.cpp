// Whole-scan throughput against the page cache: writes an image of random
// data with recordings in it (default 1 GiB in /tmp), warms the cache, then
// times `cat image > /dev/null` and a CFragmentFit scan of the same image and
// prints both rates and their ratio, with the peak memory of the process.
//
//   bench_scan_core [--size MiB] [--dir DIR] [--keep] [--repeat N]
// --keep leaves the image in place and reuses one of the right size.

#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"

#include <QByteArray>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

double seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long peakRssKiB()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Recordings in an image written earlier by this program.
qint64 recordingsIn(qint64 size) { return (size + (8 << 20) - 1) / (8 << 20); }

// Random bytes with a recording of back-to-back frames every few MiB.
bool writeImage(const std::string& path, qint64 size, qint64* expectedFragments)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    std::mt19937_64 rng(7);
    std::vector<unsigned char> block(8 << 20);
    qint64 fragments = 0;
    for (qint64 done = 0; done < size;) {
        for (size_t i = 0; i < block.size(); i += 8) {
            const unsigned long long v = rng();
            std::memcpy(&block[i], &v, 8);
        }
        // One recording of ~1 MiB per 8 MiB block, at an odd offset.
        size_t at = 1000 + rng() % 4096;
        const size_t stop = at + (1 << 20);
        int variant = 0;
        while (at < stop) {
            const unsigned len = 1000 + rng() % 60000;
            const unsigned char h[8] = {0, 0, 1, 0xB7, (unsigned char)len, (unsigned char)(len >> 8),
                                        (unsigned char)(variant ? 0 : 0x40), (unsigned char)(variant ? 0x40 : 0)};
            std::memcpy(&block[at], h, 8);
            variant ^= 1;
            at += len;
        }
        ++fragments;
        const size_t n = size_t(std::min<qint64>(qint64(block.size()), size - done));
        if (std::fwrite(block.data(), 1, n, f) != n) {
            std::perror(path.c_str());
            std::fclose(f);
            return false;
        }
        done += qint64(n);
    }
    *expectedFragments = fragments;
    return std::fclose(f) == 0;
}

double timeCat(const std::string& path)
{
    const std::string cmd = "cat '" + path + "' > /dev/null";
    const double t0 = seconds();
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "cat failed\n");
    return seconds() - t0;
}

double timeScan(const std::string& path, qint64 size, qint64* fragments)
{
    CFragmentFit scan;
    std::atomic<qint64> count{0};
    QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                     [&](SFragmentFit, int) { ++count; }, Qt::DirectConnection);
    const QByteArray device = nyxDevicePathForName(QByteArray::fromStdString(path));
    scan.setDevicePath(device.constData());
    scan.setRange(0, size);
    const double t0 = seconds();
    scan.start();
    scan.wait();
    const double t = seconds() - t0;
    if (scan.lastError())
        std::fprintf(stderr, "scan failed: %s\n", std::strerror(scan.lastError()));
    *fragments = count;
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    qint64 sizeMiB = 1024;
    std::string dir = "/tmp";
    bool keep = false;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size" && i + 1 < argc)
            sizeMiB = std::atoll(argv[++i]);
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: %s [--size MiB] [--dir DIR] [--keep] [--repeat N]\n", argv[0]);
            return 2;
        }
    }
    const qint64 size = sizeMiB << 20;
    const std::string path = dir + "/corvotkl-scan-core-" + std::to_string(sizeMiB) + ".img";
    qint64 expected = 0;
    struct stat st {};
    if (keep && ::stat(path.c_str(), &st) == 0 && st.st_size == size) {
        expected = recordingsIn(size);
    } else {
        std::fprintf(stderr, "writing %lld MiB to %s\n", (long long)sizeMiB, path.c_str());
        if (!writeImage(path, size, &expected))
            return 1;
    }
    const long rssBefore = peakRssKiB();

    timeCat(path); // warm the page cache
    double cat = 1e30, scan = 1e30;
    qint64 found = 0;
    for (int r = 0; r < repeat; ++r) {
        cat = std::min(cat, timeCat(path));
        scan = std::min(scan, timeScan(path, size, &found));
    }
    const double mb = double(size) / 1e6;
    std::printf("image          %lld MiB, %lld recordings, %lld fragments found\n", (long long)sizeMiB,
                (long long)expected, (long long)found);
    std::printf("cat            %8.0f MB/s\n", mb / cat);
    std::printf("scan           %8.0f MB/s\n", mb / scan);
    std::printf("scan / cat     %8.2f\n", cat / scan);
    std::printf("peak RSS       %ld KiB (before scanning %ld KiB)\n", peakRssKiB(), rssBefore);
    if (!keep)
        ::unlink(path.c_str());
    return found == expected ? 0 : 1;
}
