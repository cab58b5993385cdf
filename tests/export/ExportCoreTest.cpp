#include "export/ExportCore.h"
#include "ExportTestSupport.h"
#include "support/FaultDevice.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace ExportCore;
using namespace exporttest;

namespace {

struct ExportJobTest : ::testing::Test {
    QTemporaryDir tmp;
    QByteArray image;
    QByteArray imagePath;
    QStringList diagnostics;
    QList<QPair<qint64, qint64>> progress;
    QList<QByteArray> openFailures;
    FactoryGuard guard;

    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        image = patternBytes(3 * 1024 * 1024 + 777, 0x1234);
        imagePath = QFile::encodeName(tmp.filePath("disk.img"));
        ASSERT_TRUE(writeFile(QFile::decodeName(imagePath), image));
    }

    void wire(ExportJob& job)
    {
        job.onDiagnostic = [this](const QString& m) { diagnostics << m; };
        job.onProgress = [this](qint64 t, qint64 i) { progress.append({t, i}); };
        job.onSourceOpenFailed = [this](const QByteArray& p, int) { openFailures << p; };
    }

    QByteArray out(const QString& name) const { return QFile::encodeName(tmp.filePath(name)); }
    QString exported(const SPlayListTableItem& row) const { return tmp.filePath("out/" + singleFileName(row)); }
    QByteArray outDir()
    {
        QDir(tmp.path()).mkpath("out");
        return QFile::encodeName(tmp.filePath("out"));
    }
};

} // namespace

TEST(ExportNames, FileNameOfSerialSevenWithZeroTimes)
{
    SPlayListTableItem row = makeRow("sda", {{0, 10}}, 7);
    EXPECT_EQ(singleFileName(row), QString("(00)2000_00_00 00_00_00-2000_00_00 00_00_00_00007.TKL"));
}

TEST(ExportNames, FileNameCarriesStreamTimesAndSerial)
{
    // 2023-05-17 13:04:59 and 2023-05-17 14:00:01 packed: year-2000 26-29 (4 bits), so 2015 at most.
    const quint32 first = (15u << 26) | (5u << 22) | (17u << 17) | (13u << 12) | (4u << 6) | 59u;
    const quint32 last = (15u << 26) | (5u << 22) | (17u << 17) | (14u << 12) | (0u << 6) | 1u;
    SPlayListTableItem row = makeRow("sda", {{0, 10}}, 123456, 3, first, last);
    EXPECT_EQ(singleFileName(row), QString("(03)2015_05_17 13_04_59-2015_05_17 14_00_01_123456.TKL"));
}

TEST(ExportProgressTexts, TimesRatesAndPercent)
{
    EXPECT_EQ(elapsedText(0), QString("已用时间 00:00:00"));
    EXPECT_EQ(elapsedText(7322), QString("已用时间 02:02:02"));
    EXPECT_EQ(hhmmss(100 * 3600 + 61), QString("100:01:01"));
    EXPECT_EQ(hhmmss(-5), QString("00:00:00"));
    // First second: no estimate yet.
    EXPECT_EQ(remainingText(0, 1000, 500), QString());
    // Fewer bytes than seconds: rate 0, no estimate.
    EXPECT_EQ(remainingText(10, 1000, 9), QString());
    EXPECT_EQ(remainingText(10, 1000, 1000), QString(" 剩余时间 00:00:00"));
    // 100 bytes/s, 7,322 s to go.
    EXPECT_EQ(remainingText(10, 1000 + 732200, 1000), QString(" 剩余时间 02:02:02"));
    EXPECT_EQ(percentOf(1000, 1000), 100);
    EXPECT_EQ(percentOf(1000, 999), 99);
    EXPECT_EQ(percentOf(1000, 1100), 100); // a chunk's tail past the total
    EXPECT_EQ(percentOf(0, 0), 0);
    EXPECT_EQ(percentOf(Q_INT64_C(1) << 62, (Q_INT64_C(1) << 62) / 2), 50); // no overflow
}

