#include "export/ExportCli.h"
#include "export/ExportCore.h"
#include "ExportTestSupport.h"
#include "support/FaultDevice.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace exporttest;

namespace {

// Captures what run() prints on its error stream.
struct Captured {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    ~Captured()
    {
        if (f)
            std::fclose(f);
        std::free(data);
    }
    QString text()
    {
        std::fflush(f);
        return QString::fromUtf8(data, int(size));
    }
};

QList<int> serialsOf(const QList<SPlayListTableItem>& rows)
{
    QList<int> s;
    for (const auto& r : rows)
        s << r.iSerial;
    return s;
}

} // namespace

TEST(ExportCliSerials, ListsRangesAndRejects)
{
    QList<int> s;
    QString error;
    ASSERT_TRUE(ExportCli::parseSerials("1,4,7-9", &s, &error));
    EXPECT_EQ(s, QList<int>({1, 4, 7, 8, 9}));
    ASSERT_TRUE(ExportCli::parseSerials("9-7, 3", &s, &error));
    EXPECT_EQ(s, QList<int>({9, 8, 7, 3}));
    for (const char* bad : {"", "1,,2", "0", "-3", "a", "1-", "2-x", "+4", "1-99999999"}) {
        EXPECT_FALSE(ExportCli::parseSerials(bad, &s, &error)) << bad;
        EXPECT_FALSE(error.isEmpty());
    }
}

// Found in serial order (as a scan lists them) or not (as a list sorted by hand).
class ExportCliSelection : public ::testing::TestWithParam<bool> {};

TEST_P(ExportCliSelection, OrderAndRepeats)
{
    const QList<SPlayListTableItem> found =
        GetParam() ? QList<SPlayListTableItem>{makeRow("a", {{0, 1}}, 1), makeRow("a", {{0, 1}}, 2),
                                               makeRow("a", {{0, 1}}, 3)}
                   : QList<SPlayListTableItem>{makeRow("a", {{0, 1}}, 3), makeRow("a", {{0, 1}}, 1),
                                               makeRow("a", {{0, 1}}, 2)};
    ExportCli::Options o;
    QList<SPlayListTableItem> rows;
    QString error;
    ASSERT_TRUE(ExportCli::selectRows(found, o, true, &rows, &error));
    EXPECT_EQ(serialsOf(rows), QList<int>({1, 2, 3}));
    o.hasSerials = true;
    o.serials = {3, 1, 3};
    ASSERT_TRUE(ExportCli::selectRows(found, o, true, &rows, &error));
    EXPECT_EQ(serialsOf(rows), QList<int>({3, 1, 3}));
    ASSERT_TRUE(ExportCli::selectRows(found, o, false, &rows, &error));
    EXPECT_EQ(serialsOf(rows), QList<int>({3, 1}));
    o.serials = {2, 5};
    EXPECT_FALSE(ExportCli::selectRows(found, o, false, &rows, &error));
    EXPECT_TRUE(error.contains("5"));
    o.serials = {0};
    EXPECT_FALSE(ExportCli::selectRows(found, o, false, &rows, &error));
}

INSTANTIATE_TEST_SUITE_P(Found, ExportCliSelection, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "InSerialOrder" : "Shuffled"; });

TEST(ExportCliRun, ExportsAndMergesAndReportsOnlyFullSuccess)
{
    QTemporaryDir tmp;
    const QByteArray image = patternBytes(400000, 5);
    const QByteArray path = QFile::encodeName(tmp.filePath("d.img"));
    ASSERT_TRUE(writeFile(tmp.filePath("d.img"), image));
    const QList<SPlayListTableItem> found = {makeRow(path, {{100, 1000}}, 1), makeRow(path, {{5000, 300000}}, 2),
                                             makeRow(path, {{0, 512}}, 3)};
    ExportCli::Options o;
    o.exportDir = tmp.path();
    o.mergeFile = tmp.filePath("all.TKL");
    o.hasSerials = true;
    o.serials = {3, 1};
    {
        Captured err;
        ASSERT_EQ(ExportCli::run(o, found, err.f), ExportCli::Outcome::AllWritten) << err.text().toStdString();
        EXPECT_TRUE(err.text().contains("exported 2 fragments to " + tmp.path() + ": 1412 of 1412 bytes"))
            << err.text().toStdString();
        EXPECT_TRUE(err.text().contains("merged 2 fragments into " + o.mergeFile));
    }
    EXPECT_TRUE(readFile(tmp.filePath(ExportCore::singleFileName(found[0]))) == expectedBytes(image, found[0]));
    EXPECT_TRUE(readFile(tmp.filePath(ExportCore::singleFileName(found[2]))) == expectedBytes(image, found[2]));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath(ExportCore::singleFileName(found[1]))));
    EXPECT_TRUE(readFile(o.mergeFile) == expectedBytes(image, found[2]) + expectedBytes(image, found[0]));

    // A serial that was not found: nothing is written at all.
    ExportCli::Options bad = o;
    bad.mergeFile = tmp.filePath("never.TKL");
    bad.serials = {1, 9};
    {
        Captured err;
        EXPECT_EQ(ExportCli::run(bad, found, err.f), ExportCli::Outcome::BadSerial);
        EXPECT_TRUE(err.text().contains("serial 9"));
        EXPECT_FALSE(QFileInfo::exists(bad.mergeFile));
    }

    // A fragment reaching past the end of its source: not every byte was written.
    const QList<SPlayListTableItem> beyond = {makeRow(path, {{399000, 401000}}, 1)};
    ExportCli::Options m;
    m.mergeFile = tmp.filePath("short.TKL");
    {
        Captured err;
        EXPECT_EQ(ExportCli::run(m, beyond, err.f), ExportCli::Outcome::Incomplete);
        EXPECT_TRUE(err.text().contains("d.img")) << err.text().toStdString();
        EXPECT_TRUE(err.text().contains("short read"));
        EXPECT_TRUE(err.text().contains("merge into " + m.mergeFile + " incomplete: 1000 of 2000 bytes"));
    }

    // One unreadable sector: the file is whole but for it, and not a success.
    {
        auto plan = std::make_shared<FaultPlan>(image);
        plan->badArea(10240, 10752);
        ScopedFaultDevices devices(plan);
        ExportCli::Options z;
        z.exportDir = tmp.path();
        const QList<SPlayListTableItem> rows = {makeRow("dev", {{5000, 300000}}, 7)};
        Captured err;
        EXPECT_EQ(ExportCli::run(z, rows, err.f), ExportCli::Outcome::Incomplete);
        const QString file = tmp.filePath(ExportCore::singleFileName(rows[0]));
        EXPECT_TRUE(err.text().contains(file + ": 512 unreadable bytes written as zeros")) << err.text().toStdString();
        EXPECT_EQ(QFileInfo(file).size(), 295000);
    }

    // An interrupt stops the copy and is reported as such.
    std::atomic<bool> stop{true};
    ExportCli::Options i;
    i.mergeFile = tmp.filePath("stopped.TKL");
    i.interrupt = &stop;
    {
        Captured err;
        EXPECT_EQ(ExportCli::run(i, found, err.f), ExportCli::Outcome::Interrupted);
        EXPECT_TRUE(err.text().contains("interrupted"));
        EXPECT_TRUE(err.text().contains(i.mergeFile + ".part")) << err.text().toStdString();
    }
}
