// Sources no recorder writes: empty and huge sparse images, images made of
// nothing but headers, frames shorter than their own header, and files that
// are not disks at all. Every scan ends, with every frame where it lies.

#include "disk/Nyx.h"
#include "export/ExportCore.h"
#include "support/ScanHarness.h"
#include "tools/imagegen/ImageGen.h"

#include <cerrno>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the scan of a file (through the real device layer) sent.
struct FileScan {
    std::vector<SentFragment> sent;
    int lastError = 0;
    bool ended = false;
};

FileScan scanFile(const QByteArray& path, qint64 start, qint64 end)
{
    FileScan r;
    CFragmentFit scan;
    FragmentSink sink;
    sink.attach(scan);
    scan.setDevicePath(QByteArray("\\\\.\\" + path).constData());
    scan.setRange(start, end);
    scan.start();
    r.ended = scan.wait(60000);
    if (!r.ended) {
        scan.stop();
        scan.wait();
    }
    r.sent = sink.take();
    r.lastError = scan.lastError();
    return r;
}

bool sameExtents(const SExtentList& a, const SExtentList& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].end != b[i].end)
            return false;
    return true;
}

// The scan's fragments, as the image generator's truth reads them.
void expectMatchesReference(const QByteArray& image, const ScanResult& r)
{
    const imagegen::Truth ref = imagegen::referenceScan(image);
    ASSERT_EQ(r.sent.size(), size_t(ref.size()));
    for (int k = 0; k < ref.size(); ++k) {
        const SFragmentFit& f = r.sent[size_t(k)].fragment;
        EXPECT_EQ(f.totalBytes, ref[k].totalBytes) << "fragment " << k;
        EXPECT_EQ(f.frameCount, ref[k].frameCount) << "fragment " << k;
        EXPECT_TRUE(sameExtents(*f.extents, ref[k].extents)) << "fragment " << k;
    }
}

QByteArray headerOnlyImage(qint64 size, int length, int variantMix)
{
    QByteArray image(int(size), '\0');
    auto* p = reinterpret_cast<unsigned char*>(image.data());
    int k = 0;
    for (qint64 at = 0; at + 8 <= size; at += 8, ++k)
        imagegen::writeFrameHeader(p + at, length, variantMix ? 1 + (k % 2) : 1);
    return image;
}

} // namespace

TEST(BadInput, ImageOfNothingButHeaders)
{
    // Header after header, each a whole frame of 8: one fragment of all of them.
    const QByteArray image = headerOnlyImage(5 * MiB + 8 * 100, 8, 1);
    const ScanResult r = runScan(image, 0, image.size());
    EXPECT_TRUE(r.ended);
    ASSERT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(r.sent[0].fragment.frameCount, image.size() / 8);
    EXPECT_EQ(r.sent[0].fragment.totalBytes, image.size());
    checkInvariants(image, r);
    expectMatchesReference(image, r);
}

TEST(BadInput, HeadersOfLengthOneToSeven)
{
    // A length below 8 ends the frame inside its own header: the scan must
    // move on, never back, and never take the rest of the header for a frame.
#ifdef __SANITIZE_THREAD__
    // The shortest, a middle and the longest: each is a whole scan of headers,
    // costly under ThreadSanitizer; the other builds take every length.
    const int lengthStep = 3;
#else
    const int lengthStep = 1;
#endif
    for (int length = 1; length <= 7; length += lengthStep) {
        SCOPED_TRACE(length);
        const QByteArray image = headerOnlyImage(2 * MiB + 4096, length, length % 2);
        const ScanResult r = runScan(image, 0, image.size());
        EXPECT_TRUE(r.ended);
        EXPECT_EQ(r.stopFlags, quint16('Y' | 'Y' << 8));
        checkInvariants(image, r);
        expectMatchesReference(image, r);
    }
    // Short frames mixed with real ones, across the 2 MiB step.
    QByteArray mixed = noiseImage(5 * MiB, 7);
    qint64 p = 2 * MiB - 3000;
    for (int i = 0; i < 400; ++i)
        p = putRun(mixed, p, {1 + i % 7, 8, 9 + i * 3, i % 7 + 1, 600}) + (i % 5 == 0 ? 1 : 0);
    const ScanResult r = runScan(mixed, 0, mixed.size());
    EXPECT_TRUE(r.ended);
    checkInvariants(mixed, r);
    expectMatchesReference(mixed, r);
}