TEST_F(ExportJobTest, SingleExportHoldsExactlyTheExtentBytesInOrder)
{
    const QList<SPlayListTableItem> rows = {
        // Off the 102,400 and 512 grids, crossing several chunks.
        makeRow(imagePath, {{12345, 300001}}, 1),
        // Exactly one chunk, boundary to boundary.
        makeRow(imagePath, {{102400, 204800}}, 2),
        // Several extents, out of device order, one inside a single chunk, one tiny.
        makeRow(imagePath, {{2000000, 2500003}, {513, 1023}, {1048575, 1048577}, {204801, 204802}}, 3),
        // Ends at the very end of the image.
        makeRow(imagePath, {{image.size() - 1000, image.size()}}, 4),
    };
    ExportJob job;
    wire(job);
    ASSERT_EQ(job.exportAll(rows, outDir()), 1) << diagnostics.join('\n').toStdString();
    for (const SPlayListTableItem& row : rows) {
        const QByteArray got = readFile(exported(row));
        EXPECT_EQ(got.size(), expectedBytes(image, row).size()) << row.iSerial;
        EXPECT_TRUE(got == expectedBytes(image, row)) << "row " << row.iSerial;
    }
    EXPECT_TRUE(diagnostics.isEmpty());
    EXPECT_EQ(job.bytesWritten(), job.bytesTotal());
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last().first, job.bytesTotal());
    EXPECT_EQ(progress.last().second, job.bytesTotal());
}

TEST_F(ExportJobTest, SingleExportOverwritesAnExistingFileAndAcceptsLongPaths)
{
    // Far beyond MAX_PATH-sized buffers.
    QString deep = tmp.path();
    for (int i = 0; i < 12; ++i)
        deep += "/" + QString(60, QChar('a' + i));
    ASSERT_TRUE(QDir().mkpath(deep));
    const SPlayListTableItem row = makeRow(imagePath, {{5000, 9000}}, 9);
    const QString target = deep + "/" + singleFileName(row);
    ASSERT_TRUE(writeFile(target, QByteArray(50000, 'x')));
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({row}, QFile::encodeName(deep)), 1);
    EXPECT_TRUE(readFile(target) == expectedBytes(image, row));
}

TEST_F(ExportJobTest, EmptyListOrNoDirectoryFails)
{
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({}, outDir()), 0);
    EXPECT_EQ(job.exportAll({makeRow(imagePath, {{0, 10}}, 1)}, QByteArray()), 0);
    EXPECT_EQ(job.videoMerge({}, out("m.TKL")), 0);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL")));
}

TEST_F(ExportJobTest, MissingSourceWarnsFailsCreatesNothingAndExportsTheOthers)
{
    const QList<SPlayListTableItem> rows = {
        makeRow(QFile::encodeName(tmp.filePath("gone.img")), {{0, 5000}}, 1),
        makeRow(imagePath, {{700, 90000}}, 2),
    };
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll(rows, outDir()), 0);
    ASSERT_EQ(openFailures.size(), 1);
    EXPECT_TRUE(openFailures.first().endsWith("gone.img"));
    EXPECT_FALSE(QFileInfo::exists(exported(rows[0])));
    EXPECT_FALSE(QFileInfo::exists(exported(rows[0]) + ".part"));
    EXPECT_TRUE(readFile(exported(rows[1])) == expectedBytes(image, rows[1]));
    EXPECT_EQ(job.failedRows(), 1);
    ASSERT_FALSE(diagnostics.isEmpty());
    EXPECT_TRUE(diagnostics.join('\n').contains("gone.img"));
    EXPECT_TRUE(diagnostics.join('\n').contains("No such file"));
}

TEST_F(ExportJobTest, OutputThatCannotBeCreatedFailsTheExport)
{
    const SPlayListTableItem row = makeRow(imagePath, {{0, 5000}}, 1);
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({row}, out("no/such/dir")), 0);
    EXPECT_TRUE(diagnostics.join('\n').contains("no/such/dir"));
    EXPECT_TRUE(openFailures.isEmpty());
    diagnostics.clear();
    EXPECT_EQ(job.videoMerge({row}, out("no/such/dir/m.TKL")), 0);
    EXPECT_TRUE(diagnostics.join('\n').contains("open file error"));
}

TEST_F(ExportJobTest, FullDiskFailsSingleAndMerge)
{
    if (!QFileInfo::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    const SPlayListTableItem row = makeRow(imagePath, {{100, 2000000}}, 5);
    // The export's own file name, pointing at a device that is always full.
    const QByteArray dir = outDir();
    ASSERT_EQ(::symlink("/dev/full", QFile::encodeName(exported(row)).constData()), 0);
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({row}, dir), 0);
    EXPECT_TRUE(diagnostics.join('\n').contains("No space left"));
    diagnostics.clear();
    EXPECT_EQ(job.videoMerge({row}, "/dev/full"), 0);
    EXPECT_TRUE(diagnostics.join('\n').contains("/dev/full"));
    EXPECT_EQ(job.bytesWritten(), 0); // what sat in the buffer never reached the disk
    // Small enough to sit in the write buffer: only the final flush can tell.
    EXPECT_EQ(job.videoMerge({makeRow(imagePath, {{0, 100}}, 1)}, "/dev/full"), 0);
}

