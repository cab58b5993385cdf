#pragma once
// Where the preview file lives. A build tree keeps thumb/ beside the program;
// an installed program (under /usr) or one whose folder cannot be written
// uses the user's cache, private to that user and removed with the window.

#include <QString>

// The folder for a program in appDir, given the user's cache folder.
QString previewFolderFor(const QString& appDir, const QString& cacheDir);

// The folder for this process: previewFolderFor(application dir, the
// requesting user's cache).
QString previewFolder();

// True when folder is the per-user one (to be emptied when the window closes).
bool previewFolderIsPerUser(const QString& folder);

// Creates folder and any missing parent, the created ones mode 0700 and owned
// by the requesting user; an existing folder of ours is narrowed to 0700.
// error gets what failed and why.
bool makePrivateFolder(const QString& folder, QString* error);
