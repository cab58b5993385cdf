// Whole scans of arbitrary bytes through an in-memory device that may fail
// like a damaged disk. Every fragment must satisfy the scan's invariants,
// every scan must end, and what could not be read must be accounted for
// exactly. One scanner (and so one mapped buffer) serves every input, and
// the source is one zeroed block with the input copied in and out, so an
// input costs its scan and nothing else. Most inputs are scanned through a
// buffer of a few KiB, so the input spans many refills; one in 64 through
// the real 6 MiB one.
#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 kMaxLen = 65536;
constexpr qint64 kMaxSource = 6 * MiB + kMaxLen + 3 * MiB + 1;

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Bad {
    qint64 start, end;
    int error;
};

// The current input's source: a prefix of one zeroed block, and its bad areas.
struct Source {
    std::vector<char> bytes = std::vector<char>(size_t(kMaxSource), 0);
    qint64 size = 0;
    std::vector<Bad> bad;
};
Source& source()
{
    static Source s;
    return s;
}

class FuzzDevice : public NyxCIOSystemDevice {
public:
    int open(std::uint32_t, int) override { return 0; }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        const Source& s = source();
        for (const Bad& b : s.bad)
            if (offset < b.end && offset + count > b.start)
                return -(m_error = b.error);
        if (offset < 0)
            return -(m_error = EINVAL);
        if (offset >= s.size)
            return 0;
        const std::int64_t n = std::min<std::int64_t>(count, s.size - offset);
        std::memcpy(dst, s.bytes.data() + offset, size_t(n));
        return n;
    }
    std::int64_t size() const override { return source().size; }
    int lastError() const override { return m_error; }

private:
    int m_error = 0;
};

class FuzzScan : public CFragmentFit {
public:
    explicit FuzzScan(const ScanGeometry& g) : CFragmentFit(g) {}
    void runHere() { run(); }
};

ScanGeometry smallGeometry()
{
    ScanGeometry g;
    g.data = 24 * 1024;
    g.chunk = 8 * 1024;
    g.slack = 4 * 1024;
    g.probeCap = 32 * 1024;
    return g;
}

