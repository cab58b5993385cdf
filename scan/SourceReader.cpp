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

SourceReader::~SourceReader()
{
    endReadAhead();
    std::free(m_probe);
}

void SourceReader::endReadAhead()
{
    // Reads queued on the device write into the caller's memory until they end.
    for (const auto& j : m_jobs)
        if (j->ticket > 0)
            settle(*j);
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_quit = true;
            m_jobs.clear(); // a job being read stays alive with the thread
        }
        m_wake.notify_all();
        m_thread.join();
        m_quit = false;
    }
    m_jobs.clear();
    m_readAhead = false;
}

void SourceReader::startReadAhead()
{
    m_directAll = true;
    m_readAhead = true;
}

void SourceReader::settle(Job& job)
{
    qint64 r = m_device->awaitRead(job.ticket);
    job.ticket = 0;
    job.error = 0;
    if (r == -EOPNOTSUPP)
        r = deviceRead(job.dst, job.at, job.len, true, job.error);
    else if (r < job.len)
        job.error = r < 0 ? int(-r) : (m_device->lastError() ? m_device->lastError() : EIO);
    job.result = r;
    job.state = Job::Done;
}

void SourceReader::worker()
{
    std::unique_lock<std::mutex> g(m_lock);
    for (;;) {
        std::shared_ptr<Job> job;
        m_wake.wait(g, [&] {
            if (m_quit)
                return true;
            if (m_held)
                return false;
            for (const auto& j : m_jobs)
                if (j->state == Job::Queued) {
                    job = j;
                    return true;
                }
            return false;
        });
        if (m_quit)
            return;
        job->state = Job::Running;
        g.unlock();
        int error = 0;
        const qint64 r = deviceRead(job->dst, job->at, job->len, true, error);
        g.lock();
        job->result = r;
        job->error = error;
        job->state = Job::Done;
        m_wake.notify_all();
    }
}

void SourceReader::prefetch(unsigned char* dst, qint64 at, qint64 len)
{
    if (!m_readAhead)
        return;
    len = std::min(len, m_end - at);
    // A stretch known bad is never read again by the stream.
    if (len <= 0 || knownIn(at, at + len))
        return;
    auto job = std::make_shared<Job>();
    job->dst = dst;
    job->at = at;
    job->len = len;
    if (!m_thread.joinable()) {
        // Queued on the device: no thread of ours between the scan and the
        // kernel, and every announced read in flight at once.
        const int ticket = aligned(dst, at, len) ? m_device->queueRead(dst, at, quint32(len)) : -EOPNOTSUPP;
        if (ticket > 0) {
            job->ticket = ticket;
            job->state = Job::Running;
            m_jobs.push_back(std::move(job));
            return;
        }
        // A thread from now on. The device serves one thread at a time:
        // what is queued on it ends first.
        for (const auto& j : m_jobs)
            if (j->ticket > 0)
                settle(*j);
        m_thread = std::thread(&SourceReader::worker, this);
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_all();
}

// Settles every announced read that overlaps [at, at + len): the one made for
// exactly this request is waited for and handed out; the others are dropped,
// after they finished if already under way, as the caller is about to read
// into that memory itself.
bool SourceReader::takeJob(qint64 at, qint64 len, Job& out)
{
    std::unique_lock<std::mutex> g(m_lock);
    while (!m_jobs.empty() && m_jobs.front()->at < at + len) {
        const std::shared_ptr<Job> job = m_jobs.front();
        const bool mine = job->at == at && job->len == len;
        if (job->ticket > 0)
            settle(*job); // only this thread touches those
        else if (mine || job->state == Job::Running)
            m_wake.wait(g, [&] { return job->state == Job::Done; });
        m_jobs.pop_front();
        if (mine) {
            out = *job;
            return true;
        }
    }
    return false;
}

// The caller reads the device itself: the thread finishes its read and waits.
void SourceReader::hold()
{
    if (!m_thread.joinable() || m_held)
        return;
    std::unique_lock<std::mutex> g(m_lock);
    m_held = true;
    m_wake.wait(g, [&] {
        for (const auto& j : m_jobs)
            if (j->state == Job::Running)
                return false;
        return true;
    });
}

void SourceReader::release()
{
    if (!m_held)
        return;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_held = false;
        // What the caller found bad meanwhile is not read again.
        for (auto it = m_jobs.begin(); it != m_jobs.end();) {
            if ((*it)->state == Job::Queued && knownIn((*it)->at, (*it)->at + (*it)->len))
                it = m_jobs.erase(it);
            else
                ++it;
        }
    }
    m_wake.notify_all();
}

