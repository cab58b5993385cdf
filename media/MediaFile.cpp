#include "media/MediaFile.h"

#include "media/AnnexB.h"
#include "media/FragmentPayload.h"

#include "disk/Nyx.h"
#include "disk/RequestingUser.h"
#include "disk/SourceGuard.h"

#include <QFile>
#include <QFileInfo>

#include "media/FfmpegLibraries.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

namespace Media {

namespace {

std::atomic<qint64> g_ffmpegOpens{0};

// FFmpeg's libraries, loaded on first use; damaged recordings make the
// decoders complain on every picture, so they are quietened once loaded.
bool librariesReady(QString* why)
{
    if (!Ff::load(why))
        return false;
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
    return true;
}

QString avError(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return QString::fromUtf8(buf);
}

int readPayload(void* opaque, uint8_t* buf, int size)
{
    const int n = static_cast<FragmentPayload*>(opaque)->read(buf, size);
    return n > 0 ? n : (n == 0 ? AVERROR_EOF : AVERROR(EIO));
}

// Below this libavformat is guessing: noise from a disk can reach a quarter
// of the maximum score, while a raw H.264/H.265 stream with its parameter
// sets, or a container, scores above the mark a file extension would give.
constexpr int kMinProbeScore = AVPROBE_SCORE_EXTENSION;
constexpr int kIoBuffer = 256 * 1024;

// A fragment's payload opened as a libavformat input.
struct Input {
    std::unique_ptr<FragmentPayload> payload;
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
    int video = -1;
    QString error;

    ~Input() { reset(); }

    void reset()
    {
        if (fmt)
            avformat_close_input(&fmt);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        payload.reset();
        video = -1;
        error.clear();
    }

    bool open(const SFragmentFit& f, qint64 limit, const QByteArray& prefix, bool findInfo)
    {
        if (!librariesReady(&error))
            return false;
        payload = std::make_unique<FragmentPayload>(f, limit);
        payload->setPrefix(prefix);
        if (!payload->open(&error))
            return false;
        // Judged on the fragment's own bytes, past any borrowed prefix.
        const QByteArray head = payload->peek(prefix.size() + kSniffBytes).mid(prefix.size());
        if (!payload->error().isEmpty()) {
            error = payload->error();
            return false;
        }
        if (!looksLikeVideo(head.constData(), head.size())) {
            error = QStringLiteral("the payload is no video format FFmpeg recognises");
            return false;
        }
        auto* buf = static_cast<unsigned char*>(av_malloc(kIoBuffer));
        io = avio_alloc_context(buf, kIoBuffer, 0, payload.get(), readPayload, nullptr, nullptr);
        if (!io) {
            av_free(buf);
            error = QStringLiteral("out of memory");
            return false;
        }
        const AVInputFormat* iformat = nullptr;
        ++g_ffmpegOpens;
        // Recorder streams announce themselves in their first kilobytes; noise
        // is given up on early, as the CLI counts every fragment it lists.
        const int score = av_probe_input_buffer2(io, &iformat, "", nullptr, 0, 256 << 10);
        if (!payload->error().isEmpty()) {
            error = payload->error();
            return false;
        }
        if (score < kMinProbeScore || !iformat) {
            error = QStringLiteral("the payload is no video format FFmpeg recognises");
            return false;
        }
        fmt = avformat_alloc_context();
        fmt->pb = io;
        fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
        fmt->probesize = 4 << 20;
        int rc = avformat_open_input(&fmt, "", iformat, nullptr);
        if (rc < 0) {
            fmt = nullptr; // freed by avformat_open_input
            error = QStringLiteral("%1 payload cannot be opened: %2").arg(QString::fromUtf8(iformat->name), avError(rc));
            return false;
        }
        if (findInfo && (rc = avformat_find_stream_info(fmt, nullptr)) < 0) {
            error = QStringLiteral("%1 payload holds no readable stream: %2").arg(QString::fromUtf8(iformat->name), avError(rc));
            return false;
        }
        video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video < 0 || fmt->streams[video]->codecpar->codec_id == AV_CODEC_ID_NONE) {
            error = QStringLiteral("%1 payload holds no video stream").arg(QString::fromUtf8(iformat->name));
            return false;
        }
        return true;
    }

    AVStream* stream() const { return fmt->streams[video]; }
};

} // namespace

bool looksLikeTransportStream(const char* head, int size)
{
    const auto* d = reinterpret_cast<const uint8_t*>(head);
    constexpr int kPackets = 7;
    if (size < kPackets * 188)
        return false;
    for (int i = 0; i < kPackets; ++i)
        if (d[i * 188] != 0x47)
            return false;
    return true;
}

bool looksLikeVideo(const char* head, int size)
{
    const int n = std::min(size, kSniffBytes);
    return looksLikeTransportStream(head, n) ||
           AnnexB::sniff(reinterpret_cast<const uint8_t*>(head), size_t(std::max(0, n))) != AnnexB::Codec::None;
}

