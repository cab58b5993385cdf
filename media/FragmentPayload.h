#pragma once
// The video payload of a fragment: its extents read from the source, the
// 8-byte TKL headers stripped as the preview player does. Sources are only
// ever read, through the device layer.

#include "export/ExtentCopy.h"
#include "scan/SFragmentFit.h"
#include "tools/tklframe/TklFrame.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class NyxCIOSystemDevice;

namespace Media {

class FragmentPayload {
public:
    // sourceLimit: read at most this many source bytes (-1: the whole fragment).
    explicit FragmentPayload(const SFragmentFit& fragment, qint64 sourceLimit = -1);
    ~FragmentPayload();
    FragmentPayload(const FragmentPayload&) = delete;
    FragmentPayload& operator=(const FragmentPayload&) = delete;

    // Bytes handed out before the fragment's own (parameter sets borrowed
    // from the fragment before it).
    void setPrefix(const QByteArray& prefix)
    {
        m_out.assign(prefix.constData(), size_t(prefix.size()));
        m_produced = prefix.size();
    }
    // Source reads of at most this many bytes (a thumbnail stops at its
    // first picture; a remux reads on in large chunks).
    void setChunk(qint64 bytes) { m_chunkLimit = bytes; }
    // An open device of the fragment's disk to read instead of opening one;
    // the caller keeps it (one for many fragments saves an open per fragment).
    void setSource(NyxCIOSystemDevice* open) { m_borrowed = open; }
    // false with *error naming the source and the reason.
    bool open(QString* error);
    // Up to size payload bytes; 0 at the end, -1 when the source failed.
    int read(std::uint8_t* buf, int size);
    // The same, appended to out (one copy fewer for a caller that keeps them).
    int readAppend(std::string& out, int size);
    // The next size payload bytes (fewer at the end or when the source
    // failed), left to be read; reads no more of the source than they need.
    QByteArray peek(int size);

    qint64 sourceBytesRead() const { return m_sourceRead; }
    int badSectors() const { return m_badSectors; }
    // Bytes that belonged to no frame (damage that took the headers with
    // it), by the payload position where they would have been.
    struct Skip {
        qint64 at;
        qint64 bytes;
    };
    const std::vector<Skip>& skips() const { return m_skips; }
    const QString& error() const { return m_error; }

private:
    bool refill();
    // 1 when output bytes wait, 0 at the end, -1 on an error.
    int available();

    SFragmentFit m_fragment;
    qint64 m_limit;
    qint64 m_chunkLimit = -1;
    NyxCIOSystemDevice* m_device = nullptr;   // owned
    NyxCIOSystemDevice* m_borrowed = nullptr; // the caller's
    // The exports' copy: an unreadable sector comes as zeros, counted in
    // m_badSectors, as a decoder meets them in a damaged recording.
    ExportCore::ExtentCopier m_copier;
    void unframe();

    std::string m_raw;       // source bytes not yet split into frames
    size_t m_rawPos = 0;
    bool m_rawEnd = false;
    qint64 m_produced = 0;   // payload bytes made so far, prefix included
    std::vector<Skip> m_skips;
    std::string m_out;
    size_t m_outPos = 0;
    int m_extent = 0;
    qint64 m_at = 0;
    qint64 m_sourceRead = 0;
    int m_badSectors = 0;
    bool m_finished = false;
    QString m_error;
};

} // namespace Media
