#include "player/PreviewFile.h"

#include "disk/Nyx.h"

#include <QDir>
#include <QMutexLocker>
#include <QSaveFile>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {
constexpr qint64 kBlock = 1024 * 1024;

struct DeviceCloser {
    void operator()(NyxCIOSystemDevice* d) const { NyxfIOSystemDevice_delete(&d); }
};
} // namespace

PreviewResult buildPreviewFile(const SFragmentFit& fragment, const QString& dir, const QString& name,
                               qint64 maxBytes, const std::atomic<bool>* cancel, QMutex* renameLock)
{
    PreviewResult result;
    auto cancelled = [cancel] { return cancel && cancel->load(); };

    if (!QDir().mkpath(dir)) {
        result.message = QStringLiteral("cannot create the folder %1").arg(dir);
        return result;
    }
    QSaveFile out(QDir(dir).filePath(name));
    // Rename over the target only; never write it in place.
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly)) {
        result.message = QStringLiteral("cannot create %1: %2").arg(out.fileName(), out.errorString());
        return result;
    }
    // Recovered footage is for the user who recovers it alone.
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    const QByteArray path = nyxDevicePathForName(fragment.diskName);
    std::unique_ptr<NyxCIOSystemDevice, DeviceCloser> device(NyxfIOSystemDevice_new_not_open(path.constData()));
    int openError = device ? NyxfIOSystemDevice_open(device.get(), NyxAccessRead, NyxOpenExisting) : EINVAL;
    if (openError != 0) {
        // An unreadable source still gets a (empty) preview: the player must
        // not go on showing the previous fragment.
        result.message = QStringLiteral("cannot open %1: %2")
                             .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(openError)));
        device.reset();
    }

    std::vector<char> buf(std::size_t(std::min<qint64>(kBlock, std::max<qint64>(maxBytes, 1))));
    qint64 covered = 0; // bytes of the fragment copied or skipped: the bound
    if (device && fragment.extents) {
        for (const SExtent& e : *fragment.extents) {
            for (qint64 at = e.start; at < e.end && covered < maxBytes;) {
                if (cancelled()) {
                    out.cancelWriting();
                    result.status = PreviewResult::Cancelled;
                    return result;
                }
                const qint64 want = std::min({e.end - at, maxBytes - covered, qint64(buf.size())});
                const std::int64_t got = NyxfIOSystemDevice_read_from(device.get(), buf.data(), at, quint32(want));
                if (got < 0) {
                    ++result.readErrors;
                    result.message = QStringLiteral("read error at %1 on %2: %3")
                                         .arg(at)
                                         .arg(QString::fromLocal8Bit(path),
                                              QString::fromLocal8Bit(std::strerror(int(-got))));
                    at += want; // skip the bad block, keep the rest
                    covered += want;
                    continue;
                }
                if (got == 0)
                    break; // the source ends before the extent does
                if (out.write(buf.data(), got) != got) {
                    out.cancelWriting();
                    result.message = QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString());
                    return result;
                }
                result.bytes += got;
                covered += got;
                at += got;
            }
            if (covered >= maxBytes)
                break;
        }
    }

    std::unique_ptr<QMutexLocker> lock(renameLock ? new QMutexLocker(renameLock) : nullptr);
    if (cancelled()) {
        out.cancelWriting();
        result.status = PreviewResult::Cancelled;
        return result;
    }
    if (!out.commit()) {
        result.message = QStringLiteral("cannot replace %1: %2").arg(out.fileName(), out.errorString());
        return result;
    }
    result.status = PreviewResult::Written;
    return result;
}
