#include "tools/cli/CliOptions.h"

#include "disk/SourceGuard.h"
#include "export/ExportCli.h"
#include "tools/cli/CliScan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace {

// Plain decimal digits only: no sign, no suffix, no hex, no overflow.
bool parseOffset(const QString& text, qint64* out)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    qint64 v = 0;
    for (QChar c : text) {
        if (c < '0' || c > '9')
            return false;
        const int digit = c.unicode() - '0';
        if (v > (std::numeric_limits<qint64>::max() - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *out = v;
    return true;
}

} // namespace

QString cliUsage()
{
    return QStringLiteral(
        "usage: corvotkl-cli scan SOURCE [--start N] [--end N] [--json]\n"
        "                         [--session FILE [--fresh]]\n"
        "                         [--export DIR] [--merge FILE] [--serials LIST]\n"
        "                         [--format tkl|mp4] [--thumbs DIR]\n"
        "       corvotkl-cli export SESSION (--export DIR | --merge FILE) [--serials LIST]\n"
        "       corvotkl-cli sessions\n"
        "\n"
        "Scans SOURCE raw for TKL video and lists every fragment found.\n"
        "  SOURCE       a device name (sdb, sdb1: /dev/NAME), a block device or a disk\n"
        "               image file (made with dd or ddrescue); it is only ever read\n"
        "  --start N    first byte to scan (default 0; scanning starts at the sector)\n"
        "  --end N      byte to stop before (default: the end of SOURCE)\n"
        "  --json       one JSON object per fragment and line on standard output\n"
        "  --session FILE  keep the scan in FILE; when FILE holds an unfinished scan\n"
        "               of SOURCE, continue it from where it was saved\n"
        "  --fresh      with --session: start the scan over\n"
        "  --export DIR after the scan, write each fragment to DIR as\n"
        "               (SS)FIRST-LAST_SERIAL.TKL, as the window's export does\n"
        "  --merge FILE after the scan, write the fragments one after another to FILE\n"
        "  --serials LIST  only these fragments, e.g. 1,4,7-9; a merge takes them in\n"
        "               this order (default: every fragment, by serial)\n"
        "  --format F   tkl (default: the recorder's bytes) or mp4 (a copy that plays\n"
        "               everywhere: H.264/H.265 as .mp4, other video as .mkv, an\n"
        "               unrecognised payload as .TKL) for --export and --merge\n"
        "  --thumbs DIR after the scan, a JPEG of each fragment's first picture and an\n"
        "               index.html contact sheet in DIR (made if missing)\n"
        "export writes the fragments saved in SESSION without scanning again;\n"
        "sessions lists the window's sessions.\n"
        "Progress and the summary go to standard error.\n"
        "Exit status: 0 scan complete (and every byte exported), 1 SOURCE could not be\n"
        "opened or read (in whole or in part), the list not written or an export or\n"
        "merge incomplete, 2 bad arguments (an export or merge folder that cannot be\n"
        "written, or a destination on SOURCE, included: checked before the scan),\n"
        "130 interrupted.\n");
}

CliParseResult parseCliArguments(const QStringList& args, CliOptions* out)
{
    CliOptions o;
    auto error = [](const QString& message) {
        CliParseResult r;
        r.kind = CliParseResult::Error;
        r.message = message;
        return r;
    };
    if (args.size() < 2)
        return error(QStringLiteral("no command given"));
    o.command = args[1];
    if (o.command == "-h" || o.command == "--help" || o.command == "help") {
        CliParseResult r;
        r.kind = CliParseResult::Help;
        return r;
    }
    if (o.command != "scan" && o.command != "export" && o.command != "sessions")
        return error(QStringLiteral("unknown command \"%1\"").arg(o.command));

    bool optionsEnded = false;
    QStringList positional;
    for (int i = 2; i < args.size(); ++i) {
        const QString& a = args[i];
        if (optionsEnded || !a.startsWith('-') || a == "-") {
            positional << a;
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            CliParseResult r;
            r.kind = CliParseResult::Help;
            return r;
        }
        // --name VALUE or --name=VALUE
        QString name = a, value;
        bool inlineValue = false;
        const int eq = a.indexOf('=');
        if (a.startsWith("--") && eq > 2) {
            name = a.left(eq);
            value = a.mid(eq + 1);
            inlineValue = true;
        }
        auto takeValue = [&](QString* v) {
            if (inlineValue) {
                *v = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *v = args[++i];
            return true;
        };
        if (name == "--json" && !inlineValue) {
            o.json = true;
        } else if (name == "--fresh" && !inlineValue) {
            o.fresh = true;
        } else if (name == "--session") {
            if (!takeValue(&o.session) || o.session.isEmpty())
                return error(QStringLiteral("--session needs a file"));
        } else if (name == "--start" || name == "--end") {
            QString v;
            if (!takeValue(&v))
                return error(QStringLiteral("%1 needs a byte offset").arg(name));
            qint64 n = 0;
            if (v.startsWith('-') && v.size() > 1)
                return error(QStringLiteral("%1 must not be negative: %2").arg(name, v));
            if (!parseOffset(v, &n))
                return error(QStringLiteral("%1 needs a byte offset in decimal digits, not \"%2\"").arg(name, v));
            if (name == "--start") {
                o.start = n;
                o.hasStart = true;
            } else {
                o.end = n;
                o.hasEnd = true;
            }
        } else if (name == "--export" || name == "--merge") {
            QString v;
            if (!takeValue(&v) || v.isEmpty())
                return error(QStringLiteral("%1 needs a %2").arg(name, name == "--export" ? "folder" : "file"));
            (name == "--export" ? o.exportDir : o.mergeFile) = v;
        } else if (name == "--format") {
            QString v;
            if (!takeValue(&v) || (v != "tkl" && v != "mp4"))
                return error(QStringLiteral("--format takes tkl or mp4%1").arg(v.isEmpty() ? QString() : QStringLiteral(", not \"%1\"").arg(v)));
            o.format = v;
        } else if (name == "--thumbs") {
            QString v;
            if (!takeValue(&v) || v.isEmpty())
                return error(QStringLiteral("--thumbs needs a folder"));
            o.thumbsDir = v;
        } else if (name == "--serials") {
            QString v, why;
            if (!takeValue(&v))
                return error(QStringLiteral("--serials needs a list such as 1,4,7-9"));
            if (!ExportCli::parseSerials(v, &o.serials, &why))
                return error(why);
            o.hasSerials = true;
        } else {
            return error(QStringLiteral("unknown option %1").arg(a));
        }
    }
    if (o.command == "sessions") {
        if (!positional.isEmpty())
            return error(QStringLiteral("sessions takes no argument, got \"%1\"").arg(positional[0]));
        *out = o;
        return CliParseResult();
    }
    if (o.command == "export") {
        if (positional.size() != 1 || positional[0].isEmpty())
            return error(QStringLiteral("export needs one SESSION file"));
        if (!o.session.isEmpty() || o.fresh || o.hasStart || o.hasEnd)
            return error(QStringLiteral("export takes only --export, --merge and --serials"));
        if (o.exportDir.isEmpty() && o.mergeFile.isEmpty())
            return error(QStringLiteral("export needs --export DIR or --merge FILE"));
        o.session = positional[0];
        *out = o;
        return CliParseResult();
    }
    if (o.fresh && o.session.isEmpty())
        return error(QStringLiteral("--fresh starts a session over; no --session was given"));
    if (positional.isEmpty())
        return error(QStringLiteral("no SOURCE given"));
    if (positional.size() > 1)
        return error(QStringLiteral("one SOURCE only, got \"%1\" and \"%2\"").arg(positional[0], positional[1]));
    o.source = positional[0];
    if (o.source.isEmpty())
        return error(QStringLiteral("SOURCE is empty"));
    if (o.hasSerials && o.exportDir.isEmpty() && o.mergeFile.isEmpty())
        return error(QStringLiteral("--serials chooses fragments for --export or --merge; neither was given"));
    if (o.format != "tkl" && o.exportDir.isEmpty() && o.mergeFile.isEmpty())
        return error(QStringLiteral("--format chooses what --export or --merge write; neither was given"));
    if (o.hasStart && o.hasEnd && o.start > o.end)
        return error(QStringLiteral("--start %1 lies beyond --end %2").arg(o.start).arg(o.end));
    *out = o;
    return CliParseResult();
}

namespace {

// A folder files can be created in: "" when it can, else why not.
QString folderProblem(const QString& folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("No such file or directory");
    if (!info.isDir())
        return QStringLiteral("Not a directory");
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

} // namespace

bool checkCliDestinations(const CliOptions& options, QString* why)
{
    if (!options.thumbsDir.isEmpty()) {
        if (!QFileInfo(options.thumbsDir).exists())
            QDir().mkpath(options.thumbsDir);
        const QString problem = folderProblem(options.thumbsDir);
        if (!problem.isEmpty()) {
            *why = QStringLiteral("--thumbs %1: %2").arg(options.thumbsDir, problem);
            return false;
        }
    }
    if (!options.exportDir.isEmpty()) {
        const QString problem = folderProblem(options.exportDir);
        if (!problem.isEmpty()) {
            *why = QStringLiteral("--export %1: %2").arg(options.exportDir, problem);
            return false;
        }
    }
    if (!options.mergeFile.isEmpty()) {
        const QFileInfo file(options.mergeFile);
        if (file.isDir()) {
            *why = QStringLiteral("--merge %1: Is a directory").arg(options.mergeFile);
            return false;
        }
        const QString problem = folderProblem(file.absolutePath());
        if (!problem.isEmpty()) {
            *why = QStringLiteral("--merge %1: %2: %3").arg(options.mergeFile, file.absolutePath(), problem);
            return false;
        }
    }
    if (options.exportDir.isEmpty() && options.mergeFile.isEmpty())
        return true;
    // Writing onto the source would overwrite what is being recovered.
    const SourceGuard guard({resolveCliSource(options.source).filePath});
    for (const auto& [option, path] : {std::make_pair(QStringLiteral("--export"), options.exportDir),
                                       std::make_pair(QStringLiteral("--merge"), options.mergeFile)}) {
        if (path.isEmpty())
            continue;
        const QString problem = guard.check(QFile::encodeName(QFileInfo(path).absoluteFilePath()));
        if (!problem.isEmpty()) {
            *why = QStringLiteral("%1 %2: refused, %3").arg(option, path, problem);
            return false;
        }
    }
    return true;
}
