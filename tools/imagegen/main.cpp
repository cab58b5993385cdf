// tkl-imagegen: writes a synthetic TKL disk image and its ground truth.
#include "tools/imagegen/ImageGen.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

void usage(FILE* to)
{
    std::fprintf(to,
                 "usage: tkl-imagegen --size BYTES --seed N --out IMAGE [--truth FILE] [--expect DIR]\n"
                 "       tkl-imagegen --demo --out IMAGE [--size BYTES] [--seed N] [--seconds S]\n"
                 "                    [--truth FILE] [--expect DIR]\n"
                 "  BYTES may end in K, M or G (powers of 1024).\n"
                 "  --truth   the fragments a scan of the whole image must report, in the\n"
                 "            order it reports them, as JSON lines\n"
                 "  --expect  each of those fragments' bytes, as an export must write them,\n"
                 "            in DIR/fragment-NNNNN.TKL\n"
                 "  --demo    real test video from ffmpeg (S seconds, default 180) in four\n"
                 "            deleted recordings, one split by a damaged stretch (default\n"
                 "            size 64M, seed 1)\n");
}

bool parseSize(const QString& text, qint64* out)
{
    QString t = text.trimmed();
    qint64 mul = 1;
    if (!t.isEmpty()) {
        const QChar last = t.back().toUpper();
        if (last == 'K' || last == 'M' || last == 'G') {
            mul = last == 'K' ? 1024 : last == 'M' ? 1024 * 1024 : 1024LL * 1024 * 1024;
            t.chop(1);
        }
    }
    bool ok = false;
    const qint64 v = t.toLongLong(&ok);
    if (!ok || v < 0 || t.startsWith('+') || v > (qint64(1) << 50) / mul)
        return false;
    *out = v * mul;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 size = -1;
    quint64 seed = 0;
    bool haveSeed = false;
    QString out, truthPath, expectDir;
    bool demo = false;
    int seconds = 180;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        }
        if (a == "--demo") {
            demo = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "tkl-imagegen: %s needs a value\n", qPrintable(a));
            usage(stderr);
            return 2;
        }
        const QString v = args[++i];
        bool ok = true;
        if (a == "--size")
            ok = parseSize(v, &size);
        else if (a == "--seed")
            seed = v.toULongLong(&ok), haveSeed = ok;
        else if (a == "--out")
            out = v;
        else if (a == "--truth")
            truthPath = v;
        else if (a == "--expect")
            expectDir = v;
        else if (a == "--seconds")
            seconds = v.toInt(&ok), ok = ok && seconds > 0 && seconds <= 3600;
        else {
            std::fprintf(stderr, "tkl-imagegen: unknown option %s\n", qPrintable(a));
            usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "tkl-imagegen: bad value for %s: %s\n", qPrintable(a), qPrintable(v));
            usage(stderr);
            return 2;
        }
    }
    if (demo) {
        if (size < 0)
            size = 64LL * 1024 * 1024;
        if (!haveSeed)
            seed = 1, haveSeed = true;
    }
    if (size < 0 || !haveSeed || out.isEmpty()) {
        usage(stderr);
        return 2;
    }

    imagegen::Truth truth;
    imagegen::ImageStats stats;
    QString error;
    const bool made = demo ? imagegen::generateDemoImage(out, size, seed, seconds, &truth, &error)
                           : imagegen::generateImage(out, size, seed, &truth, &error, &stats);
    if (!made) {
        std::fprintf(stderr, "tkl-imagegen: %s\n", qPrintable(error));
        return 1;
    }
    if (!truthPath.isEmpty() && !imagegen::writeTruthFile(truthPath, truth, out.toUtf8(), &error)) {
        std::fprintf(stderr, "tkl-imagegen: %s\n", qPrintable(error));
        return 1;
    }
    if (!expectDir.isEmpty() && !imagegen::writeExpectedFiles(out, truth, expectDir, &error)) {
        std::fprintf(stderr, "tkl-imagegen: %s\n", qPrintable(error));
        return 1;
    }
    qint64 bytes = 0;
    for (const auto& f : truth)
        bytes += f.totalBytes;
    if (demo) {
        std::fprintf(stderr, "tkl-imagegen: %s: %lld bytes, demo video of %d s in %d fragments (%lld bytes)\n",
                     qPrintable(out), (long long)size, seconds, int(truth.size()), (long long)bytes);
        return 0;
    }
    std::fprintf(stderr,
                 "tkl-imagegen: %s: %lld bytes, %d fragments (%lld bytes, %lld frames, %lld recordings, "
                 "%lld split by one byte, %lld across 2 MiB steps, %lld traps, %lld headers scrubbed)\n",
                 qPrintable(out), (long long)size, int(truth.size()), (long long)bytes, (long long)stats.frames,
                 (long long)stats.recordings, (long long)stats.splitBySingleByte, (long long)stats.straddles,
                 (long long)stats.traps, (long long)stats.scrubbed);
    return 0;
}
