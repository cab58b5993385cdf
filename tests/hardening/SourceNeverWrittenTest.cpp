// The source is only ever read: a scan, a preview and the exports of what was
// found leave an image's bytes and modification time as they were, opened
// through a read-only file, an immutable file and a read-only loop device.

#include "disk/Nyx.h"
#include "export/ExportCore.h"
#include "player/PreviewFile.h"
#include "scan/CFragmentFit.h"
#include "tools/imagegen/ImageGen.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

struct Fingerprint {
    QByteArray sha256;
    qint64 mtimeNs = 0;
    bool operator==(const Fingerprint& o) const { return sha256 == o.sha256 && mtimeNs == o.mtimeNs; }
};

Fingerprint fingerprint(const QString& path)
{
    Fingerprint f;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return f;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    f.sha256 = hash.result().toHex();
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0)
        f.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return f;
}

int run(const QString& program, const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000))
        return -1;
    if (out)
        *out = p.readAllStandardOutput().trimmed();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Scans the whole source, previews the first fragment and exports all of
// them one by one and merged. Returns the fragments found.
QList<SPlayListTableItem> scanPreviewAndExport(const QByteArray& diskName, qint64 size, const QString& outDir)
{
    QList<SPlayListTableItem> rows;
    CFragmentFit scan;
    QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                     [&](SFragmentFit f, int serial) {
                         SPlayListTableItem row;
                         row.sFragmentFit = f;
                         row.iSerial = serial;
                         rows.append(row);
                     },
                     Qt::DirectConnection);
    scan.setDevicePath(QByteArray("\\\\.\\" + diskName).constData());
    scan.setRange(0, size);
    scan.start();
    EXPECT_TRUE(scan.wait(120000));
    EXPECT_EQ(scan.lastError(), 0);
    if (rows.isEmpty())
        return rows;

    const PreviewResult preview = buildPreviewFile(rows.first().sFragmentFit, outDir + "/preview", "p.TKL");
    EXPECT_EQ(preview.status, PreviewResult::Written) << preview.message.toStdString();
    EXPECT_EQ(preview.readErrors, 0);

    ExportCore::ExportJob job;
    job.onDiagnostic = [](const QString& m) { ADD_FAILURE() << m.toStdString(); };
    EXPECT_EQ(job.exportAll(rows, QFile::encodeName(outDir)), 1);
    EXPECT_EQ(job.videoMerge(rows, QFile::encodeName(outDir + "/merged.TKL")), 1);
    qint64 total = 0;
    for (const SPlayListTableItem& r : rows)
        total += r.sFragmentFit.totalBytes;
    EXPECT_EQ(QFileInfo(outDir + "/merged.TKL").size(), total);
    return rows;
}

struct SourceNeverWritten : ::testing::Test {
    QTemporaryDir tmp;
    QString image;
    imagegen::Truth truth;
    qint64 size = 13 * MiB + 777;
    Fingerprint before;
    bool immutable = false;

    void SetUp() override
    {
        image = tmp.filePath("disk.img");
        QString error;
        ASSERT_TRUE(imagegen::generateImage(image, size, 2024, &truth, &error)) << error.toStdString();
        ASSERT_FALSE(truth.isEmpty());
        ASSERT_EQ(::chmod(QFile::encodeName(image).constData(), 0444), 0);
        before = fingerprint(image);
        ASSERT_FALSE(before.sha256.isEmpty());
    }
    void TearDown() override
    {
        if (immutable)
            run("chattr", {"-i", image});
    }
    QString outDir(const QString& name)
    {
        QDir(tmp.path()).mkpath(name);
        return tmp.filePath(name);
    }
};

} // namespace

TEST_F(SourceNeverWritten, ReadOnlyImageFile)
{
    const QList<SPlayListTableItem> rows = scanPreviewAndExport(QFile::encodeName(image), size, outDir("out"));
    EXPECT_EQ(rows.size(), truth.size());
    // An export aimed at the source itself is refused, not written.
    ExportCore::ExportJob job;
    job.onDiagnostic = [](const QString&) {};
    EXPECT_EQ(job.videoMerge(rows, QFile::encodeName(image)), 0);
    // So is a preview file that would replace it.
    const PreviewResult preview = buildPreviewFile(rows.first().sFragmentFit, tmp.path(), "disk.img");
    EXPECT_EQ(preview.status, PreviewResult::Failed);
    EXPECT_TRUE(preview.message.contains(image) && preview.message.contains("a source being recovered"))
        << preview.message.toStdString();
    EXPECT_TRUE(fingerprint(image) == before);
    EXPECT_EQ(QFileInfo(image).permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther), 0);
}

TEST_F(SourceNeverWritten, ImmutableImageFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: the immutable attribute needs root";
    if (run("chattr", {"+i", image}) != 0)
        GTEST_SKIP() << "chattr +i is not available or this filesystem has no immutable attribute";
    immutable = true;
    QByteArray attrs;
    ASSERT_EQ(run("lsattr", {image}, &attrs), 0);
    ASSERT_TRUE(attrs.split(' ').first().contains('i')) << attrs.constData();
    const QList<SPlayListTableItem> rows = scanPreviewAndExport(QFile::encodeName(image), size, outDir("out"));
    EXPECT_EQ(rows.size(), truth.size());
    EXPECT_TRUE(fingerprint(image) == before);
}

TEST_F(SourceNeverWritten, ReadOnlyLoopDevice)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: loop devices need root";
    QByteArray device;
    if (run("losetup", {"-r", "-f", "--show", image}, &device) != 0 || !device.startsWith("/dev/loop"))
        GTEST_SKIP() << "no read-only loop device available (losetup -r failed)";
    struct Detach {
        QByteArray device;
        ~Detach() { run("losetup", {"-d", QString::fromLatin1(device)}); }
    } detach{device};
    // A bare device name, as the disk tree hands it: "\\.\loopN" is /dev/loopN.
    const QByteArray name = device.mid(int(strlen("/dev/")));
    // The loop device ends on a 512-byte boundary, before the file does.
    NyxCIOSystemDevice* d = NyxfIOSystemDevice_new_not_open(nyxDevicePathForName(name).constData());
    ASSERT_EQ(NyxfIOSystemDevice_open(d, NyxAccessRead, NyxOpenExisting), 0);
    const qint64 deviceSize = d->size();
    NyxfIOSystemDevice_delete(&d);
    ASSERT_EQ(deviceSize, size & ~qint64(511));
    const QList<SPlayListTableItem> rows = scanPreviewAndExport(name, deviceSize, outDir("out"));
    const QList<SPlayListTableItem> fromFile = scanPreviewAndExport(QFile::encodeName(image), deviceSize, outDir("out2"));
    ASSERT_EQ(rows.size(), fromFile.size());
    EXPECT_GE(rows.size(), truth.size() - 1);
    for (int k = 0; k < rows.size(); ++k)
        EXPECT_EQ(rows[k].sFragmentFit.totalBytes, fromFile[k].sFragmentFit.totalBytes);
    EXPECT_TRUE(fingerprint(image) == before);
}
