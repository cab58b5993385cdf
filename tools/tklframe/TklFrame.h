#pragma once
// TKL frame layout shared by the scanner, the framing tool, the preview
// player and tests: 00 00 01 B7, 16-bit little-endian total length (header
// included), then 40 00 or 00 40, then the payload. Plain C++, no Qt: km2
// links it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tklframe {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMaxFrame = 0xFFFF;
constexpr std::size_t kMaxPayload = kMaxFrame - kHeaderSize;

// True when data (at least kHeaderSize bytes) starts with a frame header;
// *length receives its length. Recorders write lengths of 1 to 7 too: such a
// frame has no payload, and the scan still takes it as a frame.
// The start code and a variant, whatever the length.
inline bool hasStartAndVariant(const std::uint8_t* d)
{
    return d[0] == 0x00 && d[1] == 0x00 && d[2] == 0x01 && d[3] == 0xB7 &&
           ((d[6] == 0x40 && d[7] == 0x00) || (d[6] == 0x00 && d[7] == 0x40));
}
inline bool parseHeader(const std::uint8_t* d, std::size_t* length)
{
    if (!hasStartAndVariant(d))
        return false;
    const std::size_t len = std::size_t(d[4]) | (std::size_t(d[5]) << 8);
    if (len == 0)
        return false;
    if (length)
        *length = len;
    return true;
}

// Cuts payload into back-to-back frames of at most maxPayload payload bytes
// (clamped to 1..kMaxPayload). variant 1 writes 40 00, variant 2 writes 00 40.
std::string frame(const std::uint8_t* payload, std::size_t n, std::size_t maxPayload = 8192, int variant = 1);

struct UnframeStats {
    std::uint64_t frames = 0;        // frames whose payload was passed on
    std::uint64_t repaired = 0;      // frames cut short at a header found inside them
    std::uint64_t skippedBytes = 0;  // bytes that belonged to no frame
    std::uint64_t droppedTail = 0;   // bytes of an incomplete last frame
};

// Appends the payloads of the frames in data[0, n) to out and returns how many
// bytes were consumed. Without atEnd it stops where a decision would need bytes
// past n (the caller keeps the rest and calls again with more).
// A header is trusted when the next header, or the end of the data, follows
// its frame. Otherwise a header found inside the frame ends it early (a
// damaged length must not swallow the frames behind it). Bytes outside any
// frame are skipped up to the next header; an incomplete last frame is dropped.
std::size_t unframe(const std::uint8_t* data, std::size_t n, bool atEnd, std::string& out,
                    UnframeStats* stats = nullptr);

// Streaming wrapper over unframe(): feed() any chunking, then finish().
class Unframer {
public:
    void feed(const std::uint8_t* data, std::size_t n, std::string& out);
    void finish(std::string& out);
    const UnframeStats& stats() const { return m_stats; }

private:
    std::string m_pending;
    UnframeStats m_stats;
};

} // namespace tklframe