TEST(BadInput, EmptyImageIsAnErrorAndExportsFail)
{
    QTemporaryDir tmp;
    const QByteArray path = QFile::encodeName(tmp.filePath("empty.img"));
    ASSERT_TRUE(QFile(tmp.filePath("empty.img")).open(QIODevice::WriteOnly));
    const FileScan r = scanFile(path, 0, 0);
    EXPECT_TRUE(r.ended);
    EXPECT_TRUE(r.sent.empty());
    EXPECT_EQ(r.lastError, ENOMEDIUM) << "nothing to scan is not an empty result";
    const FileScan r2 = scanFile(path, 0, 10 * MiB); // a range beyond the empty image
    EXPECT_TRUE(r2.ended);
    EXPECT_TRUE(r2.sent.empty());
    EXPECT_EQ(r2.lastError, ENOMEDIUM);

    // A row that points into it has no bytes to give.
    SPlayListTableItem row;
    row.sFragmentFit.diskName = path;
    row.sFragmentFit.totalBytes = 1000;
    row.sFragmentFit.frameCount = 1;
    row.sFragmentFit.extents = std::make_shared<const SExtentList>(SExtentList{{0, 1000}});
    row.iSerial = 1;
    ExportCore::ExportJob job;
    QStringList diag;
    job.onDiagnostic = [&](const QString& m) { diag.append(m); };
    EXPECT_EQ(job.exportAll({row}, QFile::encodeName(tmp.path())), 0);
    EXPECT_EQ(job.videoMerge({row}, QFile::encodeName(tmp.filePath("m.TKL"))), 0);
    EXPECT_TRUE(diag.join('\n').contains("empty.img")) << diag.join('\n').toStdString();
}

TEST(BadInput, HugeSparseImageKeepsOffsetsPastFourAndOneTerabyte)
{
    QTemporaryDir tmp;
    const QString name = tmp.filePath("huge.img");
    const qint64 size = (qint64(2) << 40) + 12345; // 2 TiB, nearly all holes
    const QByteArray recording = imagegen::generateImageBytes(3 * MiB, 5, nullptr);
    const qint64 at = size - 4 * MiB - 77;
    {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        if (!f.resize(size))
            GTEST_SKIP() << "this filesystem cannot hold a 2 TiB sparse file";
        ASSERT_TRUE(f.seek(at));
        ASSERT_EQ(f.write(recording), recording.size());
    }
    // The same bytes, at the same distance from a start aligned alike, in memory.
    const qint64 start = at - 1000;
    const qint64 base = start & ~qint64(511);
    QByteArray window(int(size - base), '\0');
    std::memcpy(window.data() + (at - base), recording.constData(), size_t(recording.size()));
    const imagegen::Truth ref = imagegen::referenceScan(window, start - base);
    ASSERT_FALSE(ref.isEmpty());

    const FileScan r = scanFile(QFile::encodeName(name), start, size);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.lastError, 0);
    ASSERT_EQ(r.sent.size(), size_t(ref.size()));
    for (int k = 0; k < ref.size(); ++k) {
        SExtentList shifted;
        for (const SExtent& e : ref[k].extents)
            shifted.append({e.start + base, e.end + base});
        EXPECT_TRUE(sameExtents(*r.sent[size_t(k)].fragment.extents, shifted)) << "fragment " << k;
    }

    // Its bytes come back from where they lie.
    SPlayListTableItem row;
    row.sFragmentFit = r.sent.front().fragment;
    row.iSerial = 1;
    ExportCore::ExportJob job;
    EXPECT_EQ(job.videoMerge({row}, QFile::encodeName(tmp.filePath("m.TKL"))), 1);
    QFile out(tmp.filePath("m.TKL"));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    QByteArray expected;
    for (const SExtent& e : *row.sFragmentFit.extents)
        expected += window.mid(int(e.start - base), int(e.end - e.start));
    EXPECT_TRUE(out.readAll() == expected);
}

TEST(BadInput, APipeOrSocketIsNotADiskAndOpeningItDoesNotHang)
{
    QTemporaryDir tmp;
    const QByteArray fifo = QFile::encodeName(tmp.filePath("fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    auto opened = std::async(std::launch::async, [&] {
        const NyxDeviceHandle d = nyxNewDevice("\\\\.\\" + fifo);
        return NyxfIOSystemDevice_open(d.get(), NyxAccessRead, NyxOpenExisting);
    });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Let the stuck open go before failing.
        const int w = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        opened.wait();
        if (w >= 0)
            ::close(w);
        FAIL() << "opening a FIFO as a source waits for a writer";
    }
    EXPECT_EQ(opened.get(), ESPIPE);

    // A scan of it ends at once with that reason.
    const FileScan r = scanFile(fifo, 0, MiB);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.lastError, ESPIPE);
    EXPECT_TRUE(r.sent.empty());
}