TEST_F(ExportJobTest, SourceShorterThanAnExtentFailsButKeepsWhatWasThere)
{
    const qint64 n = image.size();
    const SPlayListTableItem row = makeRow(imagePath, {{n - 5000, n + 300000}}, 6);
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({row}, outDir()), 0);
    EXPECT_TRUE(readFile(exported(row)) == image.mid(int(n - 5000)));
    EXPECT_TRUE(diagnostics.join('\n').contains("short read"));
    ASSERT_EQ(job.result().damaged.size(), 1);
    EXPECT_EQ(job.result().damaged[0].leftOut, 300000);
    diagnostics.clear();
    EXPECT_EQ(job.videoMerge({row}, out("m.TKL")), 0);
    EXPECT_TRUE(readFile(tmp.filePath("m.TKL")) == image.mid(int(n - 5000)));
}

// Read, or copied in the kernel up to the bad sector and read from there on.
class BadSectorTest : public ExportJobTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BadSectorTest, OneBadSectorCostsExactlyItsBytesInSingleExportAndMerge)
{
    auto badPlan = std::make_shared<FaultPlan>(image);
    badPlan->badArea(600064, 600576); // one sector
    auto goodPlan = std::make_shared<FaultPlan>(image);
    badPlan->kernelCopy = goodPlan->kernelCopy = GetParam();
    nyxSetDeviceFactory([&](const QByteArray& path) -> std::unique_ptr<NyxCIOSystemDevice> {
        return std::make_unique<FaultDevice>(path.endsWith("bad") ? badPlan : goodPlan, path);
    });
    const QList<SPlayListTableItem> rows = {
        makeRow("bad", {{500000, 700000}, {1000000, 1100000}}, 1),
        makeRow("good", {{500000, 700000}}, 2),
    };
    QByteArray withZeros = expectedBytes(image, rows[0]);
    withZeros.replace(100064, 512, QByteArray(512, '\0'));
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll(rows, outDir()), 0);
    EXPECT_EQ(job.failedRows(), 1);
    EXPECT_TRUE(readFile(exported(rows[0])) == withZeros);
    EXPECT_TRUE(readFile(exported(rows[1])) == expectedBytes(image, rows[1]));
    ASSERT_EQ(job.result().damaged.size(), 1);
    EXPECT_EQ(job.result().damaged[0].file, exported(rows[0]));
    EXPECT_EQ(job.result().damaged[0].zeroFilled, 512);
    EXPECT_TRUE(diagnostics.join('\n').contains("Input/output error"));
    EXPECT_TRUE(job.result().details().join('\n').contains("512 unreadable bytes"));

    diagnostics.clear();
    EXPECT_EQ(job.videoMerge(rows, out("m.TKL")), 0);
    EXPECT_TRUE(readFile(tmp.filePath("m.TKL")) == withZeros + expectedBytes(image, rows[1]));
    ASSERT_EQ(job.result().damaged.size(), 1);
    EXPECT_EQ(job.result().damaged[0].zeroFilled, 512);

    // Every read stays on the sector grid; both sources were closed again.
    for (const auto* plan : {badPlan.get(), goodPlan.get()}) {
        for (const FaultRead& r : plan->reads()) {
            EXPECT_EQ(r.offset % 512, 0);
            EXPECT_EQ(r.count % 512, 0u);
        }
        EXPECT_EQ(plan->created(), plan->deleted());
    }
    // A readable source copied in the kernel is not read through our memory.
    EXPECT_EQ(goodPlan->reads().empty(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(ReadOrKernelCopy, BadSectorTest, ::testing::Bool());

TEST_F(ExportJobTest, MergeGoesOnPastAnUnreadableAndACutOffFragment)
{
    const qint64 n = image.size();
    auto plan = std::make_shared<FaultPlan>(image);
    plan->badArea(0, 512 * 1024);
    ScopedFaultDevices devices(plan);
    const QList<SPlayListTableItem> rows = {
        makeRow("dev", {{n - 1000, n + 31000}}, 57), // its last frame cut off by the end of the source
        makeRow("dev", {{1000, 300000}}, 1),         // unreadable all through
        makeRow("dev", {{700000, 900000}}, 2),
    };
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.videoMerge(rows, out("m.TKL")), 0);
    const QByteArray expected = image.right(1000) + QByteArray(299000, '\0') + expectedBytes(image, rows[2]);
    EXPECT_TRUE(readFile(tmp.filePath("m.TKL")) == expected);
    ASSERT_EQ(job.result().damaged.size(), 1);
    EXPECT_EQ(job.result().damaged[0].zeroFilled, 299000);
    EXPECT_EQ(job.result().damaged[0].leftOut, 31000);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL.part")));
}

TEST_F(ExportJobTest, ExportThatCannotFitIsRefusedWithTheFigures)
{
    const SPlayListTableItem small = makeRow(imagePath, {{0, 5000}}, 1);
    const SPlayListTableItem huge = makeRow(imagePath, {{0, Q_INT64_C(5) << 30}}, 2);
    struct Case {
        const char* what;
        DestinationSpace space;
        QList<SPlayListTableItem> rows;
        bool merge;
        const char* figure;
    };
    const Case cases[] = {
        {"full", {4999, -1}, {small}, false, "5,000"},
        {"full merge", {9999, -1}, {small, small}, true, "10,000"},
        {"vfat merge", {Q_INT64_C(1) << 40, Q_INT64_C(4294967295)}, {huge}, true, "4,294,967,295"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExportJob job;
        wire(job);
        diagnostics.clear();
        job.spaceProbe = [&c](const QByteArray&, DestinationSpace* s) {
            *s = c.space;
            return true;
        };
        const QByteArray dir = outDir();
        EXPECT_EQ(c.merge ? job.videoMerge(c.rows, out("out/m.TKL")) : job.exportAll(c.rows, dir), 0);
        EXPECT_TRUE(QDir(QFile::decodeName(dir)).entryList(QDir::Files).isEmpty());
        const QString said = job.result().details().join('\n');
        EXPECT_TRUE(said.contains(c.figure)) << said.toStdString();
        EXPECT_EQ(job.result().failures.size(), 1);
    }
}

TEST_F(ExportJobTest, ReExportChecksEachSourceOnceNotEveryRowAgainstEveryRow)
{
    QList<SPlayListTableItem> rows;
    for (int i = 1; i <= 64; ++i)
        rows << makeRow(imagePath, {{i * 1000, i * 1000 + 700}}, i);
    ExportJob job;
    wire(job);
    ASSERT_EQ(job.exportAll(rows, outDir()), 1);
    // The folder now holds every file: each output exists when checked.
    ASSERT_EQ(job.exportAll(rows, outDir()), 1);
    EXPECT_EQ(job.sourcesExamined(), 1);
    EXPECT_EQ(job.result().written.size(), rows.size());
}

TEST_F(ExportJobTest, EmptyReadsAndDeniedSourcesFail)
{
    auto plan = std::make_shared<FaultPlan>(image);
    plan->emptyReadAt(512); // the first read (1,000 rounded down to the sector) gets nothing
    ScopedFaultDevices devices(plan);
    const SPlayListTableItem row = makeRow("dev", {{1000, 400000}}, 3);
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({row}, outDir()), 0);
    EXPECT_EQ(QFileInfo(exported(row)).size(), 0);
    EXPECT_TRUE(diagnostics.join('\n').contains("short read"));
    EXPECT_EQ(job.videoMerge({row}, out("m.TKL")), 0);

    plan->failOpen = EACCES;
    diagnostics.clear();
    EXPECT_EQ(job.exportAll({row}, outDir()), 0);
    ASSERT_EQ(openFailures.size(), 1);
    EXPECT_TRUE(diagnostics.join('\n').contains("Permission denied"));
    EXPECT_EQ(QFileInfo(exported(row)).size(), 0);
}

TEST_F(ExportJobTest, CancelWhileAMergeRunsOnAnotherThread)
{
    auto plan = std::make_shared<FaultPlan>(image);
    ScopedFaultDevices devices(plan);
    plan->gateReads();
    const SPlayListTableItem row = makeRow("dev", {{0, image.size()}}, 1);
    ExportJob job;
    wire(job);
    int result = -1;
    std::thread worker([&] { result = job.videoMerge({row}, out("m.TKL")); });
    plan->allowReads(1);
    ASSERT_TRUE(plan->waitForReads(1));
    ASSERT_TRUE(plan->waitForGate()); // parked on the second block
    job.cancel = true;
    plan->gateReads(false);
    worker.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(progress.last(), qMakePair(row.sFragmentFit.totalBytes, row.sFragmentFit.totalBytes));
    // Stopped right after the block in hand, under the temporary name.
    EXPECT_EQ(QFileInfo(tmp.filePath("m.TKL.part")).size(), 2 * ExtentCopier::kBlockBytes);
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL")));
    EXPECT_EQ(job.result().partsLeft, QStringList{tmp.filePath("m.TKL.part")});
    EXPECT_TRUE(diagnostics.join('\n').contains("m.TKL.part"));
}

TEST_F(ExportJobTest, MergeHoldsRowsInListOrderAcrossTwoImages)
{
    const QByteArray other = patternBytes(1024 * 1024, 0xbeef);
    const QByteArray otherPath = QFile::encodeName(tmp.filePath("other.img"));
    ASSERT_TRUE(writeFile(QFile::decodeName(otherPath), other));
    const QList<SPlayListTableItem> rows = {
        makeRow(otherPath, {{777, 200000}, {300000, 300001}}, 9),
        makeRow(imagePath, {{1023, 1025}, {511, 513}, {2000000, 2100000}}, 2),
        makeRow(otherPath, {{0, 512}, {0, 0}, {5000, 5000}}, 4),
        makeRow(imagePath, {{12345, 300001}}, 1),
    };
    ExportJob job;
    wire(job);
    ASSERT_EQ(job.videoMerge(rows, out("m.TKL")), 1) << diagnostics.join('\n').toStdString();
    const QByteArray expected = expectedBytes(other, rows[0]) + expectedBytes(image, rows[1]) +
                                expectedBytes(other, rows[2]) + expectedBytes(image, rows[3]);
    const QByteArray got = readFile(tmp.filePath("m.TKL"));
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last(), qMakePair(job.bytesTotal(), job.bytesTotal()));
}

