// Scan sessions: the question before continuing an unfinished scan, and a
// session reopened with 打开记录, its fragments listed without a scan.

#include "Shots.h"

#include "app/MainWindow.h"
#include "disk/widget.h"
#include "session/ScanSession.h"
#include "tools/imagegen/ImageGen.h"
#include "tools/imagegen/KeptSession.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>

#include <cstdio>

namespace {

bool keepScan(const QString& image, const QString& file, int checkpoints)
{
    QString why;
    if (imagegen::keepScanSession(image, file, checkpoints, &why))
        return true;
    std::fprintf(stderr, "session shot: %s\n", qPrintable(why));
    return false;
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