bool SourceReader::knownIn(qint64 start, qint64 end) const
{
    auto it = m_known.upper_bound(start);
    if (it != m_known.begin() && std::prev(it)->second.end > start)
        return true;
    return it != m_known.end() && it->first < end;
}

bool SourceReader::fatal(int e) const { return e == ENODEV || e == ENXIO; }

void SourceReader::took(std::vector<SourceRange>& readable, qint64& from, qint64 to)
{
    append(readable, from, to);
    m_readBytes += to - from;
    from = to;
}

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
// With the reader thread every read is direct: the stream is read once, and
// copying it through the page cache would cost more than the search.
qint64 SourceReader::readInto(unsigned char* dst, qint64 at, qint64 len, bool direct)
{
    int error = 0;
    const qint64 r = deviceRead(dst, at, len, direct || m_directAll, error);
    noteResult(r, len, error);
    return r;
}

bool SourceReader::aligned(const unsigned char* dst, qint64 at, qint64 len) const
{
    return at % m_block == 0 && len % m_block == 0 && reinterpret_cast<std::uintptr_t>(dst) % std::uintptr_t(m_block) == 0;
}

qint64 SourceReader::deviceRead(unsigned char* dst, qint64 at, qint64 len, bool direct, int& error)
{
    const qint64 r = direct && aligned(dst, at, len) ? m_device->readDirect(dst, at, quint32(len)) : m_device->readFrom(dst, at, quint32(len));
    error = 0;
    if (r < len)
        error = r < 0 ? int(-r) : (m_device->lastError() ? m_device->lastError() : EIO);
    return r;
}

void SourceReader::noteResult(qint64 r, qint64 len, int error)
{
    if (r < len) {
        m_lastFailure = error;
        if (!m_error)
            m_error = m_lastFailure;
    }
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
    Job ahead{};
    bool haveAhead = m_readAhead && end > at && takeJob(at, end - at, ahead);
    struct Release {
        SourceReader* reader;
        ~Release() { reader->release(); }
    } release{this};
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
        qint64 r;
        if (haveAhead && pos == at && stop == end) {
            r = ahead.result;
            noteResult(r, stop - pos, ahead.error);
        } else {
            hold();
            r = readInto(dst + (pos - at), pos, stop - pos, pos < m_directUntil);
        }
        haveAhead = false;
        if (r >= stop - pos) {
            took(readable, pos, stop);
            continue;
        }
        if (r < 0 && fatal(int(-r)))
            return Gone;
        if (r > 0) {
            // What came is good; the read from there tells what follows.
            took(readable, pos, pos + r);
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
    hold();
    for (;;) {
        qint64 mid = alignDown(lo + (hi - lo) / 2, m_block);
        if (mid <= lo)
            mid = alignDown(lo, m_block) + m_block;
        if (mid >= hi)
            break;
        const qint64 r = readInto(dst + (lo - base), lo, mid - lo, true);
        if (r >= mid - lo) {
            took(readable, lo, mid);
            continue;
        }
        if (r < 0 && fatal(int(-r)))
            return Gone;
        if (r > 0) {
            took(readable, lo, lo + r);
        }
        hi = mid;
    }
    // [lo, hi) lies in one block. Try it once more on its own: a failure seen
    // only as part of a larger read is not proof.
    if (readInto(dst + (lo - base), lo, hi - lo, true) >= hi - lo) {
        took(readable, lo, hi);
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
