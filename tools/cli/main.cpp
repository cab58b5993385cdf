// corvotkl-cli: the raw scan from the command line.
#include "scan/SFragmentFit.h"
#include "scan/SSchedule.h"
#include "tools/cli/CliExport.h"
#include "tools/cli/CliMedia.h"
#include "tools/cli/CliOptions.h"
#include "tools/cli/CliScan.h"
#include "tools/cli/CliSession.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};
volatile sig_atomic_t g_signalCount = 0;
// Polled by an export, which runs after the scan outside the event loop.
std::atomic<bool> g_interrupt{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Async-signal-safe: hand the signal to the event loop. A second Ctrl+C while
// the scan winds down (a read stuck on a failing disk) ends the process.
void onSignal(int sig)
{
    if (++g_signalCount > 1)
        _exit(128 + sig);
    g_interrupt.store(true);
    const char c = char(sig);
    const ssize_t w = ::write(g_signalFds[1], &c, 1);
    (void)w;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<SFragmentFit>("SFragmentFit");
    qRegisterMetaType<SFragmentFit>("SFragmentFit&");
    qRegisterMetaType<SSchedule>("SSchedule");
    qRegisterMetaType<ScanResumePoint>("ScanResumePoint");

    CliOptions options;
    const CliParseResult parsed = parseCliArguments(app.arguments(), &options);
    if (parsed.kind == CliParseResult::Help) {
        std::fputs(qPrintable(cliUsage()), stdout);
        return CliExitOk;
    }
    if (parsed.kind == CliParseResult::Error) {
        std::fprintf(stderr, "corvotkl-cli: %s\n%s", qPrintable(parsed.message), qPrintable(cliUsage()));
        return CliExitUsage;
    }
    QString destinationProblem;
    if (!checkCliDestinations(options, &destinationProblem)) {
        std::fprintf(stderr, "corvotkl-cli: %s\n", qPrintable(destinationProblem));
        return CliExitUsage;
    }

    if (options.command == "sessions")
        return listSessions(stdout, stderr);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0) {
        std::perror("corvotkl-cli: socketpair");
        return CliExitSourceError;
    }
    QSocketNotifier notifier(g_signalFds[0], QSocketNotifier::Read);
    static CliReadErrors readErrors;
    nyxSetDeviceFactory(cliWatchingFactory(cliKillAtReadFactory(nullptr), &readErrors));
    CliScan scan(options, stdout, stderr);
    scan.watchReads(&readErrors);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&]() {
        char c = 0;
        if (::read(g_signalFds[0], &c, 1) == 1)
            scan.interrupt(128 + int(static_cast<unsigned char>(c)));
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (options.command == "export")
        return runSessionExport(options, &g_interrupt, stderr);
    if (!scan.start())
        return scan.exitCode();
    QObject::connect(&scan, &CliScan::done, &app, [&](int code) {
        // A stopped scan exports nothing: the user asked to stop.
        if (code != CliExitInterrupted && cliWantsExport(options))
            code = runCliExport(options, scan.fragments(), code, &g_interrupt, stderr);
        if (code != CliExitInterrupted && !options.thumbsDir.isEmpty())
            code = runCliThumbs(options, scan.fragments(), code, &g_interrupt, stderr);
        app.exit(code);
    }, Qt::QueuedConnection);
    return app.exec();
}
