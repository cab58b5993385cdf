#pragma once
// Records that travel between the scan, the playlist, export and preview.
// They cross threads by value; copies of a fragment share its extent list.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVector>
#include <cstdint>
#include <atomic>
#include <memory>
#include <vector>
#include <condition_variable>
#include <mutex>

// One stretch of a fragment on the source device; end is exclusive.
struct SExtent {
    qint64 start = 0;
    qint64 end = 0;
};
Q_DECLARE_TYPEINFO(SExtent, Q_PRIMITIVE_TYPE);

// Contiguous: a fragment's extents are one allocation, not one per extent.
using SExtentList = QVector<SExtent>;

// The same bytes, held for the rest of the process and never counted: copies
// of the result touch no shared counter, so threads passing millions of
// fragments of one disk do not fight over a cache line. For the few names a
// process meets (one per disk scanned); each distinct name is kept once.
QByteArray lastingName(const QByteArray& name);

// One fragment as the scan closed it.
// diskName is the bare device name (the device path without its "\\.\"
// prefix): a kernel name such as sda1, or a path to an image file. It is held
// by value so that no path length limit or lifetime rule applies; the scan
// hands every fragment the same implicitly shared bytes, not a copy each.
// extents is shared by every copy of the record and freed with the last one,
// so a row deleted from one list never invalidates an export or another list.
struct SFragmentFit {
    QByteArray diskName;
    int formatCode = 0;
    quint32 firstTime = 0;
    quint32 lastTime = 0;
    int stream = 0;
    qint64 totalBytes = 0;
    int frameCount = 0;
    std::shared_ptr<const SExtentList> extents;
};
Q_DECLARE_METATYPE(SFragmentFit)

// One playlist row: the fragment, a text nobody reads, and its serial.
struct SPlayListTableItem {
    SFragmentFit sFragmentFit;
    QString msFile;
    int iSerial = 0;
};
Q_DECLARE_METATYPE(SPlayListTableItem)

// What the scan measured of one fragment, copied from one form of it to
// another (record, view, packed record, the scan's slot): one list, so a
// field added is copied everywhere. The format code is the scan's, not the
// fragment's, and goes alongside.
template <class To, class From>
void copyMeasures(To& to, const From& from)
{
    to.firstTime = from.firstTime;
    to.lastTime = from.lastTime;
    to.stream = from.stream;
    to.totalBytes = from.totalBytes;
    to.frameCount = from.frameCount;
}

// A fragment's fields as a receiver reads them, from a record or a batch,
// without a copy of its extents. Valid while what it was made from lives.
struct SFragmentView {
    const QByteArray* diskName = nullptr;
    int formatCode = 0;
    quint32 firstTime = 0;
    quint32 lastTime = 0;
    int stream = 0;
    qint64 totalBytes = 0;
    int frameCount = 0;
    const SExtent* extents = nullptr;
    int extentCount = 0;

    SFragmentView() = default;
    explicit SFragmentView(const SFragmentFit& f);
    // A record of its own: the extents copied into a list of their own.
    SFragmentFit fragment() const;
};

// One fragment of a batch, packed: its extents lie in the batch's one list,
// its disk name is the batch's.
struct SFragmentRecord {
    qint64 totalBytes = 0;
    quint32 firstTime = 0;
    quint32 lastTime = 0;
    qint32 formatCode = 0;
    qint32 stream = 0;
    qint32 frameCount = 0;
    qint32 serial = 0;
    quint32 firstExtent = 0;
    quint32 extentCount = 0;
};
static_assert(sizeof(SFragmentRecord) == 40, "a fragment of a batch is 40 bytes");

// Fragments packed one after another: records, and their extents in one
// list. Nothing in it is allocated per fragment: millions pass without a
// heap node or a shared count each.
struct SFragmentPack {
    std::vector<SFragmentRecord> records;
    std::vector<SExtent> extents;
    void add(const SFragmentView& f, int serial);
    // Moves other's fragments in after these; other is left empty, its
    // capacity kept.
    void take(SFragmentPack& other);
    SFragmentView view(int k, const QByteArray* diskName) const;
    size_t size() const { return records.size(); }
    void clear()
    {
        records.clear();
        extents.clear();
    }
};

// Fragments one scan closed, in the order it closed them, with their serials.
// The scan keeps adding to the batch it last sent until a receiver first
// reads it; from then on the batch is fixed and the scan starts a new one.
// So a receiver that falls behind finds one batch waiting, however many
// fragments arrived meanwhile, and every receiver of a batch sees the same.
struct SFragmentBatchData {
    std::mutex lock;
    std::condition_variable wasFixed;
    std::atomic<bool> fixed{false};
    QByteArray diskName;
    SFragmentPack pack;
};

class SFragmentBatch {
public:
    SFragmentBatch() = default;
    explicit SFragmentBatch(std::shared_ptr<SFragmentBatchData> d) : m_d(std::move(d)) {}
    // Reading fixes the batch.
    int size() const { fix(); return m_d ? int(m_d->pack.size()) : 0; }
    const SFragmentRecord& record(int k) const { fix(); return m_d->pack.records[size_t(k)]; }
    int serial(int k) const { return record(k).serial; }
    SFragmentView view(int k) const { fix(); return m_d->pack.view(k, &m_d->diskName); }
    SFragmentFit fragment(int k) const { return view(k).fragment(); }

    // The sender's side: moves the fragments into the batch unless a receiver
    // has read it (the pack is then left empty, its capacity kept).
    bool appendUnlessFixed(SFragmentPack& fragments);
    // The sender's side: waits up to `ms` for a receiver to read the batch
    // when it holds `atLeast` fragments or more. True when no wait is needed.
    bool waitFixed(int atLeast, int ms) const;

private:
    void fix() const;
    std::shared_ptr<SFragmentBatchData> m_d;
};
Q_DECLARE_METATYPE(SFragmentBatch)

// Packed recorder time: sec 0-5, min 6-11, hour 12-16, day 17-21,
// month 22-25, year-2000 26-29.
namespace PackedTime {
inline int second(quint32 t) { return int(t & 0x3f); }
inline int minute(quint32 t) { return int((t >> 6) & 0x3f); }
inline int hour(quint32 t) { return int((t >> 12) & 0x1f); }
inline int day(quint32 t) { return int((t >> 17) & 0x1f); }
inline int month(quint32 t) { return int((t >> 22) & 0x0f); }
inline int year(quint32 t) { return int((t >> 26) & 0x0f); }
// "2%03d-%02d-%02d %02d:%02d:%02d"
QString displayForm(quint32 t);
// "2%03d_%02d_%02d %02d_%02d_%02d"
QString fileNameForm(quint32 t);
// The same into out (NUL-terminated, cut to size), as snprintf counts it.
int writeFileNameForm(char* out, size_t size, quint32 t);
// Seconds from a to b using hour, minute and second only; may be negative.
int duration(quint32 a, quint32 b);
} // namespace PackedTime
