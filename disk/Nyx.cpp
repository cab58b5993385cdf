#include "disk/Nyx.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef CORVO_HAVE_LIBURING
#include <liburing.h>
#endif

namespace {

const char kPrefix[] = "\\\\.\\";   // \\.\  (4 characters)
const int kPrefixLen = 4;

class PosixDevice : public NyxCIOSystemDevice {
public:
    explicit PosixDevice(QByteArray path) : m_path(std::move(path)) {}
    ~PosixDevice() override
    {
#ifdef CORVO_HAVE_LIBURING
        if (m_pinned)
            ::io_uring_queue_exit(&m_ring);
#endif
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_directFd >= 0)
            ::close(m_directFd);
    }

    int open(std::uint32_t accessFlag, int openMethod) override
    {
        // Only reading an existing device is supported: the source is never written.
        if (accessFlag != NyxAccessRead || openMethod != NyxOpenExisting)
            return m_error = EINVAL;
        if (m_fd >= 0)
            return 0;
        // Not blocking: opening a FIFO would otherwise wait for a writer.
        do {
            m_fd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0)
            return m_error = errno;
        struct stat st {};
        if (::fstat(m_fd, &st) == 0) {
            if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
                // No offsets to read from: not a disk.
                ::close(m_fd);
                m_fd = -1;
                return m_error = ESPIPE;
            }
            if (S_ISBLK(st.st_mode)) {
                std::uint64_t bytes = 0;
                if (::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0)
                    m_size = std::int64_t(bytes);
                int block = 0;
                if (::ioctl(m_fd, BLKSSZGET, &block) == 0 && block >= 512 && (block & (block - 1)) == 0)
                    m_blockSize = block;
                m_block = true;
            } else if (S_ISREG(st.st_mode)) {
                m_size = st.st_size;
            } else if (S_ISDIR(st.st_mode)) {
                ::close(m_fd);
                m_fd = -1;
                return m_error = EISDIR;
            }
        }
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        // The scan and export read front to back: let the kernel read ahead.
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return 0;
    }

    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (m_fd < 0)
            return -(m_error = EBADF);
        if (offset < 0)
            return -(m_error = EINVAL);
        auto* out = static_cast<char*>(dst);
        std::int64_t done = 0;
        while (done < count) {
            ssize_t r = ::pread(m_fd, out + done, size_t(count - done), offset + done);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                const int e = errno;
                m_error = e;
                // Bytes already read are still good; report them, the next read fails again.
                return done > 0 ? done : -std::int64_t(e);
            }
            if (r == 0)
                break;
            done += r;
        }
        return done;
    }

    std::int64_t copyTo(int outFd, std::int64_t offset, std::uint32_t count) override
    {
        // Image files only: a disk is read with our own error handling.
        if (m_fd < 0 || m_block || m_noCopy.load(std::memory_order_relaxed) || offset < 0)
            return -EOPNOTSUPP;
        loff_t in = offset;
        std::int64_t done = 0;
        while (done < count) {
            const ssize_t r = ::copy_file_range(m_fd, &in, outFd, nullptr, size_t(count - done), 0);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                const int e = errno;
                if (e == ENOSYS || e == EXDEV)
                    m_noCopy.store(true, std::memory_order_relaxed); // this kernel or pair of file systems: for good
                if (done > 0)
                    return done;
                return e == ENOSYS || e == EXDEV || e == EINVAL || e == EBADF ? -EOPNOTSUPP : -std::int64_t(e);
            }
            if (r == 0)
                break;
            done += r;
        }
        return done;
    }

    std::int64_t readDirect(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (m_fd < 0)
            return -(m_error = EBADF);
        openDirect();
        if (m_directFd < 0)
            return readFrom(dst, offset, count);
#ifdef CORVO_HAVE_LIBURING
        if (inPinned(dst, count)) {
            const std::int64_t r = readPinned(dst, offset, count);
            if (r != -EOPNOTSUPP)
                return r;
        }
#endif
        for (;;) {
            const ssize_t r = ::pread(m_directFd, dst, count, offset);
            if (r >= 0)
                return r;
            if (errno == EINTR)
                continue;
            if (errno == EINVAL) {
                // Alignment the device does not accept: fall back for good.
                ::close(m_directFd);
                m_directFd = -2;
                return readFrom(dst, offset, count);
            }
            const int e = errno;
            m_error = e;
            return -std::int64_t(e);
        }
    }

    // Pinned once, the kernel no longer looks up and pins every page of every
    // read: most of what a direct read costs besides the transfer.
    void pinForDirectReads(void* base, std::size_t bytes) override
    {
#ifdef CORVO_HAVE_LIBURING
        if (m_pinned || m_fd < 0 || !base || bytes == 0)
            return;
        openDirect();
        if (m_directFd < 0 || ::io_uring_queue_init(4, &m_ring, 0) != 0)
            return;
        struct iovec iov {base, bytes};
        if (::io_uring_register_buffers(&m_ring, &iov, 1) != 0) {
            // Over the locked-memory limit, or memory the kernel will not pin.
            ::io_uring_queue_exit(&m_ring);
            return;
        }
        m_pinned = true;
        m_pinBase = static_cast<char*>(base);
        m_pinBytes = bytes;
#else
        (void)base;
        (void)bytes;
#endif
    }

    std::int64_t size() const override { return m_size; }
    int lastError() const override { return m_error; }
    int logicalBlockSize() const override { return m_blockSize; }
    bool isBlockDevice() const override { return m_block; }

