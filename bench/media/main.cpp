// bench_media [SECONDS] [FRAGMENTS]
// 1. An H.264 recording of SECONDS (default 600) of 720p test video at 30
//    fps, cut into TKL frames in a page-cached image file: the time cp takes
//    to copy the fragment's bytes, the time remux takes to make an MP4 of
//    it, and the ratio of their speeds (target: remux >= 0.5 x cp).
// 2. FRAGMENTS (default 400) one-second recordings: thumbnails and durations
//    of all of them on both cores plus the contact sheet, in fragments/s.
// All figures come from one run; the processor time of cp and of the remux
// is printed beside the wall clock.
#include "media/ContactSheet.h"
#include "media/MediaFile.h"
#include "tools/tklframe/TklFrame.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <thread>

#include <sys/resource.h>

namespace {

QByteArray encode(int seconds, const char* size, int fps)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1:rate=%2").arg(size).arg(fps),
                       "-t", QString::number(seconds), "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "4M",
                       "-bf", "2", "-g", QString::number(fps), "-f", "h264", "-"});
    p.waitForFinished(-1);
    return p.readAllStandardOutput();
}

double seconds(QElapsedTimer& t) { return t.nsecsElapsed() / 1e9; }

// Processor time (user + system) of this process or of its ended children, in seconds.
double cpu(int who)
{
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int recording = argc > 1 ? atoi(argv[1]) : 600;
    const int fragments = argc > 2 ? atoi(argv[2]) : 400;
    QTemporaryDir dir;
    std::fprintf(stderr, "making %d s of test video…\n", recording);
    // A minute encoded once and repeated: the remux does not care.
    const QByteArray minute = encode(std::min(recording, 60), "1280x720", 30);
    if (minute.isEmpty()) {
        std::fprintf(stderr, "bench_media: ffmpeg made no video\n");
        return 1;
    }
    QByteArray es;
    for (int s = 0; s < recording; s += 60)
        es += minute;
    const std::string framed = tklframe::frame(reinterpret_cast<const std::uint8_t*>(es.constData()), size_t(es.size()), 8192);
    const QString image = dir.filePath("disk.img");
    {
        QFile f(image);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(4096, 'x'));
        f.write(framed.data(), qint64(framed.size()));
    }
    SFragmentFit frag;
    frag.diskName = QFile::encodeName(image);
    frag.totalBytes = qint64(framed.size());
    frag.extents = std::make_shared<SExtentList>(SExtentList{SExtent{4096, 4096 + frag.totalBytes}});
    SPlayListTableItem row;
    row.sFragmentFit = frag;
    row.iSerial = 1;

    // Page-cached for both.
    QProcess::execute("sh", {"-c", QStringLiteral("cat '%1' >/dev/null").arg(image)});
    QElapsedTimer t;
    const double children0 = cpu(RUSAGE_CHILDREN);
    t.start();
    QProcess::execute("sh", {"-c", QStringLiteral("cp '%1' '%2' && sync '%2'").arg(image, dir.filePath("copy.img"))});
    const double cp = seconds(t);
    const double cpCpu = cpu(RUSAGE_CHILDREN) - children0;
    QFile::remove(dir.filePath("copy.img"));
    const double self0 = cpu(RUSAGE_SELF);
    t.restart();
    const QList<SPlayListTableItem> rows{row};
    const Media::RemuxResult r = Media::remux(rows, rows, dir.filePath("out.mp4"));
    const double remuxCpu = cpu(RUSAGE_SELF) - self0;
    QProcess::execute("sync", {dir.filePath("out.mp4")});
    const double remux = seconds(t);
    if (r.status != Media::RemuxResult::Written) {
        std::fprintf(stderr, "bench_media: remux failed: %s\n", qPrintable(r.message));
        return 1;
    }
    const double mb = frag.totalBytes / 1e6;
    std::printf("remux: %.1f MB, %lld pictures: cp %.3f s (%.0f MB/s), remux %.3f s (%.0f MB/s), remux/cp speed %.2f x\n",
                mb, (long long)r.pictures, cp, mb / cp, remux, mb / remux, cp / remux);
    // On a shared machine the wall clock counts waiting for a processor too.
    std::printf("remux: processor time cp %.3f s, remux %.3f s (user + system)\n", cpCpu, remuxCpu);

    // Many short recordings on one image.
    const QByteArray second = encode(1, "704x576", 25);
    const std::string one = tklframe::frame(reinterpret_cast<const std::uint8_t*>(second.constData()), size_t(second.size()), 8192);
    const QString many = dir.filePath("many.img");
    QList<SPlayListTableItem> list;
    {
        QFile f(many);
        f.open(QIODevice::WriteOnly);
        for (int i = 0; i < fragments; ++i) {
            f.write(QByteArray(4096, 'x'));
            SPlayListTableItem it;
            it.iSerial = i + 1;
            it.sFragmentFit.diskName = QFile::encodeName(many);
            it.sFragmentFit.totalBytes = qint64(one.size());
            it.sFragmentFit.extents = std::make_shared<SExtentList>(SExtentList{SExtent{f.pos(), f.pos() + qint64(one.size())}});
            f.write(one.data(), qint64(one.size()));
            list << it;
        }
    }
    QProcess::execute("sh", {"-c", QStringLiteral("cat '%1' >/dev/null").arg(many)});
    QDir().mkpath(dir.filePath("sheet"));
    const int threads = int(std::max(1u, std::thread::hardware_concurrency()));
    t.restart();
    const QList<Media::SheetEntry> entries = Media::makeThumbnails(list, dir.filePath("sheet"), threads);
    QString error;
    Media::writeContactSheet(entries, dir.filePath("sheet"), "bench", &error);
    const double sheet = seconds(t);
    int pictures = 0;
    for (const auto& e : entries)
        pictures += !e.image.isEmpty();
    std::printf("contact sheet: %d fragments (%d pictures) on %d threads in %.2f s: %.1f fragments/s\n", fragments,
                pictures, threads, sheet, fragments / sheet);
    return 0;
}
