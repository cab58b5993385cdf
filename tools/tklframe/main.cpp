// tklframe: wraps any byte stream (e.g. a raw H.264 elementary stream) into
// back-to-back TKL frames, the way a recorder lays video on its disk.
//   tklframe [-s PAYLOAD_BYTES] [-v 1|2] IN OUT     ("-" = stdin / stdout)
#include "tools/tklframe/TklFrame.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static int usage()
{
    std::fprintf(stderr, "usage: tklframe [-s PAYLOAD_BYTES (1-%zu)] [-v 1|2] IN OUT   (\"-\" for stdin/stdout)\n",
                 tklframe::kMaxPayload);
    return 2;
}

int main(int argc, char** argv)
{
    std::size_t payload = 8192;
    int variant = 1;
    const char* files[2] = {nullptr, nullptr};
    int nfiles = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "-s" || a == "-v") && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long v = std::strtoul(argv[++i], &end, 10);
            if (!end || *end) return usage();
            if (a == "-s") {
                if (v < 1 || v > tklframe::kMaxPayload) return usage();
                payload = v;
            } else {
                if (v != 1 && v != 2) return usage();
                variant = int(v);
            }
        } else if (nfiles < 2 && (a == "-" || a[0] != '-')) {
            files[nfiles++] = argv[i];
        } else {
            return usage();
        }
    }
    if (nfiles != 2) return usage();

    FILE* in = std::strcmp(files[0], "-") == 0 ? stdin : std::fopen(files[0], "rb");
    if (!in) {
        std::fprintf(stderr, "tklframe: cannot read %s: %s\n", files[0], std::strerror(errno));
        return 1;
    }
    std::string data;
    char buf[1 << 16];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, in)) > 0)
        data.append(buf, got);
    if (std::ferror(in)) {
        std::fprintf(stderr, "tklframe: error reading %s: %s\n", files[0], std::strerror(errno));
        return 1;
    }
    const std::string framed =
        tklframe::frame(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), payload, variant);

    FILE* out = std::strcmp(files[1], "-") == 0 ? stdout : std::fopen(files[1], "wb");
    if (!out) {
        std::fprintf(stderr, "tklframe: cannot create %s: %s\n", files[1], std::strerror(errno));
        return 1;
    }
    if (std::fwrite(framed.data(), 1, framed.size(), out) != framed.size() || std::fflush(out) != 0 ||
        (out != stdout && std::fclose(out) != 0)) {
        std::fprintf(stderr, "tklframe: error writing %s: %s\n", files[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
