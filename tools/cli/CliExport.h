#pragma once
// --export and --merge: what corvotkl-cli does with the fragments once the
// scan is over, through the same copying code as the window's export.

#include "scan/SFragmentFit.h"
#include "tools/cli/CliOptions.h"
#include "tools/cli/CliScan.h"

#include <QList>
#include <atomic>
#include <cstdio>

// The fragments found as the export's rows (serials kept).
QList<SPlayListTableItem> cliRows(const QList<CliFragment>& found);

// True when the options ask for an export or a merge.
bool cliWantsExport(const CliOptions& options);

// Writes the fragments found and returns the exit status of the whole run:
// the scan's status unless the export did worse (2 for a serial that was not
// found, 1 for anything not written whole, 130 when interrupted).
int runCliExport(const CliOptions& options, const QList<CliFragment>& found, int scanExit,
                 const std::atomic<bool>* interrupt, FILE* err);
// The same over rows read one at a time, as a scan keeps them.
int runCliExport(const CliOptions& options, const ExportCore::RowSource& found, int scanExit,
                 const std::atomic<bool>* interrupt, FILE* err);