qint64 ffmpegProbes()
{
    return g_ffmpegOpens.load();
}

namespace {

AVRational frameRate(const AVStream* st)
{
    for (AVRational r : {st->r_frame_rate, st->avg_frame_rate}) {
        if (r.num > 0 && r.den > 0) {
            const double v = av_q2d(r);
            if (v >= 1 && v <= 240)
                return r;
        }
    }
    return AVRational{kDefaultFps, 1};
}

// Annex B streams never hold this many zeros inside a unit: it is a stretch
// the disk could not give back. Returns the bytes in such runs.
qint64 damagedBytes(const uint8_t* data, int n)
{
    constexpr int kZeroRun = 32;
    constexpr int kStride = kZeroRun / 2; // a run this long covers a multiple of the stride
    qint64 damaged = 0;
    for (int i = kStride - 1; i < n; i += kStride) {
        if (data[i])
            continue;
        int from = i, to = i + 1;
        while (from > 0 && !data[from - 1])
            --from;
        while (to < n && !data[to])
            ++to;
        if (to - from >= kZeroRun)
            damaged += to - from;
        i = to - 1; // past the run; the loop adds the stride
        i -= (i - (kStride - 1)) % kStride; // back onto the stride grid
    }
    return damaged;
}

QString describe(const SPlayListTableItem& row)
{
    return QStringLiteral("fragment %1").arg(row.iSerial);
}

// Opens f with its stream information, borrowing parameter sets from
// previous when its own head has none (a recording that goes on).
bool openWithParameterSets(Input* in, const SFragmentFit& f, const SFragmentFit* previous, qint64 limit,
                           bool* borrowed)
{
    if (borrowed)
        *borrowed = false;
    if (!in->open(f, limit, QByteArray(), true)) {
        if (!previous)
            return false;
    } else {
        const AVCodecParameters* par = in->stream()->codecpar;
        const bool h26x = par->codec_id == AV_CODEC_ID_H264 || par->codec_id == AV_CODEC_ID_HEVC;
        if (!previous || !h26x || par->width > 0)
            return true;
    }
    const QByteArray sets = parameterSets(*previous);
    if (sets.isEmpty())
        return in->fmt != nullptr;
    const QString firstError = in->error;
    in->reset();
    if (!in->open(f, limit, sets, true)) {
        if (!firstError.isEmpty())
            in->error = firstError;
        return false;
    }
    if (borrowed)
        *borrowed = true;
    return true;
}

} // namespace

const SPlayListTableItem* precedingFragment(const QList<SPlayListTableItem>& all, const SFragmentFit& f)
{
    if (!f.extents || f.extents->isEmpty())
        return nullptr;
    const qint64 at = f.extents->first().start;
    const SPlayListTableItem* best = nullptr;
    qint64 bestEnd = -1;
    for (const SPlayListTableItem& row : all) {
        const SFragmentFit& o = row.sFragmentFit;
        if (o.diskName != f.diskName || o.stream != f.stream || !o.extents || o.extents->isEmpty())
            continue;
        const qint64 end = o.extents->last().end;
        if (end <= at && end > bestEnd) {
            best = &row;
            bestEnd = end;
        }
    }
    return best;
}

