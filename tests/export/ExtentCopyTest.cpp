#include "export/ExtentCopy.h"
#include "ExportTestSupport.h"
#include "support/FaultDevice.h"

#include <gtest/gtest.h>

using namespace ExportCore;

namespace {

struct BadLayout {
    const char* name;
    qint64 start, end;             // the extent copied
    std::vector<std::pair<qint64, qint64>> bad;
    int maxReads;                  // a bad area is narrowed, never read sector by sector;
                                   // inside it a block costs a few reads
};

class ExtentCopyBadAreas : public ::testing::TestWithParam<BadLayout> {};

} // namespace

// Whatever the bad layout: the output has the extent's length, holds the
// source's bytes at their own offsets, and zeros exactly on the bad sectors.
TEST_P(ExtentCopyBadAreas, ZerosExactlyTheBadSectorsWithFewReads)
{
    const BadLayout& p = GetParam();
    const QByteArray image = exporttest::patternBytes(6 << 20, 99);
    auto plan = std::make_shared<FaultPlan>(image);
    QByteArray expected = image.mid(int(p.start), int(p.end - p.start));
    qint64 badBytes = 0;
    for (const auto& b : p.bad) {
        plan->badArea(b.first, b.second);
        const qint64 from = std::max(b.first, p.start), to = std::min(b.second, p.end);
        if (to > from) {
            expected.replace(int(from - p.start), int(to - from), QByteArray(int(to - from), '\0'));
            badBytes += to - from;
        }
    }
    FaultDevice device(plan, "dev");
    ASSERT_EQ(device.open(NyxAccessRead, NyxOpenExisting), 0);
    ExtentCopier copier;
    copier.setDevice(&device);
    QByteArray out;
    CopyTally tally;
    const CopyEnd end = copier.copy(p.start, p.end, [&](const char* d, qint64 n) {
        out.append(d, int(n));
        return true;
    }, &tally);
    EXPECT_EQ(end, CopyEnd::Done);
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(tally.zeroFilled, badBytes);
    EXPECT_EQ(tally.leftOut, 0);
    EXPECT_LE(int(plan->reads().size()), p.maxReads);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExtentCopyBadAreas,
    ::testing::Values(BadLayout{"OneSector", 1000, 3000000, {{1500160, 1500672}}, 20},
                      BadLayout{"FirstSectorOfTheExtent", 0, 2000000, {{0, 512}}, 20},
                      BadLayout{"TwoSectorsInOneBlock", 100, 1048576, {{4096, 4608}, {900096, 900608}}, 32},
                      BadLayout{"AcrossABlockEdge", 0, 3 << 20, {{(1 << 20) - 1024, (1 << 20) + 1024}}, 24},
                      BadLayout{"TwoMiBArea", 0, 6 << 20, {{(1 << 20) + 4096, (3 << 20) + 8192}}, 50},
                      BadLayout{"EverythingBad", 700, 2 << 20, {{0, 6 << 20}}, 30},
                      BadLayout{"FourMiBArea", 0, 6 << 20, {{(1 << 20) + 4096, (5 << 20) + 4096}}, 56}),
    [](const ::testing::TestParamInfo<BadLayout>& i) { return std::string(i.param.name); });
