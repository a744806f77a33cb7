// The conversion of UTF-16 text to UTF-8 with its JSON escaping, once or
// twice, one unit at a time with runs of plain ASCII a block at a time. For
// the files that escape UTF-16 (text_escaping.cpp, wide_escaping.cpp): each
// gets its own copy, inlined into its code and compiled for its registers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "channel/escape_tables.h"

namespace lumiclip::escaping {
namespace {

// The unit loop and its parts are inlined into the wide path too, and so
// compiled for its registers: a call from there to code of the other kind
// costs about 100 ns here (the switch between the two kinds of register use).
#if defined(__SANITIZE_ADDRESS__)
#define LUMICLIP_INLINE inline
#else
#define LUMICLIP_INLINE __attribute__((always_inline)) inline
#endif

// Writes the UTF-8 form of unit c, from 0x80 up, at out: with the unit after
// it (next, 0 at the text's end) when the two form a surrogate pair, which
// sets *pair; a surrogate that is not half of a pair becomes U+FFFD, as the
// system converts it. Returns the end of what it wrote.
LUMICLIP_INLINE char* PutUtf8(uint32_t c, uint32_t next, char* out, bool* pair) {
  *pair = false;
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return out + 2;
  }
  if (c >= 0xD800 && c <= 0xDFFF) {
    if (c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      *pair = true;
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      out[0] = static_cast<char>(0xF0 | (c >> 18));
      out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (c & 0x3F));
      return out + 4;
    }
    c = 0xFFFD;
  }
  out[0] = static_cast<char>(0xE0 | (c >> 12));
  out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (c & 0x3F));
  return out + 3;
}

// A function that may read past the end of a text (never into the next
// page) is kept from the address sanitizer.
#if defined(__SANITIZE_ADDRESS__)
#define LUMICLIP_UNCHECKED_READS __attribute__((no_sanitize_address))
#else
#define LUMICLIP_UNCHECKED_READS
#endif

#if defined(__SSE2__)
// Stores the 16 units at src as 16 bytes at out when all are plain ASCII,
// printable and neither quote nor backslash; false (out holds whatever)
// otherwise. The pack saturates: a unit from 0x80 to 0x7FFF becomes a byte
// from 0x80 up, one from 0x8000 up (a negative number to the pack) becomes 0,
// and the byte test finds both.
LUMICLIP_UNCHECKED_READS LUMICLIP_INLINE bool PutPlainAscii16(const char16_t* src, char* out) {
  __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8));
  __m128i v = _mm_packus_epi16(a, b);
  __m128i bad = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                             _mm_xor_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x20)), v), _mm_set1_epi8(-1)));
  if (_mm_movemask_epi8(_mm_or_si128(bad, v)) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  return true;
}
#endif

// Converts the zero-terminated text and escapes it, once as the message
// holds it (kWire false) or twice as a frame holds it (kWire true), up to
// maxUnits units (one more to keep a surrogate pair whole) or to its end,
// into dst, which has room for 7 bytes a unit (6 once) and 8 more. Returns the units
// taken; *messageBytes and *outBytes get their sizes in the message and as
// written; *ended is set at the terminating zero. The block loop reads 16
// units at a time, past the zero too but never into the next page.
template <bool kWire>
LUMICLIP_UNCHECKED_READS LUMICLIP_INLINE size_t EscapeUtf16(const char16_t* src, size_t maxUnits, char* dst,
                                                            size_t* messageBytes, size_t* outBytes,
                                                            bool* ended) {
  const auto& table = kWire ? kDoubleEscape.wire : kDoubleEscape.once;
  const auto& size = kWire ? kDoubleEscape.wireSize : kDoubleEscape.messageSize;
  size_t in = 0;
  size_t message = 0;
  char* out = dst;
  while (in < maxUnits) {
#if defined(__SSE2__)
    // Runs of plain ASCII, 16 units at a time.
    while (in + 16 <= maxUnits && (reinterpret_cast<uintptr_t>(src + in) & 4095) <= 4096 - 32 &&
           PutPlainAscii16(src + in, out)) {
      in += 16;
      out += 16;
      message += 16;
    }
#endif
    // Up to 16 units one at a time before the block loop is tried again.
    size_t stretch = std::min(maxUnits, in + 16);
    while (in < stretch) {
      uint32_t c = src[in];
      if (c == 0) {
        *ended = true;
        maxUnits = in;
        break;
      }
      ++in;
      if (c < 0x80) {
        std::memcpy(out, table[c], 8);
        out += size[c];
        message += kDoubleEscape.messageSize[c];
        continue;
      }
      bool pair = false;
      char* end = PutUtf8(c, src[in], out, &pair);
      in += pair ? 1 : 0;
      message += static_cast<size_t>(end - out);
      out = end;
    }
  }
  *messageBytes = message;
  *outBytes = static_cast<size_t>(out - dst);
  return in;
}

}  // namespace
}  // namespace lumiclip::escaping
