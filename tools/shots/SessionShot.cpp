// Scan sessions: the question before continuing an unfinished scan, and a
// session reopened with 打开记录, its fragments listed without a scan.

#include "Shots.h"

#include "app/MainWindow.h"
#include "disk/Nyx.h"
#include "disk/widget.h"
#include "scan/CFragmentFit.h"
#include "session/ScanSession.h"
#include "tools/imagegen/ImageGen.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// A session of `image` in `file`, stopped after `checkpoints` saved points (0: whole).
bool keepScan(const QString& image, const QString& file, int checkpoints)
{
    const QByteArray name = QFile::encodeName(image);
    SourceIdentity id;
    QString why;
    std::unique_ptr<ScanSession> s;
    if (identifySource(name, &id, &why))
        s = ScanSession::create(file, id, 0, id.size, &why);
    if (!s) {
        std::fprintf(stderr, "session shot: %s\n", qPrintable(why));
        return false;
    }
    s->setCommitInterval(0);
    CFragmentFit scan;
    int seen = 0;
    QObject::connect(&scan, &CFragmentFit::TransmitAddFragmentList, &scan,
                     [&](SFragmentFit f, int serial) { s->fragmentSent(serial, f); }, Qt::DirectConnection);
    QObject::connect(&scan, &CFragmentFit::TransmitCheckpoint, &scan,
                     [&](ScanResumePoint p) {
                         s->checkpoint(p);
                         if (++seen == checkpoints)
                             scan.stop();
                     },
                     Qt::DirectConnection);
    scan.setDevicePath(nyxDevicePathForName(name).constData());
    scan.setRange(0, id.size);
    scan.setCheckpoints(true);
    CFragmentFit::fragmentSerial = 0;
    scan.start();
    scan.wait();
    CFragmentFit::fragmentSerial = 0;
    return true;
}

QString makeImage(QTemporaryDir& dir, const QStringList& images)
{
    if (!images.isEmpty())
        return images.first();
    const QString image = dir.filePath("recorder.img");
    QString error;
    if (!imagegen::generateImage(image, qint64(96) << 20, 5, nullptr, &error))
        std::fprintf(stderr, "session shot: %s\n", qPrintable(error));
    return image;
}

} // namespace

CORVO_SHOT("resume-question", "the question before continuing an unfinished scan of a generated image")
(MainWindow& window, const QStringList& images)
{
    static QTemporaryDir dir;
    const QString image = makeImage(dir, images);
    SourceIdentity id;
    QString why;
    if (!identifySource(QFile::encodeName(image), &id, &why))
        return;
    QDir().mkpath(sessionsFolder());
    if (!keepScan(image, sessionFileFor(id), 14))
        return;
    scanTargetList() = {ScanTarget{image, id.size, 0}};
    shots::invoke(window, "AddScanDetailInfo");
    shots::grabWhen([] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        return box && box->isVisible();
    });
    shots::invoke(window, "ScanStartClicked");
}

CORVO_SHOT("reopened-session", "a finished session of a generated image reopened with 打开记录")
(MainWindow& window, const QStringList& images)
{
    static QTemporaryDir dir;
    const QString image = makeImage(dir, images);
    const QString file = dir.filePath("recorder.session");
    if (!keepScan(image, file, 0))
        return;
    window.openSessionFile(file);
    shots::settle(500);
}
