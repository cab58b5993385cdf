#pragma once
// The export half of the command-line tool: `--export DIR`, `--merge FILE`
// and `--serials LIST` applied to the fragments a scan found, through the
// same ExportJob the export windows use. Kept beside the copying logic so
// the tool's main only parses its arguments and hands the fragments over.

#include "export/ExportCore.h"
#include "scan/SFragmentFit.h"

#include <QList>
#include <QString>

#include <atomic>
#include <cstdio>
#include <vector>

namespace ExportCli {

struct Options {
    QString exportDir;     // --export: one file per fragment, the window's names
    QString mergeFile;     // --merge: the fragments one after another
    QList<int> serials;    // --serials, in the order given
    bool hasSerials = false;
    // Set (from a signal handler, say) to stop after the current chunk or sector.
    const std::atomic<bool>* interrupt = nullptr;
};

enum class Outcome {
    AllWritten,   // every byte of every chosen fragment
    Incomplete,   // an output, a source, a read or a write failed; or bytes were
                  // unreadable (written as zeros) or missing from the source
    BadSerial,    // --serials names a fragment that was not found
    Interrupted,
};

// "1,4,7-9" -> 1 4 7 8 9; "9-7" -> 9 8 7. false with *error naming the bad part.
bool parseSerials(const QString& text, QList<int>* serials, QString* error);

// The rows to write. Without serials: every fragment, by serial. With them:
// the listed ones in the order given; a repeated serial is written once by an
// export (one file each) but twice by a merge. false with *error naming a
// serial that no fragment carries.
bool selectRows(const QList<SPlayListTableItem>& found, const Options& options, bool forMerge,
                QList<SPlayListTableItem>* rows, QString* error);

// The same choice as positions in found: the rows to write are
// found.at((*order)[k]), or found itself in its order when *identity is set.
bool selectOrder(const ExportCore::RowSource& found, const Options& options, bool forMerge, std::vector<int>* order,
                 bool* identity, QString* error);

// Runs the export and then the merge. Errors, a summary line for each and,
// on a terminal, a progress line go to err; each error names the file and
// the reason.
Outcome run(const Options& options, const QList<SPlayListTableItem>& found, FILE* err);
Outcome run(const Options& options, const ExportCore::RowSource& found, FILE* err);

} // namespace ExportCli
