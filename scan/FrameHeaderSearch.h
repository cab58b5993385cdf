#pragma once
// The implementations behind CFragmentFit::findFrameHeader, all with its
// exact contract; the fastest one the processor supports is used. Exposed so
// tests can hold each one against the plain search.

#include "scan/CFragmentFit.h"

namespace FrameHeaderSearch {

using Search = bool (*)(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info);

// memchr for the magic's last byte; any platform.
bool portable(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info);
#if defined(__x86_64__) || defined(__i386__)
#define CORVO_HAVE_X86_SEARCH 1
// 16-byte vectors, two bytes of the magic at once (baseline x86-64).
bool sse2(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info);
// 32-byte vectors; only where avx2Supported().
bool avx2(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info);
bool avx2Supported();
#endif

// The one findFrameHeader uses.
Search best();

} // namespace FrameHeaderSearch