TEST_F(ExportJobTest, MergeSourceMissingFailsFirstWithWarningLaterWithout)
{
    const QByteArray gone = QFile::encodeName(tmp.filePath("gone.img"));
    ExportJob job;
    wire(job);
    const SPlayListTableItem second = makeRow(imagePath, {{0, 5000}}, 2);
    EXPECT_EQ(job.videoMerge({makeRow(gone, {{0, 5000}}, 1), second}, out("a.TKL")), 0);
    EXPECT_EQ(openFailures.size(), 1);
    EXPECT_TRUE(readFile(tmp.filePath("a.TKL")) == expectedBytes(image, second)); // the merge went on
    EXPECT_TRUE(diagnostics.join('\n').contains("open drive0 error"));

    openFailures.clear();
    const SPlayListTableItem first = makeRow(imagePath, {{0, 5000}}, 1);
    EXPECT_EQ(job.videoMerge({first, makeRow(gone, {{0, 5000}}, 2)}, out("b.TKL")), 0);
    EXPECT_TRUE(openFailures.isEmpty());
    // What was written stays.
    EXPECT_TRUE(readFile(tmp.filePath("b.TKL")) == expectedBytes(image, first));
}

TEST_F(ExportJobTest, MergeRejectsAReversedExtent)
{
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.videoMerge({makeRow(imagePath, {{0, 512}, {9000, 8000}}, 1)}, out("m.TKL")), 0);
}

