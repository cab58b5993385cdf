#include "export/ExtentCopy.h"

#include "disk/Nyx.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ExportCore {

namespace {

qint64 roundUp(qint64 v, qint64 to) { return (v + to - 1) / to * to; }

// Errors after which no further read of this source can succeed.
bool sourceGone(int error) { return error == ENODEV || error == ENXIO || error == EBADF; }

} // namespace

void CopyTally::add(const CopyTally& other)
{
    copied += other.copied;
    zeroFilled += other.zeroFilled;
    leftOut += other.leftOut;
    reads += other.reads;
    if (firstBad < 0)
        firstBad = other.firstBad;
    if (!readError)
        readError = other.readError;
}

void ExtentCopier::setDevice(NyxCIOSystemDevice* device)
{
    m_device = device;
    m_size = device ? device->size() : -1;
    m_runStride = 0;
}

bool ExtentCopier::readInto(qint64 blockStart, qint64 off, qint64 len, CopyTally* tally)
{
    char* dst = m_buf.get() + (off - blockStart);
    ++tally->reads;
    const std::int64_t r = NyxfIOSystemDevice_read_from(m_device, dst, off, std::uint32_t(len));
    if (r < 0) {
        if (!tally->readError)
            tally->readError = int(-r);
        return false;
    }
    // Short only at the end of the source: nothing there to hand on.
    if (r < len)
        std::memset(dst + r, 0, size_t(len - r));
    return true;
}

void ExtentCopier::zero(qint64 blockStart, qint64 a, qint64 b)
{
    if (a >= b)
        return;
    std::memset(m_buf.get() + (a - blockStart), 0, size_t(b - a));
    m_zeroed.emplace_back(a, b);
}

qint64 ExtentCopier::readableTail(qint64 blockStart, qint64 lo, qint64 hi, CopyTally* tally)
{
    if (lo >= hi)
        return hi;
    // Inside a bad area the last sector is bad too: one read, not a search.
    if (hi - lo > kSector && !readInto(blockStart, hi - kSector, kSector, tally))
        return hi;
    if (readInto(blockStart, lo, hi - lo, tally))
        return lo;
    // [hi, end) is readable and [low, hi) is not entirely.
    qint64 low = lo;
    while (hi - low > kSector) {
        const qint64 mid = low + (hi - low) / (2 * kSector) * kSector;
        if (readInto(blockStart, mid, hi - mid, tally))
            hi = mid;
        else
            low = mid;
    }
    return hi;
}

void ExtentCopier::rescue(qint64 blockStart, qint64 a, qint64 b, CopyTally* tally)
{
    qint64 cur = a;
    // A bad area running on from the previous block: its first sector tells.
    qint64 carried = m_runStride > 0 && !readInto(blockStart, a, kSector, tally) ? m_runStride : 0;
    m_runStride = 0;
    while (cur < b) {
        // [cur, b) holds an unreadable sector: halve down to the first one.
        qint64 lo = cur, hi = carried ? cur + kSector : b;
        while (hi - lo > kSector) {
            const qint64 mid = lo + (hi - lo) / (2 * kSector) * kSector;
            if (readInto(blockStart, lo, mid - lo, tally))
                lo = mid;
            else
                hi = mid;
        }
        if (sourceGone(tally->readError)) {
            zero(blockStart, lo, b);
            return;
        }
        // Probe on at doubling distances, so a bad area is never read sector by sector.
        qint64 lastBad = lo, stride = carried ? carried : kSector, good = -1;
        carried = 0;
        for (qint64 p = lo + stride; p < b; p = lastBad + stride) {
            if (readInto(blockStart, p, kSector, tally)) {
                good = p;
                break;
            }
            lastBad = p;
            stride *= 2;
        }
        // What was skipped is narrowed back from the readable side.
        const qint64 tail = readableTail(blockStart, lastBad + kSector, good >= 0 ? good : b, tally);
        zero(blockStart, lo, tail);
        if (tally->firstBad < 0)
            tally->firstBad = lo;
        if (good < 0) {
            if (tail == b)
                m_runStride = stride; // the area goes on into the next block
            return;
        }
        cur = good + kSector;
        if (cur >= b || readInto(blockStart, cur, b - cur, tally))
            return;
    }
}

CopyEnd ExtentCopier::copy(qint64 start, qint64 end, const Sink& sink, CopyTally* tally, const Step& step,
                           const Direct& direct)
{
    if (end <= start)
        return CopyEnd::Done;
    if (!m_device) {
        tally->leftOut += end - start;
        tally->readError = tally->readError ? tally->readError : EBADF;
        return CopyEnd::Done;
    }
    // Not zeroed: every byte handed on is read or zero-filled first, and a
    // copier made per fragment would otherwise clear a whole block each time.
    if (!m_buf)
        m_buf.reset(new char[size_t(kBlockBytes)]);
    qint64 stop = end;
    if (m_size >= 0 && stop > m_size) {
        stop = std::max(start, m_size);
        tally->leftOut += end - stop;
    }
    m_runStride = 0;
    qint64 pos = start;
    bool tryDirect = bool(direct);
    while (pos < stop) {
        // Not inside a bad area being probed: that goes on sector by sector below.
        if (tryDirect && m_runStride == 0 && stop - pos >= kDirectCopyBytes) {
            const qint64 len = std::min(kBlockBytes, stop - pos);
            ++tally->reads;
            const qint64 n = direct(m_device, pos, len);
            if (n == kSinkBroken)
                return CopyEnd::SinkFailed;
            if (n == kDirectUnsupported)
                tryDirect = false;
            if (n > 0) {
                tally->copied += n;
                pos += n;
                if (step && step(n))
                    return pos < stop ? CopyEnd::Stopped : CopyEnd::Done;
                continue;
            }
            // Nothing copied: this block is read, its bad sectors found as ever.
        }
        const qint64 a = pos - pos % kSector;
        const qint64 b = std::min(a + kBlockBytes, roundUp(stop, kSector));
        m_zeroed.clear();
        ++tally->reads;
        const std::int64_t r = NyxfIOSystemDevice_read_from(m_device, m_buf.get(), a, std::uint32_t(b - a));
        qint64 got = r;
        if (r >= 0)
            m_runStride = 0;
        if (r < 0) {
            if (!tally->readError)
                tally->readError = int(-r);
            if (sourceGone(int(-r))) {
                tally->leftOut += stop - pos;
                return CopyEnd::Done;
            }
            rescue(a, a, b, tally);
            got = b - a;
        }
        const qint64 upto = std::min(a + got, stop);
        if (upto <= pos) {
            // The source ends sooner than its size said (it shrank).
            tally->leftOut += stop - pos;
            return CopyEnd::Done;
        }
        for (const auto& z : m_zeroed)
            tally->zeroFilled += std::max<qint64>(0, std::min(z.second, upto) - std::max(z.first, pos));
        const qint64 take = upto - pos;
        if (!sink(m_buf.get() + (pos - a), take))
            return CopyEnd::SinkFailed;
        tally->copied += take;
        pos = upto;
        if (step && step(take))
            return pos < stop ? CopyEnd::Stopped : CopyEnd::Done;
    }
    return CopyEnd::Done;
}

} // namespace ExportCore
