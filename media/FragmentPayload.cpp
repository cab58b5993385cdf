#include "media/FragmentPayload.h"

#include "disk/Nyx.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Media {

namespace {
constexpr qint64 kChunk = 1 << 20;
// The first read is small: most payloads are judged on their head alone.
constexpr qint64 kFirstChunk = 256 << 10;
} // namespace

FragmentPayload::FragmentPayload(const SFragmentFit& fragment, qint64 sourceLimit)
    : m_fragment(fragment), m_limit(sourceLimit)
{
}

FragmentPayload::~FragmentPayload()
{
    if (m_device)
        NyxfIOSystemDevice_delete(&m_device);
}

bool FragmentPayload::open(QString* error)
{
    if (m_borrowed) {
        m_copier.setDevice(m_borrowed);
        if (m_fragment.extents && !m_fragment.extents->isEmpty())
            m_at = m_fragment.extents->first().start;
        return true;
    }
    const QByteArray path = nyxDevicePathForName(m_fragment.diskName);
    m_device = NyxfIOSystemDevice_new_not_open(path.constData());
    const int rc = m_device ? NyxfIOSystemDevice_open(m_device, NyxAccessRead, NyxOpenExisting) : ENOMEM;
    if (rc != 0) {
        m_error = QStringLiteral("cannot open %1: %2").arg(QString::fromLocal8Bit(m_fragment.diskName),
                                                           QString::fromLocal8Bit(std::strerror(rc)));
        if (error)
            *error = m_error;
        return false;
    }
    m_copier.setDevice(m_device);
    if (m_fragment.extents && !m_fragment.extents->isEmpty())
        m_at = m_fragment.extents->first().start;
    return true;
}

namespace {
// First header start in [from, to) with its 8 bytes inside data[0, n); to if none.
size_t findHeader(const std::uint8_t* data, size_t n, size_t from, size_t to)
{
    for (size_t q = from; q < to && q + tklframe::kHeaderSize <= n; ++q)
        if (data[q + 2] == 0x01 && tklframe::parseHeader(data + q, nullptr))
            return q;
    return to;
}
} // namespace

// The preview player's rules (tklframe::unframe), keeping where in the
// payload bytes went missing, so the pictures lost there keep their time.
void FragmentPayload::unframe()
{
    using tklframe::kHeaderSize;
    constexpr size_t kLookahead = tklframe::kMaxFrame + kHeaderSize;
    const auto* data = reinterpret_cast<const std::uint8_t*>(m_raw.data());
    const size_t n = m_raw.size();
    size_t p = m_rawPos;
    auto take = [&](size_t from, size_t to) {
        m_out.append(m_raw, from, to - from);
        m_produced += qint64(to - from);
    };
    while (p < n) {
        if (!m_rawEnd && n - p < kLookahead)
            break;
        size_t len = 0;
        if (n - p < kHeaderSize || !tklframe::parseHeader(data + p, &len)) {
            const size_t limit = m_rawEnd ? n : n - kLookahead + 1;
            const size_t q = findHeader(data, n, p + 1, limit);
            if (!m_skips.empty() && m_skips.back().at == m_produced)
                m_skips.back().bytes += qint64(q - p);
            else
                m_skips.push_back({m_produced, qint64(q - p)});
            p = q;
            continue;
        }
        const size_t end = p + len;
        const bool confirmed = end == n || (end < n && n - end >= kHeaderSize && tklframe::parseHeader(data + end, nullptr));
        if (!confirmed) {
            // A header inside the claimed frame means this length is damaged.
            const size_t inner = findHeader(data, n, p + kHeaderSize, std::min(end, n));
            if (inner < std::min(end, n)) {
                take(p + kHeaderSize, inner);
                p = inner;
                continue;
            }
            if (end > n) { // an incomplete last frame
                p = n;
                break;
            }
        }
        take(p + kHeaderSize, end);
        p = end;
    }
    m_rawPos = p;
    if (m_rawPos > (1u << 20) || m_rawPos == m_raw.size()) {
        m_raw.erase(0, m_rawPos);
        m_rawPos = 0;
    }
}

bool FragmentPayload::refill()
{
    if (m_finished)
        return false;
    const SExtentList empty;
    const SExtentList& ext = m_fragment.extents ? *m_fragment.extents : empty;
    while (m_extent < ext.size() && m_at >= ext[m_extent].end) {
        if (++m_extent < ext.size())
            m_at = ext[m_extent].start;
    }
    const bool limited = m_limit >= 0 && m_sourceRead >= m_limit;
    if (m_extent >= ext.size() || limited) {
        m_rawEnd = true;
        unframe();
        m_finished = true;
        return true;
    }
    qint64 n = std::min(m_sourceRead == 0 ? kFirstChunk : kChunk, ext[m_extent].end - m_at);
    if (m_chunkLimit > 0)
        n = std::min(n, m_chunkLimit);
    if (m_limit >= 0)
        n = std::min(n, m_limit - m_sourceRead);
    // Straight onto the raw bytes: a remux passes every byte through here.
    const size_t before = m_raw.size();
    ExportCore::CopyTally tally;
    m_copier.copy(m_at, m_at + n, [this](const char* data, qint64 len) {
        m_raw.append(data, size_t(len));
        return true;
    }, &tally);
    m_badSectors += int(tally.zeroFilled / ExportCore::ExtentCopier::kSector);
    const qint64 got = tally.copied;
    // A chunk with not one readable sector ends the payload, as the end of the source does.
    m_raw.resize(before + size_t(std::max<qint64>(0, got)));
    if (got <= 0 || tally.zeroFilled == got) {
        m_error = QStringLiteral("cannot read %1 at byte %2: %3")
                      .arg(QString::fromLocal8Bit(m_fragment.diskName))
                      .arg(m_at)
                      .arg(tally.readError ? QString::fromLocal8Bit(std::strerror(tally.readError))
                                           : QStringLiteral("end of the source"));
        m_finished = true;
        return false;
    }
    unframe();
    m_at += got;
    m_sourceRead += got;
    return true;
}

QByteArray FragmentPayload::peek(int size)
{
    while (m_out.size() - m_outPos < size_t(size) && !m_finished && refill()) {
    }
    const size_t n = std::min(size_t(size), m_out.size() - m_outPos);
    return QByteArray(m_out.data() + m_outPos, int(n));
}

int FragmentPayload::available()
{
    while (m_outPos >= m_out.size()) {
        m_out.clear();
        m_outPos = 0;
        if (m_finished && m_error.isEmpty())
            return 0;
        if (!refill())
            return m_error.isEmpty() ? 0 : -1;
    }
    return 1;
}

int FragmentPayload::readAppend(std::string& out, int size)
{
    const int ready = available();
    if (ready <= 0)
        return ready;
    const size_t n = std::min(size_t(size), m_out.size() - m_outPos);
    out.append(m_out, m_outPos, n);
    m_outPos += n;
    return int(n);
}

int FragmentPayload::read(std::uint8_t* buf, int size)
{
    const int ready = available();
    if (ready <= 0)
        return ready;
    const size_t n = std::min(size_t(size), m_out.size() - m_outPos);
    std::memcpy(buf, m_out.data() + m_outPos, n);
    m_outPos += n;
    return int(n);
}

} // namespace Media