namespace {

using AnnexB::Codec;

const char* codecName(Codec c)
{
    return c == Codec::H264 ? "h264" : "hevc";
}

AVCodecID codecId(Codec c)
{
    return c == Codec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
}

// The stream's own rate when it gives a sensible one, else PAL.
AVRational rateOf(const AnnexB::Sequence& s)
{
    AVRational r{kDefaultFps, 1};
    if (s.valid && s.fpsNum && s.fpsDen) {
        const double v = double(s.fpsNum) / s.fpsDen;
        if (v >= 1 && v <= 240) {
            // In lowest terms, as av_reduce gives it, without loading FFmpeg
            // for a count; the rare pair still over 2^30 loses low bits.
            uint64_t num = s.fpsNum, den = s.fpsDen;
            const uint64_t g = std::gcd(num, den);
            num /= g;
            den /= g;
            while (num > (1u << 30) || den > (1u << 30)) {
                num = (num + 1) / 2;
                den = (den + 1) / 2;
            }
            r = AVRational{int(num), int(den)};
        }
    }
    return r;
}

QString unrecognised()
{
    return QStringLiteral("the payload is no video format FFmpeg recognises");
}

// What our own reading of a fragment's head finds.
struct Head {
    Codec codec = Codec::None;
    bool transport = false;   // left to libavformat
    std::string sets;         // Annex B
    AnnexB::Sequence seq;
    QString error;            // the source failed
};

// Feeds up to limit payload bytes (all when limit < 0) to sp; false when the source failed.
bool feedAll(FragmentPayload& payload, AnnexB::Splitter& sp, const std::atomic<bool>* cancel,
             const std::function<void()>& progress = {})
{
    for (;;) {
        long n = 0;
        if (!sp.feedWith([&](std::string& out) { return long(payload.readAppend(out, 1 << 20)); }, &n))
            return true;
        if (n <= 0)
            break;
        if (progress)
            progress();
        if (cancel && cancel->load())
            return true;
    }
    if (!payload.error().isEmpty())
        return false;
    sp.finish();
    return true;
}

Head readHead(const SFragmentFit& f)
{
    Head h;
    FragmentPayload payload(f, kHeadBytes);
    if (!payload.open(&h.error))
        return h;
    const QByteArray head = payload.peek(kSniffBytes);
    if (!payload.error().isEmpty()) {
        h.error = payload.error();
        return h;
    }
    h.codec = AnnexB::sniff(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
    if (h.codec == Codec::None) {
        h.transport = looksLikeTransportStream(head.constData(), head.size());
        return h;
    }
    AnnexB::Splitter sp(h.codec, [](const AnnexB::AccessUnit&) { return true; });
    if (!feedAll(payload, sp, nullptr)) {
        h.error = payload.error();
        return h;
    }
    h.sets = sp.parameterSets();
    h.seq = sp.sequence();
    return h;
}

// f's head, and the parameter sets it uses: its own, or (a recording that
// goes on) those of previous.
struct OwnProbe {
    Head head;
    StreamInfo info;
};

OwnProbe ownProbe(const SFragmentFit& f, const SFragmentFit* previous)
{
    OwnProbe p;
    p.head = readHead(f);
    Head& h = p.head;
    if (!h.error.isEmpty()) {
        p.info.error = h.error;
        return p;
    }
    if (h.codec == Codec::None) {
        p.info.error = unrecognised();
        return p;
    }
    if (!h.seq.valid && previous) {
        const Head before = readHead(*previous);
        if (before.codec == h.codec && before.seq.valid) {
            h.sets = before.sets;
            h.seq = before.seq;
            p.info.borrowedParameterSets = true;
        }
    }
    StreamInfo& info = p.info;
    info.recognised = true;
    info.format = info.codec = QString::fromLatin1(codecName(h.codec));
    if (h.seq.valid) {
        info.width = h.seq.width;
        info.height = h.seq.height;
    }
    const AVRational r = rateOf(h.seq);
    info.fpsNum = r.num;
    info.fpsDen = r.den;
    return p;
}

} // namespace

QByteArray parameterSets(const SFragmentFit& f)
{
    const Head h = readHead(f);
    return QByteArray(h.sets.data(), int(h.sets.size()));
}

StreamInfo probe(const SFragmentFit& f, const SFragmentFit* previous)
{
    OwnProbe own = ownProbe(f, previous);
    if (!own.head.transport)
        return own.info;
    StreamInfo info;
    Input in;
    if (!openWithParameterSets(&in, f, previous, kHeadBytes * 2, &info.borrowedParameterSets)) {
        info.error = in.error;
        return info;
    }
    const AVStream* st = in.stream();
    info.recognised = true;
    info.format = QString::fromUtf8(in.fmt->iformat->name);
    info.codec = QString::fromUtf8(avcodec_get_name(st->codecpar->codec_id));
    info.width = st->codecpar->width;
    info.height = st->codecpar->height;
    const AVRational r = frameRate(st);
    info.fpsNum = r.num;
    info.fpsDen = r.den;
    return info;
}

Duration countPictures(const SFragmentFit& f, const SFragmentFit* previous, const std::atomic<bool>* cancel,
                       NyxCIOSystemDevice* source)
{
    Duration d;
    FragmentPayload payload(f);
    payload.setSource(source);
    if (!payload.open(nullptr))
        return d;
    const QByteArray head = payload.peek(kSniffBytes);
    if (!payload.error().isEmpty())
        return d;
    const Codec codec = AnnexB::sniff(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
    if (codec == Codec::None) {
        if (!looksLikeTransportStream(head.constData(), head.size()))
            return d;
        Input in;
        if (!openWithParameterSets(&in, f, previous, -1, nullptr))
            return d;
        const AVRational r = frameRate(in.stream());
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(in.fmt, pkt) >= 0) {
            if (pkt->stream_index == in.video)
                ++d.pictures;
            av_packet_unref(pkt);
            if (cancel && cancel->load())
                break;
        }
        av_packet_free(&pkt);
        d.known = in.payload->error().isEmpty() && !(cancel && cancel->load());
        d.fps = av_q2d(r);
        d.seconds = d.pictures / d.fps;
        return d;
    }
    AnnexB::Splitter sp(codec, [](const AnnexB::AccessUnit&) { return true; });
    const bool read = feedAll(payload, sp, cancel);
    AnnexB::Sequence seq = sp.sequence();
    if (!seq.valid && previous) {
        const Head before = readHead(*previous);
        if (before.codec == codec)
            seq = before.seq;
    }
    d.pictures = sp.units();
    d.known = read && !(cancel && cancel->load());
    d.fps = av_q2d(rateOf(seq));
    d.seconds = d.pictures / d.fps;
    return d;
}

namespace {

// Stamps packets: decode order for dts, picture order count for pts, one
// tick per picture. Pictures are held per group (key picture to key
// picture) so B-pictures can be put in presentation order.
class Stamper {
public:
    Stamper(AVFormatContext* out, AVRational tick) : m_out(out), m_tick(tick) {}
    ~Stamper()
    {
        for (Pending& p : m_group)
            av_packet_free(&p.pkt);
        if (m_parser)
            av_parser_close(m_parser);
        avcodec_free_context(&m_parserCtx);
    }

