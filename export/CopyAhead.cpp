#include "export/CopyAhead.h"

#include "disk/Nyx.h"
#include "export/ExportCore.h"
#include "export/ExtentCopy.h"

#include <algorithm>

namespace ExportCore {

CopyAhead::CopyAhead(const std::atomic<bool>* cancel)
    : m_cancel(cancel), m_out(std::make_unique<OutputFile>()), m_thread([this] { run(); })
{
}

CopyAhead::~CopyAhead()
{
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stop = true;
    }
    m_work.notify_one();
    m_thread.join();
}

void CopyAhead::offer(std::vector<Row> rows)
{
    bool wake;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (Row& row : rows)
            m_slots.push_back({std::move(row), State::Offered, {}});
        wake = m_idle;
    }
    // A wake costs a system call; a copier still busy finds the row itself.
    if (wake)
        m_work.notify_one();
}

bool CopyAhead::take(int fd, Copied* copied)
{
    std::unique_lock<std::mutex> g(m_lock);
    // Found by its file, not by its place: one file's bytes reported for
    // another would be saved as whole.
    const auto it = std::find_if(m_slots.begin(), m_slots.end(),
                                 [&](const Slot& s) { return s.row.fd == fd && s.state != State::Taken; });
    if (it == m_slots.end())
        return false;
    Slot& s = *it;
    if (s.state == State::Offered)
        s.state = State::Left;
    m_waiting = true;
    m_done.wait(g, [&] { return s.state != State::Copying; });
    m_waiting = false;
    const bool began = s.state == State::Done;
    if (began)
        *copied = s.copied;
    s.state = State::Taken;
    // Only from the front: the copier holds on to the slot it copies.
    while (!m_slots.empty() && m_slots.front().state == State::Taken)
        m_slots.pop_front();
    return began;
}

bool CopyAhead::copying() const
{
    return std::any_of(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.state == State::Copying; });
}

void CopyAhead::quiesce()
{
    std::unique_lock<std::mutex> g(m_lock);
    for (Slot& s : m_slots)
        if (s.state == State::Offered)
            s.state = State::Left;
    m_waiting = true;
    m_done.wait(g, [&] { return !copying(); });
    m_waiting = false;
}

void CopyAhead::run()
{
    std::unique_lock<std::mutex> g(m_lock);
    for (;;) {
        // The newest: the oldest are the export's own next.
        const auto newest = std::find_if(m_slots.rbegin(), m_slots.rend(),
                                         [](const Slot& s) { return s.state == State::Offered; });
        if (newest == m_slots.rend()) {
            if (m_stop)
                return;
            m_idle = true;
            m_work.wait(g);
            m_idle = false;
            continue;
        }
        // Slots are only popped by take(), which waits while one is copied.
        Slot& s = *newest;
        s.state = State::Copying;
        const Row row = s.row;
        g.unlock();
        const Copied c = copy(row);
        g.lock();
        s.copied = c;
        s.state = State::Done;
        if (m_waiting)
            m_done.notify_one();
    }
}

CopyAhead::Copied CopyAhead::copy(const Row& row)
{
    Copied c;
    // The export's own writer, handed the file back unclosed: what it
    // committed is what reached the file, in order.
    m_out->adopt(row.fd);
    m_out->resetCommitted();
    const auto stop = [&](bool whole) {
        int fd;
        c.whole = m_out->handOver(&fd) && whole;
        c.bytes = m_out->committed();
        return c;
    };
    bool direct = true; // the kernel's copy, until the source refuses it
    for (const SExtent& e : *row.extents) {
        for (qint64 pos = e.start; pos < e.end;) {
            if (m_cancel->load(std::memory_order_relaxed))
                return stop(false);
            const qint64 len = std::min(ExtentCopier::kBlockBytes, e.end - pos);
            ++c.reads;
            if (direct) {
                const qint64 n = m_out->copyFrom(row.device, pos, len);
                if (n > 0) {
                    pos += n;
                    continue;
                }
                if (n != ExtentCopier::kDirectUnsupported)
                    return stop(false);
                direct = false; // as between two file systems: read and written here
            }
            if (!m_buf)
                m_buf.reset(new char[size_t(ExtentCopier::kBlockBytes)]);
            const std::int64_t n = row.device->readFrom(m_buf.get(), pos, std::uint32_t(len));
            if (n > 0 && !m_out->write(m_buf.get(), n))
                return stop(false);
            // Unreadable, or the source's end: the export's own copy goes on from here.
            if (n < len)
                return stop(false);
            pos += n;
        }
    }
    return stop(true);
}

} // namespace ExportCore
