#include "support/ReferenceRecogniser.h"
#include "scan/FrameHeaderSearch.h"

#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <vector>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const unsigned char kV1[8] = {0x00, 0x00, 0x01, 0xB7, 0x34, 0x12, 0x40, 0x00};
const unsigned char kV2[8] = {0x00, 0x00, 0x01, 0xB7, 0xff, 0xff, 0x00, 0x40};

// A window placed so that exactly 4 readable bytes follow it (the over-read
// allowance) before the end of the allocation; ASan catches anything further.
struct Window {
    std::vector<unsigned char> storage;
    qint32 n;
    explicit Window(std::vector<unsigned char> bytes, const std::vector<unsigned char>& after = {0, 0, 0, 0})
        : storage(std::move(bytes)), n(qint32(storage.size()))
    {
        storage.insert(storage.end(), after.begin(), after.end());
        storage.resize(size_t(n) + 4, 0);
        storage.shrink_to_fit();
    }
    const unsigned char* data() const { return storage.data(); }
};

struct Outcome {
    bool found;
    qint32 at;
    FrameInfo info;
};

struct Impl {
    const char* name;
    FrameHeaderSearch::Search search;
    bool available;
};

// ctest lists parameterised tests with their parameter; the name is enough.
void PrintTo(const Impl& impl, std::ostream* os) { *os << impl.name; }

std::vector<Impl> impls()
{
    std::vector<Impl> v = {{"findFrameHeader", &CFragmentFit::findFrameHeader, true},
                           {"portable", &FrameHeaderSearch::portable, true}};
#if defined(CORVO_HAVE_X86_SEARCH)
    v.push_back({"sse2", &FrameHeaderSearch::sse2, true});
    v.push_back({"avx2", &FrameHeaderSearch::avx2, FrameHeaderSearch::avx2Supported()});
#endif
    return v;
}

// The implementation under test.
FrameHeaderSearch::Search g_search = &CFragmentFit::findFrameHeader;

Outcome fast(const unsigned char* w, qint32 n, FrameInfo start = FrameInfo{7, 9, 11})
{
    Outcome o{false, -1, start};
    o.found = g_search(w, n, o.at, o.info);
    return o;
}

Outcome reference(const unsigned char* w, qint32 n, FrameInfo start = FrameInfo{7, 9, 11})
{
    Outcome o{false, -1, start};
    o.found = referenceFindFrameHeader(w, n, o.at, o.info);
    return o;
}

void expectEqual(const unsigned char* w, qint32 n, const char* what)
{
    const Outcome a = fast(w, n);
    const Outcome b = reference(w, n);
    ASSERT_EQ(a.found, b.found) << what << " n=" << n;
    ASSERT_EQ(a.at, b.at) << what << " n=" << n;
    ASSERT_EQ(a.info.length, b.info.length) << what << " n=" << n;
    ASSERT_EQ(a.info.time, b.info.time) << what << " n=" << n;
    ASSERT_EQ(a.info.stream, b.info.stream) << what << " n=" << n;
}

