#include "tools/imagegen/ImageGen.h"

#include "tools/cli/FragmentJson.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace imagegen {

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr int kMaxFrame = 65535;

// xoshiro256**, seeded through splitmix64: fast, and the same on every machine.
class Rng {
public:
    explicit Rng(quint64 seed)
    {
        for (auto& w : m_s) {
            seed += 0x9E3779B97F4A7C15ull;
            quint64 z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            w = z ^ (z >> 31);
        }
    }
    quint64 next()
    {
        const quint64 result = rotl(m_s[1] * 5, 7) * 9;
        const quint64 t = m_s[1] << 17;
        m_s[2] ^= m_s[0];
        m_s[3] ^= m_s[1];
        m_s[1] ^= m_s[2];
        m_s[0] ^= m_s[3];
        m_s[2] ^= t;
        m_s[3] = rotl(m_s[3], 45);
        return result;
    }
    // Uniform in [0, n); n > 0.
    quint64 below(quint64 n) { return n ? next() % n : 0; }
    qint64 range(qint64 lo, qint64 hi) { return hi <= lo ? lo : lo + qint64(below(quint64(hi - lo + 1))); }
    bool chance(int percent) { return below(100) < quint64(percent); }
    void fill(unsigned char* p, qint64 n)
    {
        while (n >= 8) {
            const quint64 v = next();
            std::memcpy(p, &v, 8);
            p += 8;
            n -= 8;
        }
        if (n > 0) {
            const quint64 v = next();
            std::memcpy(p, &v, size_t(n));
        }
    }

private:
    static quint64 rotl(quint64 x, int k) { return (x << k) | (x >> (64 - k)); }
    quint64 m_s[4];
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual bool write(const unsigned char* p, qint64 n) = 0;
    QString error;
};

class FileSink : public Sink {
public:
    explicit FileSink(const QString& path) : m_file(path) {}
    bool open()
    {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            error = QStringLiteral("cannot create %1: %2").arg(m_file.fileName(), m_file.errorString());
            return false;
        }
        return true;
    }
    bool write(const unsigned char* p, qint64 n) override
    {
        while (n > 0) {
            const qint64 w = m_file.write(reinterpret_cast<const char*>(p), n);
            if (w <= 0) {
                error = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString());
                return false;
            }
            p += w;
            n -= w;
        }
        return true;
    }
    bool close()
    {
        if (!m_file.flush()) {
            error = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString());
            return false;
        }
        m_file.close();
        return true;
    }

private:
    QFile m_file;
};

class BytesSink : public Sink {
public:
    explicit BytesSink(QByteArray* out) : m_out(out) {}
    bool write(const unsigned char* p, qint64 n) override
    {
        m_out->append(reinterpret_cast<const char*>(p), int(n));
        return true;
    }

private:
    QByteArray* m_out;
};

bool magicAt(const unsigned char* p) { return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == 0xB7; }

// Collects the image front to back and breaks every valid header that was
// not planted before the bytes leave. Breaking one sets its 0xB7 to a byte
// outside {00, 01, 40, B7}: that byte can then only be a length byte of a
// header starting 4 or 5 bytes earlier, and those positions hold 00 00 01 of
// this very magic, so no new header can appear. The 0xB7 of an accidental
// magic is never a byte of a planted header (planted headers do not overlap
// a magic at any other offset), so planted frames stay intact.
class Emitter {
public:
    Emitter(Sink* sink, qint64 size, Rng* rng, ImageStats* stats)
        : m_sink(sink), m_size(size), m_rng(rng), m_stats(stats)
    {
        m_pend.reserve(size_t(std::min<qint64>(size, 5 * MiB) + 64 * KiB));
    }

    qint64 pos() const { return m_pendStart + qint64(m_pend.size()); }
    qint64 room() const { return m_size - pos(); }

    // n new bytes to fill at once (the pointer dies with the next call).
    unsigned char* append(qint64 n)
    {
        const size_t old = m_pend.size();
        m_pend.resize(old + size_t(n));
        return m_pend.data() + old;
    }
    void plantHeaderAt(qint64 offset) { m_planted.push_back(offset); }

    bool flushIfLarge() { return m_pend.size() < size_t(4 * MiB) || flush(false); }

