// Differential fuzzing of the header search against a plain byte-by-byte
// transcription of the rule. The window is copied into a buffer with 4 bytes
// of slack, as the scan guarantees.
#include "scan/CFragmentFit.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool referenceFind(const unsigned char* w, int n, int& foundAt, FrameInfo& info)
{
    int i = 0;
    for (; i + 4 <= n; ++i) {
        if (!(w[i] == 0x00 && w[i + 1] == 0x00 && w[i + 2] == 0x01 && w[i + 3] == 0xB7))
            continue;
        const bool v1 = w[i + 6] == 0x40 && w[i + 7] == 0x00;
        const bool v2 = w[i + 6] == 0x00 && w[i + 7] == 0x40;
        if (!v1 && !v2)
            continue;
        info.time = 0;
        info.stream = 0;
        const int len = w[i + 4] | (w[i + 5] << 8);
        if (len > 0) {
            info.length = len;
            foundAt = i;
            return true;
        }
    }
    foundAt = i;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: how many bytes of the tail are the window's slack (0..4),
    // so headers straddling the window end are classified from real bytes.
    const int slackUsed = data[0] % 5;
    const int total = int(size - 1);
    const int n = total - slackUsed < 0 ? -(data[0] % 3) : total - slackUsed;
    std::vector<unsigned char> buf(size_t(total) + 8, 0xEE);
    if (total > 0)
        std::memcpy(buf.data(), data + 1, size_t(total));

    FrameInfo a{77, 88, 99}, b{77, 88, 99};
    int fa = -12345, fb = -12345;
    const bool ra = CFragmentFit::findFrameHeader(buf.data(), n, fa, a);
    const bool rb = referenceFind(buf.data(), n, fb, b);
    if (ra != rb || fa != fb || a.time != b.time || a.stream != b.stream || a.length != b.length)
        std::abort();
    return 0;
}
