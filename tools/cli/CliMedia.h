#pragma once
// The playable side of corvotkl-cli: --format mp4 for --export and --merge,
// durations in the fragment list, and --thumbs DIR.

#include "media/MediaFile.h"
#include "tools/cli/CliOptions.h"
#include "tools/cli/CliScan.h"

#include <QByteArray>
#include <QList>
#include <atomic>
#include <cstdio>

// Seconds with two decimals, or `unknown` when the pictures could not be
// counted. A row per fragment asks, and most have none on dense data: pass
// a QByteArrayLiteral, which is handed back without allocating or counting.
QByteArray cliDurationText(const Media::Duration& d, const QByteArray& unknown);

// --export/--merge with --format mp4. Fragments whose payload is not
// recognised are named on err and written as .TKL instead. Returns the exit
// status of the whole run as runCliExport does.
int runCliMediaExport(const CliOptions& options, const QList<SPlayListTableItem>& all, int scanExit,
                      const std::atomic<bool>* interrupt, FILE* err);

// --thumbs: thumb-SERIAL.jpg per fragment and index.html in options.thumbsDir.
int runCliThumbs(const CliOptions& options, const QList<CliFragment>& found, int scanExit,
                 const std::atomic<bool>* interrupt, FILE* err);