class FrameHeader : public testing::TestWithParam<Impl> {
protected:
    void SetUp() override
    {
        if (!GetParam().available)
            GTEST_SKIP() << GetParam().name << " not supported by this processor";
        g_search = GetParam().search;
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Implementations, FrameHeader, testing::ValuesIn(impls()),
                         [](const testing::TestParamInfo<Impl>& info) { return std::string(info.param.name); });

TEST_P(FrameHeader, SmallAndNegativeWindowsFindNothingAndReportZero)
{
    Window w({0x00, 0x00, 0x01, 0xB7, 0x10, 0x00, 0x40, 0x00});
    for (qint32 n : {-100, -1, 0, 1, 2, 3}) {
        const Outcome o = fast(w.data(), n);
        EXPECT_FALSE(o.found) << n;
        EXPECT_EQ(o.at, 0) << n;
        EXPECT_EQ(o.info.length, 11) << "info untouched on failure";
    }
    // From 4 bytes on the header at 0 is examined; its bytes 4..7 come from
    // the over-read for n < 8.
    for (qint32 n = 4; n <= 8; ++n) {
        const Outcome o = fast(w.data(), n);
        EXPECT_TRUE(o.found) << n;
        EXPECT_EQ(o.at, 0);
        EXPECT_EQ(o.info.length, 16);
        EXPECT_EQ(o.info.time, 0u);
        EXPECT_EQ(o.info.stream, 0);
    }
}

TEST_P(FrameHeader, LastExaminedPositionIsNMinus4AndFailureResumesAtNMinus3)
{
    for (qint32 n : {8, 16, 63, 64, 65, 66, 67, 68, 100, 129, 1000}) {
        std::vector<unsigned char> bytes(size_t(n) + 8, 0x11);
        std::memcpy(&bytes[size_t(n - 4)], kV1, 8);
        const Outcome hit = fast(bytes.data(), n);
        EXPECT_TRUE(hit.found) << n;
        EXPECT_EQ(hit.at, n - 4);
        EXPECT_EQ(hit.info.length, 0x1234);

        std::fill(bytes.begin(), bytes.end(), 0x11);
        std::memcpy(&bytes[size_t(n - 3)], kV1, 8);
        const Outcome miss = fast(bytes.data(), n);
        EXPECT_FALSE(miss.found) << n;
        EXPECT_EQ(miss.at, n - 3) << "resume exactly at the first unexamined position";
        // Resuming there with a longer window finds it.
        const Outcome later = fast(bytes.data() + miss.at, 8);
        EXPECT_TRUE(later.found);
        EXPECT_EQ(later.at, 0);
    }
}

TEST_P(FrameHeader, VariantsLengthZeroAndReversedMagic)
{
    auto probe = [](std::vector<unsigned char> h) {
        h.resize(64, 0x22);
        return fast(h.data(), 40);
    };
    EXPECT_TRUE(probe({0, 0, 1, 0xB7, 5, 0, 0x40, 0x00}).found);
    EXPECT_TRUE(probe({0, 0, 1, 0xB7, 5, 0, 0x00, 0x40}).found);
    EXPECT_FALSE(probe({0, 0, 1, 0xB7, 5, 0, 0x40, 0x40}).found);
    EXPECT_FALSE(probe({0, 0, 1, 0xB7, 5, 0, 0x00, 0x00}).found);
    EXPECT_FALSE(probe({0, 0, 1, 0xB7, 5, 0, 0x41, 0x00}).found);
    EXPECT_FALSE(probe({0, 0, 1, 0xB7, 5, 0, 0x00, 0xC0}).found);
    EXPECT_FALSE(probe({0xB7, 1, 0, 0, 5, 0, 0x40, 0x00}).found);
    EXPECT_FALSE(probe({0, 0, 1, 0xB7, 0, 0, 0x40, 0x00}).found);
    EXPECT_FALSE(probe({0, 1, 1, 0xB7, 5, 0, 0x40, 0x00}).found);
    // Length is little-endian and may be the full 65535.
    const Outcome big = probe({0, 0, 1, 0xB7, 0xff, 0xff, 0x00, 0x40});
    EXPECT_EQ(big.info.length, 65535);
    const Outcome one = probe({0, 0, 1, 0xB7, 1, 0, 0x40, 0x00});
    EXPECT_EQ(one.info.length, 1);
    const Outcome hi = probe({0, 0, 1, 0xB7, 0, 1, 0x40, 0x00});
    EXPECT_EQ(hi.info.length, 256);
}

TEST_P(FrameHeader, HeaderInsideALengthZeroHeaderIsFound)
{
    // 00 00 01 B7 00 00 01 B7 07 00 40 00: the first has length 0 (bytes 4,5)
    // and variant 01 B7 -> rejected anyway; build one whose variant passes.
    std::vector<unsigned char> b = {0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x40, 0x00,
                                    0x00, 0x00, 0x01, 0xB7, 0x09, 0x00, 0x00, 0x40};
    b.resize(80, 0x33);
    const Outcome o = fast(b.data(), 60);
    EXPECT_TRUE(o.found);
    EXPECT_EQ(o.at, 8);
    EXPECT_EQ(o.info.length, 9);
    // Overlapping headers: one starting inside the previous one's header.
    std::vector<unsigned char> c = {0x00, 0x00, 0x00, 0x00, 0x01, 0xB7, 0x00, 0x00, 0x01, 0xB7, 0x05, 0x00, 0x40, 0x00};
    c.resize(80, 0x33);
    const Outcome p = fast(c.data(), 60);
    EXPECT_TRUE(p.found);
    EXPECT_EQ(p.at, 6);
    EXPECT_EQ(p.info.length, 5);
    expectEqual(c.data(), 60, "overlapping");
}

TEST_P(FrameHeader, FirstOfTwoHeadersIsReported)
{
    std::vector<unsigned char> b(300, 0x44);
    std::memcpy(&b[150], kV2, 8);
    std::memcpy(&b[77], kV1, 8);
    const Outcome o = fast(b.data(), 290);
    EXPECT_TRUE(o.found);
    EXPECT_EQ(o.at, 77);
    EXPECT_EQ(o.info.length, 0x1234);
}

TEST_P(FrameHeader, EqualsReferenceOnHeadersAtEveryOffsetNearBothEdges)
{
    const unsigned char* traps[] = {
        kV1, kV2,
        (const unsigned char*)"\x00\x00\x01\xB7\x00\x00\x40\x00", // length 0
        (const unsigned char*)"\x00\x00\x01\xB7\x10\x00\x40\x40", // both 40
        (const unsigned char*)"\x00\x00\x01\xB7\x10\x00\x00\x00", // both 00
        (const unsigned char*)"\xB7\x01\x00\x00\x10\x00\x40\x00", // reversed
        (const unsigned char*)"\x00\x01\xB7\x00\x10\x00\x40\x00", // shifted
        (const unsigned char*)"\x01\xB7\x01\xB7\x01\xB7\x01\xB7", // pairs only
    };
    for (qint32 n : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 63, 64, 65, 66, 67, 68, 69, 70, 71, 127, 128, 129, 130, 131, 200, 257}) {
        for (const unsigned char* trap : traps) {
            for (qint32 at = -7; at < n + 4; ++at) {
                for (unsigned char fillByte : {0x00, 0x01, 0xB7, 0x40}) {
                    std::vector<unsigned char> b(size_t(n) + 4, fillByte);
                    for (int k = 0; k < 8; ++k)
                        if (at + k >= 0 && at + k < n + 4)
                            b[size_t(at + k)] = trap[k];
                    expectEqual(b.data(), n, "edge");
                    if (HasFatalFailure())
                        return;
                }
            }
        }
    }
}

