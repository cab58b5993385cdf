#include "disk/RequestingUser.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <vector>

RequestingUser requestingUser()
{
    RequestingUser u;
    u.uid = ::getuid();
    u.gid = ::getgid();
    u.home = QDir::homePath();
    if (::geteuid() != 0)
        return u;
    // sudo names the user the same way (README suggests sudo from a build tree).
    const QString named = qEnvironmentVariableIsSet("PKEXEC_UID") ? qEnvironmentVariable("PKEXEC_UID")
                                                                  : qEnvironmentVariable("SUDO_UID");
    bool ok = false;
    const uint uid = named.toUInt(&ok);
    if (!ok || uid == 0)
        return u;
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid_t(uid), &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return u; // an unknown user: keep root's own places rather than guess
    u.other = true;
    u.uid = pw.pw_uid;
    u.gid = pw.pw_gid;
    u.home = QFile::decodeName(pw.pw_dir);
    u.name = QFile::decodeName(pw.pw_name);
    return u;
}

QString requestingUserCacheDir()
{
    const RequestingUser u = requestingUser();
    if (!u.other) {
        const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
        if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
            return xdg;
    }
    return u.home + QStringLiteral("/.cache");
}

bool chownToRequestingUser(const QString& path, QString* error)
{
    const RequestingUser u = requestingUser();
    if (!u.other)
        return true;
    // lchown: a link planted in the user's folders must not hand over its target.
    if (::lchown(QFile::encodeName(path).constData(), u.uid, u.gid) == 0)
        return true;
    if (error)
        *error = QStringLiteral("cannot give %1 to user %2: %3")
                     .arg(path)
                     .arg(u.uid)
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
