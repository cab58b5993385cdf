#include "tools/cli/CliFragmentStore.h"

namespace {

constexpr quint64 kMax48 = (quint64(1) << 48) - 1;

bool fits48(qint64 v) { return v >= 0 && quint64(v) <= kMax48; }

void put48(unsigned char* p, qint64 v)
{
    for (int k = 0; k < 6; ++k)
        p[k] = static_cast<unsigned char>(quint64(v) >> (8 * k));
}

qint64 get48(const unsigned char* p)
{
    quint64 v = 0;
    for (int k = 0; k < 6; ++k)
        v |= quint64(p[k]) << (8 * k);
    return qint64(v);
}

} // namespace

quint32 CliFragmentStore::kindOf(const SFragmentView& f)
{
    const QByteArray& disk = *f.diskName;
    // Fragments of one scan share their name's bytes: the last kind is
    // nearly always the one.
    if (!m_kinds.empty()) {
        const Kind& last = m_kinds[m_lastKind];
        if (last.formatCode == f.formatCode && last.stream == f.stream &&
            (last.diskName.constData() == disk.constData() || last.diskName == disk))
            return m_lastKind;
    }
    const auto key = std::make_tuple(disk, f.formatCode, f.stream);
    auto it = m_kindIndex.find(key);
    if (it == m_kindIndex.end()) {
        if (m_kinds.size() >= kWideKind)
            return kWideKind;
        it = m_kindIndex.emplace(key, quint32(m_kinds.size())).first;
        m_kinds.push_back(Kind{disk, f.formatCode, f.stream});
    }
    m_lastKind = it->second;
    return m_lastKind;
}

void CliFragmentStore::append(int serial, const SFragmentView& f)
{
    const int n = f.extentCount;
    quint32 kind = kindOf(f);
    bool narrow = kind != kWideKind && fits48(f.totalBytes);
    for (int k = 0; narrow && k < n && n <= 2; ++k)
        narrow = fits48(f.extents[k].start) && fits48(f.extents[k].end);
    if (!narrow) {
        kind = kWideKind;
        m_wide.emplace(m_count, CliFragment{serial, f.fragment(), {}});
    }
    if (m_count % kPerBlock == 0)
        m_blocks.emplace_back(new Record[kPerBlock]);
    Record& r = m_blocks.back()[size_t(m_count % kPerBlock)];
    r = Record{};
    ++m_count;
    if (!narrow) {
        r.bytesKindForm = quint64(kWideKind) << 48;
        return;
    }
    const quint64 form = n <= 2 ? quint64(n) : 3;
    r.bytesKindForm = quint64(f.totalBytes) | quint64(kind) << 48 | form << 62;
    r.serial = serial;
    r.frameCount = f.frameCount;
    r.firstTime = f.firstTime;
    r.lastTime = f.lastTime;
    if (n <= 2) {
        for (int k = 0; k < n; ++k) {
            put48(r.extents + 12 * k, f.extents[k].start);
            put48(r.extents + 12 * k + 6, f.extents[k].end);
        }
    } else {
        put48(r.extents, qint64(m_pool.size()));
        put48(r.extents + 6, n);
        m_pool.insert(m_pool.end(), f.extents, f.extents + n);
    }
}

CliFragment CliFragmentStore::fragment(int i) const
{
    const Record& r = m_blocks[size_t(i / kPerBlock)][size_t(i % kPerBlock)];
    const quint32 kindIndex = quint32(r.bytesKindForm >> 48) & kWideKind;
    if (kindIndex == kWideKind)
        return m_wide.at(i);
    const Kind& kind = m_kinds[kindIndex];
    CliFragment c;
    c.serial = r.serial;
    SFragmentFit& f = c.fragment;
    f.diskName = kind.diskName;
    f.formatCode = kind.formatCode;
    f.stream = kind.stream;
    f.firstTime = r.firstTime;
    f.lastTime = r.lastTime;
    f.totalBytes = qint64(r.bytesKindForm & kMax48);
    f.frameCount = r.frameCount;
    auto extents = std::make_shared<SExtentList>();
    const int form = int(r.bytesKindForm >> 62);
    if (form <= 2) {
        extents->reserve(form);
        for (int k = 0; k < form; ++k)
            extents->append(SExtent{get48(r.extents + 12 * k), get48(r.extents + 12 * k + 6)});
    } else {
        const auto first = m_pool.begin() + get48(r.extents);
        const qint64 count = get48(r.extents + 6);
        extents->reserve(int(count));
        for (auto e = first; e != first + count; ++e)
            extents->append(*e);
    }
    f.extents = std::move(extents);
    return c;
}

SPlayListTableItem CliFragmentStore::at(int i) const
{
    CliFragment c = fragment(i);
    SPlayListTableItem row;
    row.sFragmentFit = std::move(c.fragment);
    row.iSerial = c.serial;
    return row;
}

QList<CliFragment> CliFragmentStore::toList() const
{
    QList<CliFragment> list;
    list.reserve(m_count);
    for (int i = 0; i < m_count; ++i)
        list.append(fragment(i));
    return list;
}