TEST_F(ExportJobTest, CancelDuringMergeEndsAsDoneAtHundredPercent)
{
    const SPlayListTableItem row = makeRow(imagePath, {{0, image.size()}}, 1);
    ExportJob job;
    wire(job);
    job.onProgress = [&](qint64 t, qint64 i) {
        progress.append({t, i});
        job.cancel = true;
    };
    EXPECT_EQ(job.videoMerge({row, row}, out("m.TKL")), 1);
    ASSERT_GE(progress.size(), 2);
    EXPECT_EQ(progress.last(), qMakePair(2 * row.sFragmentFit.totalBytes, 2 * row.sFragmentFit.totalBytes));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("m.TKL")));
    const QByteArray got = readFile(tmp.filePath("m.TKL.part"));
    EXPECT_LT(got.size(), image.size());
    EXPECT_TRUE(got == image.left(got.size()));
}

// Files are made rows ahead of the copy and renamed behind it. A name taken
// meanwhile, a .part left by an earlier run or a row listed twice must not
// cost a row, leave a .part, nor change the order rows are told in.
TEST_F(ExportJobTest, FilesMadeAheadGiveWayToNamesAlreadyThere)
{
    QList<SPlayListTableItem> rows;
    for (int i = 0; i < 60; ++i)
        rows << makeRow(imagePath, {{i * 40000, i * 40000 + 1000 + i}}, i + 1);
    rows.insert(11, rows[10]);
    const QByteArray dir = outDir();
    ASSERT_TRUE(writeFile(exported(rows[40]) + ".part", "left by an earlier run"));
    ASSERT_TRUE(writeFile(exported(rows[41]), "an older export"));
    ExportJob job;
    wire(job);
    ASSERT_EQ(job.exportAll(rows, dir), 1) << diagnostics.join('\n').toStdString();
    QStringList told;
    for (const SPlayListTableItem& row : rows) {
        told << exported(row);
        EXPECT_TRUE(readFile(exported(row)) == expectedBytes(image, row)) << "row " << row.iSerial;
    }
    EXPECT_EQ(job.result().written, told);
    EXPECT_EQ(QDir(QFile::decodeName(dir)).entryList(QDir::Files).size(), 60);
    EXPECT_TRUE(QDir(QFile::decodeName(dir)).entryList({"*.part"}, QDir::Files).isEmpty());
}

