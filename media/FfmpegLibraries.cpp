// The table itself is filled here, by name.
#define CORVO_FF_NO_REDIRECT
#include "media/FfmpegLibraries.h"

#include <dlfcn.h>

#include <mutex>

namespace Media::Ff {

Api api;

namespace {

#define CORVO_FF_STR2(x) #x
#define CORVO_FF_STR(x) CORVO_FF_STR2(x)
// The major versions built against: a library of another major has another ABI.
const char* const kAvutil = "libavutil.so." CORVO_FF_STR(LIBAVUTIL_VERSION_MAJOR);
const char* const kAvcodec = "libavcodec.so." CORVO_FF_STR(LIBAVCODEC_VERSION_MAJOR);
const char* const kAvformat = "libavformat.so." CORVO_FF_STR(LIBAVFORMAT_VERSION_MAJOR);
const char* const kSwscale = "libswscale.so." CORVO_FF_STR(LIBSWSCALE_VERSION_MAJOR);

struct Loaded {
    bool ok = false;
    QString why;
};

Loaded loadOnce()
{
    Loaded l;
    // Each library in the order they depend on one another; never closed, as
    // the table points into them for the rest of the run.
    void* handles[4] = {};
    const char* const names[4] = {kAvutil, kAvcodec, kAvformat, kSwscale};
    for (int i = 0; i < 4; ++i) {
        handles[i] = ::dlopen(names[i], RTLD_NOW | RTLD_LOCAL);
        if (!handles[i]) {
            const char* e = ::dlerror();
            l.why = QStringLiteral("FFmpeg's %1 cannot be loaded: %2")
                        .arg(QString::fromLatin1(names[i]), e ? QString::fromLocal8Bit(e) : QStringLiteral("not found"));
            return l;
        }
    }
    void* const avutil = handles[0];
    void* const avcodec = handles[1];
    void* const avformat = handles[2];
    void* const swscale = handles[3];
    Api table;
#define CORVO_FF_LOOKUP(lib, name)                                                                           \
    table.name = reinterpret_cast<decltype(table.name)>(::dlsym(lib, #name));                                \
    if (!table.name) {                                                                                         \
        l.why = QStringLiteral("FFmpeg's lib%1 has no %2").arg(QStringLiteral(#lib), QStringLiteral(#name)); \
        return l;                                                                                              \
    }
    CORVO_FF_FUNCTIONS(CORVO_FF_LOOKUP)
#undef CORVO_FF_LOOKUP
    (void)avutil;
    (void)avcodec;
    (void)avformat;
    (void)swscale;
    api = table;
    l.ok = true;
    return l;
}

} // namespace

bool load(QString* why)
{
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = loadOnce(); });
    if (!loaded.ok && why)
        *why = loaded.why;
    return loaded.ok;
}

} // namespace Media::Ff