private:
    void openDirect()
    {
        if (m_block && m_directFd == -1) {
            do {
                m_directFd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC | O_DIRECT);
            } while (m_directFd < 0 && errno == EINTR);
            if (m_directFd < 0)
                m_directFd = -2; // not offered: cached reads it is
        }
    }

#ifdef CORVO_HAVE_LIBURING
    bool inPinned(const void* dst, std::uint32_t count) const
    {
        return m_pinned && dst >= m_pinBase && static_cast<const char*>(dst) + count <= m_pinBase + m_pinBytes;
    }

    // Plain reads from now on. A read may still be under way: the kernel
    // keeps the memory pinned until it ends.
    void dropRing()
    {
        ::io_uring_queue_exit(&m_ring);
        m_pinned = false;
        m_reaped.clear();
    }

    // Puts one read of the pinned memory on the ring, tagged; false when the
    // ring cannot take it.
    bool submitPinned(void* dst, std::int64_t offset, std::uint32_t count, std::uint64_t tag, bool wait)
    {
        io_uring_sqe* sqe = ::io_uring_get_sqe(&m_ring);
        if (!sqe)
            return false;
        ::io_uring_prep_read_fixed(sqe, m_directFd, dst, count, offset, 0);
        sqe->user_data = tag;
        int w;
        do {
            // Submitting and waiting in one call: one system call a read.
            w = wait ? ::io_uring_submit_and_wait(&m_ring, 1) : ::io_uring_submit(&m_ring);
        } while (w == -EINTR && !wait);
        if (w < 0 && w != -EINTR) {
            dropRing();
            return false;
        }
        return true;
    }

    // The result of the read tagged `tag`; completions of others that come
    // first are kept for their turn. -EOPNOTSUPP: read it the plain way.
    std::int64_t reap(std::uint64_t tag)
    {
        for (;;) {
            for (auto it = m_reaped.begin(); it != m_reaped.end(); ++it) {
                if (it->first == tag) {
                    const int r = it->second;
                    m_reaped.erase(it);
                    return settled(r);
                }
            }
            if (!m_pinned)
                return -EOPNOTSUPP; // the ring went meanwhile
            io_uring_cqe* cqe = nullptr;
            int w;
            do {
                w = ::io_uring_wait_cqe(&m_ring, &cqe);
            } while (w == -EINTR);
            if (w != 0 || !cqe) {
                dropRing();
                if (tag != 0)
                    return -EOPNOTSUPP;
                return -(m_error = w ? -w : EIO);
            }
            m_reaped.emplace_back(cqe->user_data, cqe->res);
            ::io_uring_cqe_seen(&m_ring, cqe);
        }
    }

    std::int64_t settled(int r)
    {
        if (r == -EINVAL || r == -EOPNOTSUPP || r == -EFAULT) {
            // Not for this device or this memory: plain reads from now on.
            if (m_pinned)
                dropRing();
            return -EOPNOTSUPP;
        }
        if (r < 0)
            return -(m_error = -r);
        return r;
    }

    // One read into the pinned memory; -EOPNOTSUPP when the ring cannot take
    // it (the caller reads the plain way).
    std::int64_t readPinned(void* dst, std::int64_t offset, std::uint32_t count)
    {
        if (!submitPinned(dst, offset, count, 0, true))
            return -EOPNOTSUPP;
        return reap(0);
    }

    int queueRead(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        if (!inPinned(dst, count) || m_directFd < 0)
            return -EOPNOTSUPP;
        const int ticket = m_lastTicket == INT_MAX ? 1 : m_lastTicket + 1; // 0 tags a plain read
        if (!submitPinned(dst, offset, count, std::uint64_t(ticket), false))
            return -EOPNOTSUPP;
        m_lastTicket = ticket;
        return ticket;
    }

    std::int64_t awaitRead(int ticket) override { return ticket > 0 ? reap(std::uint64_t(ticket)) : -EOPNOTSUPP; }

    io_uring m_ring {};
    bool m_pinned = false;
    int m_lastTicket = 0;
    std::vector<std::pair<std::uint64_t, int>> m_reaped; // completions not yet asked for
    char* m_pinBase = nullptr;
    std::size_t m_pinBytes = 0;
