#pragma once
// The preview file: the head of a fragment, copied from its source into a
// file the player reads. Runs on any thread; reads the source read-only.

#include "scan/SFragmentFit.h"

#include <QString>
#include <atomic>

class QMutex;

struct PreviewResult {
    enum Status { Written, Cancelled, Failed };
    Status status = Failed;
    qint64 bytes = 0;      // bytes of the fragment in the file
    int readErrors = 0;    // unreadable source sectors (written as zeros)
    qint64 zeroFilled = 0; // their bytes
    QString message;       // what went wrong, for diagnostics
};

// The head of a preview worth copying: plenty of video for a look, and
// small enough that a preview starts at once whatever the fragment's size.
constexpr qint64 kPreviewMaxBytes = 32ll * 1024 * 1024;

// Copies the fragment's extents, in order, up to maxBytes of the fragment, from its source
// ("\\.\" + diskName through the device layer) into a new file in dir and
// renames it over dir/name, creating dir when missing. A player still reading
// the old file keeps its own copy of it. Unreadable source sectors become
// zeros, so offsets stay true (the player resynchronises on the next frame).
// cancel is polled between blocks. A file that would lie on the fragment's
// source is refused (Failed) before anything is made. renameLock, when given,
// is held from the last cancel check through
// the rename, so a cancelled job can never replace a newer job's file.
PreviewResult buildPreviewFile(const SFragmentFit& fragment, const QString& dir, const QString& name,
                               qint64 maxBytes = kPreviewMaxBytes, const std::atomic<bool>* cancel = nullptr,
                               QMutex* renameLock = nullptr);
