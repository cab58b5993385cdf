// Framing and header stripping: what km2 hands to mplayer must be exactly the
// payload the recorder framed, whatever damage lies around the frames.
#include "tools/tklframe/TklFrame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace tklframe;

namespace {
std::string bytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = char(rng() & 0xFF);
    }
    // No accidental headers inside payloads (an H.264 stream cannot hold
    // 00 00 01 B7 either: emulation prevention).
    for (std::size_t i = 0; i + 3 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1)
            s[i + 2] = 2;
    return s;
}
const std::uint8_t* u8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string strip(const std::string& framed, UnframeStats* st = nullptr)
{
    std::string out;
    EXPECT_EQ(unframe(u8(framed), framed.size(), true, out, st), framed.size());
    return out;
}

std::string header(std::size_t len, std::uint8_t a = 0x40, std::uint8_t b = 0x00)
{
    return std::string{0x00, 0x00, 0x01, char(0xB7), char(len & 0xFF), char(len >> 8), char(a), char(b)};
}
} // namespace

TEST(TklFrame, FramesCarryHeaderLengthAndVariant)
{
    const std::string payload = bytes(10000, 1);
    const std::string framed = frame(u8(payload), payload.size(), 4000, 1);
    ASSERT_EQ(framed.size(), payload.size() + 3 * kHeaderSize);
    EXPECT_EQ(framed.substr(0, 8), header(4008));
    EXPECT_EQ(framed.substr(4008, 8), header(4008));
    EXPECT_EQ(framed.substr(8016, 8), header(2008));
    EXPECT_EQ(framed.substr(8024), payload.substr(8000));

    const std::string v2 = frame(u8(payload), 100, 4000, 2);
    EXPECT_EQ(v2.substr(0, 8), header(108, 0x00, 0x40));
    // The payload size is clamped to what a 16-bit length can carry.
    const std::string big = bytes(200000, 2);
    const std::string framedBig = frame(u8(big), big.size(), 1 << 20);
    EXPECT_EQ(framedBig.substr(0, 8), header(0xFFFF));
    EXPECT_EQ(strip(framedBig), big);
}

TEST(TklFrame, HeaderRecognition)
{
    std::size_t len = 0;
    EXPECT_TRUE(parseHeader(u8(header(8)), &len));
    EXPECT_EQ(len, 8u);
    EXPECT_TRUE(parseHeader(u8(header(0xFFFF, 0x00, 0x40)), &len));
    EXPECT_EQ(len, 0xFFFFu);
    EXPECT_FALSE(parseHeader(u8(header(100, 0x40, 0x40)), &len));
    EXPECT_FALSE(parseHeader(u8(header(100, 0x00, 0x00)), &len));
    EXPECT_TRUE(parseHeader(u8(header(7)), &len)); // a frame without payload, as the scan takes it
    EXPECT_EQ(len, 7u);
    EXPECT_FALSE(parseHeader(u8(header(0)), &len));
    const std::string reversed = std::string{char(0xB7), 0x01, 0x00, 0x00, 0x10, 0x00, 0x40, 0x00};
    EXPECT_FALSE(parseHeader(u8(reversed), &len));
}

TEST(TklFrame, RoundTripAnySizeAndEmpty)
{
    for (std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(4095), std::size_t(4096), std::size_t(70001)}) {
        const std::string payload = bytes(n, unsigned(n) + 3);
        UnframeStats st;
        EXPECT_EQ(strip(frame(u8(payload), n, 4096), &st), payload) << n;
        EXPECT_EQ(st.frames, (n + 4095) / 4096);
        EXPECT_EQ(st.skippedBytes + st.droppedTail + st.repaired, 0u);
    }
}

TEST(TklFrame, FramesShorterThanTheirHeaderPassNothingOn)
{
    const std::string a = bytes(3000, 8), b = bytes(200, 9);
    for (int len = 1; len < 8; ++len) {
        const std::string framed = frame(u8(a), a.size(), 1000) + header(len) + frame(u8(b), b.size());
        UnframeStats st;
        EXPECT_EQ(strip(framed, &st), a + b) << len;
        EXPECT_EQ(st.frames, 4u) << len;
        EXPECT_EQ(st.skippedBytes, 0u) << len;
    }
}

