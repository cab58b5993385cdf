#pragma once
// A scan of an image kept in a session, as the window keeps one: for tests
// and screenshots that need a saved or unfinished session to open.

#include <QString>

namespace imagegen {

// Scans `image` into a new session `file`, stopped after `checkpoints`
// saved points (0: the whole image, finished). The scan's serial counter is
// left at 0. False with *why when the session could not be made or is not
// in the state asked for.
bool keepScanSession(const QString& image, const QString& file, int checkpoints, QString* why);

} // namespace imagegen
