// The CLI's scan, in process: generated images of many sizes and seeds
// through the engine's scan thread, compared with their ground truth.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"
#include "tools/cli/CliScan.h"
#include "tools/cli/FragmentJson.h"
#include "tools/imagegen/ImageGen.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

using namespace imagegen;

namespace {

const qint64 MiB = 1024 * 1024;

// Reads fail with EIO inside [badFrom, badTo); open fails with openError.
class FaultyDevice : public MemoryDevice {
public:
    FaultyDevice(QByteArray bytes, int openError, qint64 badFrom, qint64 badTo)
        : MemoryDevice(std::move(bytes)), m_openError(openError), m_badFrom(badFrom), m_badTo(badTo)
    {
    }
    int open(std::uint32_t a, int m) override { return m_openError ? m_openError : MemoryDevice::open(a, m); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (offset < m_badTo && offset + count > m_badFrom) {
            m_error = EIO;
            return -EIO;
        }
        return MemoryDevice::readFrom(dst, offset, count);
    }
    int lastError() const override { return m_error; }

private:
    int m_openError;
    qint64 m_badFrom, m_badTo;
    int m_error = 0;
};

struct Captured {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = nullptr;
    Captured() { f = open_memstream(&buf, &len); }
    ~Captured()
    {
        if (f)
            std::fclose(f);
        std::free(buf);
    }
    QByteArray text()
    {
        std::fflush(f);
        return QByteArray(buf, int(len));
    }
};

struct ScanRun {
    int exitCode = -1;
    bool started = false;
    int firstSerialBase = 0;
    Truth found;       // serials relative to the scan's first
    QList<int> rawSerials;
    QByteArray out, err;
    QByteArray disk;
};

ScanRun scanImage(const QByteArray& image, qint64 start = -1, qint64 end = -1, bool json = true,
              int openError = 0, qint64 badFrom = 0, qint64 badTo = 0)
{
    static CliReadErrors readErrors;
    nyxSetDeviceFactory(cliWatchingFactory(
        [=](const QByteArray&) {
            return std::unique_ptr<NyxCIOSystemDevice>(new FaultyDevice(image, openError, badFrom, badTo));
        },
        &readErrors));
    CliOptions o;
    o.command = "scan";
    o.source = "/images/test.img";
    o.json = json;
    if (start >= 0) {
        o.start = start;
        o.hasStart = true;
    }
    if (end >= 0) {
        o.end = end;
        o.hasEnd = true;
    }
    ScanRun r;
    Captured out, err;
    {
        CliScan scan(o, out.f, err.f);
        scan.watchReads(&readErrors);
        scan.keepFragments(true);
        r.firstSerialBase = CFragmentFit::fragmentSerial.load();
        r.started = scan.start();
        if (r.started) {
            QEventLoop loop;
            QObject::connect(&scan, &CliScan::done, &loop, &QEventLoop::exit);
            QTimer::singleShot(120000, &loop, [&] { loop.exit(-99); });
            r.exitCode = loop.exec();
        } else {
            r.exitCode = scan.exitCode();
        }
        for (const CliFragment& f : scan.fragments()) {
            TruthFragment t;
            t.serial = f.serial - r.firstSerialBase;
            t.format = f.fragment.formatCode;
            t.stream = f.fragment.stream;
            t.firstTime = f.fragment.firstTime;
            t.lastTime = f.fragment.lastTime;
            t.totalBytes = f.fragment.totalBytes;
            t.frameCount = f.fragment.frameCount;
            if (f.fragment.extents)
                t.extents = *f.fragment.extents;
            r.found.push_back(t);
            r.rawSerials.push_back(f.serial);
            r.disk = f.fragment.diskName;
        }
    }
    nyxSetDeviceFactory(nullptr);
    r.out = out.text();
    r.err = err.text();
    return r;
}

void expectConsistent(const Truth& found)
{
    for (const TruthFragment& f : found) {
        qint64 sum = 0;
        for (int i = 0; i < f.extents.size(); ++i) {
            EXPECT_LT(f.extents[i].start, f.extents[i].end);
            if (i) {
                EXPECT_LE(f.extents[i - 1].end, f.extents[i].start);
            }
            sum += f.extents[i].end - f.extents[i].start;
        }
        EXPECT_EQ(sum, f.totalBytes) << "fragment " << f.serial << ": extents do not add up to its bytes";
        EXPECT_GE(qint64(f.frameCount), 1);
    }
}

} // namespace

