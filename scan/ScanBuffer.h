#pragma once
// The scan's read buffer: `size` bytes of data seen through view(), with at
// least `slack` readable bytes after them, and slide(k) that moves the view
// on by k bytes (byte i of the view becomes byte i - k) and leaves the last
// k bytes of the data area free for the next read.
//
// Normally the data area is a ring mapped twice back to back in virtual
// memory, so a slide only moves a pointer and no byte is copied. Where that
// mapping is unavailable it falls back to one heap block and memmove.

#include <cstddef>

class ScanBuffer {
public:
    ScanBuffer(std::size_t size, std::size_t slack);
    ~ScanBuffer();
    ScanBuffer(const ScanBuffer&) = delete;
    ScanBuffer& operator=(const ScanBuffer&) = delete;

    unsigned char* view() const { return m_view; }
    std::size_t size() const { return m_size; }
    // k must be a multiple of the page size, at most size() and at least slack.
    void slide(std::size_t k);
    // Back to view offset 0 of the data area (start of a new scan).
    void reset();
    bool mirrored() const { return m_mirrored; }
    // Both halves of a mirrored ring, where every view and its slack lie;
    // empty for the copying fallback.
    unsigned char* region() const { return m_mirrored ? m_base : nullptr; }
    std::size_t regionSize() const { return m_mirrored ? m_mapped : 0; }

    // Tests: make buffers created afterwards use the copying fallback.
    static void forceCopying(bool on);

private:
    unsigned char* m_base = nullptr;
    unsigned char* m_view = nullptr;
    std::size_t m_size = 0;
    std::size_t m_mapped = 0;
    std::size_t m_offset = 0;
    bool m_mirrored = false;
};
