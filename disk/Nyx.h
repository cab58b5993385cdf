#pragma once
// Raw, read-only access to a source: a block device or a disk image file.
//
// Every reader of a source (scan, export, preview) goes through
// nyxDevicePathToFile() and NyxfIOSystemDevice_new_not_open(), so that one
// mapping decides what "\\.\NAME" means and tests can swap the device for an
// in-memory or fault-injecting one with nyxSetDeviceFactory().
// Nothing here ever opens a source for writing.

#include <QByteArray>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>

// The sector: the unit sources are aligned to and read in.
constexpr qint64 kSectorBytes = 512;

enum NyxEAccessFlag : std::uint32_t { NyxAccessRead = 0x80000000u };
enum NyxEOpenMethod : int { NyxOpenExisting = 3 };

// A device handle. Implementations: the POSIX one below, MemoryDevice for
// tests, and the fault-injecting one in tests/.
class NyxCIOSystemDevice {
public:
    virtual ~NyxCIOSystemDevice() = default;
    // 0 on success; otherwise an errno value describing why.
    virtual int open(std::uint32_t accessFlag, int openMethod) = 0;
    // Bytes read (short at the end, 0 past it), or -errno on an I/O error.
    // An image file's may run on two threads at once (an export's copies).
    virtual std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) = 0;
    // Size in bytes once open, -1 when unknown.
    virtual std::int64_t size() const = 0;
    // errno of the last failure (open or read), 0 if none.
    virtual int lastError() const = 0;
    // A block device (a disk, a partition, a loop device), not an image file.
    virtual bool isBlockDevice() const { return false; }
    // The smallest unit the device reads; bad sectors fail in these.
    virtual int logicalBlockSize() const { return 512; }
    // One read that bypasses caches where the device allows it (a block
    // device opened O_DIRECT), so a bad block is tried once and not page by
    // page. dst, offset and count are multiples of logicalBlockSize() and dst
    // is aligned to logicalBlockSize(). Same results as readFrom().
    virtual std::int64_t readDirect(void* dst, std::int64_t offset, std::uint32_t count)
    {
        return readFrom(dst, offset, count);
    }
    // Memory that direct reads will mostly go to, valid while the device
    // lives: a device may pin it once instead of on every read.
    virtual void pinForDirectReads(void* /*base*/, std::size_t /*bytes*/) {}
    // Starts a direct read into that pinned memory and returns at once: a
    // ticket (> 0) for awaitRead, or -EOPNOTSUPP when this device cannot
    // queue reads. Reads in flight run while the caller works, with no
    // thread of ours in between.
    virtual int queueRead(void* /*dst*/, std::int64_t /*offset*/, std::uint32_t /*count*/) { return -EOPNOTSUPP; }
    // Waits for a queued read: as readDirect() would return, or -EOPNOTSUPP
    // when it has to be read the plain way after all.
    virtual std::int64_t awaitRead(int /*ticket*/) { return -EOPNOTSUPP; }
    // Copies count bytes from offset to outFd at its file position inside
    // the kernel (copy_file_range), so they never pass through our memory.
    // Bytes copied (short at the end, or before a failure: the next call
    // tells it), or -errno; -EOPNOTSUPP when this source or outFd cannot.
    // May run on two threads at once, beside reads, each to its own outFd.
    virtual std::int64_t copyTo(int /*outFd*/, std::int64_t /*offset*/, std::uint32_t /*count*/)
    {
        return -EOPNOTSUPP;
    }
};

// "\\.\" + name  ->  "/dev/" + name for a bare kernel name (sda, nvme0n1p2),
// or the name itself when it holds a '/' (an image file or an explicit path).
// Anything without the prefix is taken as the name itself.
QByteArray nyxDevicePathToFile(const QByteArray& devicePath);
// "\\.\" + name, the form the scan and export build from a bare name.
QByteArray nyxDevicePathForName(const QByteArray& name);

using NyxDeviceFactory = std::function<std::unique_ptr<NyxCIOSystemDevice>(const QByteArray& devicePath)>;
// Replace how devices are made (tests). An empty factory restores the POSIX one.
void nyxSetDeviceFactory(NyxDeviceFactory factory);
// The POSIX device over a file path (already mapped), for callers that want it directly.
std::unique_ptr<NyxCIOSystemDevice> nyxMakePosixDevice(const QByteArray& filePath);

NyxCIOSystemDevice* NyxfIOSystemDevice_new_not_open(const char* devicePath);
int NyxfIOSystemDevice_open(NyxCIOSystemDevice* device, NyxEAccessFlag access, NyxEOpenMethod method);
std::int64_t NyxfIOSystemDevice_read_from(NyxCIOSystemDevice* device, void* dst, std::int64_t offset, std::uint32_t count);
void NyxfIOSystemDevice_delete(NyxCIOSystemDevice** device);

// A device made by NyxfIOSystemDevice_new_not_open, closed and deleted on
// every way out of its scope.
struct NyxDeviceDelete {
    void operator()(NyxCIOSystemDevice* device) const { NyxfIOSystemDevice_delete(&device); }
};
using NyxDeviceHandle = std::unique_ptr<NyxCIOSystemDevice, NyxDeviceDelete>;
inline NyxDeviceHandle nyxNewDevice(const QByteArray& devicePath)
{
    return NyxDeviceHandle(NyxfIOSystemDevice_new_not_open(devicePath.constData()));
}
// A device of devicePath opened for reading; null with *error set when it
// cannot be (EINVAL when none could be made).
NyxDeviceHandle nyxOpenForReading(const QByteArray& devicePath, int* error);

// An in-memory source (tests, fuzzing). Shares its bytes; the size is fixed.
class MemoryDevice : public NyxCIOSystemDevice {
public:
    explicit MemoryDevice(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    int open(std::uint32_t, int) override { m_open = true; return 0; }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override;
    std::int64_t size() const override { return m_bytes.size(); }
    int lastError() const override { return 0; }

private:
    QByteArray m_bytes;
    bool m_open = false;
};
