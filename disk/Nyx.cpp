#include "disk/Nyx.h"

#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
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
                m_error = errno;
                // Bytes already read are still good; report them, the next read fails again.
                return done > 0 ? done : -std::int64_t(m_error);
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
        if (m_fd < 0 || m_block || m_noCopy || offset < 0)
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
                    m_noCopy = true; // this kernel or pair of file systems: for good
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
        if (m_pinned && dst >= m_pinBase && static_cast<char*>(dst) + count <= m_pinBase + m_pinBytes) {
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
            m_error = errno;
            return -std::int64_t(m_error);
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
    // One read into the pinned memory; -EOPNOTSUPP when the ring cannot take
    // it (the caller reads the plain way).
    std::int64_t readPinned(void* dst, std::int64_t offset, std::uint32_t count)
    {
        io_uring_sqe* sqe = ::io_uring_get_sqe(&m_ring);
        if (!sqe)
            return -EOPNOTSUPP;
        ::io_uring_prep_read_fixed(sqe, m_directFd, dst, count, offset, 0);
        // Submitting and waiting in one call: one system call a read.
        int w = ::io_uring_submit_and_wait(&m_ring, 1);
        if (w < 0 && w != -EINTR) {
            ::io_uring_queue_exit(&m_ring);
            m_pinned = false;
            return -EOPNOTSUPP;
        }
        io_uring_cqe* cqe = nullptr;
        do {
            w = ::io_uring_wait_cqe(&m_ring, &cqe);
        } while (w == -EINTR);
        if (w != 0 || !cqe) {
            // The read may still be under way: the ring goes, and the kernel
            // keeps the memory pinned until it ends.
            ::io_uring_queue_exit(&m_ring);
            m_pinned = false;
            return -(m_error = w ? -w : EIO);
        }
        const int r = cqe->res;
        ::io_uring_cqe_seen(&m_ring, cqe);
        if (r == -EINVAL || r == -EOPNOTSUPP || r == -EFAULT) {
            // Not for this device or this memory: plain reads from now on.
            ::io_uring_queue_exit(&m_ring);
            m_pinned = false;
            return -EOPNOTSUPP;
        }
        if (r < 0)
            return -(m_error = -r);
        return r;
    }

    io_uring m_ring {};
    bool m_pinned = false;
    char* m_pinBase = nullptr;
    std::size_t m_pinBytes = 0;
#endif
    QByteArray m_path;
    int m_fd = -1;
    int m_directFd = -1; // -2: O_DIRECT refused
    bool m_noCopy = false; // copy_file_range refused
    int m_blockSize = 512;
    bool m_block = false;
    std::int64_t m_size = -1;
    int m_error = 0;
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
