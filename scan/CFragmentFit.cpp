#include "scan/CFragmentFit.h"

#include "disk/Nyx.h"
#include "scan/FrameHeaderSearch.h"
#include "scan/PauseSemaphore.h"
#include "scan/ScanBuffer.h"
#include "scan/SourceReader.h"

#include <QMutexLocker>

#include <QMetaMethod>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

std::atomic<int> CFragmentFit::fragmentSerial{0};

// The fragment open in one stream slot.
struct FragmentSlot {
    qint32 frameCount = 0;
    quint32 firstTime = 0;
    quint32 lastTime = 0;
    qint32 stream = 0;
    // Kept from one fragment of the slot to the next: no allocation per fragment.
    std::vector<SExtent> extents;
    qint64 totalBytes = 0;
};

namespace {

constexpr int kSlotCount = 1024;
constexpr qint64 kFinalMinBytes = 512;
constexpr qint64 kBatchMs = 4;      // the longest a closed fragment waits in the thread
constexpr int kBatchClockEvery = 64; // fragments between looks at the clock
// Fragments a batch takes at most before it goes, however long the interval.
constexpr int kBatchMost = 8192;
// Fragments an unread batch may hold before the scan waits for its receiver,
// so a receiver slower than the search bounds the memory, not the disk.
constexpr int kBatchBacklog = 1 << 14;

// A stretch of the buffer holding consecutive device bytes:
// buffer [buf, buf + len) = device [dev, dev + len).
struct Segment {
    qint64 buf;
    qint64 len;
    qint64 dev;
    qint64 endBuf() const { return buf + len; }
    qint64 endDev() const { return dev + len; }
};

// Room in the ring past the view for the chunks read ahead.
qint64 aheadBytes(const ScanGeometry& g)
{
    return g.readAhead == ScanGeometry::Never ? 0 : std::max(0, g.ahead) * g.chunk;
}

} // namespace

bool CFragmentFit::findFrameHeader(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info)
{
    static const FrameHeaderSearch::Search search = FrameHeaderSearch::best();
    return search(window, n, foundAt, info);
}

CFragmentFit::CFragmentFit() : CFragmentFit(ScanGeometry()) {}

CFragmentFit::CFragmentFit(const ScanGeometry& geometry)
    : QThread(nullptr)
    , m_geometry(geometry)
    , m_pauseSemaphore(new PauseSemaphore)
    , m_buffer(new ScanBuffer(size_t(geometry.data + aheadBytes(geometry)), size_t(geometry.slack)))
    , m_batchMs(int(kBatchMs))
{
    qRegisterMetaType<ScanResumePoint>("ScanResumePoint");
    qRegisterMetaType<SFragmentBatch>("SFragmentBatch");
}

CFragmentFit::~CFragmentFit()
{
    if (isRunning()) {
        stop();
        m_pauseSemaphore->release();
        wait();
    }
    delete m_buffer;
    delete m_pauseSemaphore;
}

void CFragmentFit::setDevicePath(const char* devicePath)
{
    m_devicePath = QByteArray(devicePath ? devicePath : "");
    m_diskName = lastingName(m_devicePath.mid(4));
    m_hasDevicePath = devicePath != nullptr;
}

int CFragmentFit::setRange(qint64 start, qint64 end)
{
    if (!m_hasDevicePath || m_formatCode == 0)
        return -1;
    m_pauseFlag = 'N';
    m_stopRequested = 'N';
    m_runFinished = 'N';
    m_rangeStart = start;
    m_rangeEnd = end;
    m_resumePoint = ScanResumePoint();
    return 0;
}

void CFragmentFit::pause() { m_pauseFlag = 'Y'; }

bool CFragmentFit::waitUntilParked(int timeoutMs) const { return m_pauseSemaphore->waitForWaiter(timeoutMs); }

void CFragmentFit::resume()
{
    m_pauseFlag = 'N';
    m_pauseSemaphore->release();
}

