#include "scan/SFragmentFit.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <map>
#include <string>

QByteArray lastingName(const QByteArray& name)
{
    static std::mutex lock;
    // Never destroyed either: copies may outlive every destructor run at exit.
    static auto* made = new std::map<std::string, QByteArrayData*>;
    std::lock_guard<std::mutex> hold(lock);
    QByteArrayData*& d = (*made)[std::string(name.constData(), size_t(name.size()))];
    if (!d) {
        // The header QByteArrayLiteral builds at compile time: a count of -1
        // marks bytes that are never freed, so copying them counts nothing.
        d = static_cast<QByteArrayData*>(::operator new(sizeof(QByteArrayData) + size_t(name.size()) + 1));
        d->ref.atomic.storeRelaxed(-1);
        d->size = name.size();
        d->alloc = 0;
        d->capacityReserved = 0;
        d->offset = sizeof(QByteArrayData);
        char* bytes = static_cast<char*>(d->data());
        std::memcpy(bytes, name.constData(), size_t(name.size()));
        bytes[name.size()] = '\0';
    }
    return QByteArray(QByteArrayDataPtr{d});
}

SFragmentView::SFragmentView(const SFragmentFit& f)
    : diskName(&f.diskName)
    , formatCode(f.formatCode)
    , extents(f.extents ? f.extents->constData() : nullptr)
    , extentCount(f.extents ? f.extents->size() : 0)
{
    copyMeasures(*this, f);
}

SFragmentFit SFragmentView::fragment() const
{
    SFragmentFit f;
    if (diskName)
        f.diskName = *diskName;
    f.formatCode = formatCode;
    copyMeasures(f, *this);
    f.extents = std::make_shared<const SExtentList>(extents, extents + extentCount);
    return f;
}

void SFragmentPack::add(const SFragmentView& f, int serial)
{
    SFragmentRecord r;
    r.formatCode = f.formatCode;
    copyMeasures(r, f);
    r.serial = serial;
    r.firstExtent = quint32(extents.size());
    r.extentCount = quint32(f.extentCount);
    records.push_back(r);
    extents.insert(extents.end(), f.extents, f.extents + f.extentCount);
}

void SFragmentPack::take(SFragmentPack& other)
{
    const quint32 shift = quint32(extents.size());
    records.reserve(records.size() + other.records.size());
    for (SFragmentRecord r : other.records) {
        r.firstExtent += shift;
        records.push_back(r);
    }
    extents.insert(extents.end(), other.extents.begin(), other.extents.end());
    other.clear();
}

SFragmentView SFragmentPack::view(int k, const QByteArray* diskName) const
{
    const SFragmentRecord& r = records[size_t(k)];
    SFragmentView v;
    v.diskName = diskName;
    v.formatCode = r.formatCode;
    copyMeasures(v, r);
    v.extents = extents.data() + r.firstExtent;
    v.extentCount = int(r.extentCount);
    return v;
}

void SFragmentBatch::fix() const
{
    // Read once per fragment by a receiver: no lock once fixed.
    if (!m_d || m_d->fixed.load(std::memory_order_acquire))
        return;
    {
        std::lock_guard<std::mutex> hold(m_d->lock);
        m_d->fixed.store(true, std::memory_order_release);
    }
    m_d->wasFixed.notify_all();
}

bool SFragmentBatch::waitFixed(int atLeast, int ms) const
{
    if (!m_d)
        return true;
    std::unique_lock<std::mutex> hold(m_d->lock);
    return m_d->wasFixed.wait_for(hold, std::chrono::milliseconds(ms),
                                  [&] { return m_d->fixed.load() || int(m_d->pack.size()) < atLeast; });
}

bool SFragmentBatch::appendUnlessFixed(SFragmentPack& fragments)
{
    if (!m_d)
        return false;
    std::lock_guard<std::mutex> hold(m_d->lock);
    if (m_d->fixed.load())
        return false;
    m_d->pack.take(fragments);
    return true;
}

namespace PackedTime {

static int renderInto(char* out, size_t size, const char* fmt, quint32 t)
{
    return std::snprintf(out, size, fmt, year(t), month(t), day(t), hour(t), minute(t), second(t));
}

static QString render(const char* fmt, quint32 t)
{
    char buf[64];
    renderInto(buf, sizeof buf, fmt, t);
    return QString::fromLatin1(buf);
}

QString displayForm(quint32 t) { return render("2%03d-%02d-%02d %02d:%02d:%02d", t); }

static const char kFileNameForm[] = "2%03d_%02d_%02d %02d_%02d_%02d";

QString fileNameForm(quint32 t) { return render(kFileNameForm, t); }

int writeFileNameForm(char* out, size_t size, quint32 t) { return renderInto(out, size, kFileNameForm, t); }

int duration(quint32 a, quint32 b)
{
    return ((hour(b) - hour(a)) * 60 + minute(b) - minute(a)) * 60 + second(b) - second(a);
}

} // namespace PackedTime
