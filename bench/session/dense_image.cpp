// Writes an image holding a chosen number of short recordings per GiB over
// zero bytes, for the cost of a session and of the hand-off at a high
// fragment density.
// usage: bench_session_dense_image OUT SIZE_MIB PER_GIB
#include "tools/imagegen/ImageGen.h"

#include <QFile>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s OUT SIZE_MIB PER_GIB\n", argv[0]);
        return 2;
    }
    const qint64 size = std::atoll(argv[2]) * 1048576;
    const qint64 perGiB = std::atoll(argv[3]);
    if (size <= 0 || perGiB <= 0) {
        std::fprintf(stderr, "%s: SIZE_MIB and PER_GIB must be positive\n", argv[0]);
        return 2;
    }
    const qint64 spacing = 1073741824 / perGiB;
    QByteArray image(int(size), '\0');
    auto* p = reinterpret_cast<unsigned char*>(image.data());
    qint64 count = 0;
    // Two frames of 700 bytes each (shorter when the recordings lie closer
    // than that): one fragment, closed by the next, which must not start
    // where it ends.
    const int frame = int(std::min<qint64>(700, (spacing - 8) / 2));
    if (frame < 8) {
        std::fprintf(stderr, "%s: at most %lld recordings per GiB\n", argv[0], 1073741824LL / 24);
        return 2;
    }
    for (qint64 at = 4096; at + 2 * frame + 8 <= size; at += spacing, ++count) {
        imagegen::writeFrameHeader(p + at, frame, 1);
        imagegen::writeFrameHeader(p + at + frame, frame, 1);
    }
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(image) != image.size()) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], argv[1], qPrintable(out.errorString()));
        return 1;
    }
    std::printf("%lld recordings\n", (long long)count);
    return 0;
}
