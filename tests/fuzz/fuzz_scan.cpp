// Whole scans of arbitrary bytes through an in-memory device. Every fragment
// must satisfy the scan's invariants and every scan must end.
#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr qint64 MiB = 1024 * 1024;

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Walks the frames of one extent: each must start with a valid header and the
// lengths must tile the extent exactly. A frame whose header lies in the
// source may run past the source's end: it counts with its full length.
int framesIn(const QByteArray& src, qint64 start, qint64 end)
{
    int frames = 0;
    qint64 p = start;
    while (p < end) {
        if (p + 8 > src.size())
            fail("frame header past the source");
        const auto* h = reinterpret_cast<const unsigned char*>(src.constData() + p);
        if (!(h[0] == 0 && h[1] == 0 && h[2] == 1 && h[3] == 0xB7))
            fail("extent frame without magic");
        if (!((h[6] == 0x40 && h[7] == 0) || (h[6] == 0 && h[7] == 0x40)))
            fail("extent frame with a wrong variant");
        const int len = h[4] | (h[5] << 8);
        if (len == 0)
            fail("frame of length 0");
        p += len;
        ++frames;
    }
    if (p != end)
        fail("frames do not tile the extent");
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // Byte 0 places the data around one of the buffer boundaries (0, 2, 4,
    // 6 MiB) so slides and refills are exercised; byte 1 picks the range start.
    const qint64 boundary = (data[0] & 3) * 2 * MiB;
    const qint64 payload = qint64(size - 2);
    const qint64 at = std::max<qint64>(0, boundary - payload / 2);
    const qint64 sourceSize = at + payload + (data[0] & 4 ? 3 * MiB : 0);
    QByteArray src(int(sourceSize), '\0');
    std::memcpy(src.data() + at, data + 2, size_t(payload));
    const qint64 rangeStart = std::min<qint64>(sourceSize, qint64(data[1]) * 4099);

    nyxSetDeviceFactory([src](const QByteArray&) { return std::make_unique<MemoryDevice>(src); });

    QList<SFragmentFit> found;
    QList<int> serials;
    {
        CFragmentFit scan;
        QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                         [&](SFragmentFit f, int serial) { found.append(f); serials.append(serial); },
                         Qt::DirectConnection);
        scan.setDevicePath("\\\\.\\fuzz/source");
        scan.setRange(rangeStart, sourceSize);
        scan.start();
        scan.wait();
        if (scan.stopFlags() != 22873)
            fail("scan did not finish with both stop bytes set");
    }
    nyxSetDeviceFactory(nullptr);

    const qint64 alignedStart = rangeStart & ~qint64(511);
    qint64 lastEnd = -1;
    for (int k = 0; k < found.size(); ++k) {
        const SFragmentFit& f = found[k];
        if (k > 0 && serials[k] != serials[k - 1] + 1)
            fail("serials not consecutive");
        if (!f.extents || f.extents->isEmpty())
            fail("fragment without extents");
        qint64 sum = 0;
        int frames = 0;
        for (int x = 0; x < f.extents->size(); ++x) {
            const SExtent& e = f.extents->at(x);
            // Only a fragment's last extent can end in a frame cut off by the end.
            const bool last = x + 1 == f.extents->size();
            if (e.start < alignedStart || (e.end > sourceSize && !last) || e.start >= sourceSize
                || e.start >= e.end) {
                fprintf(stderr, "extent [%lld, %lld) of a %lld-byte source scanned from %lld\n",
                        (long long)e.start, (long long)e.end, (long long)sourceSize, (long long)alignedStart);
                fail("extent outside the source or empty");
            }
            if (e.start < lastEnd)
                fail("extents not ascending or overlapping");
            lastEnd = e.end;
            sum += e.end - e.start;
            frames += framesIn(src, e.start, e.end);
        }
        if (sum != f.totalBytes)
            fail("extent lengths do not sum to the bytes");
        if (frames != f.frameCount)
            fail("frame count wrong");
    }
    return 0;
}