TEST(TklFrame, SkipsJunkAroundAndBetweenFrames)
{
    const std::string a = bytes(3000, 4), b = bytes(5000, 5);
    // Junk that even starts like a header but with a bad variant.
    const std::string junk = std::string("\x00\x00\x01\xB7\x20\x00\x40\x40", 8) + bytes(100, 6);
    const std::string framed = junk + frame(u8(a), a.size(), 1000) + junk + frame(u8(b), b.size(), 1000) + junk;
    UnframeStats st;
    EXPECT_EQ(strip(framed, &st), a + b);
    EXPECT_EQ(st.frames, 8u);
    EXPECT_EQ(st.skippedBytes, 3 * junk.size());
}

TEST(TklFrame, DropsTruncatedTail)
{
    const std::string a = bytes(3000, 7);
    std::string framed = frame(u8(a), a.size(), 1000);
    framed.resize(framed.size() - 10); // the last frame lost its end
    UnframeStats st;
    EXPECT_EQ(strip(framed, &st), a.substr(0, 2000));
    EXPECT_EQ(st.frames, 2u);
    EXPECT_EQ(st.droppedTail, 998u);
    // A lone partial header at the end is dropped too.
    framed = frame(u8(a), 1000, 1000) + header(1008).substr(0, 5);
    EXPECT_EQ(strip(framed), a.substr(0, 1000));
}

TEST(TklFrame, DamagedLengthDoesNotSwallowFollowingFrames)
{
    const std::string a = bytes(4000, 8);
    std::string framed = frame(u8(a), a.size(), 1000);
    // Frame 1 claims to be 3000 bytes long: frames 2 and 3 lie inside it.
    framed[1008 + 4] = char(3000 & 0xFF);
    framed[1008 + 5] = char(3000 >> 8);
    UnframeStats st;
    EXPECT_EQ(strip(framed, &st), a);
    EXPECT_EQ(st.repaired, 1u);
    EXPECT_EQ(st.frames, 3u);

    // The last frame claims more than the data holds and no header follows:
    // an incomplete frame, dropped.
    framed = frame(u8(a), a.size(), 1000);
    framed[3024 + 4] = char(0xFF);
    framed[3024 + 5] = char(0x7F);
    EXPECT_EQ(strip(framed), a.substr(0, 3000));

    // A damaged header (bad magic) loses only that frame.
    framed = frame(u8(a), a.size(), 1000);
    framed[1008 + 3] = 0x00;
    EXPECT_EQ(strip(framed), a.substr(0, 1000) + a.substr(2000));
}

TEST(TklFrame, StreamingMatchesWholeBufferForAnyChunking)
{
    const std::string a = bytes(300000, 9);
    std::string framed = std::string(77, '\x11') + frame(u8(a), a.size(), 65527 - 13);
    framed[70000] ^= 0x5A; // some damage in a payload byte does not matter
    framed.insert(140000, std::string(1000, '\0'));
    framed.resize(framed.size() - 3);
    UnframeStats whole;
    const std::string expected = strip(framed, &whole);
    for (std::size_t chunk : {std::size_t(1), std::size_t(4096), std::size_t(65536), std::size_t(1) << 20}) {
        Unframer u;
        std::string out;
        for (std::size_t at = 0; at < framed.size(); at += chunk)
            u.feed(u8(framed) + at, std::min(chunk, framed.size() - at), out);
        u.finish(out);
        EXPECT_EQ(out, expected) << chunk;
        EXPECT_EQ(u.stats().frames, whole.frames) << chunk;
        EXPECT_EQ(u.stats().skippedBytes, whole.skippedBytes) << chunk;
        EXPECT_EQ(u.stats().droppedTail, whole.droppedTail) << chunk;
    }
    EXPECT_EQ(whole.skippedBytes, 77u + 1000u);
    EXPECT_GT(whole.droppedTail, 0u);
}
