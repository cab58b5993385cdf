#include "tools/imagegen/KeptSession.h"

#include "disk/Nyx.h"
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"

#include <QFile>

namespace imagegen {

bool keepScanSession(const QString& image, const QString& file, int checkpoints, QString* why)
{
    const QByteArray name = QFile::encodeName(image);
    SourceIdentity id;
    if (!identifySource(name, &id, why))
        return false;
    std::unique_ptr<ScanSession> s = ScanSession::create(file, id, 0, id.size, why);
    if (!s)
        return false;
    s->setCommitInterval(0);
    CFragmentFit scan;
    int seen = 0;
    bool written = true;
    // On the scan's thread, so a stop falls exactly after the chosen point.
    QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                     [&](SFragmentFit f, int serial) { s->fragmentSent(serial, f); }, Qt::DirectConnection);
    QObject::connect(&scan, &CFragmentFit::TransmitCheckpoint, &scan,
                     [&](ScanResumePoint p) {
                         written = s->checkpoint(p) && written;
                         if (++seen == checkpoints)
                             scan.stop();
                     },
                     Qt::DirectConnection);
    scan.setDevicePath(nyxDevicePathForName(name).constData());
    scan.setRange(0, id.size);
    scan.setCheckpoints(true);
    CFragmentFit::fragmentSerial = 0;
    scan.start();
    const bool ended = scan.wait(120000);
    if (!ended) {
        scan.stop();
        scan.wait();
    }
    CFragmentFit::fragmentSerial = 0;
    if (!ended || !written || !s->commit()) {
        *why = !ended ? QStringLiteral("the scan of %1 did not end").arg(image) : s->lastError();
        return false;
    }
    if (s->info().finished != (checkpoints == 0)) {
        *why = QStringLiteral("the scan of %1 ended %2").arg(image, checkpoints == 0 ? "unfinished" : "before its stop");
        return false;
    }
    return true;
}

} // namespace imagegen