    // ownOrder: the caller gives each picture's order count.
    void startStream(const AVCodecParameters* par, bool ownOrder = false)
    {
        if (m_parser) {
            av_parser_close(m_parser);
            m_parser = nullptr;
        }
        avcodec_free_context(&m_parserCtx);
        if (ownOrder || (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC))
            return;
        m_parser = av_parser_init(par->codec_id);
        m_parserCtx = avcodec_alloc_context3(nullptr);
        if (!m_parser || !m_parserCtx || avcodec_parameters_to_context(m_parserCtx, par) < 0) {
            if (m_parser)
                av_parser_close(m_parser);
            m_parser = nullptr;
            return;
        }
        m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }

    // Takes pkt. lostBytes: payload lost to damage just before or inside it,
    // whose pictures keep their time (estimated from the mean picture size).
    // poc: its picture order count when known. false when writing failed.
    bool add(AVPacket* pkt, qint64 lostBytes, const int64_t* poc = nullptr)
    {
        const qint64 zeros = damagedBytes(pkt->data, pkt->size);
        Pending p{pkt, 0, zeros > 0};
        lostBytes += zeros;
        if (lostBytes > 0 && m_sound > 0) {
            const qint64 mean = std::max<qint64>(1, m_soundBytes / m_sound);
            const qint64 missing = (lostBytes + mean / 2) / mean - (p.damaged ? 1 : 0);
            if (missing > 0) {
                if (!flush())
                    return false;
                m_base += missing;
            }
        }
        if (!p.damaged) {
            ++m_sound;
            m_soundBytes += pkt->size;
        }
        bool key = pkt->flags & AV_PKT_FLAG_KEY;
        if (poc) {
            p.poc = *poc;
        } else if (m_parser && !p.damaged) {
            uint8_t* out = nullptr;
            int outSize = 0;
            av_parser_parse2(m_parser, m_parserCtx, &out, &outSize, pkt->data, pkt->size, AV_NOPTS_VALUE,
                             AV_NOPTS_VALUE, 0);
            p.poc = m_parser->output_picture_number;
            key = key || m_parser->key_frame == 1;
        }
        constexpr size_t kMaxGroup = 600;
        if ((key && !m_group.empty()) || m_group.size() >= kMaxGroup) {
            if (!flush())
                return false;
        }
        m_group.push_back(p);
        return true;
    }

    bool flush()
    {
        const int n = int(m_group.size());
        std::vector<int> order(static_cast<size_t>(n));
        std::iota(order.begin(), order.end(), 0);
        // Damaged pictures have no order count: they keep their place.
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            if (m_group[a].damaged || m_group[b].damaged)
                return a < b;
            return m_group[a].poc < m_group[b].poc;
        });
        std::vector<int> rank(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            rank[size_t(order[size_t(i)])] = i;
        for (int i = 0; i < n; ++i)
            m_delay = std::max<qint64>(m_delay, i - rank[size_t(i)]);
        bool ok = true;
        for (int i = 0; i < n; ++i) {
            AVPacket* pkt = m_group[size_t(i)].pkt;
            if (m_group[size_t(i)].damaged) {
                ++m_dropped;
            } else if (ok) {
                pkt->stream_index = 0;
                pkt->dts = m_base + i;
                pkt->pts = m_base + rank[size_t(i)] + m_delay;
                pkt->duration = 1;
                pkt->pos = -1;
                av_packet_rescale_ts(pkt, m_tick, m_out->streams[0]->time_base);
                if (av_interleaved_write_frame(m_out, pkt) < 0)
                    ok = false;
                else
                    ++m_written;
            }
            av_packet_free(&m_group[size_t(i)].pkt);
        }
        m_base += n;
        m_group.clear();
        return ok;
    }

    qint64 written() const { return m_written; }
    qint64 dropped() const { return m_dropped; }
    qint64 pictures() const { return m_base + qint64(m_group.size()); }

private:
    struct Pending {
        AVPacket* pkt;
        int64_t poc;
        bool damaged;
    };
    AVFormatContext* m_out;
    AVRational m_tick;
    AVCodecParserContext* m_parser = nullptr;
    AVCodecContext* m_parserCtx = nullptr;
    std::vector<Pending> m_group;
    qint64 m_base = 0;
    qint64 m_delay = 0;
    qint64 m_written = 0;
    qint64 m_dropped = 0;
    qint64 m_sound = 0;       // undamaged pictures so far, and their bytes
    qint64 m_soundBytes = 0;
};

struct Output {
    AVFormatContext* fmt = nullptr;
    bool headerWritten = false;
    ~Output()
    {
        if (fmt) {
            if (fmt->pb)
                avio_closep(&fmt->pb);
            avformat_free_context(fmt);
        }
    }
};

} // namespace