    bool flush(bool final)
    {
        const qint64 end = pos();
        // Positions whose 8 bytes are all known; at the image end, every position.
        const qint64 lastFull = end - 8;
        scrub(m_checked, lastFull, true);
        if (final)
            scrub(std::max(m_checked, lastFull + 1), end - 4, false);
        const qint64 keep = final ? 0 : std::max<qint64>(0, end - m_checked);
        const qint64 out = qint64(m_pend.size()) - keep;
        if (!m_sink->write(m_pend.data(), out))
            return false;
        std::memmove(m_pend.data(), m_pend.data() + out, size_t(keep));
        m_pend.resize(size_t(keep));
        m_pendStart += out;
        return true;
    }

private:
    // Checks header starts in [from, to]. With full, a header needs a valid
    // variant and length; near the image end any magic is broken, since what
    // a reader sees past the last byte is not defined.
    void scrub(qint64 from, qint64 to, bool full)
    {
        if (to < from)
            return;
        unsigned char* base = m_pend.data() - m_pendStart; // base[offset]
        qint64 p = from;
        while (p <= to) {
            // Look for the 0xB7 of a magic starting at p or later.
            auto* hit = static_cast<unsigned char*>(std::memchr(base + p + 3, 0xB7, size_t(to - p + 1)));
            if (!hit)
                break;
            const qint64 q = (hit - base) - 3;
            p = q + 1;
            if (!magicAt(base + q))
                continue;
            while (!m_planted.empty() && m_planted.front() < q)
                m_planted.pop_front();
            if (!m_planted.empty() && m_planted.front() == q)
                continue;
            if (full && !isFrameHeader(base + q))
                continue;
            base[q + 3] = static_cast<unsigned char>(0x02 + m_rng->below(0x3E));
            ++m_stats->scrubbed;
        }
        if (full)
            m_checked = std::max(m_checked, to + 1);
    }

    Sink* m_sink;
    qint64 m_size;
    Rng* m_rng;
    ImageStats* m_stats;
    std::vector<unsigned char> m_pend;
    qint64 m_pendStart = 0;
    qint64 m_checked = 0;
    std::deque<qint64> m_planted;
};

// Lays the image out front to back.
class Generator {
public:
    Generator(Sink* sink, qint64 size, quint64 seed, ImageStats* stats)
        : m_rng(seed), m_em(sink, size, &m_rng, stats), m_size(size), m_stats(stats)
    {
        // The scan's buffer slides in 2 MiB steps from the range start: plant
        // recordings across the first steps always and across later ones often.
        for (qint64 b = 2 * MiB; b + 64 < size; b += 2 * MiB)
            if (b <= 6 * MiB || m_rng.chance(50))
                m_targets.push_back({b, int(m_rng.below(6))});
        m_tailReserve = std::min<qint64>(80 * KiB, size / 4);
    }

    bool run(Truth* truth)
    {
        while (m_em.room() > 0) {
            if (!m_em.flushIfLarge())
                return false;
            if (m_next < m_targets.size()) {
                const Target t = m_targets[m_next];
                if (m_em.pos() + 16 > t.boundary || t.boundary + 16 > m_size) {
                    ++m_next; // no longer reachable
                    continue;
                }
                if (t.boundary - m_em.pos() <= 256 * KiB) {
                    straddle(t);
                    ++m_next;
                    continue;
                }
            }
            if (m_em.room() <= m_tailReserve) {
                tail();
                break;
            }
            step(horizon());
        }
        endRecording();
        if (!m_em.flush(true))
            return false;
        // The fragment still open at the end is reported only above 512 bytes.
        if (!m_truth.isEmpty() && m_truth.last().totalBytes <= 512) {
            m_truth.removeLast();
            m_stats->lastRecordingDropped = true;
        }
        renumber(&m_truth);
        if (truth)
            *truth = m_truth;
        return true;
    }