TEST(CliScan, GeneratedImagesMatchTheirTruth)
{
    const qint64 sizes[] = {512,        1000,          600 * 1000,  2 * MiB,     2 * MiB + 1, 4 * MiB - 100,
                            6 * MiB - 3, 6 * MiB,      6 * MiB + 512, 8 * MiB + 4, 13 * MiB + 517, 31 * MiB + 1};
#ifdef __SANITIZE_THREAD__
    // Every size once: its scan's threads are what ThreadSanitizer looks at,
    // and every byte costs it many times over. The other builds take 4 seeds.
    const quint64 seeds = 1;
#else
    const quint64 seeds = 4;
#endif
    int scans = 0, fragments = 0;
    for (qint64 size : sizes) {
        for (quint64 seed = 1; seed <= seeds; ++seed) {
            Truth truth;
            const QByteArray image = generateImageBytes(size, seed * 1000 + quint64(size % 97), &truth);
            const ScanRun r = scanImage(image);
            ASSERT_TRUE(r.started);
            ASSERT_EQ(r.exitCode, 0) << r.err.constData();
            ASSERT_EQ(describeDifference(truth, r.found), QString()) << "size " << size << " seed " << seed;
            expectConsistent(r.found);
            // The JSON lines say the same.
            Truth printed;
            QString error;
            ASSERT_TRUE(parseJsonLines(r.out, &printed, &error)) << error.toStdString();
            for (TruthFragment& f : printed)
                f.serial -= r.firstSerialBase;
            EXPECT_EQ(describeDifference(truth, printed), QString());
            if (!truth.isEmpty()) {
                EXPECT_EQ(r.disk, QByteArray("/images/test.img"));
            }
            EXPECT_TRUE(r.err.contains(": " + QByteArray::number(truth.size()) + " fragments,")) << r.err.constData();
            ++scans;
            fragments += truth.size();
        }
    }
    EXPECT_EQ(scans, 12 * int(seeds));
    EXPECT_GT(fragments, 125 * int(seeds));
}

TEST(CliScan, RangesMatchTheReferenceScan)
{
    int ranges = 0, partialFirst = 0;
    for (quint64 seed = 1; seed <= 6; ++seed) {
        Truth truth;
        const QByteArray image = generateImageBytes(11 * MiB + 333, seed, &truth);
        ASSERT_GT(truth.size(), 6);
        for (int k = 0; k < 5; ++k) {
            const TruthFragment& a = truth[int((seed + k * 5) % quint64(truth.size() - 3))];
            const TruthFragment& b = truth[int((seed + k * 5) % quint64(truth.size() - 3)) + 2];
            // Start inside a recording (its frames before the start are not
            // seen) or right on its first header; end 8 or more bytes past
            // another fragment, where no header straddles the end.
            const qint64 start = k % 2 ? a.extents[0].start
                                       : a.extents[0].start + (a.extents[0].end - a.extents[0].start) / 2;
            qint64 end = b.extents[0].end + 8 + k;
            const auto* d = reinterpret_cast<const unsigned char*>(image.constData());
            auto magicNear = [&](qint64 e) {
                for (qint64 p = e - 8; p < e; ++p)
                    if (p >= 0 && p + 4 <= image.size() && d[p] == 0 && d[p + 1] == 0 && d[p + 2] == 1 && d[p + 3] == 0xB7)
                        return true;
                return false;
            };
            while (magicNear(end))
                ++end;
            const Truth expected = referenceScan(image, start, end);
            const ScanRun r = scanImage(image, start, end);
            ASSERT_EQ(r.exitCode, 0) << r.err.constData();
            ASSERT_EQ(describeDifference(expected, r.found), QString())
                << "seed " << seed << " range " << start << ".." << end;
            expectConsistent(r.found);
            ++ranges;
            if (!expected.isEmpty() && expected[0].extents[0].start > a.extents[0].start)
                ++partialFirst;
        }
    }
    EXPECT_EQ(ranges, 30);
    EXPECT_GT(partialFirst, 5);
}