RemuxResult remux(const QList<SPlayListTableItem>& rows, const QList<SPlayListTableItem>& all, const QString& path,
                  const RemuxOptions& options)
{
    RemuxResult result;
    if (rows.isEmpty()) {
        result.message = QStringLiteral("nothing to write");
        return result;
    }
    // Every row is probed first, so a merge that cannot be one file is
    // refused before anything is written.
    QList<StreamInfo> infos;
    std::vector<Codec> codecs; // None: read through libavformat
    std::vector<std::string> sets;
    qint64 total = 0;
    for (const SPlayListTableItem& row : rows) {
        const SPlayListTableItem* prev = precedingFragment(all, row.sFragmentFit);
        const OwnProbe own = ownProbe(row.sFragmentFit, prev ? &prev->sFragmentFit : nullptr);
        infos.append(own.head.transport ? probe(row.sFragmentFit, prev ? &prev->sFragmentFit : nullptr) : own.info);
        codecs.push_back(own.head.transport ? Codec::None : own.head.codec);
        sets.push_back(own.head.sets);
        total += row.sFragmentFit.totalBytes;
        StreamInfo& info = infos.last();
        if (info.recognised && info.mp4() && info.width <= 0) {
            info.recognised = false;
            info.error = QStringLiteral("its %1 stream has no parameter sets (SPS/PPS), nor has the fragment before it")
                             .arg(info.codec);
        }
        if (!info.recognised) {
            result.status = RemuxResult::Unrecognised;
            result.message = QStringLiteral("%1: %2").arg(describe(row), infos.last().error);
            return result;
        }
    }
    for (int i = 1; i < rows.size(); ++i) {
        const StreamInfo& a = infos[0];
        const StreamInfo& b = infos[i];
        if (a.codec != b.codec || a.width != b.width || a.height != b.height) {
            result.status = RemuxResult::Refused;
            result.message = QStringLiteral("%1 (%2 %3x%4) and %5 (%6 %7x%8) differ in codec or picture size; "
                                            "they cannot be merged into one file")
                                 .arg(describe(rows[0]), a.codec).arg(a.width).arg(a.height)
                                 .arg(describe(rows[i]), b.codec).arg(b.width).arg(b.height);
            return result;
        }
    }
    const StreamInfo& first = infos[0];
    QFileInfo target(path);
    result.path = target.path() + '/' + target.completeBaseName() + (first.mp4() ? ".mp4" : ".mkv");
    const QString part = result.path + QStringLiteral(".part");
    const QByteArray partName = QFile::encodeName(part);
    // Never write onto a source: an image chosen as the output by mistake, a
    // file system or device that holds one. One check per source, so the
    // refusal names a fragment of it.
    QList<QByteArray> checked;
    for (const SPlayListTableItem& row : rows) {
        const QByteArray source = nyxDevicePathForName(row.sFragmentFit.diskName);
        if (checked.contains(source))
            continue;
        checked.append(source);
        const SourceGuard guard({source});
        for (const QString& out : {result.path, part}) {
            const QString why = guard.check(QFile::encodeName(out));
            if (!why.isEmpty()) {
                result.status = RemuxResult::Refused;
                result.message = QStringLiteral("%1 would be written on the source of %2 (%3); it is only ever read")
                                     .arg(out, describe(row), why);
                return result;
            }
        }
    }

    QString why;
    if (!librariesReady(&why)) {
        result.message = QStringLiteral("%1: %2").arg(result.path, why);
        return result;
    }
    Output out;
    avformat_alloc_output_context2(&out.fmt, nullptr, first.mp4() ? "mp4" : "matroska", partName.constData());
    if (!out.fmt) {
        result.message = QStringLiteral("%1: no muxer").arg(result.path);
        return result;
    }
    const AVRational tick{first.fpsDen, first.fpsNum};
    Stamper stamper(out.fmt, tick);
    qint64 doneBefore = 0;
    auto failWith = [&](RemuxResult::Status status, const QString& message) {
        result.status = status;
        result.message = message;
        if (out.fmt && out.fmt->pb)
            avio_closep(&out.fmt->pb);
        QFile::remove(part);
        return result;
    };

    auto openOutput = [&]() -> QString {
        int rc = avio_open(&out.fmt->pb, partName.constData(), AVIO_FLAG_WRITE);
        if (rc < 0)
            return QStringLiteral("cannot create %1: %2").arg(part, avError(rc));
        if ((rc = avformat_write_header(out.fmt, nullptr)) < 0)
            return QStringLiteral("cannot write %1: %2").arg(part, avError(rc));
        out.headerWritten = true;
        return QString();
    };

    for (int i = 0; i < rows.size(); ++i) {
        const SPlayListTableItem& row = rows[i];
        if (codecs[size_t(i)] != Codec::None) {
            // H.264/H.265: split into pictures by our own parser, straight to the muxer.
            const Codec codec = codecs[size_t(i)];
            if (i == 0) {
                AVStream* ost = avformat_new_stream(out.fmt, nullptr);
                const std::string& ps = sets[0];
                if (!ost || !(ost->codecpar->extradata = static_cast<uint8_t*>(
                                  av_mallocz(ps.size() + AV_INPUT_BUFFER_PADDING_SIZE))))
                    return failWith(RemuxResult::Failed, QStringLiteral("%1: out of memory").arg(result.path));
                std::memcpy(ost->codecpar->extradata, ps.data(), ps.size());
                ost->codecpar->extradata_size = int(ps.size());
                ost->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
                ost->codecpar->codec_id = codecId(codec);
                ost->codecpar->width = first.width;
                ost->codecpar->height = first.height;
                ost->time_base = tick;
                ost->avg_frame_rate = AVRational{first.fpsNum, first.fpsDen};
                const QString why = openOutput();
                if (!why.isEmpty())
                    return failWith(RemuxResult::Failed, why);
            }
            stamper.startStream(out.fmt->streams[0]->codecpar, true);
            FragmentPayload payload(row.sFragmentFit);
            QString error;
            if (!payload.open(&error))
                return failWith(RemuxResult::Failed, QStringLiteral("%1: %2").arg(describe(row), error));
            size_t nextSkip = 0;
            bool writeFailed = false;
            AnnexB::Splitter sp(codec, [&](const AnnexB::AccessUnit& au) {
                // Bytes missing before this picture's start in the payload.
                qint64 lost = 0;
                const auto& skips = payload.skips();
                while (nextSkip < skips.size() && skips[nextSkip].at <= au.at)
                    lost += skips[nextSkip++].bytes;
                AVPacket* pkt = av_packet_alloc();
                if (!pkt || av_new_packet(pkt, int(au.size)) < 0) {
                    av_packet_free(&pkt);
                    writeFailed = true;
                    return false;
                }
                std::memcpy(pkt->data, au.data, au.size);
                if (au.key)
                    pkt->flags |= AV_PKT_FLAG_KEY;
                if (!stamper.add(pkt, lost, &au.poc)) {
                    writeFailed = true;
                    return false;
                }
                return true;
            });
            sp.useParameterSets(reinterpret_cast<const uint8_t*>(sets[size_t(i)].data()), sets[size_t(i)].size());
            const bool read = feedAll(payload, sp, options.cancel, [&] {
                if (options.progress)
                    options.progress(doneBefore + std::min(payload.sourceBytesRead(), row.sFragmentFit.totalBytes), total);
            });
            if (writeFailed)
                return failWith(RemuxResult::Failed, QStringLiteral("cannot write %1: %2").arg(part, avError(AVERROR(EIO))));
            if (options.cancel && options.cancel->load())
                return failWith(RemuxResult::Cancelled, QStringLiteral("cancelled"));
            if (!read)
                return failWith(RemuxResult::Failed, QStringLiteral("%1: %2").arg(describe(row), payload.error()));
            if (!stamper.flush())
                return failWith(RemuxResult::Failed, QStringLiteral("cannot write %1").arg(part));
            doneBefore += row.sFragmentFit.totalBytes;
            continue;
        }
        const SPlayListTableItem* prev = precedingFragment(all, row.sFragmentFit);
        Input in;
        if (!openWithParameterSets(&in, row.sFragmentFit, prev ? &prev->sFragmentFit : nullptr, -1, nullptr))
            return failWith(RemuxResult::Failed, QStringLiteral("%1: %2").arg(describe(row), in.error));
        const AVStream* ist = in.stream();
        if (i == 0) {
            AVStream* ost = avformat_new_stream(out.fmt, nullptr);
            if (!ost || avcodec_parameters_copy(ost->codecpar, ist->codecpar) < 0)
                return failWith(RemuxResult::Failed, QStringLiteral("%1: out of memory").arg(result.path));
            ost->codecpar->codec_tag = 0;
            ost->time_base = tick;
            ost->avg_frame_rate = AVRational{first.fpsNum, first.fpsDen};
            const QString why = openOutput();
            if (!why.isEmpty())
                return failWith(RemuxResult::Failed, why);
        }
        stamper.startStream(ist->codecpar);
        AVPacket* pkt = av_packet_alloc();
        size_t nextSkip = 0;
        int rc;
        while ((rc = av_read_frame(in.fmt, pkt)) >= 0) {
            if (pkt->stream_index != in.video) {
                av_packet_unref(pkt);
                continue;
            }
            AVPacket* own = av_packet_clone(pkt);
            av_packet_unref(pkt);
            // Bytes missing before this picture's start in the payload.
            qint64 lost = 0;
            const auto& skips = in.payload->skips();
            while (nextSkip < skips.size() && own && own->pos >= 0 && skips[nextSkip].at <= own->pos)
                lost += skips[nextSkip++].bytes;
            if (!own || !stamper.add(own, lost)) {
                av_packet_free(&pkt);
                return failWith(RemuxResult::Failed, QStringLiteral("cannot write %1: %2").arg(part, avError(AVERROR(EIO))));
            }
            if (options.progress)
                options.progress(doneBefore + std::min(in.payload->sourceBytesRead(), row.sFragmentFit.totalBytes), total);
            if (options.cancel && options.cancel->load()) {
                av_packet_free(&pkt);
                return failWith(RemuxResult::Cancelled, QStringLiteral("cancelled"));
            }
        }
        av_packet_free(&pkt);
        if (!in.payload->error().isEmpty())
            return failWith(RemuxResult::Failed, QStringLiteral("%1: %2").arg(describe(row), in.payload->error()));
        if (!stamper.flush())
            return failWith(RemuxResult::Failed, QStringLiteral("cannot write %1").arg(part));
        doneBefore += row.sFragmentFit.totalBytes;
    }
    int rc = av_write_trailer(out.fmt);
    if (rc >= 0)
        rc = out.fmt->pb->error;
    avio_closep(&out.fmt->pb);
    if (rc < 0)
        return failWith(RemuxResult::Failed, QStringLiteral("cannot write %1: %2").arg(part, avError(rc)));
    QFile::remove(result.path);
    if (!QFile::rename(part, result.path))
        return failWith(RemuxResult::Failed, QStringLiteral("cannot rename %1 to %2").arg(part, result.path));
    // Run as root for a user (pkexec, sudo), the copy is theirs.
    chownToRequestingUser(result.path);
    if (options.progress)
        options.progress(total, total);
    result.status = RemuxResult::Written;
    result.pictures = stamper.written();
    result.dropped = stamper.dropped();
    result.seconds = stamper.pictures() * double(first.fpsDen) / first.fpsNum;
    return result;
}

