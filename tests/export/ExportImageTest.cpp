// Exports of the fragments of generated images, found by the generator's truth.
#include "export/ExportCore.h"
#include "tools/imagegen/ImageGen.h"
#include "ExportTestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace exporttest;

namespace {

QList<SPlayListTableItem> rowsOf(const imagegen::Truth& truth, const QByteArray& disk, int firstSerial)
{
    QList<SPlayListTableItem> rows;
    for (const imagegen::TruthFragment& t : truth) {
        SPlayListTableItem row;
        row.sFragmentFit.diskName = disk;
        row.sFragmentFit.formatCode = t.format;
        row.sFragmentFit.stream = t.stream;
        row.sFragmentFit.firstTime = t.firstTime;
        row.sFragmentFit.lastTime = t.lastTime;
        row.sFragmentFit.totalBytes = t.totalBytes;
        row.sFragmentFit.frameCount = t.frameCount;
        row.sFragmentFit.extents = std::make_shared<const SExtentList>(t.extents);
        row.iSerial = firstSerial + t.serial - 1;
        rows.append(row);
    }
    return rows;
}

} // namespace

TEST(ExportGeneratedImages, EveryFragmentExportsToItsFramesAndMergesInOrder)
{
    QTemporaryDir tmp;
    imagegen::Truth truthA, truthB;
    const QByteArray a = imagegen::generateImageBytes(9 * 1024 * 1024 + 123, 11, &truthA);
    const QByteArray b = imagegen::generateImageBytes(5 * 1024 * 1024, 29, &truthB);
    ASSERT_GE(truthA.size(), 3);
    ASSERT_GE(truthB.size(), 2);
    ASSERT_TRUE(writeFile(tmp.filePath("a.img"), a));
    ASSERT_TRUE(writeFile(tmp.filePath("b.img"), b));
    const QList<SPlayListTableItem> rowsA = rowsOf(truthA, QFile::encodeName(tmp.filePath("a.img")), 1);
    const QList<SPlayListTableItem> rowsB = rowsOf(truthB, QFile::encodeName(tmp.filePath("b.img")), 1001);

    QDir(tmp.path()).mkpath("out");
    ExportCore::ExportJob job;
    QStringList diagnostics;
    job.onDiagnostic = [&](const QString& m) { diagnostics << m; };
    ASSERT_EQ(job.exportAll(rowsA + rowsB, QFile::encodeName(tmp.filePath("out"))), 1)
        << diagnostics.join('\n').toStdString();
    EXPECT_EQ(job.bytesWritten(), job.bytesTotal());
    for (const auto& [rows, image] : {qMakePair(rowsA, a), qMakePair(rowsB, b)}) {
        for (const SPlayListTableItem& row : rows) {
            const QByteArray got = readFile(tmp.filePath("out/" + ExportCore::singleFileName(row)));
            ASSERT_EQ(got.size(), row.sFragmentFit.totalBytes) << row.iSerial;
            EXPECT_TRUE(got == expectedBytes(image, row)) << row.iSerial;
            // A fragment starts on a frame's magic (a lone frame may be shorter than it).
            EXPECT_TRUE(QByteArray("\x00\x00\x01\xb7", 4).startsWith(got.left(4))) << row.iSerial;
        }
    }

    // Interleaved rows of both images, in list order.
    QList<SPlayListTableItem> mixed;
    QByteArray expected;
    for (int i = 0; i < qMax(rowsA.size(), rowsB.size()); ++i) {
        if (i < rowsB.size()) {
            mixed << rowsB[i];
            expected += expectedBytes(b, rowsB[i]);
        }
        if (i < rowsA.size()) {
            mixed << rowsA[rowsA.size() - 1 - i];
            expected += expectedBytes(a, rowsA[rowsA.size() - 1 - i]);
        }
    }
    ASSERT_EQ(job.videoMerge(mixed, QFile::encodeName(tmp.filePath("merged.TKL"))), 1);
    const QByteArray merged = readFile(tmp.filePath("merged.TKL"));
    EXPECT_EQ(merged.size(), expected.size());
    EXPECT_TRUE(merged == expected);
}