// Files made ahead hold descriptors: under a low limit on open files the
// export makes fewer ahead, never fewer files.
TEST_F(ExportJobTest, FewDescriptorsLeftMakeFewerFilesAheadNotFewerFiles)
{
    QList<SPlayListTableItem> rows;
    for (int i = 0; i < 60; ++i)
        rows << makeRow(imagePath, {{i * 40000, i * 40000 + 1000}}, i + 1);
    const QByteArray dir = outDir();
    struct rlimit was {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
    const int open = int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
    struct rlimit low = was;
    low.rlim_cur = rlim_t(open + 24);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    ExportJob job;
    wire(job);
    const int result = job.exportAll(rows, dir);
    ::setrlimit(RLIMIT_NOFILE, &was);
    EXPECT_EQ(result, 1) << diagnostics.join('\n').toStdString();
    for (const SPlayListTableItem& row : rows)
        EXPECT_TRUE(readFile(exported(row)) == expectedBytes(image, row)) << "row " << row.iSerial;
}

// A name free when the export began and taken while it runs: a file there
// is replaced as one there before would be, a source's name never.
TEST_F(ExportJobTest, NameTakenWhileTheExportRunsIsJudgedBeforeTheRename)
{
    QList<SPlayListTableItem> rows;
    for (int i = 0; i < 8; ++i)
        rows << makeRow(imagePath, {{i * 40000, i * 40000 + 1000}}, i + 1);
    const QByteArray dir = outDir();
    ExportJob job;
    wire(job);
    bool taken = false;
    job.onProgress = [&](qint64, qint64) {
        if (!taken)
            taken = writeFile(exported(rows[5]), "someone else's") &&
                    ::link(imagePath.constData(), QFile::encodeName(exported(rows[6])).constData()) == 0;
    };
    EXPECT_EQ(job.exportAll(rows, dir), 0);
    ASSERT_TRUE(taken);
    EXPECT_TRUE(readFile(exported(rows[5])) == expectedBytes(image, rows[5]));
    EXPECT_TRUE(readFile(exported(rows[6])) == image);
    EXPECT_EQ(job.result().partsLeft, QStringList{exported(rows[6]) + ".part"});
    ASSERT_EQ(job.result().failures.size(), 1);
    EXPECT_TRUE(job.result().failures.first().reason.contains("refusing to write"))
        << job.result().failures.first().reason.toStdString();
}

TEST_F(ExportJobTest, CancelDuringSingleExportStopsAndKeepsResultOne)
{
    const QList<SPlayListTableItem> rows = {makeRow(imagePath, {{0, image.size()}}, 1),
                                            makeRow(imagePath, {{0, 1000}}, 2)};
    ExportJob job;
    wire(job);
    job.onProgress = [&](qint64, qint64) { job.cancel = true; };
    EXPECT_EQ(job.exportAll(rows, outDir()), 1);
    EXPECT_FALSE(QFileInfo::exists(exported(rows[0])));
    EXPECT_EQ(QFileInfo(exported(rows[0]) + ".part").size(), ExtentCopier::kBlockBytes);
    EXPECT_FALSE(QFileInfo::exists(exported(rows[1])));
    EXPECT_FALSE(QFileInfo::exists(exported(rows[1]) + ".part"));
    EXPECT_TRUE(job.result().cancelled);
}

TEST_F(ExportJobTest, ProgressIsBoundedMonotonicAndEndsOnTheTotal)
{
    const QByteArray big = patternBytes(48 * 1024 * 1024, 7);
    nyxSetDeviceFactory([big](const QByteArray&) { return std::make_unique<MemoryDevice>(big); });
    const SPlayListTableItem row = makeRow("mem", {{100, big.size()}}, 1);
    ExportJob job;
    wire(job);
    ASSERT_EQ(job.videoMerge({row}, out("m.TKL")), 1);
    // Once per 10 sectors would be ~9,800 signals.
    EXPECT_LE(progress.size(), 48 * 4 + 2);
    for (int i = 1; i < progress.size(); ++i)
        EXPECT_LE(progress[i - 1].second, progress[i].second);
    EXPECT_EQ(progress.last(), qMakePair(row.sFragmentFit.totalBytes, row.sFragmentFit.totalBytes));
    EXPECT_TRUE(readFile(tmp.filePath("m.TKL")) == big.mid(100));

    progress.clear();
    ASSERT_EQ(job.exportAll({row}, outDir()), 1);
    EXPECT_LE(progress.size(), 48 * 4 + 2);
    EXPECT_EQ(progress.last(), qMakePair(row.sFragmentFit.totalBytes, row.sFragmentFit.totalBytes));
}

TEST_F(ExportJobTest, NeverWritesOverASource)
{
    const SPlayListTableItem row = makeRow(imagePath, {{0, 5000}}, 1);
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.videoMerge({row}, imagePath), 0);
    // Through another name for the same file, too.
    const QByteArray link = out("alias.TKL");
    ASSERT_EQ(::symlink(imagePath.constData(), link.constData()), 0);
    EXPECT_EQ(job.videoMerge({row}, link), 0);
    EXPECT_TRUE(readFile(QFile::decodeName(imagePath)) == image);
    // Nor a source that has the temporary name the output would be written under.
    ASSERT_TRUE(writeFile(tmp.filePath("p.TKL.part"), image));
    EXPECT_EQ(job.videoMerge({makeRow(out("p.TKL.part"), {{0, 5000}}, 1)}, out("p.TKL")), 0);
    EXPECT_TRUE(readFile(tmp.filePath("p.TKL.part")) == image);
}