namespace {

// The picture scaled to at most maxWidth, as a JPEG in t.
void makeJpeg(const AVFrame* frame, int maxWidth, Thumbnail* out)
{
    Thumbnail& t = *out;
    AVPacket* pkt = av_packet_alloc();
    t.pictureWidth = frame->width;
    t.pictureHeight = frame->height;
    t.width = std::min(maxWidth, frame->width) & ~1;
    t.height = std::max(2, int(qint64(t.width) * frame->height / frame->width) & ~1);

    SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), t.width, t.height,
                                     AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    AVFrame* small = av_frame_alloc();
    small->format = AV_PIX_FMT_YUVJ420P;
    small->width = t.width;
    small->height = t.height;
    const AVCodec* mjpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* enc = mjpeg ? avcodec_alloc_context3(mjpeg) : nullptr;
    bool ok = pkt && sws && small && enc && av_frame_get_buffer(small, 0) >= 0;
    if (ok) {
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, small->data, small->linesize);
        enc->width = t.width;
        enc->height = t.height;
        enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
        enc->time_base = AVRational{1, kDefaultFps};
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = FF_QP2LAMBDA * 4;
        small->quality = enc->global_quality;
        small->pts = 0;
        ok = avcodec_open2(enc, mjpeg, nullptr) >= 0 && avcodec_send_frame(enc, small) >= 0 &&
             avcodec_receive_packet(enc, pkt) >= 0;
    }
    if (ok) {
        t.jpeg = QByteArray(reinterpret_cast<const char*>(pkt->data), pkt->size);
        t.ok = true;
    } else {
        t.error = QStringLiteral("the picture could not be made into a JPEG");
    }
    sws_freeContext(sws);
    av_frame_free(&small);
    avcodec_free_context(&enc);
    av_packet_free(&pkt);
}

