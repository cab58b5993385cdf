#include "media/AnnexB.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Media {
namespace AnnexB {

namespace {

// Bits of a unit's payload with emulation prevention (00 00 03) removed.
class Bits {
public:
    Bits(const uint8_t* d, size_t n, size_t limit = 4096)
    {
        n = std::min(n, limit);
        m_rbsp.reserve(n);
        int zeros = 0;
        for (size_t i = 0; i < n; ++i) {
            if (zeros >= 2 && d[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = d[i] ? 0 : zeros + 1;
            m_rbsp.push_back(d[i]);
        }
    }
    bool ok() const { return !m_over; }
    uint32_t u(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 1) | bit();
        return v;
    }
    bool flag() { return bit(); }
    void skip(int n)
    {
        for (int i = 0; i < n; ++i)
            bit();
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (!bit()) {
            if (++zeros > 31 || m_over) {
                m_over = true;
                return 0;
            }
        }
        return zeros ? ((1u << zeros) - 1) + u(zeros) : 0;
    }
    int32_t se()
    {
        const uint32_t k = ue();
        return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }

private:
    uint32_t bit()
    {
        const size_t byte = m_pos >> 3;
        if (byte >= m_rbsp.size()) {
            m_over = true;
            return 0;
        }
        const uint32_t b = (m_rbsp[byte] >> (7 - (m_pos & 7))) & 1;
        ++m_pos;
        return b;
    }
    std::vector<uint8_t> m_rbsp;
    size_t m_pos = 0;
    bool m_over = false;
};

// The start of the VUI, the same in H.264 and H.265: aspect ratio, overscan,
// video signal type and chroma location.
void skipVuiHead(Bits& b)
{
    if (b.flag() && b.u(8) == 255)
        b.skip(32);
    if (b.flag())
        b.skip(1);
    if (b.flag()) {
        b.skip(4);
        if (b.flag())
            b.skip(24);
    }
    if (b.flag()) {
        b.ue();
        b.ue();
    }
}

int h264Type(const uint8_t* nal) { return nal[0] & 0x1f; }
int hevcType(const uint8_t* nal) { return (nal[0] >> 1) & 0x3f; }
bool hevcVcl(int t) { return t < 32; }
bool hevcIrap(int t) { return t >= 16 && t <= 23; }

bool knownH264Profile(uint32_t p)
{
    static const uint8_t known[] = {44, 66, 77, 83, 86, 88, 100, 110, 118, 122, 128, 134, 135, 138, 139, 144, 244};
    return std::find(std::begin(known), std::end(known), p) != std::end(known);
}
bool highH264Profile(uint32_t p)
{
    return p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 83 || p == 86 || p == 118 || p == 128 ||
           p == 138 || p == 139 || p == 134 || p == 135;
}

// The first SEI message's type: the recorder and encoder messages there are.
bool plausibleSei(const uint8_t* p, size_t n)
{
    uint32_t type = 0;
    size_t i = 0;
    while (i < n && p[i] == 0xFF) {
        type += 255;
        ++i;
    }
    if (i >= n)
        return false;
    type += p[i];
    return type <= 64 || (type >= 128 && type <= 205);
}

bool plausibleH264(const uint8_t* nal, size_t n)
{
    if (n < 2 || (nal[0] & 0x80))
        return false;
    const int ref = (nal[0] >> 5) & 3, t = h264Type(nal);
    Bits b(nal + 1, n - 1, 64);
    switch (t) {
    case 1:
    case 5: {
        if (t == 5 && ref == 0)
            return false;
        const uint32_t firstMb = b.ue(), sliceType = b.ue(), pps = b.ue();
        if (!b.ok() || firstMb > 139264 || sliceType > 9 || pps > 255)
            return false;
        return t == 1 || sliceType % 5 == 2 || sliceType % 5 == 4;
    }
    case 6:
        return ref == 0 && plausibleSei(nal + 1, n - 1);
    case 7: {
        const uint32_t profile = b.u(8);
        b.skip(8);
        const uint32_t level = b.u(8), id = b.ue();
        return ref != 0 && b.ok() && knownH264Profile(profile) && level >= 9 && level <= 62 && id <= 31;
    }
    case 8: {
        const uint32_t pps = b.ue(), sps = b.ue();
        return ref != 0 && b.ok() && pps <= 255 && sps <= 31;
    }
    case 9:
        return ref == 0 && (nal[1] & 0x1f) == 0x10;
    case 12:
        return ref == 0 && nal[1] == 0xFF;
    default:
        return false;
    }
}

bool plausibleHevc(const uint8_t* nal, size_t n)
{
    if (n < 3 || (nal[0] & 0x80))
        return false;
    const int layer = ((nal[0] & 1) << 5) | (nal[1] >> 3), tid1 = nal[1] & 7, t = hevcType(nal);
    if (layer != 0 || tid1 == 0)
        return false;
    Bits b(nal + 2, n - 2, 64);
    if ((t <= 9) || (t >= 16 && t <= 21)) {
        if (hevcIrap(t) && tid1 != 1)
            return false;
        b.skip(hevcIrap(t) ? 2 : 1);
        const uint32_t pps = b.ue();
        return b.ok() && pps <= 63;
    }
    switch (t) {
    case 32: { // VPS: its reserved 16 bits are all ones
        b.skip(4 + 1 + 1 + 6);
        const uint32_t sub = b.u(3);
        b.skip(1);
        return tid1 == 1 && b.ok() && sub <= 6 && b.u(16) == 0xFFFF;
    }
    case 33: {
        b.skip(4);
        const uint32_t sub = b.u(3);
        b.skip(1);
        const uint32_t space = b.u(2);
        b.skip(1);
        const uint32_t profile = b.u(5);
        return tid1 == 1 && b.ok() && sub <= 6 && space == 0 && profile <= 11;
    }
    case 34: {
        const uint32_t pps = b.ue(), sps = b.ue();
        return b.ok() && pps <= 63 && sps <= 15;
    }
    case 35:
        return (nal[2] >> 5) <= 2 && (nal[2] & 0x1f) == 0x10;
    case 38:
        return nal[2] == 0xFF;
    case 39:
    case 40:
        return plausibleSei(nal + 2, n - 2);
    default:
        return false;
    }
}

void skipHevcProfileTierLevel(Bits& b, int maxSubLayersMinus1)
{
    b.skip(88 + 8);
    bool profile[8] = {}, level[8] = {};
    for (int i = 0; i < maxSubLayersMinus1; ++i) {
        profile[i] = b.flag();
        level[i] = b.flag();
    }
    if (maxSubLayersMinus1 > 0)
        b.skip(2 * (8 - maxSubLayersMinus1));
    for (int i = 0; i < maxSubLayersMinus1; ++i)
        b.skip((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
}

void skipHevcScalingList(Bits& b)
{
    for (int size = 0; size < 4; ++size) {
        for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
            if (!b.flag()) {
                b.ue();
                continue;
            }
            const int coefs = std::min(64, 1 << (4 + (size << 1)));
            if (size > 1)
                b.se();
            for (int i = 0; i < coefs && b.ok(); ++i)
                b.se();
        }
    }
}

Sequence parseHevcSequence(Bits& b)
{
    Sequence s;
    b.skip(4);
    const int maxSub = int(b.u(3));
    b.skip(1);
    skipHevcProfileTierLevel(b, maxSub);
    b.ue(); // id
    const uint32_t chroma = b.ue();
    if (chroma == 3)
        s.separateColourPlane = b.flag();
    int64_t width = b.ue(), height = b.ue();
    if (b.flag()) {
        const int subW = chroma == 1 || chroma == 2 ? 2 : 1, subH = chroma == 1 ? 2 : 1;
        const int64_t l = b.ue(), r = b.ue(), t = b.ue(), bo = b.ue();
        width -= subW * (l + r);
        height -= subH * (t + bo);
    }
    s.width = int(std::clamp<int64_t>(width, 0, 1 << 20));
    s.height = int(std::clamp<int64_t>(height, 0, 1 << 20));
    b.ue();
    b.ue();
    const uint32_t pocBits = b.ue() + 4;
    if (pocBits > 16) // damaged; it sizes reads below
        return s;
    s.log2MaxPocLsb = int(pocBits);
    const bool allSub = b.flag();
    for (int i = allSub ? 0 : maxSub; i <= maxSub; ++i) {
        b.ue();
        b.ue();
        b.ue();
    }
    for (int i = 0; i < 6; ++i)
        b.ue();
    if (b.flag() && b.flag())
        skipHevcScalingList(b);
    b.skip(2); // amp, sao
    if (b.flag()) {
        b.skip(8);
        b.ue();
        b.ue();
        b.skip(1);
    }
    const uint32_t sets = b.ue();
    if (sets > 64)
        return s;
    int deltas[65] = {};
    for (uint32_t i = 0; i < sets && b.ok(); ++i) {
        if (i != 0 && b.flag()) { // predicted from the set before
            b.skip(1);
            b.ue();
            int n = 0;
            for (int j = 0; j <= deltas[i - 1]; ++j) {
                const bool used = b.flag();
                if (used || b.flag())
                    ++n;
            }
            deltas[i] = n;
        } else {
            const uint32_t neg = b.ue(), pos = b.ue();
            if (neg > 16 || pos > 16)
                return s;
            for (uint32_t j = 0; j < neg + pos; ++j) {
                b.ue();
                b.skip(1);
            }
            deltas[i] = int(neg + pos);
        }
    }
    if (b.flag()) {
        const uint32_t lt = b.ue();
        for (uint32_t i = 0; i < lt && i < 33; ++i)
            b.skip(s.log2MaxPocLsb + 1);
    }
    b.skip(2); // temporal mvp, strong intra smoothing
    if (b.flag()) {
        skipVuiHead(b);
        b.skip(3);
        if (b.flag()) {
            for (int i = 0; i < 4; ++i)
                b.ue();
        }
        if (b.flag()) {
            const uint32_t units = b.u(32), scale = b.u(32);
            if (b.ok() && units && scale) {
                s.fpsNum = scale;
                s.fpsDen = units;
            }
        }
    }
    s.valid = s.width > 0 && s.height > 0 && s.width <= 16384 && s.height <= 16384 && s.log2MaxPocLsb <= 16;
    return s;
}

Sequence parseH264Sequence(Bits& b)
{
    Sequence s;
    const uint32_t profile = b.u(8);
    b.skip(16);
    b.ue();
    uint32_t chroma = 1;
    if (highH264Profile(profile)) {
        chroma = b.ue();
        if (chroma == 3)
            s.separateColourPlane = b.flag();
        b.ue();
        b.ue();
        b.skip(1);
        if (b.flag()) {
            for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i) {
                if (!b.flag())
                    continue;
                int last = 8, next = 8;
                for (int j = 0; j < (i < 6 ? 16 : 64) && b.ok(); ++j) {
                    if (next != 0)
                        next = (last + b.se() + 256) % 256;
                    last = next == 0 ? last : next;
                }
            }
        }
    }
    s.log2MaxFrameNum = int(std::min<uint32_t>(b.ue(), 64)) + 4;
    s.pocType = int(std::min<uint32_t>(b.ue(), 3));
    if (s.pocType == 0) {
        s.log2MaxPocLsb = int(std::min<uint32_t>(b.ue(), 64)) + 4;
    } else if (s.pocType == 1) {
        b.skip(1);
        b.se();
        b.se();
        const uint32_t cycle = b.ue();
        for (uint32_t i = 0; i < cycle && i < 256; ++i)
            b.se();
    }
    b.ue();
    b.skip(1);
    // 64 bits: damaged fields are large, and checked only at the end.
    const int64_t mbsWide = int64_t(b.ue()) + 1, mapUnits = int64_t(b.ue()) + 1;
    s.frameMbsOnly = b.flag();
    if (!s.frameMbsOnly)
        b.skip(1);
    b.skip(1);
    int64_t width = mbsWide * 16, height = (s.frameMbsOnly ? 1 : 2) * mapUnits * 16;
    if (b.flag()) {
        const uint32_t arrayType = s.separateColourPlane ? 0 : chroma;
        const int unitX = arrayType == 1 || arrayType == 2 ? 2 : 1;
        const int unitY = (arrayType == 1 ? 2 : 1) * (s.frameMbsOnly ? 1 : 2);
        const int64_t l = b.ue(), r = b.ue(), t = b.ue(), bo = b.ue();
        width -= unitX * (l + r);
        height -= unitY * (t + bo);
    }
    s.width = int(std::clamp<int64_t>(width, 0, 1 << 20));
    s.height = int(std::clamp<int64_t>(height, 0, 1 << 20));
    if (b.flag()) {
        skipVuiHead(b);
        if (b.flag()) {
            const uint32_t units = b.u(32), scale = b.u(32);
            if (b.ok() && units && scale) {
                s.fpsNum = scale;
                s.fpsDen = 2 * units;
            }
        }
    }
    s.valid = s.width > 0 && s.height > 0 && s.width <= 16384 && s.height <= 16384 && s.log2MaxFrameNum >= 4 &&
              s.log2MaxFrameNum <= 16 && s.log2MaxPocLsb >= 4 && s.log2MaxPocLsb <= 16;
    return s;
}

} // namespace

size_t findStartCode(const uint8_t* d, size_t from, size_t n)
{
    size_t i = from + 2;
    while (i < n) {
        const void* one = std::memchr(d + i, 1, n - i);
        if (!one)
            return n;
        i = size_t(static_cast<const uint8_t*>(one) - d);
        if (d[i - 1] == 0 && d[i - 2] == 0)
            return i - 2;
        i += 1;
    }
    return n;
}

Codec sniff(const uint8_t* d, size_t n)
{
    // Emulation prevention keeps start codes out of a unit's body, so in a
    // real stream every start code begins a unit: count those that make no
    // sense as either codec against the rest.
    int h264 = 0, hevc = 0, all = 0;
    for (size_t p = findStartCode(d, 0, n); p < n; p = findStartCode(d, p + 3, n)) {
        ++all;
        const uint8_t* nal = d + p + 3;
        const size_t avail = n - p - 3;
        // A TKL header whose magic was damaged: 00 00 01 xx, length, 40 00 or 00 40.
        if (avail >= 5 && ((nal[3] == 0x40 && nal[4] == 0x00) || (nal[3] == 0x00 && nal[4] == 0x40)))
            continue;
        h264 += plausibleH264(nal, avail);
        hevc += plausibleHevc(nal, avail);
    }
    auto fits = [all](int plausible) { return plausible >= 2 && 4 * (all - plausible) <= plausible; };
    if (fits(h264) && h264 > hevc)
        return Codec::H264;
    if (fits(hevc) && hevc > h264)
        return Codec::Hevc;
    return Codec::None;
}

Sequence parseSequence(Codec codec, const uint8_t* nal, size_t n)
{
    if (codec == Codec::H264 && n > 1) {
        Bits b(nal + 1, n - 1);
        Sequence s = parseH264Sequence(b);
        s.valid = s.valid && b.ok();
        return s;
    }
    if (codec == Codec::Hevc && n > 2) {
        Bits b(nal + 2, n - 2);
        Sequence s = parseHevcSequence(b);
        s.valid = s.valid && b.ok();
        return s;
    }
    return Sequence();
}

namespace {
bool isParameterSet(Codec codec, const uint8_t* nal)
{
    if (codec == Codec::H264)
        return h264Type(nal) == 7 || h264Type(nal) == 8;
    return hevcType(nal) >= 32 && hevcType(nal) <= 34;
}
// The end of the unit starting at nal (its trailing zeros left out).
size_t unitEnd(const uint8_t* d, size_t nal, size_t next)
{
    size_t end = next;
    while (end > nal && d[end - 1] == 0)
        --end;
    return end;
}
} // namespace

Splitter::Splitter(Codec codec, Sink sink) : m_codec(codec), m_sink(std::move(sink)) {}

void Splitter::useParameterSets(const uint8_t* d, size_t n)
{
    for (size_t p = findStartCode(d, 0, n); p < n;) {
        const size_t nal = p + 3, next = findStartCode(d, nal, n), end = unitEnd(d, nal, next);
        if (end > nal)
            parameterSet(d + nal, end - nal);
        p = next;
    }
}

void Splitter::parameterSet(const uint8_t* nal, size_t n)
{
    if (n < (m_codec == Codec::Hevc ? 3u : 2u)) // a header and nothing after it
        return;
    std::string unit("\0\0\0\1", 4);
    unit.append(reinterpret_cast<const char*>(nal), n);
    if (m_codec == Codec::H264) {
        Bits b(nal + 1, n - 1, 64);
        if (h264Type(nal) == 7) {
            const Sequence s = parseSequence(m_codec, nal, n);
            b.skip(24);
            const uint32_t id = b.ue();
            if (s.valid && id < 32) {
                m_seq = s;
                m_sps[id] = unit;
            }
        } else if (h264Type(nal) == 8) {
            const uint32_t id = b.ue();
            b.ue();
            b.skip(1); // entropy coding mode
            const bool bottom = b.flag();
            if (b.ok() && id < 64) { // ids up to 255 exist; recorders use 0
                m_pp[id].bottomFieldPoc = bottom;
                m_pps[id] = unit;
            }
        }
        return;
    }
    const int t = hevcType(nal);
    Bits b(nal + 2, n - 2, 64);
    if (t == 32) {
        const uint32_t id = b.u(4);
        m_vps[id] = unit;
    } else if (t == 33) {
        const Sequence s = parseSequence(m_codec, nal, n);
        if (s.valid) {
            m_seq = s;
            // Its id follows the profile; parsed again to keep it simple.
            Bits c(nal + 2, n - 2);
            c.skip(4);
            const int sub = int(c.u(3));
            c.skip(1);
            skipHevcProfileTierLevel(c, sub);
            const uint32_t id = c.ue();
            if (id < 16)
                m_sps[id] = unit;
        }
    } else if (t == 34) {
        const uint32_t id = b.ue();
        b.ue();
        PicParams pp;
        pp.dependentSlices = b.flag();
        pp.outputFlag = b.flag();
        pp.extraBits = int(b.u(3));
        if (b.ok() && id < 64) {
            m_pp[id] = pp;
            m_pps[id] = unit;
        }
    }
}

std::string Splitter::parameterSets() const
{
    std::string out;
    for (const std::string& s : m_vps)
        out += s;
    for (const std::string& s : m_sps)
        out += s;
    for (const std::string& s : m_pps)
        out += s;
    return out;
}

bool Splitter::startsUnit(const uint8_t* nal, size_t avail, bool* vcl) const
{
    *vcl = false;
    if (avail < 1)
        return false;
    if (m_codec == Codec::H264) {
        const int t = h264Type(nal);
        if (t >= 1 && t <= 5) {
            *vcl = true;
            if (t == 3 || t == 4) // data partitions B and C follow their A
                return false;
            Bits b(nal + 1, avail - 1, 8);
            return b.ue() == 0;
        }
        return t == 6 || t == 7 || t == 8 || t == 9 || (t >= 14 && t <= 18);
    }
    if (avail < 3)
        return false;
    const int t = hevcType(nal);
    if (hevcVcl(t)) {
        *vcl = true;
        return nal[2] & 0x80; // first_slice_segment_in_pic_flag
    }
    return (t >= 32 && t <= 35) || t == 39 || (t >= 41 && t <= 44) || (t >= 48 && t <= 55);
}

// The key flag and picture order count of the picture whose first slice is nal.
void Splitter::sliceInfo(const uint8_t* nal, size_t n)
{
    ++m_decodeOrder;
    if (m_codec == Codec::H264) {
        const int t = h264Type(nal);
        const bool idr = t == 5;
        m_auKey = idr || m_auRecovery;
        if (m_seq.pocType != 0) { // output order follows decoding order (type 2); type 1 taken so too
            m_auPoc = 2 * m_decodeOrder;
            return;
        }
        Bits b(nal + 1, n - 1, 64);
        b.ue();
        b.ue();
        b.ue();
        if (m_seq.separateColourPlane)
            b.skip(2);
        b.skip(m_seq.log2MaxFrameNum);
        if (!m_seq.frameMbsOnly && b.flag())
            b.skip(1);
        if (idr)
            b.ue();
        const int lsb = int(b.u(m_seq.log2MaxPocLsb));
        if (idr) {
            m_prevPocMsb = 0;
            m_prevPocLsb = 0;
        }
        const int max = 1 << m_seq.log2MaxPocLsb;
        int64_t msb = m_prevPocMsb;
        if (lsb < m_prevPocLsb && m_prevPocLsb - lsb >= max / 2)
            msb += max;
        else if (lsb > m_prevPocLsb && lsb - m_prevPocLsb > max / 2)
            msb -= max;
        m_auPoc = msb + lsb;
        if ((nal[0] >> 5) & 3) { // a reference picture
            m_prevPocMsb = msb;
            m_prevPocLsb = lsb;
        }
        return;
    }
    const int t = hevcType(nal);
    const bool irap = hevcIrap(t), idr = t == 19 || t == 20;
    m_auKey = irap;
    Bits b(nal + 2, n - 2, 64);
    b.skip(1);
    if (irap)
        b.skip(1);
    const uint32_t pps = b.ue();
    const PicParams& pp = m_pp[pps < 64 ? pps : 0];
    b.skip(pp.extraBits);
    b.ue(); // slice type
    if (pp.outputFlag)
        b.skip(1);
    if (m_seq.separateColourPlane)
        b.skip(2);
    const int lsb = idr ? 0 : int(b.u(m_seq.log2MaxPocLsb));
    const int max = 1 << m_seq.log2MaxPocLsb;
    int64_t msb = m_prevPocMsb;
    if (idr || (t >= 16 && t <= 18) || (t == 21 && m_first)) {
        msb = 0;
    } else if (lsb < m_prevPocLsb && m_prevPocLsb - lsb >= max / 2) {
        msb += max;
    } else if (lsb > m_prevPocLsb && lsb - m_prevPocLsb > max / 2) {
        msb -= max;
    }
    m_auPoc = msb + lsb;
    const int tid = (nal[1] & 7) - 1;
    const bool subLayerNonRef = t <= 14 && t % 2 == 0;
    if (tid == 0 && !(t >= 6 && t <= 9) && !subLayerNonRef) {
        m_prevPocMsb = msb;
        m_prevPocLsb = lsb;
    }
}

bool Splitter::deliver(size_t end)
{
    if (m_au == std::string::npos || end <= m_au)
        return true;
    AccessUnit au{reinterpret_cast<const uint8_t*>(m_buf.data()) + m_au, end - m_au, m_base + int64_t(m_au),
                  m_auKey, m_auVcl, m_auPoc};
    if (m_auVcl)
        ++m_units;
    m_au = end;
    m_auVcl = false;
    m_auKey = false;
    m_auRecovery = false;
    // A unit without a picture (parameter sets left at the end) is no picture to write.
    return !au.picture || m_sink(au);
}

bool Splitter::scan(bool atEnd)
{
    // How much of a unit its header decision needs.
    constexpr size_t kPeek = 64;
    const auto* d = reinterpret_cast<const uint8_t*>(m_buf.data());
    const size_t n = m_buf.size();
    for (;;) {
        const size_t p = findStartCode(d, m_scan, n);
        if (p + 3 + kPeek > n && !atEnd) {
            m_scan = p < n ? p : (n >= 2 ? n - 2 : 0);
            break;
        }
        // The unit before ends here; parameter sets and recovery points are read whole.
        if (m_nal != std::string::npos) {
            const size_t nal = m_nal + 3, end = unitEnd(d, nal, p);
            if (end > nal) {
                if (isParameterSet(m_codec, d + nal) || (m_codec == Codec::Hevc && hevcType(d + nal) == 32))
                    parameterSet(d + nal, end - nal);
            }
        }
        if (p >= n) {
            m_nal = std::string::npos;
            m_scan = n;
            return deliver(n);
        }
        const uint8_t* nal = d + p + 3;
        const size_t avail = n - p - 3;
        bool vcl = false;
        const bool starts = startsUnit(nal, avail, &vcl);
        const size_t at = p > 0 && d[p - 1] == 0 && (m_au == std::string::npos || p - 1 > m_au) ? p - 1 : p;
        if (m_au == std::string::npos)
            m_au = at;
        else if (starts && m_auVcl && !deliver(at))
            return false;
        if (m_codec == Codec::H264 && avail > 1 && h264Type(nal) == 6) {
            // A recovery point marks a picture decoding can start from.
            size_t i = 1;
            uint32_t type = 0;
            while (i < avail && nal[i] == 0xFF)
                type += 255, ++i;
            if (i < avail && type + nal[i] == 6)
                m_auRecovery = true;
        }
        if (vcl && !m_auVcl) {
            sliceInfo(nal, avail);
            m_first = false;
        }
        m_auVcl = m_auVcl || vcl;
        m_nal = p;
        m_scan = p + 3;
    }
    return true;
}

void Splitter::compact()
{
    // Keep only what the unit being gathered still needs.
    const size_t keep = std::min({m_au, m_nal, m_scan});
    if (keep > (1u << 20)) {
        m_buf.erase(0, keep);
        m_base += int64_t(keep);
        m_scan -= keep;
        if (m_au != std::string::npos)
            m_au -= keep;
        if (m_nal != std::string::npos)
            m_nal -= keep;
    }
}

bool Splitter::feed(const uint8_t* d, size_t n)
{
    compact();
    m_buf.append(reinterpret_cast<const char*>(d), n);
    return scan(false);
}

bool Splitter::feedWith(const std::function<long(std::string&)>& append, long* got)
{
    compact();
    *got = append(m_buf);
    return *got <= 0 || scan(false);
}

bool Splitter::finish()
{
    return scan(true);
}

} // namespace AnnexB
} // namespace Media
