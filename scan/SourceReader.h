#pragma once
// Reads a source for the scan and hides what damaged disks do to reads.
//
// read() gives the bytes of [at, at + len) and says which sub-ranges hold
// them; the rest is missing. After a failed read the reader finds the first
// bad block by halving, then probes ahead with single-block reads at doubling
// distances (one chunk up to kProbeCap) until one succeeds, and narrows the
// far edge of the skipped stretch by halving again. So one bad sector costs
// only itself, and a bad area costs a few dozen reads whatever its size.
// Blocks a read failed on are *unreadable*; bytes skipped between probes are
// *untried*. Both are reported once a request has passed over them.
//
// All state is the device, the range end and the bad stretches found ahead of
// the last request, so a reader made afresh can start at any offset.

#include <QtGlobal>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class NyxCIOSystemDevice;

struct SourceRange {
    qint64 start;
    qint64 end;
    qint64 size() const { return end - start; }
};

class SourceReader {
public:
    enum Status {
        Ok,
        Gone,   // the device went away (ENODEV, ENXIO)
        GaveUp, // every probe up to the cap failed
    };
    static constexpr qint64 kFirstSkip = 2 * 1048576;
    static constexpr qint64 kProbeCap = 64 * 1048576;

    // The device stays owned by the caller; nothing past rangeEnd is read.
    SourceReader(NyxCIOSystemDevice* device, qint64 rangeEnd, qint64 firstSkip = kFirstSkip,
                 qint64 probeCap = kProbeCap);
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // Fills dst[0, len) with the device bytes of [at, at + len) where they can
    // be read; `readable` gets those sub-ranges, ascending and merged. Requests
    // must come in ascending, non-overlapping order.
    Status read(unsigned char* dst, qint64 at, qint64 len, std::vector<SourceRange>& readable);

    const std::vector<SourceRange>& unreadable() const { return m_unreadable; }
    const std::vector<SourceRange>& untried() const { return m_untried; }
    qint64 unreadableBytes() const { return m_unreadableBytes; }
    qint64 untriedBytes() const { return m_untriedBytes; }
    qint64 readBytes() const { return m_readBytes; }
    // errno of the first failed read (or of the end), 0 if none.
    int error() const { return m_error; }

private:
    enum Kind { Unreadable, Untried };
    struct Known {
        qint64 end;
        Kind kind;
    };
    qint64 readInto(unsigned char* dst, qint64 at, qint64 len, bool direct);
    bool probe(qint64 at);
    Status explore(unsigned char* dst, qint64 base, qint64& lo, qint64 hi, std::vector<SourceRange>& readable);
    void note(qint64 start, qint64 end, Kind kind);
    void report(qint64 start, qint64 end, Kind kind);
    static void append(std::vector<SourceRange>& list, qint64 start, qint64 end);
    bool fatal(int e) const;

    NyxCIOSystemDevice* m_device;
    qint64 m_end;
    qint64 m_block;
    qint64 m_firstSkip;
    qint64 m_probeCap;
    unsigned char* m_probe = nullptr; // one aligned block
    std::map<qint64, Known> m_known;  // bad stretches found ahead, by start
    std::vector<SourceRange> m_unreadable;
    std::vector<SourceRange> m_untried;
    qint64 m_unreadableBytes = 0;
    qint64 m_untriedBytes = 0;
    qint64 m_readBytes = 0;
    int m_error = 0;
    int m_lastFailure = 0;
    qint64 m_directUntil = -1; // ordinary reads before here bypass the cache
};
