#include "support/ScanHarness.h"

#include <algorithm>
#include <cstring>

const char* const kTestDevicePath = "\\\\.\\memdisk";

namespace {

QByteArray makeNoise(qint64 size, quint64 seed)
{
    QByteArray image(int(size), Qt::Uninitialized);
    char* p = image.data();
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    qint64 i = 0;
    for (; i + 8 <= size; i += 8) {
        // splitmix64
        quint64 z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        std::memcpy(p + i, &z, 8);
    }
    for (; i < size; ++i)
        p[i] = 0x5A;
    std::replace(p, p + size, char(0xB7), char(0xB6));
    return image;
}

} // namespace

QByteArray noiseImage(qint64 size, quint32 seed)
{
    // Images are slices of one block of noise made once per process.
    static const QByteArray master = makeNoise(64 * MiB, 1);
    if (size > master.size() / 2)
        return makeNoise(size, seed);
    const qint64 offset = qint64(seed % 4093) * 8192 % (master.size() - size + 1);
    return QByteArray(master.constData() + offset, int(size));
}

QByteArray zeroImage(qint64 size) { return QByteArray(int(size), '\0'); }

void putHeader(QByteArray& image, qint64 at, int length, int variant)
{
    const unsigned char h[8] = {0x00, 0x00, 0x01, 0xB7, (unsigned char)(length & 0xff), (unsigned char)(length >> 8),
                                (unsigned char)(variant == 1 ? 0x40 : 0x00), (unsigned char)(variant == 1 ? 0x00 : 0x40)};
    for (int k = 0; k < 8; ++k)
        if (at + k >= 0 && at + k < image.size())
            image[int(at + k)] = char(h[k]);
}

qint64 putRun(QByteArray& image, qint64 at, const std::vector<int>& lengths)
{
    int v = 1;
    for (int len : lengths) {
        putHeader(image, at, len, v);
        v = 3 - v;
        at += len;
    }
    return at;
}

void FragmentSink::attach(CFragmentFit& scan)
{
    QObject::connect(
        &scan, &CFragmentFit::TransmitAddFragmentList, &scan,
        [this](SFragmentFit f, int serial) {
            std::lock_guard<std::mutex> g(m_mutex);
            m_sent.push_back({f, serial});
        },
        Qt::DirectConnection);
}

std::vector<SentFragment> FragmentSink::take() const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_sent;
}

size_t FragmentSink::count() const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_sent.size();
}

ScanResult runScan(const std::shared_ptr<FaultPlan>& plan, qint64 start, qint64 end, const ScanGeometry& geometry)
{
    ScopedFaultDevices devices(plan);
    ScanResult result;
    TestScan scan(geometry);
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath(kTestDevicePath);
    EXPECT_EQ(scan.setRange(start, end), 0);
    {
        ScanWorker worker(scan);
        worker.start();
        result.ended = worker.wait(60000);
        if (!result.ended)
            ADD_FAILURE() << "scan of [" << start << ", " << end << ") did not end";
    }
    result.sent = sink.take();
    result.stopFlags = scan.stopFlags();
    result.lastError = scan.lastError();
    result.unreadable = scan.unreadableBytes();
    result.untried = scan.untriedBytes();
    result.unreadableRanges = scan.unreadableRanges();
    result.untriedRanges = scan.untriedRanges();
    result.reads = plan->reads();
    EXPECT_EQ(plan->created(), plan->deleted()) << "every device handle is deleted";
    return result;
}

std::vector<SExtent> readableFromLog(const std::vector<FaultRead>& reads)
{
    std::vector<SExtent> spans;
    for (const FaultRead& r : reads) {
        const qint64 got = std::min<qint64>(r.result, r.count);
        if (got > 0)
            spans.push_back({r.offset, r.offset + got});
    }
    std::sort(spans.begin(), spans.end(), [](const SExtent& a, const SExtent& b) { return a.start < b.start; });
    std::vector<SExtent> out;
    for (const SExtent& e : spans) {
        if (!out.empty() && out.back().end >= e.start)
            out.back().end = std::max(out.back().end, e.end);
        else
            out.push_back(e);
    }
    return out;
}