#endif
    QByteArray m_path;
    int m_fd = -1;
    int m_directFd = -1; // -2: O_DIRECT refused
    std::atomic<bool> m_noCopy{false}; // copy_file_range refused; copies may run on two threads
    int m_blockSize = 512;
    bool m_block = false;
    std::int64_t m_size = -1;
    // An export reads an image on two threads at once.
    std::atomic<int> m_error{0};
};

QMutex g_factoryLock;
NyxDeviceFactory g_factory;

} // namespace

QByteArray nyxDevicePathToFile(const QByteArray& devicePath)
{
    QByteArray name = devicePath;
    if (name.startsWith(kPrefix))
        name = name.mid(kPrefixLen);
    if (name.contains('/'))
        return name;
    return QByteArrayLiteral("/dev/") + name;
}

QByteArray nyxDevicePathForName(const QByteArray& name)
{
    return QByteArray(kPrefix) + name;
}

void nyxSetDeviceFactory(NyxDeviceFactory factory)
{
    QMutexLocker lock(&g_factoryLock);
    g_factory = std::move(factory);
}

std::unique_ptr<NyxCIOSystemDevice> nyxMakePosixDevice(const QByteArray& filePath)
{
    return std::make_unique<PosixDevice>(filePath);
}

NyxCIOSystemDevice* NyxfIOSystemDevice_new_not_open(const char* devicePath)
{
    const QByteArray path(devicePath ? devicePath : "");
    {
        QMutexLocker lock(&g_factoryLock);
        if (g_factory)
            return g_factory(path).release();
    }
    return new PosixDevice(nyxDevicePathToFile(path));
}

NyxDeviceHandle nyxOpenForReading(const QByteArray& devicePath, int* error)
{
    NyxDeviceHandle device = nyxNewDevice(devicePath);
    *error = NyxfIOSystemDevice_open(device.get(), NyxAccessRead, NyxOpenExisting);
    if (*error != 0)
        device.reset();
    return device;
}

int NyxfIOSystemDevice_open(NyxCIOSystemDevice* device, NyxEAccessFlag access, NyxEOpenMethod method)
{
    if (!device)
        return EINVAL;
    return device->open(access, method);
}

std::int64_t NyxfIOSystemDevice_read_from(NyxCIOSystemDevice* device, void* dst, std::int64_t offset, std::uint32_t count)
{
    if (!device)
        return -EINVAL;
    return device->readFrom(dst, offset, count);
}

void NyxfIOSystemDevice_delete(NyxCIOSystemDevice** device)
{
    if (!device)
        return;
    delete *device;
    *device = nullptr;
}

std::int64_t MemoryDevice::readFrom(void* dst, std::int64_t offset, std::uint32_t count)
{
    if (!m_open || offset < 0)
        return -EBADF;
    if (offset >= m_bytes.size())
        return 0;
    std::int64_t n = std::min<std::int64_t>(count, m_bytes.size() - offset);
    std::memcpy(dst, m_bytes.constData() + offset, size_t(n));
    return n;
}
