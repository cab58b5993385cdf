#include "scan/ScanBuffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace {
std::atomic<bool> g_forceCopying{false};

bool mapMirror(std::size_t size, unsigned char** base, std::size_t* mapped)
{
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0 || size % std::size_t(page) != 0)
        return false;
    const int fd = ::memfd_create("corvotkl-scan", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, off_t(size)) == 0;
    void* region = MAP_FAILED;
    if (ok) {
        // Reserve twice the size, then put the same pages in both halves.
        region = ::mmap(nullptr, 2 * size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ok = region != MAP_FAILED;
    }
    if (ok) {
        auto* r = static_cast<unsigned char*>(region);
        ok = ::mmap(r, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED
            && ::mmap(r + size, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED;
        if (!ok)
            ::munmap(region, 2 * size);
    }
    ::close(fd);
    if (!ok)
        return false;
    *base = static_cast<unsigned char*>(region);
    *mapped = 2 * size;
    // Make every page writable through both halves now: each half needs its
    // own page-table entries, and taking those faults here keeps them out of
    // the first reads of a scan.
#ifdef MADV_POPULATE_WRITE
    if (::madvise(*base, 2 * size, MADV_POPULATE_WRITE) != 0)
#endif
        std::memset(*base, 0, 2 * size);
    return true;
}
} // namespace

void ScanBuffer::forceCopying(bool on) { g_forceCopying = on; }

ScanBuffer::ScanBuffer(std::size_t size, std::size_t slack) : m_size(size)
{
    // After slides of k bytes the view starts at most size - k into the ring,
    // so the second copy covers the view and its slack while slack <= k.
    if (!g_forceCopying && slack < size && mapMirror(size, &m_base, &m_mapped)) {
        m_mirrored = true;
    } else {
        m_base = static_cast<unsigned char*>(std::calloc(size + slack, 1));
        if (!m_base)
            throw std::bad_alloc();
    }
    m_view = m_base;
}

ScanBuffer::~ScanBuffer()
{
    if (m_mirrored)
        ::munmap(m_base, m_mapped);
    else
        std::free(m_base);
}

void ScanBuffer::slide(std::size_t k)
{
    if (k == 0 || k > m_size)
        return;
    if (m_mirrored) {
        m_offset = (m_offset + k) % m_size;
        m_view = m_base + m_offset;
    } else {
        std::memmove(m_base, m_base + k, m_size - k);
    }
}

void ScanBuffer::reset()
{
    m_offset = 0;
    m_view = m_base;
}