// Small pieces are gathered and large ones written from the caller's buffer:
// whatever the mix, the file holds every byte once, in order.
TEST_F(ExportJobTest, OutputFileKeepsTheOrderOfGatheredAndDirectPieces)
{
    const QByteArray data = patternBytes(4 * 1024 * 1024, 0x77);
    OutputFile file;
    ASSERT_TRUE(file.open(out("o.bin")));
    const qint64 pieces[] = {10, kDirectWriteBytes, 3, kDirectWriteBytes - 1, 1 << 20, 7, kWriteBufferBytes - 5,
                             200000, kDirectWriteBytes + 1};
    qint64 at = 0;
    for (qint64 n : pieces) {
        ASSERT_TRUE(file.write(data.constData() + at, n));
        at += n;
    }
    ASSERT_TRUE(file.close());
    EXPECT_EQ(file.committed(), at);
    QFile written(tmp.filePath("o.bin"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll() == data.left(int(at)));
}

// The folder is checked once per export; each file in it is still checked
// against the sources before its name is taken, so a source that bears an
// output's name is neither replaced nor renamed over.
TEST_F(ExportJobTest, ExportNeverReplacesASourceBearingAnOutputName)
{
    const QByteArray dir = outDir();
    SPlayListTableItem row = makeRow(imagePath, {{0, 5000}}, 1);
    const QByteArray named = dir + '/' + QFile::encodeName(singleFileName(row));
    ASSERT_TRUE(writeFile(QFile::decodeName(named), image));
    row.sFragmentFit.diskName = named;
    ExportJob job;
    wire(job);
    EXPECT_EQ(job.exportAll({row}, dir), 0);
    EXPECT_TRUE(readFile(QFile::decodeName(named)) == image);
    EXPECT_TRUE(job.result().details().join('\n').contains("refusing to write")) << diagnostics.join('\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(named + ".part")));
}

// A source whose name comes to give another file while an export runs (an
// image replaced, a disk swapped) is caught before the next file is written.
// Copied one at a time, or two at a time from a source that does not seek.
class SourceReplacedTest : public ExportJobTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SourceReplacedTest, SourceReplacedDuringTheExportStopsItsNextFiles)
{
    QList<SPlayListTableItem> rows = {makeRow(imagePath, {{0, 5000}}, 1)};
    for (int i = 0; i < 12; ++i)
        rows << makeRow(imagePath, {{8000 + i * 250000, 8000 + (i + 1) * 250000}}, i + 2);
    const QString other = tmp.filePath("other.img");
    ASSERT_TRUE(writeFile(other, patternBytes(image.size(), 0x99)));
    ExportJob job;
    wire(job);
    job.readsSeek = [](const QByteArray&) { return GetParam(); };
    bool replaced = false;
    job.onProgress = [&](qint64, qint64) {
        if (!replaced)
            replaced = ::rename(QFile::encodeName(other).constData(), imagePath.constData()) == 0;
    };
    EXPECT_EQ(job.exportAll(rows, outDir()), 0);
    ASSERT_TRUE(replaced);
    // Written whole from what was opened, before the change.
    EXPECT_TRUE(readFile(exported(rows[0])) == image.mid(0, 5000));
    for (const SPlayListTableItem& row : rows.mid(1)) {
        EXPECT_FALSE(QFileInfo::exists(exported(row))) << row.iSerial;
        EXPECT_FALSE(QFileInfo::exists(exported(row) + ".part")) << row.iSerial;
    }
    ASSERT_EQ(job.result().failures.size(), 12);
    for (const ExportResult::Failure& f : job.result().failures)
        EXPECT_TRUE(f.reason.contains("changed during the export")) << f.reason.toStdString();
}

INSTANTIATE_TEST_SUITE_P(OneOrTwoAtATime, SourceReplacedTest, ::testing::Bool());

// Copied in the kernel, or read and written (as between two file systems).
class CopiedBesideTest : public ExportJobTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CopiedBesideTest, FilesCopiedBesideEachOtherComeOutAsIfCopiedOneByOne)
{
    // Bad sectors where the second copy stops mid-file and at a file's first
    // byte, one in a file the export copies itself, and a file running past
    // the source's end.
    auto plan = std::make_shared<FaultPlan>(image);
    plan->kernelCopy = GetParam();
    plan->badArea(1100288, 1100800);
    plan->badArea(2300416, 2300928);
    plan->badArea(2400256, 2402304);
    ScopedFaultDevices scope(plan);
    QList<SPlayListTableItem> rows;
    // Files 3 to 5 from a second source, opened only at its first file's turn.
    for (int i = 0; i < 10; ++i) {
        const qint64 at = 100000 + i * 300000 + (i % 3) * 77;
        rows << makeRow(i >= 2 && i <= 4 ? "src2" : "src", {{at, at + 150000}, {at + 150001, at + 300000}}, i + 1);
    }
    // The newest file the second copy can take is the one it begins with.
    rows << makeRow("src", {{2400256, 2600000}}, 11) << makeRow("src", {{2250000, 2300000}, {2300001, 2450000}}, 12)
         << makeRow("src", {{image.size() - 100, image.size() + 5}}, 13);
    const auto run = [&](bool seeks, const QString& folder, QStringList* said) {
        QDir(tmp.path()).mkpath(folder);
        ExportJob job;
        job.onDiagnostic = [&](const QString& m) {
            *said << QString(m).replace(folder, "OUT");
            // Told of the bad sector in a file it copied itself, the export
            // waits until the second copy began: else it takes back files
            // not begun, on a fast machine all of them.
            if (!seeks) {
                EXPECT_TRUE(plan->waitForReaderThreads(2));
            }
        };
        job.readsSeek = [seeks](const QByteArray&) { return seeks; };
        EXPECT_EQ(job.exportAll(rows, QFile::encodeName(tmp.filePath(folder))), 0);
        *said << job.result().details().replaceInStrings(folder, "OUT");
        *said << QString::number(job.bytesWritten()) << QString::number(job.failedRows());
    };
    QStringList alone, beside;
    run(true, "alone", &alone);
    EXPECT_EQ(plan->readerThreads(), 1u);
    run(false, "beside", &beside);
    EXPECT_EQ(plan->readerThreads(), 2u);
    EXPECT_EQ(beside, alone);
    for (const SPlayListTableItem& row : rows) {
        const QString name = singleFileName(row);
        EXPECT_TRUE(readFile(tmp.filePath("beside/" + name)) == readFile(tmp.filePath("alone/" + name))) << row.iSerial;
    }
    EXPECT_EQ(plan->created(), plan->deleted());
}

INSTANTIATE_TEST_SUITE_P(KernelCopyOrRead, CopiedBesideTest, ::testing::Bool());
