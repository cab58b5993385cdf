#include "tools/tklframe/TklFrame.h"

#include <algorithm>

namespace tklframe {

std::string frame(const std::uint8_t* payload, std::size_t n, std::size_t maxPayload, int variant)
{
    maxPayload = std::clamp<std::size_t>(maxPayload, 1, kMaxPayload);
    std::string out;
    out.reserve(n + (n / maxPayload + 1) * kHeaderSize);
    for (std::size_t at = 0; at < n; at += maxPayload) {
        const std::size_t len = std::min(maxPayload, n - at) + kHeaderSize;
        const char header[kHeaderSize] = {0x00, 0x00, 0x01, char(0xB7), char(len & 0xFF), char(len >> 8),
                                          char(variant == 2 ? 0x00 : 0x40), char(variant == 2 ? 0x40 : 0x00)};
        out.append(header, kHeaderSize);
        out.append(reinterpret_cast<const char*>(payload) + at, len - kHeaderSize);
    }
    return out;
}

namespace {
// First header start in [from, to) with its 8 bytes inside data[0, n); to if none.
std::size_t findHeader(const std::uint8_t* data, std::size_t n, std::size_t from, std::size_t to)
{
    for (std::size_t q = from; q < to && q + kHeaderSize <= n; ++q)
        if (data[q + 2] == 0x01 && parseHeader(data + q, nullptr))
            return q;
    return to;
}
} // namespace

std::size_t unframe(const std::uint8_t* data, std::size_t n, bool atEnd, std::string& out, UnframeStats* stats)
{
    UnframeStats local;
    UnframeStats& st = stats ? *stats : local;
    // Enough look-ahead to judge any frame: the longest frame plus the next header.
    constexpr std::size_t kLookahead = kMaxFrame + kHeaderSize;
    std::size_t p = 0;
    while (p < n) {
        if (!atEnd && n - p < kLookahead)
            break;
        std::size_t len = 0;
        if (n - p < kHeaderSize || !parseHeader(data + p, &len)) {
            // Without atEnd, n - p >= kLookahead here, so limit > p.
            const std::size_t limit = atEnd ? n : n - kLookahead + 1;
            const std::size_t q = findHeader(data, n, p + 1, limit);
            st.skippedBytes += q - p;
            p = q;
            continue;
        }
        // A frame without payload still takes its header's bytes.
        const std::size_t end = p + std::max(len, kHeaderSize);
        const bool confirmed = end == n || (end < n && n - end >= kHeaderSize && parseHeader(data + end, nullptr));
        if (!confirmed) {
            // A header inside the claimed frame means this length is damaged:
            // keep the payload up to that header and carry on from there.
            const std::size_t inner = findHeader(data, n, p + kHeaderSize, std::min(end, n));
            if (inner < std::min(end, n)) {
                out.append(reinterpret_cast<const char*>(data) + p + kHeaderSize, inner - p - kHeaderSize);
                ++st.repaired;
                p = inner;
                continue;
            }
            if (end > n) { // only possible at the end: an incomplete last frame
                st.droppedTail += n - p;
                p = n;
                break;
            }
        }
        if (len > kHeaderSize) {
            out.append(reinterpret_cast<const char*>(data) + p + kHeaderSize, len - kHeaderSize);
            ++st.frames;
        }
        p = end;
    }
    return p;
}

void Unframer::feed(const std::uint8_t* data, std::size_t n, std::string& out)
{
    m_pending.append(reinterpret_cast<const char*>(data), n);
    const std::size_t used =
        unframe(reinterpret_cast<const std::uint8_t*>(m_pending.data()), m_pending.size(), false, out, &m_stats);
    m_pending.erase(0, used);
}

void Unframer::finish(std::string& out)
{
    unframe(reinterpret_cast<const std::uint8_t*>(m_pending.data()), m_pending.size(), true, out, &m_stats);
    m_pending.clear();
}

} // namespace tklframe
