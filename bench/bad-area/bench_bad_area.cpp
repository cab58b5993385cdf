// Scan time across a bad area: an in-memory image read through a device that
// waits a fixed time per request (a disk's seek and command latency) and fails
// every request touching an unreadable stretch, scanned once whole and once
// with the stretch, with the ratio of the two times, the requests made and the
// bytes the scan could not read.
//
//   bench_bad_area [--size MiB] [--bad MiB] [--delay ms] [--repeat N]
// Defaults: a 256 MiB image, a 40 MiB stretch from 100 MiB + 3.5 KiB, 5 ms,
// the best of 3 runs each (other work on the machine only ever adds time).

#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"

#include <QByteArray>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr qint64 MiB = 1048576;

double seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Setup {
    QByteArray image;
    qint64 badFrom = 0, badTo = 0;
    int delayMs = 5;
    std::atomic<int> requests{0};
};
Setup* g_setup = nullptr;

class SlowDevice : public NyxCIOSystemDevice {
public:
    int open(std::uint32_t, int) override { return 0; }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        ++g_setup->requests;
        // The latency of one request to a disk, not a measurement.
        std::this_thread::sleep_for(std::chrono::milliseconds(g_setup->delayMs));
        if (offset < g_setup->badTo && offset + count > g_setup->badFrom)
            return -(m_error = EIO);
        const qint64 size = g_setup->image.size();
        if (offset >= size)
            return 0;
        const qint64 n = std::min<qint64>(count, size - offset);
        std::memcpy(dst, g_setup->image.constData() + offset, size_t(n));
        return n;
    }
    std::int64_t size() const override { return g_setup->image.size(); }
    int lastError() const override { return m_error; }

private:
    int m_error = 0;
};

// Random bytes with a recording of back-to-back frames every 2 MiB.
QByteArray makeImage(qint64 size)
{
    QByteArray image(int(size), Qt::Uninitialized);
    std::mt19937_64 rng(11);
    for (qint64 i = 0; i + 8 <= size; i += 8) {
        const unsigned long long v = rng();
        std::memcpy(image.data() + i, &v, 8);
    }
    for (qint64 base = 0; base + 2 * MiB <= size; base += 2 * MiB) {
        qint64 at = base + 1000;
        int variant = 0;
        while (at < base + MiB) {
            const unsigned len = 1000 + unsigned(rng() % 60000);
            const unsigned char h[8] = {0, 0, 1, 0xB7, (unsigned char)len, (unsigned char)(len >> 8),
                                        (unsigned char)(variant ? 0 : 0x40), (unsigned char)(variant ? 0x40 : 0)};
            std::memcpy(image.data() + at, h, 8);
            variant ^= 1;
            at += len;
        }
    }
    return image;
}

struct Run {
    double seconds;
    int requests;
    int fragments;
    qint64 unreadable, untried;
};

Run scanOnce(Setup& s)
{
    s.requests = 0;
    CFragmentFit scan;
    std::atomic<int> fragments{0};
    QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                     [&](SFragmentFit, int) { ++fragments; }, Qt::DirectConnection);
    scan.setDevicePath("\\\\.\\bench/bad-area");
    scan.setRange(0, s.image.size());
    const double t0 = seconds();
    scan.start();
    scan.wait();
    const double t = seconds() - t0;
    if (scan.lastError())
        std::fprintf(stderr, "scan ended with %s\n", std::strerror(scan.lastError()));
    return {t, s.requests.load(), fragments.load(), scan.unreadableBytes(), scan.untriedBytes()};
}

} // namespace

int main(int argc, char** argv)
{
    qint64 sizeMiB = 256, badMiB = 40;
    int repeat = 3;
    Setup s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--size")
            sizeMiB = std::atoll(argv[i + 1]);
        else if (a == "--bad")
            badMiB = std::atoll(argv[i + 1]);
        else if (a == "--delay")
            s.delayMs = std::atoi(argv[i + 1]);
        else if (a == "--repeat")
            repeat = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: bench_bad_area [--size MiB] [--bad MiB] [--delay ms] [--repeat N]\n");
            return 2;
        }
    }
    if (sizeMiB < badMiB + 120 || badMiB < 0 || s.delayMs < 0) {
        std::fprintf(stderr, "bench_bad_area: --size must exceed --bad by at least 120 MiB\n");
        return 2;
    }
    s.image = makeImage(sizeMiB * MiB);
    g_setup = &s;
    nyxSetDeviceFactory([](const QByteArray&) { return std::make_unique<SlowDevice>(); });

    auto best = [&](int n) {
        Run r = scanOnce(s);
        for (int k = 1; k < n; ++k) {
            const Run again = scanOnce(s);
            if (again.seconds < r.seconds)
                r = again;
        }
        return r;
    };
    const Run clean = best(repeat);
    s.badFrom = 100 * MiB + 3584;
    s.badTo = s.badFrom + badMiB * MiB;
    const Run bad = best(repeat);

    std::printf("image %lld MiB, %d ms per request, in-process device\n", (long long)sizeMiB, s.delayMs);
    std::printf("whole:     %.3f s  %4d requests  %d fragments\n", clean.seconds, clean.requests, clean.fragments);
    std::printf("%3lld MiB bad: %.3f s  %4d requests  %d fragments  %lld bytes unreadable, %lld untried (%lld lost of %lld bad)\n",
                (long long)badMiB, bad.seconds, bad.requests, bad.fragments, (long long)bad.unreadable,
                (long long)bad.untried, (long long)(bad.unreadable + bad.untried), (long long)(s.badTo - s.badFrom));
    std::printf("ratio:     %.2f x\n", bad.seconds / clean.seconds);
    return 0;
}