    // Lays out the given recordings (TKL frame runs) evenly among garbage,
    // zero stretches and traps; in recording `damaged` a stretch of whole
    // frames in the middle is overwritten, which splits it in two fragments.
    bool runDemo(const QVector<QByteArray>& recordings, int damaged, Truth* truth, QString* error)
    {
        m_targets.clear();
        m_fillerOnly = true;
        qint64 video = 0;
        for (const QByteArray& r : recordings)
            video += r.size();
        const qint64 gaps = recordings.size() + 1;
        if (m_size < video + gaps * 256 * KiB) {
            *error = QStringLiteral("an image of %1 bytes cannot hold %2 bytes of demo video; use --size %3 or more")
                         .arg(m_size).arg(video).arg(video + gaps * 256 * KiB);
            return false;
        }
        const qint64 gap = (m_size - video) / gaps;
        qint64 at = 0;
        for (int i = 0; i < recordings.size(); ++i) {
            at += gap - qint64(m_rng.below(quint64(gap / 4)));
            while (m_em.pos() < at) {
                if (!m_em.flushIfLarge())
                    return false;
                step(at);
            }
            const auto* d = reinterpret_cast<const unsigned char*>(recordings[i].constData());
            QVector<qint64> starts;
            for (qint64 p = 0; p + 8 <= recordings[i].size();) {
                int len = 0;
                if (!isFrameHeader(d + p, &len) || len < 8 || p + len > recordings[i].size()) {
                    *error = QStringLiteral("demo recording %1 is not a run of TKL frames at byte %2").arg(i + 1).arg(p);
                    return false;
                }
                starts.push_back(p);
                p += len;
            }
            // The damage: about a tenth of the frames, a third of the way in.
            const int from = i == damaged ? starts.size() / 3 : -1;
            const int to = i == damaged ? from + std::max(2, int(starts.size() / 10)) : -1;
            for (int k = 0; k < starts.size(); ++k) {
                const int len = d[starts[k] + 4] | (d[starts[k] + 5] << 8);
                if (k >= from && k < to) {
                    endRecording();
                    garbage(len);
                    continue;
                }
                frame(len, true, d + starts[k]);
            }
            endRecording();
            at += recordings[i].size();
            if (!m_em.flushIfLarge())
                return false;
        }
        while (m_em.room() > 0)
            step(m_size);
        if (!m_em.flush(true)) {
            *error = QStringLiteral("cannot write the image");
            return false;
        }
        if (!m_truth.isEmpty() && m_truth.last().totalBytes <= 512)
            m_truth.removeLast();
        renumber(&m_truth);
        *truth = m_truth;
        return true;
    }

private:
    struct Target {
        qint64 boundary;
        int mode;
    };

    // Free-form steps stay below this offset.
    qint64 horizon() const
    {
        qint64 h = m_size - m_tailReserve;
        if (m_next < m_targets.size())
            h = std::min(h, m_targets[m_next].boundary - 200 * KiB);
        return h;
    }

    void step(qint64 limit)
    {
        const qint64 budget = limit - m_em.pos();
        if (budget < 64) {
            garbage(std::max<qint64>(1, std::min(budget, m_em.room())));
            return;
        }
        const int r = int(m_rng.below(100));
        if (r < 22) {
            garbage(std::min(budget, randomGapLength()));
        } else if (r < 32) {
            zeros(std::min(budget, randomZeroLength()));
        } else if (r < 42 || m_fillerOnly) {
            traps(limit);
        } else if (r < 88) {
            recording(limit, 1 + int(m_rng.below(m_rng.chance(20) ? 200 : 40)));
        } else {
            // Two recordings a single byte apart.
            recording(limit, 1 + int(m_rng.below(20)));
            if (m_em.pos() + 9 < limit && m_em.pos() == m_lastFrameEnd) {
                garbage(1);
                ++m_stats->splitBySingleByte;
                recording(limit, 1 + int(m_rng.below(20)));
            }
        }
    }

    qint64 randomGapLength()
    {
        switch (m_rng.below(4)) {
        case 0: return m_rng.range(1, 16);
        case 1: return m_rng.range(1, 4 * KiB);
        case 2: return m_rng.range(1, 64 * KiB);
        default: return m_rng.range(1, 512 * KiB);
        }
    }
    qint64 randomZeroLength()
    {
        // Whole sectors mostly, as a formatted disk leaves them.
        if (m_rng.chance(70))
            return 512 * m_rng.range(1, 2048);
        return m_rng.range(1, 100 * KiB);
    }

    int randomFrameLength(qint64 maxLen)
    {
        static const int kSpecial[] = {8, 9, 511, 512, 513, 4096, 65534, 65535};
        int len;
        const int r = int(m_rng.below(100));
        if (r < 5)
            len = int(m_rng.range(1, 7));
        else if (r < 10)
            len = kSpecial[m_rng.below(sizeof kSpecial / sizeof kSpecial[0])];
        else if (r < 45)
            len = int(m_rng.range(8, 1500));
        else if (r < 80)
            len = int(m_rng.range(1500, 20000));
        else
            len = int(m_rng.range(20000, kMaxFrame));
        return int(std::min<qint64>(len, maxLen));
    }

    void garbage(qint64 n)
    {
        if (n <= 0)
            return;
        m_rng.fill(m_em.append(n), n);
    }

    void zeros(qint64 n)
    {
        if (n <= 0)
            return;
        std::memset(m_em.append(n), 0, size_t(n));
        m_stats->zeroBytes += n;
    }