TEST_P(FrameHeader, EqualsReferenceOnRandomAndDenseWindows)
{
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    // Alphabets rich in the magic's bytes make near-misses common.
    const std::vector<std::vector<unsigned char>> alphabets = {
        {}, {0x00, 0x01, 0xB7, 0x40}, {0x00, 0x01, 0xB7, 0x40, 0x05, 0xff}, {0x00, 0x00, 0x00, 0x01, 0xB7}};
    for (int round = 0; round < 20000; ++round) {
        const qint32 n = std::uniform_int_distribution<int>(-3, round % 10 == 0 ? 5000 : 300)(rng);
        std::vector<unsigned char> b(size_t(std::max(n, 0)) + 4);
        const auto& alpha = alphabets[size_t(round) % alphabets.size()];
        for (auto& c : b)
            c = alpha.empty() ? (unsigned char)byte(rng) : alpha[size_t(rng()) % alpha.size()];
        // Sprinkle whole headers and traps.
        const int planted = std::uniform_int_distribution<int>(0, 3)(rng);
        for (int k = 0; k < planted && b.size() >= 8; ++k) {
            const size_t at = size_t(rng()) % (b.size() - 7);
            std::memcpy(&b[at], (rng() & 1) ? kV1 : kV2, 8);
            if (rng() % 3 == 0)
                b[at + 4] = b[at + 5] = 0; // length 0
            if (rng() % 3 == 0)
                b[at + 6] = b[at + 7]; // wrong variant
        }
        expectEqual(b.data(), n, "random");
        if (HasFatalFailure())
            return;
    }
}

TEST_P(FrameHeader, NeverReadsMoreThanFourBytesPastTheWindow)
{
    // The window ends 4 bytes before a page nobody may read, so any read past
    // the allowance faults.
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void* region = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(region) + page, page, PROT_NONE), 0);
    auto* bytes = static_cast<unsigned char*>(region);
    const size_t span = 2000;
    for (unsigned char fillByte : {0x01, 0xB7, 0x00}) {
        std::memset(bytes, fillByte, page);
        // Pairs 01 B7 everywhere keep the vector loop stopping.
        if (fillByte == 0x01)
            for (size_t k = 1; k < page; k += 2)
                bytes[k] = 0xB7;
        unsigned char* limit = bytes + page - 4;
        for (qint32 n = 0; n <= qint32(span); ++n)
            expectEqual(limit - n, n, "guard");
        std::memcpy(bytes + page - 8, kV1, 8);
        const Outcome o = fast(limit - 100, 100);
        EXPECT_TRUE(o.found);
        EXPECT_EQ(o.at, 96);
    }
    munmap(region, 2 * page);
}
