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
//
// With startReadAhead(), ordinary reads the caller announces with prefetch()
// are made while the caller works, each bypassing the page cache where the
// device allows it: queued on the device itself when it can (io_uring), by a
// reader thread otherwise. read() takes a finished one as the result
// of its first read and goes on exactly as without it; anything else (a bad
// stretch known inside the request, a failure to narrow) it reads itself, the
// thread held. So the bytes, the ranges and the order of the reads that count
// are those of the plain reader.

#include <QtGlobal>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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

    // Reads ahead from now on; all ordinary reads are direct. A reader
    // thread, if one is needed, ends with the reader, after at most the read
    // it is making.
    void startReadAhead();
    // Drops the reads not yet made and waits for those being made; before
    // the device goes.
    void endReadAhead();
    bool readingAhead() const { return m_readAhead; }
    // Announces a later read(dst, at, len) of the same memory. dst must stay
    // untouched by the caller until that read; ignored without the thread.
    void prefetch(unsigned char* dst, qint64 at, qint64 len);

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
    struct Job {
        unsigned char* dst;
        qint64 at;
        qint64 len;
        qint64 result = 0;
        int error = 0;
        enum State { Queued, Running, Done } state = Queued;
        int ticket = 0; // queued on the device itself, not yet awaited
    };
    qint64 readInto(unsigned char* dst, qint64 at, qint64 len, bool direct);
    // What a direct read takes: whole blocks, into memory aligned to one.
    bool aligned(const unsigned char* dst, qint64 at, qint64 len) const;
    qint64 deviceRead(unsigned char* dst, qint64 at, qint64 len, bool direct, int& error);
    void noteResult(qint64 r, qint64 len, int error);
    bool takeJob(qint64 at, qint64 len, Job& out);
    // Waits for a read queued on the device and records its result.
    void settle(Job& job);
    void hold();
    void release();
    void worker();
    bool knownIn(qint64 start, qint64 end) const;
    bool probe(qint64 at);
    Status explore(unsigned char* dst, qint64 base, qint64& lo, qint64 hi, std::vector<SourceRange>& readable);
    void note(qint64 start, qint64 end, Kind kind);
    void report(qint64 start, qint64 end, Kind kind);
    static void append(std::vector<SourceRange>& list, qint64 start, qint64 end);
    // [from, to) was read: listed, counted, and from moves on to to.
    void took(std::vector<SourceRange>& readable, qint64& from, qint64 to);
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

    // Read-ahead. The thread touches the device only while not held.
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<Job>> m_jobs; // in the order announced
    bool m_held = false;
    bool m_quit = false;
    bool m_directAll = false;
    bool m_readAhead = false;
};
