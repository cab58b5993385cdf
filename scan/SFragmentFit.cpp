#include "scan/SFragmentFit.h"

#include <cstdio>

void SFragmentBatch::fix() const
{
    if (!m_d)
        return;
    {
        std::lock_guard<std::mutex> hold(m_d->lock);
        if (m_d->fixed)
            return;
        m_d->fixed = true;
    }
    m_d->wasFixed.notify_all();
}

bool SFragmentBatch::waitFixed(int atLeast, int ms) const
{
    if (!m_d)
        return true;
    std::unique_lock<std::mutex> hold(m_d->lock);
    return m_d->wasFixed.wait_for(hold, std::chrono::milliseconds(ms),
                                  [&] { return m_d->fixed || m_d->fragments.size() < atLeast; });
}

const SFragmentBatchData& SFragmentBatch::none()
{
    static const SFragmentBatchData empty;
    return empty;
}

bool SFragmentBatch::appendUnlessFixed(const QVector<SFragmentFit>& fragments, const QVector<int>& serials)
{
    if (!m_d)
        return false;
    std::lock_guard<std::mutex> hold(m_d->lock);
    if (m_d->fixed)
        return false;
    m_d->fragments += fragments;
    m_d->serials += serials;
    return true;
}

namespace PackedTime {

static QString render(const char* fmt, quint32 t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, year(t), month(t), day(t), hour(t), minute(t), second(t));
    return QString::fromLatin1(buf);
}

QString displayForm(quint32 t) { return render("2%03d-%02d-%02d %02d:%02d:%02d", t); }

QString fileNameForm(quint32 t) { return render("2%03d_%02d_%02d %02d_%02d_%02d", t); }

int duration(quint32 a, quint32 b)
{
    return ((hour(b) - hour(a)) * 60 + minute(b) - minute(a)) * 60 + second(b) - second(a);
}

} // namespace PackedTime
