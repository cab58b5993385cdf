// corvotkl-faultfs IMAGE MOUNTPOINT [--bad START:LENGTH]... [--delay-ms N] [FUSE options]
//
// Serves IMAGE read-only as MOUNTPOINT/image. A read touching a bad range
// fails with EIO, as a disk's bad sectors do; every read waits N ms first, as
// a slow disk does. Put the file under `losetup -r` for a block device with
// bad sectors. Runs in the foreground until unmounted (fusermount3 -u or
// umount MOUNTPOINT). Requests are served one at a time.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Range {
    std::int64_t start, end;
};

struct State {
    int fd = -1;
    std::int64_t size = 0;
    std::vector<Range> bad;
    long delayMs = 0;
};
State g;

const char kName[] = "/image";

int doGetattr(const char* path, struct stat* st, struct fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kName) != 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = g.size;
    return 0;
}

int doReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buf, kName + 1, nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int doOpen(const char* path, struct fuse_file_info* fi)
{
    if (std::strcmp(path, kName) != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    return 0;
}

int doRead(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info*)
{
    if (std::strcmp(path, kName) != 0)
        return -ENOENT;
    if (g.delayMs > 0) {
        struct timespec ts {g.delayMs / 1000, (g.delayMs % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    const std::int64_t end = offset + std::int64_t(size);
    for (const Range& r : g.bad) {
        if (offset < r.end && r.start < end)
            return -EIO;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(g.fd, buf + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return int(done);
}

bool parseRange(const char* text, Range* r)
{
    char* colon = nullptr;
    errno = 0;
    const long long start = std::strtoll(text, &colon, 10);
    if (errno || colon == text || *colon != ':' || start < 0)
        return false;
    char* rest = nullptr;
    const long long length = std::strtoll(colon + 1, &rest, 10);
    if (errno || rest == colon + 1 || *rest != '\0' || length <= 0)
        return false;
    *r = Range{start, start + length};
    return true;
}

int usage(const char* why)
{
    std::fprintf(stderr,
                 "corvotkl-faultfs: %s\n"
                 "usage: corvotkl-faultfs IMAGE MOUNTPOINT [--bad START:LENGTH]... [--delay-ms N] [FUSE options]\n"
                 "Serves IMAGE read-only as MOUNTPOINT/image; reads touching a bad range fail with EIO,\n"
                 "every read waits N ms first. Stays in the foreground until unmounted.\n",
                 why);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> fuseArgs{argv[0]};
    const char* image = nullptr;
    const char* mountPoint = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bad" || a == "--delay-ms") {
            if (i + 1 >= argc)
                return usage((a + " needs a value").c_str());
            const char* v = argv[++i];
            if (a == "--bad") {
                Range r;
                if (!parseRange(v, &r))
                    return usage((std::string("--bad needs START:LENGTH in bytes, not \"") + v + "\"").c_str());
                g.bad.push_back(r);
            } else {
                char* rest = nullptr;
                g.delayMs = std::strtol(v, &rest, 10);
                if (rest == v || *rest != '\0' || g.delayMs < 0 || g.delayMs > 60000)
                    return usage((std::string("--delay-ms needs milliseconds (0 to 60000), not \"") + v + "\"").c_str());
            }
        } else if (a == "-h" || a == "--help") {
            usage("serves an image with failing ranges");
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            fuseArgs.push_back(a);
            if ((a == "-o") && i + 1 < argc)
                fuseArgs.push_back(argv[++i]);
        } else if (!image) {
            image = argv[i];
        } else if (!mountPoint) {
            mountPoint = argv[i];
        } else {
            return usage((std::string("one IMAGE and one MOUNTPOINT only, got also \"") + a + "\"").c_str());
        }
    }
    if (!image || !mountPoint)
        return usage("IMAGE and MOUNTPOINT are needed");
    g.fd = ::open(image, O_RDONLY | O_CLOEXEC);
    if (g.fd < 0) {
        std::fprintf(stderr, "corvotkl-faultfs: cannot open %s: %s\n", image, std::strerror(errno));
        return 1;
    }
    struct stat st {};
    if (::fstat(g.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "corvotkl-faultfs: %s: not a regular file\n", image);
        return 1;
    }
    g.size = st.st_size;

    // One request at a time, as a disk serves them: the delay adds up.
    fuseArgs.push_back("-s");
    fuseArgs.push_back("-f");
    fuseArgs.push_back("-o");
    fuseArgs.push_back("ro,default_permissions,fsname=corvotkl-faultfs");
    fuseArgs.push_back(mountPoint);
    std::vector<char*> args;
    for (std::string& s : fuseArgs)
        args.push_back(&s[0]);
    struct fuse_operations ops {};
    ops.getattr = doGetattr;
    ops.readdir = doReaddir;
    ops.open = doOpen;
    ops.read = doRead;
    return fuse_main(int(args.size()), args.data(), &ops, nullptr);
}