    // One header-like pattern that must not be taken for a header.
    void trap()
    {
        unsigned char t[8];
        m_rng.fill(t, 8);
        const int len = int(m_rng.range(1, kMaxFrame));
        writeFrameHeader(t, len, 1 + int(m_rng.below(2)));
        switch (m_rng.below(6)) {
        case 0: t[6] = 0x40; t[7] = 0x40; break;                          // both variant bytes set
        case 1: t[6] = 0x00; t[7] = 0x00; break;                          // neither
        case 2: t[6] = 0x41; t[7] = m_rng.chance(50) ? 0x00 : 0x40; break; // other value
        case 3: t[4] = 0x00; t[5] = 0x00; break;                          // length 0
        case 4: t[0] = 0xB7; t[1] = 0x01; t[2] = 0x00; t[3] = 0x00; break; // reversed magic
        default: m_rng.fill(t + 4, 4); break;                              // the magic alone
        }
        std::memcpy(m_em.append(8), t, 8);
        ++m_stats->traps;
    }

    void traps(qint64 limit)
    {
        const int n = 1 + int(m_rng.below(16));
        for (int i = 0; i < n && m_em.pos() + 80 < limit; ++i) {
            garbage(m_rng.range(0, 64));
            trap();
        }
    }

    void beginRecordingIfNeeded()
    {
        if (m_recOpen)
            return;
        // Recordings never touch: at least one byte lies between them.
        if (m_em.pos() == m_lastFrameEnd)
            garbage(1);
        m_rec = TruthFragment();
        m_recOpen = true;
        ++m_stats->recordings;
        m_variant = 1 + int(m_rng.below(2));
    }

    void endRecording()
    {
        if (!m_recOpen)
            return;
        m_recOpen = false;
        if (m_rec.frameCount > 0)
            m_truth.push_back(m_rec);
    }

    // Appends one frame to the open recording. A frame shorter than 8 bytes
    // still has an 8-byte header, which overlaps whatever follows, so it ends
    // its recording, except length 7 in variant 1 (the 8th header byte 0x00 is
    // then the first byte of the next header): `more` asks for that case.
    // Returns false when the frame ended the recording.
    // With `bytes`, the frame is those len bytes (a valid header, len >= 8).
    bool frame(int len, bool more, const unsigned char* bytes = nullptr)
    {
        beginRecordingIfNeeded();
        if (m_rng.chance(10))
            m_variant = 3 - m_variant;
        const qint64 h = m_em.pos();
        const bool chained = len == 7 && more && !bytes;
        const int variant = chained ? 1 : m_variant;
        unsigned char hdr[8];
        writeFrameHeader(hdr, len, variant);
        const int headerBytes = chained ? 7 : 8;
        m_em.plantHeaderAt(h);
        if (bytes) {
            std::memcpy(m_em.append(len), bytes, size_t(len));
        } else {
            std::memcpy(m_em.append(headerBytes), hdr, size_t(headerBytes));
            if (len > 8)
                payload(len - 8);
        }
        if (m_rec.extents.isEmpty())
            m_rec.extents.push_back({h, h + len});
        else
            m_rec.extents.last().end = h + len;
        m_rec.totalBytes += len;
        ++m_rec.frameCount;
        m_lastFrameEnd = h + len;
        ++m_stats->frames;
        if (len < 8) {
            ++m_stats->shortFrames;
            if (!chained) {
                endRecording();
                return false;
            }
        }
        return true;
    }

    void payload(qint64 n)
    {
        unsigned char* p = m_em.append(n);
        m_rng.fill(p, n);
        // Header-like bytes inside payloads too (the scrub breaks valid ones).
        if (n >= 16 && m_rng.chance(20)) {
            const qint64 at = m_rng.range(0, n - 8);
            unsigned char hdr[8];
            writeFrameHeader(hdr, int(m_rng.range(0, kMaxFrame)), 1 + int(m_rng.below(2)));
            std::memcpy(p + at, hdr, 8);
        }
        if (n >= 64 && m_rng.chance(10))
            std::memset(p + m_rng.range(0, n - 64), 0, 64);
    }

    // Back-to-back frames below limit (header tails included).
    void recording(qint64 limit, int frames)
    {
        if (m_em.pos() + 9 >= limit)
            return;
        beginRecordingIfNeeded();
        if (m_rng.chance(10) && m_em.pos() + 40 < limit)
            trap(); // right in front of the first header
        for (int i = 0; i < frames; ++i) {
            const qint64 avail = limit - m_em.pos();
            if (avail < 8)
                break;
            const int len = randomFrameLength(std::min<qint64>(avail, kMaxFrame));
            // A 7-byte frame chained to the next needs that next frame to fit.
            const bool more = i + 1 < frames && avail - len >= 8 && m_rng.chance(50);
            if (!frame(len, more))
                return;
        }
        endRecording();
    }

