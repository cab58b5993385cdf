// Recording stand-in for km2. Appends to $KM2_LOG, one write per line:
//   start PID OTHERS_ALIVE      OTHERS_ALIVE = earlier starts still running
//   arg PID INDEX HEX           each argument, hex so that empty ones and
//                               spaces survive
//   in PID HEX                  bytes that arrived on standard input
//   eof PID                     standard input closed
// A forked reader keeps recording stdin after the stand-in itself is killed
// (the application kills the player right after writing the quit command).
// KM2_FAKE_MODE=exit makes the stand-in end by itself at once.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace {
std::string hex(const char* data, std::size_t n)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[(unsigned char)data[i] >> 4];
        s += digits[(unsigned char)data[i] & 15];
    }
    return s.empty() ? "-" : s;
}

void logLine(const char* path, const std::string& line)
{
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0)
        return;
    const std::string l = line + "\n";
    (void)!::write(fd, l.data(), l.size());
    ::close(fd);
}

bool running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] != 'Z';
}
} // namespace

int main(int argc, char** argv)
{
    const char* log = std::getenv("KM2_LOG");
    if (!log)
        return 3;
    const pid_t self = ::getpid();

    int others = 0;
    {
        std::ifstream in(log);
        std::string kind;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            long pid = 0;
            if (ls >> kind >> pid && kind == "start" && running(pid_t(pid)))
                ++others;
        }
    }
    // The reader exists before the start is logged: a test that saw the start
    // may kill us at once and still expects every byte written to be recorded.
    if (::fork() == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        char buf[256];
        for (;;) {
            const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            logLine(log, "in " + std::to_string(self) + " " + hex(buf, std::size_t(got)));
        }
        logLine(log, "eof " + std::to_string(self));
        return 0;
    }
    std::string entry = "start " + std::to_string(self) + " " + std::to_string(others);
    for (int i = 1; i < argc; ++i)
        entry += "\narg " + std::to_string(self) + " " + std::to_string(i) + " " + hex(argv[i], std::strlen(argv[i]));
    logLine(log, entry);

    const char* mode = std::getenv("KM2_FAKE_MODE");
    if (mode && std::strcmp(mode, "exit") == 0)
        return 0;
    // Never outlive a crashed test run for long.
    ::sleep(60);
    return 0;
}
