#pragma once
// The frame header search written out plainly, one position at a time, as the
// yardstick for the fast search.

#include "scan/CFragmentFit.h"

inline bool referenceFindFrameHeader(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info)
{
    qint32 i = 0;
    while (i + 4 <= n) {
        const unsigned char* p = window + i;
        const bool magic = p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == 0xB7;
        if (magic) {
            const bool variant1 = p[6] == 0x40 && p[7] == 0x00;
            const bool variant2 = p[6] == 0x00 && p[7] == 0x40;
            if (variant1 || variant2) {
                info.time = 0;
                info.stream = 0;
                const qint32 length = qint32(p[4]) | qint32(p[5]) << 8;
                if (length > 0) {
                    info.length = length;
                    foundAt = i;
                    return true;
                }
            }
        }
        i = i + 1;
    }
    foundAt = i;
    return false;
}