    // Frames back to back that end exactly at `end` (>= 8 bytes away).
    void framesEndingAt(qint64 end)
    {
        while (m_em.pos() < end) {
            const qint64 left = end - m_em.pos();
            qint64 len = left <= kMaxFrame ? left : m_rng.range(8, kMaxFrame);
            if (left - len > 0 && left - len < 8)
                len = left - 8; // keep the last frame at 8 bytes or more
            if (m_rng.chance(30) && left > 16 && left <= kMaxFrame)
                len = m_rng.range(8, left - 8);
            frame(int(len), true);
        }
    }

    // A recording planted across a 2 MiB step b.
    void straddle(const Target& t)
    {
        const qint64 b = t.boundary;
        ++m_stats->straddles;
        qint64 anchor = b;        // where the interesting header starts
        qint64 anchorLen = randomFrameLength(kMaxFrame);
        switch (t.mode) {
        case 0: anchor = b - m_rng.range(1, 7); break;                     // header across the step
        case 1: anchor = b; break;                                         // header right at it
        case 2: {                                                          // frame body across it
            anchorLen = int(m_rng.range(1000, kMaxFrame));
            anchor = b - m_rng.range(8, anchorLen - 1);
            break;
        }
        case 3: anchor = b + 1; break;                                     // split byte right at it
        case 4: {                                                          // the last examined position and around
            static const int d[] = {3, 4, 5, 8};
            anchor = b - d[m_rng.below(4)];
            break;
        }
        default: anchor = b; break;                                        // split byte just before it
        }
        if (anchorLen < 8)
            anchorLen = 8;
        // Frames leading up to the anchor, started after some garbage.
        const qint64 room = anchor - m_em.pos() - 2;
        qint64 lead = 0;
        const int leadFrames = int(m_rng.below(5)) + (t.mode >= 3 ? 1 : 0);
        for (int i = 0; i < leadFrames && lead + 8 <= room; ++i)
            lead += std::min<qint64>(m_rng.range(8, kMaxFrame), room - lead);
        if (room - lead < 1)
            lead = std::max<qint64>(0, room - 1);
        endRecording();
        garbage(anchor - lead - m_em.pos() - (t.mode >= 3 ? 1 : 0));
        if (t.mode >= 3) {
            // One byte at anchor - 1 splits two recordings.
            if (lead >= 8)
                framesEndingAt(anchor - 1);
            else
                garbage(lead);
            endRecording();
            if (m_em.pos() == m_lastFrameEnd)
                ++m_stats->splitBySingleByte;
            garbage(1);
        } else if (lead >= 8) {
            framesEndingAt(anchor);
        } else {
            garbage(lead);
        }
        if (m_em.pos() + anchorLen + 8 > m_size)
            return;
        frame(int(anchorLen), true);
        const int after = int(m_rng.below(5));
        for (int i = 0; i < after; ++i) {
            const qint64 avail = std::min<qint64>(m_size - m_em.pos(), kMaxFrame);
            if (avail < 8)
                break;
            if (!frame(std::max(8, randomFrameLength(avail)), true))
                break;
        }
        endRecording();
    }

    // The last stretch: what stays open at the end of the scan.
    void tail()
    {
        const qint64 room = m_em.room();
        const int kind = int(m_rng.below(5));
        switch (kind) {
        case 0: // a recording running up to the very last byte
            if (room >= 16) {
                garbage(m_rng.range(1, room / 2));
                beginRecordingIfNeeded();
                framesEndingAt(m_size);
                endRecording();
            }
            break;
        case 1:   // exactly 512 bytes: dropped
        case 2: { // exactly 513 bytes: kept
            const int total = kind == 1 ? 512 : 513;
            if (room >= total + 16) {
                garbage(m_rng.range(1, room - total - 8));
                beginRecordingIfNeeded();
                const int first = int(m_rng.range(8, total - 8));
                frame(first, true);
                frame(total - first, true);
                endRecording();
            }
            break;
        }
        case 3:
            recording(m_size - 1, 1 + int(m_rng.below(10)));
            break;
        default:
            break;
        }
        const qint64 left = m_em.room();
        if (m_rng.chance(30))
            zeros(left);
        else
            garbage(left);
    }

    Rng m_rng;
    Emitter m_em;
    qint64 m_size;
    ImageStats* m_stats;
    QVector<Target> m_targets;
    int m_next = 0;
    qint64 m_tailReserve = 0;
    Truth m_truth;
    TruthFragment m_rec;
    bool m_recOpen = false;
    qint64 m_lastFrameEnd = -1;
    int m_variant = 1;
    bool m_fillerOnly = false;
};

bool generate(Sink* sink, qint64 size, quint64 seed, Truth* truth, ImageStats* stats)
{
    ImageStats local;
    ImageStats* st = stats ? stats : &local;
    *st = ImageStats();
    Generator gen(sink, std::max<qint64>(0, size), seed, st);
    return gen.run(truth);
}