TEST(CliScan, AFrameRunningPastTheRangeEndCountsWhole)
{
    QByteArray image(3 * MiB, '\x5A');
    auto* d = reinterpret_cast<unsigned char*>(image.data());
    writeFrameHeader(d + 100000, 40000, 1);
    writeFrameHeader(d + 140000, 30000, 2);
    const ScanRun r = scanImage(image, 0, 150000);
    ASSERT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.found.size(), 1);
    EXPECT_EQ(r.found[0].frameCount, 2);
    EXPECT_EQ(r.found[0].totalBytes, 70000);
    EXPECT_EQ(r.found[0].extents[0].start, 100000);
    EXPECT_EQ(r.found[0].extents[0].end, 170000);
}

TEST(CliScan, ScansInARowContinueTheSerials)
{
    Truth truth;
    const QByteArray image = generateImageBytes(3 * MiB, 77, &truth);
    ASSERT_GT(truth.size(), 2);
    const ScanRun first = scanImage(image);
    const ScanRun second = scanImage(image);
    ASSERT_EQ(first.rawSerials.size(), truth.size());
    ASSERT_EQ(second.rawSerials.size(), truth.size());
    EXPECT_EQ(second.rawSerials.first(), first.rawSerials.last() + 1);
    for (int i = 1; i < second.rawSerials.size(); ++i)
        EXPECT_EQ(second.rawSerials[i], second.rawSerials[i - 1] + 1);
    // The JSON carries the serial the scan sent.
    EXPECT_TRUE(second.out.startsWith("{\"serial\":" + QByteArray::number(second.rawSerials.first()) + ","));
}

__attribute__((format(printf, 1, 2))) QByteArray printfed(const char* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return QByteArray(buf, std::min<int>(n, int(sizeof buf) - 1));
}

// Scripts parse these rows: every byte as printf would write it.
class CliRows : public ::testing::TestWithParam<bool> {};

TEST_P(CliRows, EveryRowInItsExactForm)
{
    const bool json = GetParam();
    Truth truth;
    const QByteArray image = generateImageBytes(9 * MiB, 3, &truth);
    const ScanRun r = scanImage(image, -1, -1, json);
    ASSERT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.found.size(), truth.size());
    QByteArray expected;
    if (!json)
        expected += printfed("%7s %6s %8s %14s %16s %16s %10s  %s\n", "serial", "stream", "frames", "bytes",
                                         "start", "end", "duration", "time");
    // The duration comes from the media probe (tested with it); taken from
    // the row itself, every other byte is checked here.
    const QList<QByteArray> lines = r.out.split('\n');
    ASSERT_EQ(lines.size(), r.found.size() + 2); // the header or the closing summary, and the empty end
    for (int k = 0; k < r.found.size(); ++k) {
        const TruthFragment& f = r.found[k];
        const QByteArray& line = lines[json ? k : k + 1];
        const QByteArray duration = json ? line.mid(line.lastIndexOf(':') + 1).chopped(1)
                                         : line.mid(73, 10).trimmed();
        const int serial = r.rawSerials[k];
        if (json) {
            expected += printfed("{\"serial\":%d,\"disk\":\"%s\",\"format\":%d,\"stream\":%d,"
                                             "\"first_time\":%u,\"last_time\":%u,\"bytes\":%lld,\"frames\":%d,"
                                             "\"extents\":[",
                                             serial, r.disk.constData(), f.format, f.stream, f.firstTime, f.lastTime,
                                             (long long)f.totalBytes, f.frameCount);
            for (int i = 0; i < f.extents.size(); ++i)
                expected += printfed("%s[%lld,%lld]", i ? "," : "", (long long)f.extents[i].start,
                                                 (long long)f.extents[i].end);
            expected += "],\"duration_s\":" + duration + "}\n";
        } else {
            const quint32 t = f.firstTime;
            expected += printfed("%7d %6d %8d %14lld %16lld %16lld %10s  2%03d-%02d-%02d %02d:%02d:%02d", serial,
                                             f.stream, f.frameCount, (long long)f.totalBytes,
                                             (long long)f.extents.first().start, (long long)f.extents.last().end,
                                             duration.constData(),
                                             PackedTime::year(t), PackedTime::month(t), PackedTime::day(t),
                                             PackedTime::hour(t), PackedTime::minute(t), PackedTime::second(t));
            if (f.extents.size() > 1)
                expected += printfed("  (%d extents)", f.extents.size());
            expected += '\n';
        }
    }
    if (json) {
        // The closing summary is checked with the summary's own tests.
        const QByteArray& summary = lines[r.found.size()];
        EXPECT_TRUE(summary.startsWith("{\"summary\":")) << summary.constData();
        expected += summary + '\n';
    }
    EXPECT_EQ(r.out, expected);
}