// Walks the frames of one extent: each must start with a valid header read
// from the device (not inside a bad area) and the lengths must tile the
// extent exactly. A frame whose header lies in the source may run past the
// source's end: it counts with its full length.
int framesIn(const Source& src, qint64 start, qint64 end)
{
    int frames = 0;
    qint64 p = start;
    while (p < end) {
        if (p + 8 > src.size)
            fail("frame header past the source");
        for (const Bad& b : src.bad)
            if (p < b.end && p + 8 > b.start)
                fail("frame header inside an unreadable area: an offset shifted");
        const auto* h = reinterpret_cast<const unsigned char*>(src.bytes.data() + p);
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

// Ranges ascending, apart from each other, inside [from, to); their total.
qint64 checkRanges(const std::vector<SourceRange>& ranges, qint64 from, qint64 to)
{
    qint64 total = 0, last = from;
    for (const SourceRange& r : ranges) {
        if (r.start < last || r.end <= r.start || r.end > to)
            fail("missing ranges not ascending, overlapping or outside the range");
        last = r.end;
        total += r.size();
    }
    return total;
}

bool covered(const std::vector<SourceRange>& a, const std::vector<SourceRange>& b, qint64 start, qint64 end)
{
    // Every byte of [start, end) lies in a range of a or of b.
    std::vector<SourceRange> all(a);
    all.insert(all.end(), b.begin(), b.end());
    std::sort(all.begin(), all.end(), [](const SourceRange& x, const SourceRange& y) { return x.start < y.start; });
    qint64 p = start;
    for (const SourceRange& r : all) {
        if (r.start > p)
            break;
        p = std::max(p, r.end);
        if (p >= end)
            return true;
    }
    return p >= end;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || qint64(size) - 2 > kMaxLen)
        return 0;
    // One in 64 inputs goes through the real buffer, the rest through a small one.
    static FuzzScan* const small = [] {
        nyxSetDeviceFactory([](const QByteArray&) { return std::make_unique<FuzzDevice>(); });
        return new FuzzScan(smallGeometry());
    }();
    static FuzzScan* const real = new FuzzScan(ScanGeometry());
    const bool full = (data[1] & 0x3F) == 0x3F;
    FuzzScan* scan = full ? real : small;
    const qint64 chunk = full ? ScanGeometry().chunk : smallGeometry().chunk;
    const qint64 unit = chunk / 128;

    // Byte 0 places the data around one of the buffer boundaries (0, 1, 2, 3
    // chunks) so slides and refills are exercised (bits 0-1), may add 1.5
    // chunks after it (bit 2), and picks the faults (bits 3-7); byte 1 picks
    // the range start and where the faults lie.
    const qint64 boundary = (data[0] & 3) * chunk;
    const qint64 payload = qint64(size - 2);
    const qint64 at = std::max<qint64>(0, boundary - payload / 2);
    Source& src = source();
    src.size = at + payload + (data[0] & 4 ? 3 * chunk / 2 : 0);
    std::memcpy(src.bytes.data() + at, data + 2, size_t(payload));
    const qint64 rangeStart = std::min<qint64>(src.size, qint64(data[1]) * 4099 % (2 * chunk));

    src.bad.clear();
    const int faults = (data[0] >> 3) & 3;
    const qint64 spot = std::max<qint64>(0, at + (qint64(data[1]) * 257 + (data[0] >> 5) * 4093) % std::max<qint64>(1, payload) - 600);
    if (faults >= 1) // a few sectors, not aligned
        src.bad.push_back({spot, spot + 1 + (data[1] % 9) * 512, EIO});
    if (faults >= 2) { // a larger area later on, at times beyond every probe
        const qint64 from = spot + chunk / 2 + (data[0] >> 5) * 35 * unit;
        src.bad.push_back({from, from + std::max<qint64>(1, qint64(data[1]) * 4 * unit), EIO});
    }
    if (faults == 3 && (data[1] & 1)) // the device goes away there instead
        src.bad.back().error = ENODEV;

    QList<SFragmentFit> found;
    QList<int> serials;
    const QMetaObject::Connection c = QObject::connect(
        scan, &CFragmentFit::TransmitAddFragmentList, scan,
        [&](SFragmentFit f, int serial) { found.append(f); serials.append(serial); }, Qt::DirectConnection);
    scan->setDevicePath("\\\\.\\fuzz/source");
    scan->setRange(rangeStart, src.size);
    scan->runHere();
    QObject::disconnect(c);
    if (scan->stopFlags() != 22873)
        fail("scan did not finish with both stop bytes set");

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
            if (e.start < alignedStart || (e.end > src.size && !last) || e.start >= src.size || e.start >= e.end) {
                fprintf(stderr, "extent [%lld, %lld) of a %lld-byte source scanned from %lld\n", (long long)e.start,
                        (long long)e.end, (long long)src.size, (long long)alignedStart);
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

    // What could not be read is accounted for exactly.
    const std::vector<SourceRange> unreadable = scan->unreadableRanges();
    const std::vector<SourceRange> untried = scan->untriedRanges();
    const qint64 end = src.size;
    if (checkRanges(unreadable, alignedStart, end) != scan->unreadableBytes())
        fail("unreadable ranges do not sum to the unreadable bytes");
    if (checkRanges(untried, alignedStart, end) != scan->untriedBytes())
        fail("untried ranges do not sum to the untried bytes");
    for (const SourceRange& r : unreadable) {
        bool bad = false;
        for (const Bad& b : src.bad)
            bad = bad || (r.start < b.end && r.end > b.start);
        if (!bad)
            fail("a readable range reported unreadable");
    }
    if (scan->lastError() == 0 && alignedStart < end) {
        if (scan->readBytes() + scan->unreadableBytes() + scan->untriedBytes() != end - alignedStart)
            fail("read, unreadable and untried bytes do not cover the range exactly");
        for (const Bad& b : src.bad) {
            const qint64 s = std::max(b.start, alignedStart), e = std::min(b.end, end);
            if (s < e && !covered(unreadable, untried, s, e))
                fail("bytes of a bad area counted as read");
        }
    } else if (scan->lastError() != 0 && scan->lastError() != ENODEV && scan->lastError() != EIO
               && !(scan->lastError() == ENOMEDIUM && src.size == 0)) {
        fail("an unexpected reason to end");
    }

    std::memset(src.bytes.data() + at, 0, size_t(payload));
    return 0;
}