QString ffmpegProgram()
{
    const QByteArray env = qgetenv("CORVO_FFMPEG");
    return env.isEmpty() ? QStringLiteral("ffmpeg") : QString::fromLocal8Bit(env);
}

} // namespace

QVector<QByteArray> frameH264AsTkl(const QByteArray& annexB, int variant)
{
    // NAL units start after 00 00 01; a fourth leading zero belongs to the start code.
    QVector<QByteArray> frames;
    const auto* d = reinterpret_cast<const unsigned char*>(annexB.constData());
    const qint64 n = annexB.size();
    QVector<qint64> nalStarts;
    for (qint64 i = 0; i + 3 <= n; ++i) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            nalStarts.push_back(i + 3);
            i += 2;
        }
    }
    for (int k = 0; k < nalStarts.size(); ++k) {
        qint64 begin = nalStarts[k];
        qint64 end = k + 1 < nalStarts.size() ? nalStarts[k + 1] - 3 : n;
        while (end > begin && d[end - 1] == 0)
            --end; // trailing zeros and the next start code's fourth byte
        // A NAL longer than one frame goes on in the next frames.
        for (qint64 p = begin; p < end;) {
            const int prefix = p == begin ? 4 : 0; // the start code
            const qint64 chunk = std::min<qint64>(end - p, kMaxFrame - 8 - prefix);
            QByteArray f(int(8 + prefix + chunk), '\0');
            auto* o = reinterpret_cast<unsigned char*>(f.data());
            writeFrameHeader(o, f.size(), variant);
            if (prefix)
                o[11] = 1;
            std::memcpy(o + 8 + prefix, d + p, size_t(chunk));
            frames.push_back(f);
            p += chunk;
        }
    }
    return frames;
}

bool makeDemoVideo(int index, int seconds, QByteArray* annexB, QString* error)
{
    static const char* const kSources[] = {"testsrc2=size=640x360:rate=25", "testsrc=size=640x360:rate=25",
                                           "life=size=640x360:rate=25:mold=10:ratio=0.1:death_color=#203040",
                                           "smptebars=size=640x360:rate=25"};
    const QString source = QString::fromLatin1(kSources[index % 4]);
    QProcess ff;
    ff.start(ffmpegProgram(),
             {"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i", source, "-t",
              QString::number(seconds), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
              "-x264-params", "slice-max-size=60000:keyint=50:repeat-headers=1", "-f", "h264", "-"});
    if (!ff.waitForStarted(30000)) {
        *error = QStringLiteral("cannot run %1: %2 (install ffmpeg)").arg(ffmpegProgram(), ff.errorString());
        return false;
    }
    ff.closeWriteChannel();
    QByteArray out;
    while (!ff.waitForFinished(200))
        out += ff.readAllStandardOutput();
    out += ff.readAllStandardOutput();
    if (ff.exitStatus() != QProcess::NormalExit || ff.exitCode() != 0 || out.isEmpty()) {
        *error = QStringLiteral("%1 could not make the demo video: %2")
                     .arg(ffmpegProgram(), QString::fromLocal8Bit(ff.readAllStandardError()).trimmed());
        return false;
    }
    *annexB = out;
    return true;
}

bool generateDemoImage(const QString& path, qint64 size, quint64 seed, int seconds, Truth* truth, QString* error)
{
    const int clips = 4;
    QVector<QByteArray> recordings;
    for (int i = 0; i < clips; ++i) {
        QByteArray video;
        if (!makeDemoVideo(i, std::max(1, seconds / clips), &video, error))
            return false;
        QByteArray rec;
        for (const QByteArray& f : frameH264AsTkl(video, 1 + i % 2))
            rec += f;
        recordings.push_back(rec);
    }
    FileSink sink(path);
    if (!sink.open()) {
        *error = sink.error;
        return false;
    }
    ImageStats stats;
    Generator gen(&sink, size, seed, &stats);
    Truth t;
    if (!gen.runDemo(recordings, 1, &t, error) || !sink.close()) {
        if (!sink.error.isEmpty())
            *error = sink.error;
        return false;
    }
    *truth = t;
    return true;
}

