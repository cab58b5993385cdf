#pragma once
// H.264/H.265 Annex B byte streams read by our own code, without FFmpeg: a
// strict check that a payload's head is such a stream, the parameter sets'
// picture size and timing, and the stream split into access units (one per
// picture) with their key flag and picture order count. Recorders write
// nothing else, and a probe through libavformat costs more per fragment than
// the scan itself.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace Media {
namespace AnnexB {

enum class Codec { None, H264, Hevc };

// The index of the next 00 00 01 at or after from in d[0, n), or n.
size_t findStartCode(const uint8_t* d, size_t from, size_t n);

// The codec of a payload's head when it holds H.264 or H.265 NAL units whose
// headers (and, for slices and parameter sets, the first syntax elements)
// make sense, at least two of them; None for anything else. Noise and the
// zero runs of damaged disks almost never get past this.
Codec sniff(const uint8_t* d, size_t n);

// What the sequence parameter set tells.
struct Sequence {
    bool valid = false;
    int width = 0;
    int height = 0;
    // Pictures per second as a fraction; 0/0 when the stream has no timing.
    uint32_t fpsNum = 0;
    uint32_t fpsDen = 0;
    // For picture order counts.
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 4;
    bool frameMbsOnly = true;
    bool separateColourPlane = false;
};
// Parses one SPS NAL unit (header included, no start code).
Sequence parseSequence(Codec codec, const uint8_t* nal, size_t n);

struct AccessUnit {
    const uint8_t* data;   // start code of its first unit included
    size_t size;
    int64_t at;            // its position in the fed stream
    bool key;              // IDR/IRAP (or an H.264 recovery point)
    bool picture;          // holds a slice
    int64_t poc;           // picture order count, within its key group
};

// Splits a byte stream fed in any chunking into access units. Bytes before
// the first start code (the tail of a unit whose head is missing) are
// dropped. Parameter sets are read as they pass (or given beforehand, for a
// stream that goes on from another fragment).
class Splitter {
public:
    using Sink = std::function<bool(const AccessUnit&)>; // false stops
    Splitter(Codec codec, Sink sink);

    // Units from elsewhere (start codes included) that this stream uses.
    void useParameterSets(const uint8_t* d, size_t n);
    // false when the sink stopped.
    bool feed(const uint8_t* d, size_t n);
    // The same with bytes append() adds to the splitter's own buffer (one
    // copy fewer); *got: what append returned (<= 0: nothing added).
    bool feedWith(const std::function<long(std::string&)>& append, long* got);
    bool finish();

    const Sequence& sequence() const { return m_seq; }
    // The parameter sets seen so far (the last of each id), Annex B.
    std::string parameterSets() const;
    int64_t units() const { return m_units; }

private:
    struct Nal;
    bool scan(bool atEnd);
    void compact();
    void parameterSet(const uint8_t* nal, size_t n);
    bool startsUnit(const uint8_t* nal, size_t avail, bool* vcl) const;
    void sliceInfo(const uint8_t* nal, size_t n);
    bool deliver(size_t end);

    Codec m_codec;
    Sink m_sink;
    std::string m_buf;
    int64_t m_base = 0;      // stream position of m_buf[0]
    size_t m_scan = 0;       // where the start-code search goes on
    size_t m_nal = std::string::npos;  // start code of the unit being read
    size_t m_au = std::string::npos;   // start of the access unit being gathered
    bool m_auVcl = false;
    bool m_auKey = false;
    int64_t m_auPoc = 0;
    bool m_auRecovery = false;
    int64_t m_units = 0;
    Sequence m_seq;
    std::string m_vps[16], m_sps[32], m_pps[64];
    // H.265 PPS fields the slice header needs, by PPS id.
    struct PicParams {
        bool dependentSlices = false;
        bool outputFlag = false;
        int extraBits = 0;
        bool bottomFieldPoc = false; // H.264
    } m_pp[64];
    int64_t m_prevPocMsb = 0;
    int m_prevPocLsb = 0;
    int64_t m_decodeOrder = 0;
    bool m_first = true;
};

} // namespace AnnexB
} // namespace Media