INSTANTIATE_TEST_SUITE_P(Output, CliRows, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Json" : "Table"; });

// Offsets of multi-terabyte disks have more digits than any generated image:
// every number at each change of width, as printf writes it.
TEST(CliNumbers, AtEveryWidthAsPrintfWritesThem)
{
    std::vector<long long> values = {0, LLONG_MAX, LLONG_MIN, LLONG_MIN + 1};
    for (unsigned long long ten = 1; ten <= 1000000000000000000ull; ten *= 10)
        for (long long v : {(long long)ten - 1, (long long)ten, (long long)ten + 1})
            values.insert(values.end(), {v, -v});
    for (long long v : values) {
        char out[32];
        const QByteArray want = printfed("%lld", v);
        EXPECT_EQ(QByteArray(out, int(corvoWriteNumber(out, v) - out)), want);
        EXPECT_EQ(corvoNumberWidth(v), want.size()) << v;
    }
}

TEST(CliScan, UnopenableOrUnreadableSourceFailsWithTheReason)
{
    const QByteArray image = generateImageBytes(3 * MiB, 5, nullptr);
    ScanRun r = scanImage(image, -1, -1, true, EACCES);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("/images/test.img")) << r.err.constData();
    EXPECT_TRUE(r.err.contains(std::strerror(EACCES))) << r.err.constData();
    EXPECT_EQ(r.err.count('\n'), 1);
    EXPECT_TRUE(r.out.isEmpty());

    // Unreadable where the scan begins: the rest is still scanned.
    r = scanImage(image, 4096, -1, true, 0, 0, 8192);
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(std::strerror(EIO))) << r.err.constData();
    EXPECT_TRUE(r.err.contains("/images/test.img"));
    EXPECT_TRUE(r.err.contains("unreadable 4096-")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("-8192 (")) << r.err.constData();
    EXPECT_FALSE(r.found.isEmpty());

    // A source of no bytes at all (a reader without a card).
    r = scanImage(QByteArray());
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("holds no bytes")) << r.err.constData();

    // --start past the end of the source.
    r = scanImage(image, 3 * MiB + 1);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("beyond the end")) << r.err.constData();
}

TEST(CliScan, ReadErrorsPartWayAreReportedAndTheRestIsScanned)
{
    Truth truth;
    const QByteArray image = generateImageBytes(40 * MiB, 9, &truth);
    // A bad stretch in the middle: fragments wholly before it and wholly
    // after the skipped area are still found.
    const ScanRun r = scanImage(image, -1, -1, true, 0, 8 * MiB, 8 * MiB + 4096);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(std::strerror(EIO))) << r.err.constData();
    EXPECT_TRUE(r.err.contains("/images/test.img"));
    // Both edges of the stretch are found to the sector; its inside is probed.
    EXPECT_TRUE(r.err.contains("unreadable 8388608-")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("-8392704 (512 bytes)")) << r.err.constData();
    const QJsonObject summary =
        QJsonDocument::fromJson(r.out.mid(r.out.lastIndexOf('\n', -2) + 1)).object().value("summary").toObject();
    EXPECT_EQ(summary.value("unreadable_bytes").toInt() + summary.value("untried_bytes").toInt(), 4096);
    EXPECT_EQ(summary.value("unreadable").toArray().first().toArray().first().toInt(), 8388608);
    int before = 0, foundBefore = 0;
    for (const TruthFragment& t : truth) {
        if (t.extents[0].end > 4 * MiB)
            break;
        ++before;
        for (const TruthFragment& f : r.found)
            if (f.extents.size() == 1 && f.extents[0].start == t.extents[0].start
                && f.extents[0].end == t.extents[0].end && f.frameCount == t.frameCount)
                ++foundBefore;
    }
    EXPECT_GT(before, 0);
    EXPECT_EQ(foundBefore, before);
    bool after = false; // the scan went on past the bad stretch
    for (const TruthFragment& f : r.found)
        after = after || f.extents[0].start > 8 * MiB + 4096;
    EXPECT_TRUE(after);
}