void CFragmentFit::stop()
{
    m_stopRequested = 'Y';
    if (m_pauseFlag.load() == 'Y')
        m_pauseSemaphore->release();
}

void CFragmentFit::finish()
{
    sendBatch();
    m_stopRequested = 'Y';
    m_runFinished = 'Y';
}

std::vector<SourceRange> CFragmentFit::unreadableRanges() const
{
    QMutexLocker lock(&m_rangesLock);
    return m_unreadableRanges;
}

std::vector<SourceRange> CFragmentFit::untriedRanges() const
{
    QMutexLocker lock(&m_rangesLock);
    return m_untriedRanges;
}

void CFragmentFit::lookAtReceivers()
{
    // Once a pass, not per fragment: a receiver connecting meanwhile gets
    // the fragments from the next pass on.
    static const QMetaMethod oneSignal = QMetaMethod::fromSignal(&CFragmentFit::TransmitAddFragmentList);
    static const QMetaMethod batchSignal = QMetaMethod::fromSignal(&CFragmentFit::TransmitFragmentBatch);
    const bool oneByOne = isSignalConnected(oneSignal);
    // Serials are handed out in the order fragments are sent.
    if (oneByOne && !m_oneByOne)
        numberOutgoing();
    m_oneByOne = oneByOne;
    m_batched = isSignalConnected(batchSignal);
}

void CFragmentFit::numberOutgoing()
{
    // One atomic step for the lot: a locked add per fragment waits for every
    // store before it, which costs more than the rest of sending one.
    int unnumbered = 0;
    std::vector<SFragmentRecord>& records = m_out.records;
    for (const SFragmentRecord& r : records)
        unnumbered += r.serial == 0;
    if (unnumbered == 0)
        return;
    int next = fragmentSerial.fetch_add(unnumbered) + 1;
    for (SFragmentRecord& r : records) {
        if (r.serial == 0)
            r.serial = next++;
    }
}

SFragmentView CFragmentFit::viewOf(const FragmentSlot& slot) const
{
    SFragmentView v;
    v.diskName = &m_diskName;
    v.formatCode = m_formatCode;
    copyMeasures(v, slot);
    v.extents = slot.extents.data();
    v.extentCount = int(slot.extents.size());
    return v;
}

void CFragmentFit::sendFragment(const FragmentSlot& slot)
{
    // A batched fragment is numbered when its batch goes.
    const int serial = m_oneByOne || !m_batched ? ++fragmentSerial : 0;
    const SFragmentView v = viewOf(slot);
    if (m_oneByOne)
        emit TransmitAddFragmentList(v.fragment(), serial);
    if (!m_batched)
        return;
    m_out.add(v, serial);
    // Dense data closes thousands of fragments per pass of the search.
    const size_t n = m_out.size();
    if (n % kBatchClockEvery == 0 && (n >= size_t(kBatchMost) || m_sinceBatch.elapsed() >= m_batchMs))
        sendBatch();
}

void CFragmentFit::sendBatch()
{
    m_sinceBatch.restart();
    if (m_out.size() == 0)
        return;
    numberOutgoing();
    // The batch sent last is still waiting: its event is queued already.
    if (m_lastBatch.appendUnlessFixed(m_out)) {
        // A stop never waits on a receiver: the window may be waiting for us.
        while (!m_lastBatch.waitFixed(kBatchBacklog, 20) && m_stopRequested.load() != 'Y') {
        }
        return;
    }
    const size_t n = m_out.records.size();
    const size_t e = m_out.extents.size();
    auto d = std::make_shared<SFragmentBatchData>();
    d->diskName = m_diskName;
    std::swap(d->pack, m_out);
    m_lastBatch = SFragmentBatch(d);
    emit TransmitFragmentBatch(m_lastBatch);
    m_out.records.reserve(n);
    m_out.extents.reserve(e);
}

