// The progress line shared by the scan and the export, on a stepped clock.
#include "tools/cli/TerminalProgress.h"

#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 MB = 1000 * 1000;

// What a printer wrote into a memory stream.
struct Captured {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    ~Captured() { std::free(data); }
    QByteArray text()
    {
        std::fflush(file);
        return QByteArray(data, int(size));
    }
    void close() { std::fclose(file); }
};

struct Line {
    qint64 elapsedMs, done, total;
    const char* expected;
};

class TerminalProgressLine : public ::testing::TestWithParam<Line> {};

} // namespace

TEST_P(TerminalProgressLine, ReadsTheClockAndTheBytes)
{
    const Line l = GetParam();
    ManualClock clock;
    Captured out;
    TerminalProgress progress(out.file, true, clock);
    clock.advance(l.elapsedMs, 0);
    progress.draw(l.done, l.total, "exporting");
    EXPECT_EQ(out.text(), QByteArray("\r\033[K") + l.expected);
    progress.clear();
    EXPECT_TRUE(out.text().endsWith("\r\033[K"));
    out.close();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TerminalProgressLine,
    ::testing::Values(
        Line{2000, 50 * MB, 100 * MB, " 50%  50.0 MB of 100.0 MB  elapsed 00:00:02  left 00:00:01  25.0 MB/s  exporting"},
        Line{500, 0, 3000 * MB, "  0%  0 B of 3.00 GB  elapsed 00:00:00  left --:--:--  0.0 MB/s  exporting"},
        Line{3725000, 3000 * MB, 3000 * MB, "100%  3.00 GB of 3.00 GB  elapsed 01:02:05  left 00:00:00  0.8 MB/s  exporting"},
        // The published position runs past the range end on the last refills.
        Line{1000, 7 * MB, 5 * MB, "100%  7.0 MB of 5.0 MB  elapsed 00:00:01  left 00:00:00  7.0 MB/s  exporting"}));

TEST(TerminalProgress, OffATerminalWritesNothing)
{
    ManualClock clock;
    Captured out;
    TerminalProgress progress(out.file, false, clock);
    progress.draw(1, 2, "scanning");
    progress.clear();
    EXPECT_TRUE(out.text().isEmpty());
    out.close();
}
