#include "scan/SourceReader.h"

#include "disk/Nyx.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

qint64 alignDown(qint64 v, qint64 a) { return v - v % a; }

} // namespace

SourceReader::SourceReader(NyxCIOSystemDevice* device, qint64 rangeEnd, qint64 firstSkip, qint64 probeCap)
    : m_device(device), m_end(rangeEnd)
{
    const int block = device ? device->logicalBlockSize() : 512;
    m_block = (block >= 512 && (block & (block - 1)) == 0) ? block : 512;
    m_firstSkip = std::max(firstSkip, m_block);
    m_probeCap = std::max(probeCap, m_firstSkip);
    void* p = nullptr;
    if (::posix_memalign(&p, size_t(std::max<qint64>(4096, m_block)), size_t(m_block)) == 0)
        m_probe = static_cast<unsigned char*>(p);
}

SourceReader::~SourceReader() { std::free(m_probe); }

bool SourceReader::fatal(int e) const { return e == ENODEV || e == ENXIO; }

void SourceReader::append(std::vector<SourceRange>& list, qint64 start, qint64 end)
{
    if (end <= start)
        return;
    if (!list.empty() && list.back().end == start)
        list.back().end = end;
    else
        list.push_back({start, end});
}

void SourceReader::note(qint64 start, qint64 end, Kind kind)
{
    if (end > start)
        m_known[start] = Known{end, kind};
}

void SourceReader::report(qint64 start, qint64 end, Kind kind)
{
    if (kind == Unreadable) {
        append(m_unreadable, start, end);
        m_unreadableBytes += end - start;
    } else {
        append(m_untried, start, end);
        m_untriedBytes += end - start;
    }
}

// Cached reads for the ordinary stream, so the kernel reads ahead; direct ones
// where a failure is being narrowed and near a bad area, so the kernel does
// not retry a bad stretch page by page.
qint64 SourceReader::readInto(unsigned char* dst, qint64 at, qint64 len, bool direct)
{
    const bool aligned = at % m_block == 0 && len % m_block == 0 && reinterpret_cast<std::uintptr_t>(dst) % std::uintptr_t(m_block) == 0;
    const qint64 r = direct && aligned ? m_device->readDirect(dst, at, quint32(len)) : m_device->readFrom(dst, at, quint32(len));
    if (r < len) {
        m_lastFailure = r < 0 ? int(-r) : (m_device->lastError() ? m_device->lastError() : EIO);
        if (!m_error)
            m_error = m_lastFailure;
    }
    return r;
}

bool SourceReader::probe(qint64 at)
{
    const qint64 count = std::min(m_block, m_end - at);
    if (!m_probe || count <= 0)
        return false;
    return readInto(m_probe, at, count, true) == count;
}

SourceReader::Status SourceReader::read(unsigned char* dst, qint64 at, qint64 len, std::vector<SourceRange>& readable)
{
    readable.clear();
    const qint64 end = std::min(at + len, m_end);
    qint64 pos = at;
    while (pos < end) {
        // Inside a stretch already found bad: report it, read nothing.
        auto it = m_known.upper_bound(pos);
        if (it != m_known.begin()) {
            auto prev = std::prev(it);
            if (prev->second.end > pos) {
                const qint64 stop = std::min(end, prev->second.end);
                report(pos, stop, prev->second.kind);
                pos = stop;
                if (pos >= prev->second.end)
                    m_known.erase(prev);
                continue;
            }
        }
        const qint64 stop = it == m_known.end() ? end : std::min(end, it->first);
        const qint64 r = readInto(dst + (pos - at), pos, stop - pos, pos < m_directUntil);
        if (r >= stop - pos) {
            append(readable, pos, stop);
            m_readBytes += stop - pos;
            pos = stop;
            continue;
        }
        if (r < 0 && fatal(int(-r)))
            return Gone;
        if (r > 0) {
            // What came is good; the read from there tells what follows.
            append(readable, pos, pos + r);
            m_readBytes += r;
            pos += r;
            continue;
        }
        const Status s = explore(dst, at, pos, stop, readable);
        if (s != Ok)
            return s;
        // pos is now either known bad or readable again: the loop goes on.
    }
    return Ok;
}

// Reading [lo, hi) failed. Delivers its readable head, finds the first bad
// block, then the extent of the bad area after it.
SourceReader::Status SourceReader::explore(unsigned char* dst, qint64 base, qint64& lo, qint64 hi,
                                           std::vector<SourceRange>& readable)
{
    for (;;) {
        qint64 mid = alignDown(lo + (hi - lo) / 2, m_block);
        if (mid <= lo)
            mid = alignDown(lo, m_block) + m_block;
        if (mid >= hi)
            break;
        const qint64 r = readInto(dst + (lo - base), lo, mid - lo, true);
        if (r >= mid - lo) {
            append(readable, lo, mid);
            m_readBytes += mid - lo;
            lo = mid;
            continue;
        }
        if (r < 0 && fatal(int(-r)))
            return Gone;
        if (r > 0) {
            append(readable, lo, lo + r);
            m_readBytes += r;
            lo += r;
        }
        hi = mid;
    }
    // [lo, hi) lies in one block. Try it once more on its own: a failure seen
    // only as part of a larger read is not proof.
    if (readInto(dst + (lo - base), lo, hi - lo, true) >= hi - lo) {
        append(readable, lo, hi);
        m_readBytes += hi - lo;
        lo = hi;
        return Ok;
    }
    if (fatal(m_lastFailure))
        return Gone;
    note(lo, hi, Unreadable); // lo stays: the caller reads on from the bad block

    qint64 badEnd = hi;
    qint64 skip = m_firstSkip;
    qint64 good = -1;
    while (badEnd < m_end) {
        qint64 p = alignDown(badEnd + skip, m_block);
        if (p >= m_end)
            p = std::max(badEnd, alignDown(m_end - 1, m_block));
        if (probe(p)) {
            good = p;
            break;
        }
        if (fatal(m_lastFailure))
            return Gone;
        const qint64 pEnd = std::min(p + m_block, m_end);
        note(badEnd, p, Untried);
        note(p, pEnd, Unreadable);
        badEnd = pEnd;
        if (badEnd >= m_end)
            break; // bad to the end of the range
        if (skip >= m_probeCap)
            return GaveUp;
        skip *= 2;
    }
    // Bad sectors come in clusters: read the neighbourhood directly too.
    m_directUntil = std::max(m_directUntil, std::max(badEnd, good) + m_probeCap);
    // Narrow the far edge: the bad area ends somewhere in [badEnd, good).
    while (good > badEnd) {
        const qint64 mid = badEnd + alignDown((good - badEnd) / 2, m_block);
        if (probe(mid)) {
            good = mid;
            continue;
        }
        if (fatal(m_lastFailure))
            return Gone;
        note(badEnd, mid, Untried);
        note(mid, mid + m_block, Unreadable);
        badEnd = mid + m_block;
    }
    return Ok;
}