void CFragmentFit::sendCheckpoint(qint64 position, const std::vector<FragmentSlot>& table,
                                  const std::vector<qint32>& open, bool finished)
{
    ScanResumePoint point;
    point.position = position;
    point.finished = finished;
    for (size_t s = 0; s < table.size(); ++s) {
        if (!open[s])
            continue;
        // The slot's list keeps growing on this thread: the receiver gets a copy.
        point.open.append(viewOf(table[s]).fragment());
    }
    emit TransmitCheckpoint(point);
}

// The buffer holds up to 6 MiB of device data as a few segments in ascending
// buffer and device order; normally one, more after a chunk could not be read
// (the device data then has a gap, and so has the buffer). Every buffer position
// is mapped to its device offset through its segment, and the search resumes
// at a device offset, so frames are reported where they truly lie and a header
// is only ever tested on 8 bytes that were read consecutively from the device.
void CFragmentFit::run()
{
    const qint64 kChunk = m_geometry.chunk;
    const qint64 kData = m_geometry.data;
    const qint64 kLookAhead = m_geometry.chunk;
    m_position = 0;
    m_lastError = 0;
    m_unreadable = 0;
    m_untried = 0;
    m_read = 0;
    {
        QMutexLocker lock(&m_rangesLock);
        m_unreadableRanges.clear();
        m_untriedRanges.clear();
    }
    m_buffer->reset();
    m_lastBatch = SFragmentBatch();
    m_out.clear();
    m_sinceBatch.start();
    std::vector<FragmentSlot> slotTable(kSlotCount);
    std::vector<qint32> slotOpen(kSlotCount, 0);

    NyxCIOSystemDevice* device = NyxfIOSystemDevice_new_not_open(m_devicePath.constData());
    const int openResult = NyxfIOSystemDevice_open(device, NyxAccessRead, NyxOpenExisting);
    if (openResult != 0) {
        m_lastError = openResult > 0 ? openResult : EIO;
        NyxfIOSystemDevice_delete(&device);
        finish();
        return;
    }
    if (device->size() == 0) {
        // A card reader without a card, an emptied image: nothing to scan is
        // an error, not an empty result.
        m_lastError = ENOMEDIUM;
        NyxfIOSystemDevice_delete(&device);
        finish();
        return;
    }

    // A resumed run reads on from its saved point with the fragments open
    // there rebuilt, so a recording across that point stays one fragment.
    // A fresh reader may start anywhere: what it skipped before is in the
    // session already.
    const bool resuming = m_resumePoint.position >= 0;
    if (resuming) {
        for (const SFragmentFit& f : m_resumePoint.open) {
            const int s = (f.stream >= 0 && f.stream < kSlotCount) ? f.stream : 0;
            FragmentSlot& slot = slotTable[size_t(s)];
            copyMeasures(slot, f);
            slot.stream = s;
            slot.extents.clear();
            if (f.extents)
                slot.extents.assign(f.extents->constBegin(), f.extents->constEnd());
            slotOpen[size_t(s)] = !slot.extents.empty();
        }
    }
    // From a whole logical block, so direct reads stay aligned on 4Kn disks.
    const qint64 block = std::max(512, device->logicalBlockSize());
    const qint64 searchFrom = std::max<qint64>(std::max<qint64>(0, m_rangeStart) / block * block,
                                               resuming ? m_resumePoint.position : 0);
    const qint64 alignedStart = searchFrom / block * block;
    const qint64 end = m_rangeEnd;
    m_position = alignedStart;
    SourceReader reader(device, end, kChunk, m_geometry.probeCap);
    // Reads in flight land in the ring past the view; a copying buffer moves
    // those bytes on every slide, so it reads in this thread only.
    const qint64 kAhead = aheadBytes(m_geometry) / kChunk;
    if (kAhead > 0 && m_buffer->mirrored()
        && (m_geometry.readAhead == ScanGeometry::Always || device->isBlockDevice())) {
        device->pinForDirectReads(m_buffer->region(), m_buffer->regionSize());
        reader.startReadAhead();
    }
    std::vector<SourceRange> got;
    std::vector<Segment> segments;
    segments.reserve(8);
    // Adds what a read delivered into the buffer at `dest` for device `at`.
    auto addSegments = [&](qint64 dest, qint64 at) {
        for (const SourceRange& r : got) {
            const Segment seg{dest + (r.start - at), r.size(), r.start};
            Segment* last = segments.empty() ? nullptr : &segments.back();
            if (last && last->endBuf() == seg.buf && last->endDev() == seg.dev)
                last->len += seg.len;
            else
                segments.push_back(seg);
        }
        m_unreadable = reader.unreadableBytes();
        m_untried = reader.untriedBytes();
        m_read = reader.readBytes();
    };

    const qint64 firstCount = std::clamp<qint64>(end - alignedStart, 0, kData);
    SourceReader::Status status = SourceReader::Ok;
    if (firstCount > 0)
        status = reader.read(m_buffer->view(), alignedStart, firstCount, got);
    addSegments(0, alignedStart);
    qint64 next = alignedStart + kData;
    // Chunk j after the view goes to view + kData + j * kChunk: where the
    // refill of its turn reads, after j + 1 slides.
    for (qint64 j = 0; j < kAhead && status == SourceReader::Ok; ++j)
        reader.prefetch(m_buffer->view() + kData + j * kChunk, next + j * kChunk, kChunk);
    qint64 resume = searchFrom; // device offset where the search goes on
    FrameInfo info;
    bool reachedEnd = false;

    for (;;) {
        if (m_pauseFlag.load() == 'Y')
            m_pauseSemaphore->acquire();
        lookAtReceivers();
        // A stop or a failed device still has what the buffer holds searched:
        // those bytes were read.
        const bool stopping = m_stopRequested.load() == 'Y' || status != SourceReader::Ok;
        // A stop of a scan kept in a session ends at its last checkpoint:
        // the resume reads on from there, and what a last pass sent now
        // would be sent again.
        if (m_checkpoints && status == SourceReader::Ok && m_stopRequested.load() == 'Y') {
            slotOpen.assign(slotOpen.size(), 0);
            break;
        }
        const bool more = next < end && !stopping;
        for (size_t k = 0; k < segments.size(); ++k) {
            const Segment seg = segments[k];
            // While the device goes on right after the newest segment, its
            // last 2 MiB are look-ahead searched after the next slide. Any
            // other segment is searched to its end: positions whose 8 header
            // bytes are all inside it.
            const bool continues = more && k + 1 == segments.size() && seg.endDev() == next;
            const qint64 windowEnd = continues ? seg.endBuf() - kLookAhead : seg.endBuf() - 4;
            while (resume < seg.endDev()) {
                const qint64 pos = seg.buf + std::max<qint64>(0, resume - seg.dev);
                const qint64 n = windowEnd - pos;
                qint32 foundAt = 0;
                if (n < 4 || !findFrameHeader(m_buffer->view() + pos, qint32(n), foundAt, info)) {
                    if (!continues)
                        resume = seg.endDev();
                    else if (n >= 4)
                        resume = seg.dev + (pos + foundAt - seg.buf);
                    break;
                }
                const qint64 t = seg.dev + (pos + foundAt - seg.buf);
                const qint64 u = t + info.length;
                const int s = (info.stream >= 0 && info.stream < kSlotCount) ? info.stream : 0;
                FragmentSlot& slot = slotTable[size_t(s)];
                // A frame joins the open fragment only when its header starts
                // exactly where the fragment's last frame ended on the device.
                if (slotOpen[size_t(s)] && slot.extents.back().end == t) {
                    slot.extents.back().end = u;
                    if (slot.firstTime == 0 && info.time != 0)
                        slot.firstTime = info.time;
                    slot.totalBytes += info.length;
                    if (info.time != 0)
                        slot.lastTime = info.time;
                    ++slot.frameCount;
                } else {
                    if (slotOpen[size_t(s)]) {
                        sendFragment(slot);
                        slotOpen[size_t(s)] = 0;
                    }
                    slot.frameCount = 1;
                    slot.firstTime = info.time;
                    slot.lastTime = info.time;
                    slot.stream = s;
                    slot.extents.clear();
                    slot.extents.push_back(SExtent{t, u});
                    slot.totalBytes = info.length;
                    slotOpen[size_t(s)] = 1;
                }
                resume = u;
            }
        }
        // A fragment whose end the search has passed without finding a
        // header there can no longer grow: send it now, not when the next
        // header turns up (hours later on a large disk). Only one above the
        // final minimum: a smaller one is sent only if a later header closes
        // it, which is not known yet.
        for (int s = 0; s < kSlotCount; ++s) {
            if (slotOpen[size_t(s)] && slotTable[size_t(s)].totalBytes > kFinalMinBytes
                && slotTable[size_t(s)].extents.back().end < resume) {
                sendFragment(slotTable[size_t(s)]);
                slotOpen[size_t(s)] = 0;
            }
        }
        if (stopping)
            break;
        if (!more) {
            reachedEnd = true;
            break;
        }
        // A checkpoint covers every fragment sent before it.
        if (m_batchMs <= kBatchMs || m_checkpoints || m_sinceBatch.elapsed() >= m_batchMs)
            sendBatch();
        if (m_checkpoints)
            sendCheckpoint(resume, slotTable, slotOpen, false);

        // Slide: the view moves on by 2 MiB.
        m_buffer->slide(size_t(kChunk));
        std::vector<Segment> kept;
        for (Segment seg : segments) {
            seg.buf -= kChunk;
            if (seg.endBuf() <= 0)
                continue;
            if (seg.buf < 0) {
                seg.dev -= seg.buf;
                seg.len += seg.buf;
                seg.buf = 0;
            }
            kept.push_back(seg);
        }
        segments.swap(kept);

        // Refill the freed 2 MiB; the reader leaves out what it cannot read,
        // so the buffer keeps every byte at its device offset.
        const qint64 count = std::min(kChunk, end - next);
        const qint64 at = next;
        status = reader.read(m_buffer->view() + (kData - kChunk), at, count, got);
        addSegments(kData - kChunk, at);
        if (kAhead > 0 && status == SourceReader::Ok)
            reader.prefetch(m_buffer->view() + kData + (kAhead - 1) * kChunk, at + kAhead * kChunk, kChunk);
        next += kChunk;
        m_position = std::min(next, end);
    }

    if (status != SourceReader::Ok) {
        // The device went away, or a bad area outgrew every probe: ending
        // here is honest, skipping to the end as "unreadable" would not be.
        const int e = reader.error();
        m_lastError = status == SourceReader::Gone ? (e ? e : ENODEV) : (e ? e : EIO);
    } else if (reader.readBytes() == 0 && end > alignedStart) {
        // Only a source of which nothing at all could be read fails.
        m_lastError = reader.error() ? reader.error() : EIO;
    }
    if (reachedEnd)
        m_position = std::max(next, end);
    {
        QMutexLocker lock(&m_rangesLock);
        m_unreadableRanges = reader.unreadable();
        m_untriedRanges = reader.untried();
    }
    m_unreadable = reader.unreadableBytes();
    m_untried = reader.untriedBytes();
    m_read = reader.readBytes();
    // Whatever ended the scan, the open fragments were read: send them.
    for (int s = 0; s < kSlotCount; ++s) {
        if (slotOpen[size_t(s)] && slotTable[size_t(s)].totalBytes > kFinalMinBytes)
            sendFragment(slotTable[size_t(s)]);
    }
    sendBatch();
    // Only a whole, error-free run is finished; after a stop or a failed
    // device a resume goes on from the last pass's checkpoint.
    if (reachedEnd && m_lastError == 0 && m_checkpoints)
        sendCheckpoint(end, {}, {}, true);
    reader.endReadAhead();
    NyxfIOSystemDevice_delete(&device);
    finish();
}
