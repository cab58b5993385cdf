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
std::atomic<bool> g_exporting{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Async-signal-safe. The first signal ends the scan through the event loop,
// and what it found is still exported; a signal while exporting aborts that
// export, the next one ends the process. A second signal while the scan
// winds down (a read stuck on a failing disk) ends the process.
void onSignal(int sig)
{
    const int n = ++g_signalCount;
    if (g_exporting.load()) {
        if (g_interrupt.exchange(true))
            _exit(128 + sig);
        return;
    }
    if (n == 1) {
        const char c = char(sig);
        const ssize_t w = ::write(g_signalFds[1], &c, 1);
        (void)w;
        return;
    }
    _exit(128 + sig);
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

    if (options.command == "export") {
        g_exporting.store(true);
        return runSessionExport(options, &g_interrupt, stderr);
    }
    if (!scan.start())
        return scan.exitCode();
    QObject::connect(&scan, &CliScan::done, &app, [&](int code) {
        const bool stopped = code == CliExitInterrupted;
        const bool writes = cliWantsExport(options) || !options.thumbsDir.isEmpty();
        // A stopped scan's fragments were read: they are still written.
        if (stopped && writes)
            std::fprintf(stderr, "corvotkl-cli: the scan was stopped; writing the %d fragments found so far "
                                 "(Ctrl+C again to abort)\n", scan.kept().size());
        if (stopped)
            code = CliExitOk;
        g_exporting.store(true);
        if (cliWantsExport(options))
            code = runCliExport(options, scan.kept(), code, &g_interrupt, stderr);
        if (code != CliExitInterrupted && !options.thumbsDir.isEmpty())
            code = runCliThumbs(options, scan.fragments(), code, &g_interrupt, stderr);
        g_exporting.store(false);
        app.exit(stopped ? int(CliExitInterrupted) : code);
    }, Qt::QueuedConnection);
    return app.exec();
}