bool writeExpectedFiles(const QString& imagePath, const Truth& truth, const QString& dir, QString* error)
{
    QFile image(imagePath);
    if (!image.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(imagePath, image.errorString());
        return false;
    }
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    for (const TruthFragment& f : truth) {
        QFile out(QDir(dir).filePath(QString::asprintf("fragment-%05d.TKL", f.serial)));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *error = QStringLiteral("cannot create %1: %2").arg(out.fileName(), out.errorString());
            return false;
        }
        for (const SExtent& e : f.extents) {
            if (!image.seek(e.start)) {
                *error = QStringLiteral("cannot read %1 at %2").arg(imagePath).arg(e.start);
                return false;
            }
            const QByteArray bytes = image.read(e.end - e.start);
            if (bytes.size() != e.end - e.start || out.write(bytes) != bytes.size()) {
                *error = QStringLiteral("cannot copy fragment %1 to %2: %3").arg(f.serial).arg(out.fileName(), out.errorString());
                return false;
            }
        }
    }
    return true;
}

bool operator==(const TruthFragment& a, const TruthFragment& b)
{
    if (a.serial != b.serial || a.format != b.format || a.stream != b.stream || a.firstTime != b.firstTime
        || a.lastTime != b.lastTime || a.totalBytes != b.totalBytes || a.frameCount != b.frameCount
        || a.extents.size() != b.extents.size())
        return false;
    for (int i = 0; i < a.extents.size(); ++i)
        if (a.extents[i].start != b.extents[i].start || a.extents[i].end != b.extents[i].end)
            return false;
    return true;
}

bool generateImage(const QString& path, qint64 size, quint64 seed, Truth* truth, QString* error, ImageStats* stats)
{
    FileSink sink(path);
    if (!sink.open() || !generate(&sink, size, seed, truth, stats) || !sink.close()) {
        if (error)
            *error = sink.error;
        return false;
    }
    return true;
}

QByteArray generateImageBytes(qint64 size, quint64 seed, Truth* truth, ImageStats* stats)
{
    QByteArray out;
    out.reserve(int(std::max<qint64>(0, size)));
    BytesSink sink(&out);
    generate(&sink, size, seed, truth, stats);
    return out;
}

bool isFrameHeader(const unsigned char* p, int* length)
{
    if (!magicAt(p))
        return false;
    const bool v1 = p[6] == 0x40 && p[7] == 0x00;
    const bool v2 = p[6] == 0x00 && p[7] == 0x40;
    const int len = p[4] | (p[5] << 8);
    if (!(v1 || v2) || len == 0)
        return false;
    if (length)
        *length = len;
    return true;
}

void writeFrameHeader(unsigned char* p, int length, int variant)
{
    p[0] = 0x00;
    p[1] = 0x00;
    p[2] = 0x01;
    p[3] = 0xB7;
    p[4] = static_cast<unsigned char>(length & 0xff);
    p[5] = static_cast<unsigned char>((length >> 8) & 0xff);
    p[6] = variant == 1 ? 0x40 : 0x00;
    p[7] = variant == 1 ? 0x00 : 0x40;
}

Truth referenceScan(const QByteArray& image, qint64 start, qint64 end)
{
    return referenceScan(reinterpret_cast<const unsigned char*>(image.constData()), image.size(), start,
                         end < 0 ? image.size() : end);
}

Truth referenceScan(const unsigned char* image, qint64 size, qint64 start, qint64 end)
{
    Truth out;
    end = std::min(end, size);
    qint64 pos = start & ~qint64(511);
    bool open = false;
    TruthFragment cur;
    while (pos + 8 <= end) {
        const unsigned char* p = image + pos;
        const bool magic = p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x01 && p[3] == 0xB7;
        const int len = p[4] | (p[5] << 8);
        const bool variant = (p[6] == 0x40 && p[7] == 0x00) || (p[6] == 0x00 && p[7] == 0x40);
        if (!magic || !variant || len == 0) {
            ++pos;
            continue;
        }
        if (open && cur.extents.last().end == pos) {
            cur.extents.last().end = pos + len;
        } else {
            if (open)
                out.push_back(cur);
            cur = TruthFragment();
            cur.extents.push_back({pos, pos + len});
            open = true;
        }
        cur.totalBytes += len;
        ++cur.frameCount;
        pos += len;
    }
    if (open && cur.totalBytes > 512)
        out.push_back(cur);
    renumber(&out);
    return out;
}

Truth restrictTruth(const QByteArray& image, const Truth& whole, qint64 start, qint64 end)
{
    const auto* d = reinterpret_cast<const unsigned char*>(image.constData());
    const qint64 aligned = start & ~qint64(511);
    end = std::min<qint64>(end, image.size());
    Truth out;
    for (const TruthFragment& f : whole) {
        TruthFragment part;
        for (const SExtent& e : f.extents) {
            for (qint64 p = e.start; p < e.end;) {
                int len = 0;
                if (p + 8 > image.size() || !isFrameHeader(d + p, &len))
                    return Truth(); // not this image's truth
                if (p >= aligned && p + 8 <= end) {
                    if (part.extents.isEmpty() || part.extents.last().end != p)
                        part.extents.push_back({p, p + len});
                    else
                        part.extents.last().end = p + len;
                    part.totalBytes += len;
                    ++part.frameCount;
                }
                p += len;
            }
        }
        if (part.frameCount > 0)
            out.push_back(part);
    }
    if (!out.isEmpty() && out.last().totalBytes <= 512)
        out.removeLast();
    renumber(&out);
    return out;
}

