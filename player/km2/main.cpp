// km2: the preview player. Takes the MPlayer-style command line of the
// application, strips the TKL frame headers from the preview file and lets
// Debian's mplayer play the payload inside the given window.
//
// km2 becomes mplayer (exec) after starting a feeder process, so the process
// the application controls is mplayer itself: the quit command written to our
// standard input reaches mplayer, and a kill ends it. The feeder writes the
// stripped payload into a pipe that mplayer reads as /dev/fd/3; it dies with
// mplayer (parent-death signal, or a broken pipe). mplayer forks a cache
// process of its own that outlives it; when the window started us as the
// leader of a process group, the feeder stays until mplayer is gone and then
// ends the whole group, so nothing of ours survives the window.

#include "player/km2/Km2Args.h"
#include "tools/tklframe/TklFrame.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPayloadFd = 3;

std::string findOnPath(const char* name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        std::size_t colon = dirs.find(':', at);
        if (colon == std::string::npos)
            colon = dirs.size();
        std::string dir = dirs.substr(at, colon - at);
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = colon + 1;
    }
    return std::string();
}

bool writeAll(int fd, const char* data, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += w;
        n -= std::size_t(w);
    }
    return true;
}

bool g_groupLeader = false;

void endGroup(int) { ::kill(0, SIGKILL); }

[[noreturn]] void feederDone()
{
    if (g_groupLeader)
        for (;;)
            ::pause(); // until mplayer's death ends the group
    ::_exit(0);
}

// The feeder: file -> stripped payload -> pipe. Never returns.
[[noreturn]] void feed(int in, int out, const std::string& file)
{
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<char> buf(1 << 20);
    std::string payload;
    tklframe::Unframer unframer;
    for (;;) {
        const ssize_t got = ::read(in, buf.data(), buf.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            std::fprintf(stderr, "km2: error reading %s: %s\n", file.c_str(), std::strerror(errno));
            break;
        }
        if (got == 0)
            break;
        payload.clear();
        unframer.feed(reinterpret_cast<const std::uint8_t*>(buf.data()), std::size_t(got), payload);
        if (!writeAll(out, payload.data(), payload.size())) {
            ::close(out);
            feederDone(); // mplayer has gone
        }
    }
    payload.clear();
    unframer.finish(payload);
    writeAll(out, payload.data(), payload.size());
    ::close(out);
    feederDone();
}

} // namespace

int main(int argc, char** argv)
{
    const km2::Invocation inv = km2::parseArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (!inv.error.empty()) {
        std::fprintf(stderr, "km2: %s\nusage: km2 [mplayer options] FILE\n", inv.error.c_str());
        return 2;
    }
    const int in = ::open(inv.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        std::fprintf(stderr, "km2: cannot open %s: %s\n", inv.file.c_str(), std::strerror(errno));
        return 1;
    }
    const std::string mplayer = findOnPath("mplayer");
    if (mplayer.empty()) {
        std::fprintf(stderr, "km2: cannot play %s: mplayer is not installed (not found on PATH)\n",
                     inv.file.c_str());
        return 127;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "km2: cannot create a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    const pid_t self = ::getpid();
    const pid_t feeder = ::fork();
    if (feeder < 0) {
        std::fprintf(stderr, "km2: cannot start the feeder: %s\n", std::strerror(errno));
        return 1;
    }
    if (feeder == 0) {
        g_groupLeader = ::getpgrp() == self;
        if (g_groupLeader) {
            std::signal(SIGTERM, endGroup);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        } else {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        }
        if (::getppid() != self)
            ::_exit(0);
        ::close(fds[0]);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) { // the quit command is mplayer's, not ours
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
        }
        feed(in, fds[1], inv.file);
    }
    ::close(in);
    ::close(fds[1]);
    if (fds[0] == kPayloadFd)
        ::fcntl(kPayloadFd, F_SETFD, 0);
    else if (::dup2(fds[0], kPayloadFd) < 0) {
        std::fprintf(stderr, "km2: cannot pass the stream to mplayer: %s\n", std::strerror(errno));
        return 1;
    }

    std::vector<std::string> args;
    args.push_back(mplayer);
    args.insert(args.end(), inv.options.begin(), inv.options.end());
    args.push_back("/dev/fd/3");
    std::vector<char*> argvOut;
    for (std::string& a : args)
        argvOut.push_back(a.data());
    argvOut.push_back(nullptr);

    // mplayer prints a line per frame; nobody reads it, so it goes nowhere
    // rather than into the application's pipe buffers.
    const int err = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    ::execv(mplayer.c_str(), argvOut.data());
    if (err >= 0)
        dprintf(err, "km2: cannot start %s: %s\n", mplayer.c_str(), std::strerror(errno));
    return 127;
}