// Decodes f's head as codec up to its first decodable picture, reading the
// source in small steps so no more than that is read. sets: parameter sets
// from elsewhere, sent before the first picture.
Thumbnail ownThumbnail(const SFragmentFit& f, int maxWidth, const std::string& sets, bool* transport)
{
    Thumbnail t;
    *transport = false;
    if (!librariesReady(&t.error))
        return t;
    FragmentPayload payload(f, kHeadBytes);
    payload.setChunk(64 << 10);
    if (!payload.open(&t.error))
        return t;
    Codec codec = Codec::None;
    for (int sniffed : {16 << 10, kSniffBytes}) {
        const QByteArray head = payload.peek(sniffed);
        codec = AnnexB::sniff(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
        if (codec != Codec::None || head.size() < sniffed)
            break;
    }
    if (!payload.error().isEmpty()) {
        t.error = payload.error();
        return t;
    }
    if (codec == Codec::None) {
        const QByteArray head = payload.peek(kSniffBytes);
        *transport = looksLikeTransportStream(head.constData(), head.size());
        t.error = unrecognised();
        return t;
    }
    const AVCodec* decoder = avcodec_find_decoder(codecId(codec));
    AVCodecContext* dec = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    bool got = false;
    if (dec && frame && pkt) {
        dec->thread_count = 1;
        if (avcodec_open2(dec, decoder, nullptr) < 0)
            avcodec_free_context(&dec);
    }
    if (dec && frame && pkt) {
        bool setsSent = sets.empty();
        AnnexB::Splitter sp(codec, [&](const AnnexB::AccessUnit& au) {
            if (!au.key) // nothing before a key picture decodes
                return true;
            const size_t prefix = setsSent ? 0 : sets.size();
            if (av_new_packet(pkt, int(prefix + au.size)) < 0)
                return false;
            std::memcpy(pkt->data, sets.data(), prefix);
            std::memcpy(pkt->data + prefix, au.data, au.size);
            setsSent = true;
            // The picture alone, drained at once: no reordering delay to wait out.
            avcodec_send_packet(dec, pkt);
            av_packet_unref(pkt);
            avcodec_send_packet(dec, nullptr);
            while (!got && avcodec_receive_frame(dec, frame) == 0) {
                got = frame->width > 0 && frame->height > 0 && !frame->decode_error_flags;
                if (!got)
                    av_frame_unref(frame);
            }
            if (got)
                return false;
            avcodec_flush_buffers(dec);
            return true;
        });
        feedAll(payload, sp, nullptr);
    }
    t.sourceBytesRead = payload.sourceBytesRead();
    if (got)
        makeJpeg(frame, maxWidth, &t);
    else if (!dec)
        t.error = QStringLiteral("no decoder for %1").arg(QString::fromLatin1(codecName(codec)));
    else if (!payload.error().isEmpty())
        t.error = payload.error();
    else
        t.error = QStringLiteral("no decodable picture in the first %1 bytes").arg(kHeadBytes);
    avcodec_free_context(&dec);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return t;
}

Thumbnail thumbnailWith(const SFragmentFit& f, int maxWidth, const QByteArray& prefix)
{
    Thumbnail t;
    Input in;
    if (!in.open(f, kHeadBytes, prefix, false)) {
        t.error = in.error;
        return t;
    }
    const AVCodec* codec = avcodec_find_decoder(in.stream()->codecpar->codec_id);
    AVCodecContext* dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    auto cleanup = [&] {
        avcodec_free_context(&dec);
        av_frame_free(&frame);
        av_packet_free(&pkt);
    };
    if (!dec || avcodec_parameters_to_context(dec, in.stream()->codecpar) < 0 || avcodec_open2(dec, codec, nullptr) < 0) {
        t.error = QStringLiteral("no decoder for %1").arg(QString::fromUtf8(avcodec_get_name(in.stream()->codecpar->codec_id)));
        cleanup();
        return t;
    }
    dec->thread_count = 1;
    bool got = false;
    bool draining = false;
    while (!got) {
        if (!draining) {
            const int rc = av_read_frame(in.fmt, pkt);
            if (rc < 0) {
                draining = true;
                avcodec_send_packet(dec, nullptr);
            } else {
                if (pkt->stream_index == in.video)
                    avcodec_send_packet(dec, pkt);
                av_packet_unref(pkt);
            }
        }
        const int rc = avcodec_receive_frame(dec, frame);
        if (rc == 0)
            got = frame->width > 0 && frame->height > 0 && !frame->decode_error_flags;
        else if (draining && rc != AVERROR(EAGAIN))
            break;
        if (!got && rc == 0)
            av_frame_unref(frame);
    }
    t.sourceBytesRead = in.payload->sourceBytesRead();
    if (!got) {
        t.error = QStringLiteral("no decodable picture in the first %1 bytes").arg(kHeadBytes);
        cleanup();
        return t;
    }
    makeJpeg(frame, maxWidth, &t);
    cleanup();
    return t;
}

} // namespace

Thumbnail thumbnail(const SFragmentFit& f, int maxWidth, const SFragmentFit* previous)
{
    bool transport = false;
    Thumbnail t = ownThumbnail(f, maxWidth, std::string(), &transport);
    if (!transport) {
        if (t.ok || !previous)
            return t;
        // A recording that goes on has its parameter sets in the fragment before.
        const std::string sets = readHead(*previous).sets;
        if (sets.empty())
            return t;
        Thumbnail borrowed = ownThumbnail(f, maxWidth, sets, &transport);
        borrowed.sourceBytesRead += t.sourceBytesRead;
        return borrowed.ok ? borrowed : t;
    }
    t = thumbnailWith(f, maxWidth, QByteArray());
    if (t.ok || !previous)
        return t;
    // A recording that goes on has its parameter sets in the fragment before.
    const QByteArray sets = parameterSets(*previous);
    if (sets.isEmpty())
        return t;
    Thumbnail borrowed = thumbnailWith(f, maxWidth, sets);
    borrowed.sourceBytesRead += t.sourceBytesRead;
    return borrowed.ok ? borrowed : t;
}

} // namespace Media