void renumber(Truth* truth)
{
    for (int i = 0; i < truth->size(); ++i)
        (*truth)[i].serial = i + 1;
}

QByteArray truthJsonLines(const Truth& truth, const QByteArray& disk)
{
    QByteArray out;
    for (const TruthFragment& f : truth) {
        out += corvoFragmentJsonLine(f.serial, disk, f.format, f.stream, f.firstTime, f.lastTime, f.totalBytes,
                                     f.frameCount, f.extents);
        out += '\n';
    }
    return out;
}

bool writeTruthFile(const QString& path, const Truth& truth, const QByteArray& disk, QString* error)
{
    QFile f(path);
    const QByteArray text = truthJsonLines(truth, disk);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size() || !f.flush()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

bool parseJsonLines(const QByteArray& text, Truth* truth, QString* error, QByteArray* disk)
{
    Truth out;
    const QList<QByteArray> lines = text.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        if (line.isEmpty())
            continue;
        auto fail = [&](const QString& why) {
            if (error)
                *error = QStringLiteral("line %1: %2: %3").arg(n + 1).arg(why, QString::fromUtf8(line.left(200)));
            return false;
        };
        QJsonParseError pe{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &pe);
        if (pe.error != QJsonParseError::NoError || !doc.isObject())
            return fail(QStringLiteral("not a JSON object"));
        const QJsonObject o = doc.object();
        static const char* const kKeys[] = {"serial", "disk", "format", "stream", "first_time",
                                            "last_time", "bytes", "frames", "extents"};
        for (const char* k : kKeys)
            if (!o.contains(QLatin1String(k)))
                return fail(QStringLiteral("no \"%1\"").arg(QLatin1String(k)));
        // The command line adds what it measured: duration_s, not part of the truth.
        const int measured = o.contains(QLatin1String("duration_s")) ? 1 : 0;
        if (o.size() != int(sizeof kKeys / sizeof kKeys[0]) + measured)
            return fail(QStringLiteral("unexpected keys"));
        TruthFragment f;
        f.serial = o.value("serial").toInt();
        f.format = o.value("format").toInt();
        f.stream = o.value("stream").toInt();
        f.firstTime = quint32(o.value("first_time").toVariant().toULongLong());
        f.lastTime = quint32(o.value("last_time").toVariant().toULongLong());
        f.totalBytes = o.value("bytes").toVariant().toLongLong();
        f.frameCount = o.value("frames").toInt();
        if (!o.value("extents").isArray() || !o.value("disk").isString())
            return fail(QStringLiteral("bad types"));
        for (const QJsonValue& e : o.value("extents").toArray()) {
            const QJsonArray pair = e.toArray();
            if (pair.size() != 2)
                return fail(QStringLiteral("an extent is not [start,end]"));
            f.extents.push_back({pair[0].toVariant().toLongLong(), pair[1].toVariant().toLongLong()});
        }
        if (disk)
            *disk = o.value("disk").toString().toUtf8();
        out.push_back(f);
    }
    *truth = out;
    return true;
}

bool readTruthFile(const QString& path, Truth* truth, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    return parseJsonLines(f.readAll(), truth, error);
}

QString describeDifference(const Truth& expected, const Truth& actual)
{
    const int n = std::min(expected.size(), actual.size());
    for (int i = 0; i < n; ++i) {
        if (expected[i] != actual[i])
            return QStringLiteral("fragment %1 differs:\n  expected %2\n  actual   %3")
                .arg(i + 1)
                .arg(QString::fromUtf8(truthJsonLines({expected[i]}, "").trimmed()),
                     QString::fromUtf8(truthJsonLines({actual[i]}, "").trimmed()));
    }
    if (expected.size() != actual.size()) {
        const bool more = expected.size() > actual.size();
        const TruthFragment& f = more ? expected[n] : actual[n];
        return QStringLiteral("%1 fragments expected, %2 found; first %3: %4")
            .arg(expected.size())
            .arg(actual.size())
            .arg(more ? QStringLiteral("missing") : QStringLiteral("extra"),
                 QString::fromUtf8(truthJsonLines({f}, "").trimmed()));
    }
    return QString();
}

} // namespace imagegen