std::vector<ExpectedFragment> expectedFragments(const QByteArray& image, qint64 start,
                                                const std::vector<SExtent>& readable)
{
    std::vector<ExpectedFragment> out;
    bool open = false;
    ExpectedFragment cur;
    qint64 p = start & ~qint64(511);
    const auto* bytes = reinterpret_cast<const unsigned char*>(image.constData());
    for (const SExtent& area : readable) {
        p = std::max(p, area.start);
        const qint64 stop = std::min<qint64>(area.end, image.size());
        while (p + 8 <= stop) {
            // Only a B7 three bytes on can make a header here.
            const void* b7 = std::memchr(bytes + p + 3, 0xB7, size_t(stop - 7 - p));
            if (!b7)
                break;
            p = static_cast<const unsigned char*>(b7) - bytes - 3;
            qint32 at = 0;
            FrameInfo info;
            if (!referenceFindFrameHeader(bytes + p, 4, at, info)) {
                ++p;
                continue;
            }
            const qint64 u = p + info.length;
            if (open && cur.extents.back().end == p) {
                cur.extents.back().end = u;
                cur.bytes += info.length;
                ++cur.frames;
            } else {
                if (open)
                    out.push_back(cur);
                cur = ExpectedFragment{{SExtent{p, u}}, info.length, 1};
                open = true;
            }
            p = u;
        }
    }
    if (open && cur.bytes > 512)
        out.push_back(cur);
    return out;
}

void checkInvariants(const QByteArray& image, const ScanResult& result)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(image.constData());
    int previousSerial = -1;
    for (const SentFragment& s : result.sent) {
        const SFragmentFit& f = s.fragment;
        if (previousSerial >= 0) {
            EXPECT_EQ(s.serial, previousSerial + 1) << "serials rise by one";
        }
        previousSerial = s.serial;
        EXPECT_EQ(f.diskName, QByteArray("memdisk"));
        EXPECT_EQ(f.formatCode, 14);
        EXPECT_EQ(f.stream, 0);
        EXPECT_EQ(f.firstTime, 0u);
        EXPECT_EQ(f.lastTime, 0u);
        ASSERT_TRUE(f.extents);
        ASSERT_FALSE(f.extents->isEmpty());
        qint64 sum = 0;
        int frames = 0;
        qint64 previousEnd = -1;
        for (const SExtent& e : *f.extents) {
            EXPECT_LT(e.start, e.end);
            EXPECT_GT(e.start, previousEnd) << "extents ascending and apart";
            previousEnd = e.end;
            sum += e.end - e.start;
            // The extent is a whole number of frames, header to header.
            qint64 p = e.start;
            while (p < e.end) {
                qint32 at = 0;
                FrameInfo info;
                const bool header = p + 8 <= image.size() && referenceFindFrameHeader(bytes + p, 4, at, info);
                ASSERT_TRUE(header) << "no frame header at " << p << " inside extent [" << e.start << ", " << e.end << ")";
                p += info.length;
                ++frames;
            }
            EXPECT_EQ(p, e.end) << "extent ends at a frame end";
        }
        EXPECT_EQ(sum, f.totalBytes);
        EXPECT_EQ(frames, f.frameCount);
    }
}

void expectSame(const std::vector<ExpectedFragment>& expected, const ScanResult& result)
{
    ASSERT_EQ(result.sent.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        const SFragmentFit& f = result.sent[k].fragment;
        const ExpectedFragment& e = expected[k];
        ASSERT_EQ(size_t(f.extents->size()), e.extents.size()) << "fragment " << k;
        for (size_t j = 0; j < e.extents.size(); ++j) {
            EXPECT_EQ(f.extents->at(int(j)).start, e.extents[j].start) << "fragment " << k << " extent " << j;
            EXPECT_EQ(f.extents->at(int(j)).end, e.extents[j].end) << "fragment " << k << " extent " << j;
        }
        EXPECT_EQ(f.totalBytes, e.bytes) << "fragment " << k;
        EXPECT_EQ(f.frameCount, e.frames) << "fragment " << k;
    }
}
