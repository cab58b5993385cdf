#pragma once
// Command line of corvotkl-cli. All options are parsed here, in one place, so
// that new commands and options only extend CliOptions and parseCliArguments.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct CliOptions {
    QString command;      // "scan", "export" (of a session) or "sessions"
    QString source;       // device name, block device or image file, as given
    QString session;      // scan: --session FILE; export: the SESSION
    bool fresh = false;   // --fresh: start the session over
    qint64 start = 0;
    qint64 end = -1;      // -1: the end of the source
    bool hasStart = false;
    bool hasEnd = false;
    bool json = false;
    // After the scan: one file per fragment into exportDir, and/or the
    // fragments one after another into mergeFile; only `serials` when given.
    QString exportDir;
    QString mergeFile;
    QList<int> serials;
    bool hasSerials = false;
    // "tkl" (the recorder's own bytes) or "mp4" (a playable copy).
    QString format = QStringLiteral("tkl");
    // After the scan: one JPEG per fragment and an index.html contact sheet.
    QString thumbsDir;
};

struct CliParseResult {
    enum Kind { Ok, Help, Error } kind = Ok;
    QString message;      // for Error: what is wrong with the arguments
};

// args[0] is the program name.
CliParseResult parseCliArguments(const QStringList& args, CliOptions* out);
QString cliUsage();

// Whether the export folder and the merge file's folder exist and can be
// written, checked before the scan so that a scan of hours does not end in a
// destination that was never there, and that neither lies on the source.
// False with the reason in *why.
bool checkCliDestinations(const CliOptions& options, QString* why);

// Exit statuses.
enum CliExit {
    CliExitOk = 0,
    CliExitSourceError = 1, // the source could not be opened or read, or the output written
    CliExitUsage = 2,
    CliExitInterrupted = 130,
};