TEST(CliScan, EmptyRangeEndsWithNothing)
{
    const QByteArray image = generateImageBytes(2 * MiB, 5, nullptr);
    const ScanRun r = scanImage(image, 4096, 4096);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.found.isEmpty());
    EXPECT_TRUE(r.out.startsWith("{\"summary\":{")) << r.out.constData();
    EXPECT_EQ(r.out.count('\n'), 1) << "nothing but the summary";
    EXPECT_TRUE(r.err.contains(": 0 fragments,")) << r.err.constData();
}

// What an export reads back from the packed store is what the scan sent:
// fragments of no, one, two (kept in the record) and more extents (kept in
// the pool), of two disks and several streams, in the order added; and those
// the record cannot hold (offsets past 6 bytes, a negative size, more kinds
// than it numbers), kept whole beside it.
TEST(CliFragmentStore, GivesBackEveryFragmentAsAdded)
{
    const QByteArray diskA = "sdb1", diskB = "/images/other disk.img";
    QList<CliFragment> in;
    for (int i = 0; i < 40000; ++i) { // more than one block of records
        SFragmentFit f;
        f.diskName = i % 7 == 3 ? diskB : diskA;
        f.formatCode = 14 + i % 2;
        f.stream = i < 20000 ? i % 5 : i;
        f.firstTime = quint32(i * 3);
        f.lastTime = quint32(i * 3 + 2);
        f.frameCount = i % 11;
        auto extents = std::make_shared<SExtentList>();
        for (int k = 0; k < i % 6; ++k)
            extents->append(SExtent{qint64(i) * 4096 + k * 1000, qint64(i) * 4096 + k * 1000 + 500 + k});
        f.totalBytes = 500LL * extents->size() + i;
        if (i % 1000 == 1 && !extents->isEmpty())
            (*extents)[0] = SExtent{qint64(1) << 50, (qint64(1) << 50) + 4096};
        if (i % 1000 == 2)
            f.totalBytes = -1;
        f.extents = extents;
        in.append(CliFragment{100 + i, f, {}});
    }
    CliFragmentStore store;
    for (const CliFragment& c : in)
        store.append(c.serial, SFragmentView(c.fragment));
    ASSERT_EQ(store.size(), in.size());
    for (int i = 0; i < in.size(); i += (i < 300 ? 1 : 97)) {
        const SPlayListTableItem row = store.at(i);
        const SFragmentFit& a = row.sFragmentFit;
        const SFragmentFit& b = in[i].fragment;
        ASSERT_EQ(row.iSerial, in[i].serial);
        ASSERT_EQ(a.diskName, b.diskName);
        ASSERT_EQ(std::make_tuple(a.formatCode, a.stream, a.firstTime, a.lastTime, a.frameCount, a.totalBytes),
                  std::make_tuple(b.formatCode, b.stream, b.firstTime, b.lastTime, b.frameCount, b.totalBytes))
            << "fragment " << i;
        ASSERT_TRUE(a.extents);
        ASSERT_EQ(a.extents->size(), b.extents->size()) << "fragment " << i;
        for (int k = 0; k < a.extents->size(); ++k)
            ASSERT_EQ(std::make_pair(a.extents->at(k).start, a.extents->at(k).end),
                      std::make_pair(b.extents->at(k).start, b.extents->at(k).end))
                << "fragment " << i << " extent " << k;
    }
}
