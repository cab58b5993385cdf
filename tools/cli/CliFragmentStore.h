#pragma once
// The fragments a CLI scan found, kept for an export after the scan.

#include "export/ExportCore.h"
#include "media/MediaFile.h"
#include "scan/SFragmentFit.h"

#include <QByteArray>
#include <QList>

#include <deque>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>
#include <vector>

struct CliFragment {
    int serial = 0;
    SFragmentFit fragment;
    Media::Duration duration;
};

// One 48-byte record per fragment, with up to two extents inside it, in
// large blocks; further extents in one shared pool; the disk name, format and
// stream stored once per kind. Sizes and offsets take 6 bytes (256 TiB); a
// fragment with a value beyond that, or of a kind past the 16,383rd, is kept
// whole on the side, so nothing is ever cut. No heap node per fragment or
// extent. An export reads the rows one at a time (at), so they are never all
// expanded at once.
class CliFragmentStore : public ExportCore::RowSource {
public:
    void append(int serial, const SFragmentView& f);
    int size() const override { return m_count; }
    SPlayListTableItem at(int i) const override;
    CliFragment fragment(int i) const;
    // The fragments as records, in the order they were added.
    QList<CliFragment> toList() const;

private:
    struct Record {
        // totalBytes (48 bits) | kind (14 bits) | extent form (2 bits):
        // 0-2 extents inside, or 3: in the pool, from extents' first start
        // (their count as its end).
        quint64 bytesKindForm;
        qint32 serial;
        qint32 frameCount;
        quint32 firstTime;
        quint32 lastTime;
        unsigned char extents[24]; // two (start, end), 6 bytes each, little-endian
    };
    static_assert(sizeof(Record) == 48, "a fragment's record is 48 bytes");
    struct Kind {
        QByteArray diskName;
        int formatCode;
        int stream;
    };
    static constexpr int kPerBlock = 1 << 14;
    static constexpr quint32 kWideKind = (1u << 14) - 1; // the fragment is in m_wide

    quint32 kindOf(const SFragmentView& f);

    std::vector<std::unique_ptr<Record[]>> m_blocks;
    std::deque<SExtent> m_pool;
    std::vector<Kind> m_kinds;
    std::map<std::tuple<QByteArray, int, int>, quint32> m_kindIndex;
    std::unordered_map<int, CliFragment> m_wide;
    quint32 m_lastKind = 0;
    int m_count = 0;
};
