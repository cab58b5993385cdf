#pragma once
// Started as root through pkexec (the desktop entry), the program acts for the
// user who asked: pkexec names that user in PKEXEC_UID (sudo in SUDO_UID). Files we create for
// that user (preview cache, exported and merged files) are handed to them,
// their dialogs start in their home, their browser opens the help.

#include <QString>
#include <sys/types.h>

struct RequestingUser {
    bool other = false; // true only when root acts for another user
    uid_t uid = 0;
    gid_t gid = 0;
    QString home;       // that user's home, or ours
    QString name;       // that user's login name (empty when acting for ourselves)
};

// Reads PKEXEC_UID, else SUDO_UID (when we run as root), and the password database.
RequestingUser requestingUser();

// $XDG_CACHE_HOME, or ~/.cache; for pkexec the requesting user's ~/.cache
// (root's environment says nothing about theirs).
QString requestingUserCacheDir();

// Gives path (not a link it may be) to the requesting user. Does nothing and
// succeeds when we act for ourselves. error gets the reason of a failure.
bool chownToRequestingUser(const QString& path, QString* error = nullptr);
