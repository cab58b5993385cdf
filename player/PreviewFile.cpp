#include "player/PreviewFile.h"

#include "disk/Nyx.h"
#include "disk/SourceGuard.h"
#include "export/ExtentCopy.h"

#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QSaveFile>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>


PreviewResult buildPreviewFile(const SFragmentFit& fragment, const QString& dir, const QString& name,
                               qint64 maxBytes, const std::atomic<bool>* cancel, QMutex* renameLock)
{
    PreviewResult result;
    auto cancelled = [cancel] { return cancel && cancel->load(); };

    // Not even the folder is made on the source.
    const QString onSource = SourceGuard({nyxDevicePathForName(fragment.diskName)})
                                 .check(QFile::encodeName(QDir(dir).filePath(name)));
    if (!onSource.isEmpty()) {
        result.message = QStringLiteral("refusing to write the preview: %1").arg(onSource);
        return result;
    }
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
    int openError = 0;
    NyxDeviceHandle device = nyxOpenForReading(path, &openError);
    if (!device) {
        // An unreadable source still gets a (empty) preview: the player must
        // not go on showing the previous fragment.
        result.message = QStringLiteral("cannot open %1: %2")
                             .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(openError)));
    }

    if (device && fragment.extents) {
        ExportCore::ExtentCopier copier;
        copier.setDevice(device.get());
        ExportCore::CopyTally tally;
        bool writeFailed = false;
        const auto sink = [&](const char* data, qint64 len) {
            writeFailed = out.write(data, len) != len;
            return !writeFailed;
        };
        const auto step = [&](qint64) { return cancelled(); };
        qint64 covered = 0; // bytes of the fragment handed on or missing: the bound
        for (const SExtent& e : *fragment.extents) {
            if (covered >= maxBytes || e.end <= e.start)
                continue;
            const qint64 end = std::min(e.end, e.start + (maxBytes - covered));
            const ExportCore::CopyEnd how = copier.copy(e.start, end, sink, &tally, step);
            covered += end - e.start;
            if (how == ExportCore::CopyEnd::SinkFailed) {
                out.cancelWriting();
                result.message = QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString());
                return result;
            }
            if (how == ExportCore::CopyEnd::Stopped || cancelled()) {
                out.cancelWriting();
                result.status = PreviewResult::Cancelled;
                return result;
            }
        }
        result.bytes = tally.copied;
        result.zeroFilled = tally.zeroFilled;
        result.readErrors = int((tally.zeroFilled + ExportCore::ExtentCopier::kSector - 1) / ExportCore::ExtentCopier::kSector);
        if (tally.zeroFilled > 0)
            result.message = QStringLiteral("read error at %1 on %2: %3; %4 unreadable bytes written as zeros")
                                 .arg(tally.firstBad)
                                 .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(tally.readError)))
                                 .arg(tally.zeroFilled);
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
