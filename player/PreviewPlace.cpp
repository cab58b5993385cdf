#include "player/PreviewPlace.h"

#include "disk/RequestingUser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool underUsr(const QString& dir)
{
    const QString clean = QDir::cleanPath(dir);
    return clean == QLatin1String("/usr") || clean.startsWith(QLatin1String("/usr/"));
}

bool writable(const QString& dir)
{
    return ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
}
} // namespace

QString previewFolderFor(const QString& appDir, const QString& cacheDir)
{
    if (!underUsr(appDir)) {
        const QString beside = QDir(appDir).filePath(QStringLiteral("thumb"));
        if (QFileInfo(beside).isDir() ? writable(beside) : writable(appDir))
            return beside;
    }
    return QDir(cacheDir).filePath(QStringLiteral("corvotkl/thumb"));
}

QString previewFolder()
{
    return previewFolderFor(QCoreApplication::applicationDirPath(), requestingUserCacheDir());
}

bool previewFolderIsPerUser(const QString& folder)
{
    return QDir::cleanPath(folder) != QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("thumb"));
}

bool makePrivateFolder(const QString& folder, QString* error)
{
    // The missing folders, outermost first.
    QStringList missing;
    for (QString d = QDir::cleanPath(QDir::isAbsolutePath(folder) ? folder : QDir::current().absoluteFilePath(folder));
         !QFileInfo::exists(d); d = QFileInfo(d).path()) {
        missing.prepend(d);
        if (d == QLatin1String("/"))
            break;
    }
    for (const QString& d : missing) {
        if (::mkdir(QFile::encodeName(d).constData(), 0700) != 0 && errno != EEXIST) {
            if (error)
                *error = QStringLiteral("cannot create the folder %1: %2")
                             .arg(d, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (!chownToRequestingUser(d, error))
            return false;
    }
    const QFileInfo info(folder);
    // Root acting for a user writes here: a link must not lead it elsewhere.
    if (info.isSymLink()) {
        if (error)
            *error = QStringLiteral("refusing the folder %1: it is a link to %2").arg(folder, info.symLinkTarget());
        return false;
    }
    if (!info.isDir()) {
        if (error)
            *error = QStringLiteral("cannot create the folder %1: a file of that name is in the way").arg(folder);
        return false;
    }
    // Footage is private: a folder left wider by an older run is narrowed.
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return true;
}
