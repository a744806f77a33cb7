#include "channel/text_escaping.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "channel/escape_tables.h"
#include "channel/utf16_kernel.h"
#include "channel/wide_escaping.h"

namespace lumiclip {
namespace escaping {

namespace {

// Length of the well-formed UTF-8 sequence at s, or 0 when the bytes there
// do not form one (a stray continuation byte, an overlong form, a surrogate,
// a code point past U+10FFFF, or a sequence cut by the end of the text).
size_t Utf8SequenceLength(const unsigned char* s, size_t available) {
  unsigned char c = s[0];
  size_t n;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
  } else {
    return 0;
  }
  if (available < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] >= 0xA0) || (c == 0xF0 && s[1] < 0x90) ||
      (c == 0xF4 && s[1] >= 0x90)) {
    return 0;
  }
  return n;
}

}  // namespace

// Plain runs are copied a block at a time: a message is mostly text with
// nothing to escape.
size_t EscapeInto(const char* src, size_t inLimit, size_t textSize, char* dst, size_t outLimit,
                  size_t* consumed) {
  size_t in = 0;
  size_t out = 0;
  for (;;) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i slash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    // Bit i set when byte i is a quote, a backslash, below 0x20 (max(v, 0x20)
    // != v, unsigned) or from 0x80 up.
    auto attention = [&](__m128i v) {
      __m128i bad = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)),
                                 _mm_xor_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, space), v), _mm_set1_epi8(-1)));
      return _mm_or_si128(bad, v);
    };
    // Long plain runs go 64 bytes at a time.
    while (in + 64 <= inLimit && out + 64 <= outLimit) {
      const __m128i* s = reinterpret_cast<const __m128i*>(src + in);
      __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1);
      __m128i c = _mm_loadu_si128(s + 2), d = _mm_loadu_si128(s + 3);
      __m128i any = _mm_or_si128(_mm_or_si128(attention(a), attention(b)),
                                 _mm_or_si128(attention(c), attention(d)));
      if (_mm_movemask_epi8(any) != 0) break;
      __m128i* t = reinterpret_cast<__m128i*>(dst + out);
      _mm_storeu_si128(t, a);
      _mm_storeu_si128(t + 1, b);
      _mm_storeu_si128(t + 2, c);
      _mm_storeu_si128(t + 3, d);
      in += 64;
      out += 64;
    }
    while (in + 16 <= inLimit && out + 16 <= outLimit) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + in));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(attention(v)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out), v);
      if (mask != 0) {
        // Keep the plain bytes before the first one that needs a look.
        unsigned plain = static_cast<unsigned>(__builtin_ctz(mask));
        in += plain;
        out += plain;
        break;
      }
      in += 16;
      out += 16;
    }
#else
    while (in + 8 <= inLimit && out + 8 <= outLimit) {
      uint64_t v;
      std::memcpy(&v, src + in, 8);
      const uint64_t ones = 0x0101010101010101ull;
      const uint64_t high = 0x8080808080808080ull;
      uint64_t q = v ^ (ones * '"');
      uint64_t s = v ^ (ones * '\\');
      // Exact tests: a zero byte in q or s, a byte below 0x20 or from 0x80
      // up in v.
      uint64_t zeroQ = (q - ones) & ~q & high;
      uint64_t zeroS = (s - ones) & ~s & high;
      uint64_t low = (v - ones * 0x20) & ~v & high;
      if ((zeroQ | zeroS | low | (v & high)) != 0) break;
      std::memcpy(dst + out, &v, 8);
      in += 8;
      out += 8;
    }
#endif
    if (in >= inLimit) break;
    // Escapes come in clusters: take a stretch byte by byte before trying
    // the block loops again.
    size_t stretch = std::min(inLimit, in + 16);
    bool full = false;
    while (in < stretch) {
      unsigned char c = static_cast<unsigned char>(src[in]);
      if (c >= 0x80) {
        size_t n = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(src + in), textSize - in);
        if (n == 0) {
          if (out + 6 > outLimit) {
            full = true;
            break;
          }
          std::memcpy(dst + out, "\\ufffd", 6);
          out += 6;
          ++in;
          continue;
        }
        if (in + n > inLimit || out + n > outLimit) {
          full = true;  // the chunk ends before this character
          break;
        }
        std::memcpy(dst + out, src + in, n);
        in += n;
        out += n;
        continue;
      }
      size_t size = kEscape.size[c];
      if (out + size > outLimit) {
        full = true;
        break;
      }
      if (size == 1) {
        dst[out] = static_cast<char>(c);
      } else if (size == 2) {
        dst[out] = '\\';
        dst[out + 1] = kEscape.shortForm[c];
      } else {
        std::memcpy(dst + out, "\\u00", 4);
        dst[out + 4] = kHex[c >> 4];
        dst[out + 5] = kHex[c & 0xF];
      }
      out += size;
      ++in;
    }
    if (full) break;
  }
  *consumed = in;
  return out;
}

size_t EscapeUtf16Once(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                       size_t* outBytes, bool* ended) {
  return EscapeUtf16<false>(src, maxUnits, dst, messageBytes, outBytes, ended);
}

// The double escaping into a frame, on the wide path where there is one.
size_t EscapeUtf16ForFrame(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                           size_t* outBytes, bool* ended) {
#if defined(LUMICLIP_WIDE_ESCAPES)
  if (WideEscapes()) return EscapeUtf16Wide(src, maxUnits, dst, messageBytes, outBytes, ended);
#endif
  return EscapeUtf16<true>(src, maxUnits, dst, messageBytes, outBytes, ended);
}

}  // namespace escaping

void AppendJsonEscaped(std::string_view text, std::string& out) {
  // Through a small buffer: the escaped size is not known before, and room
  // for the worst case would be six times the text.
  char buffer[16384];
  out.reserve(out.size() + text.size());
  while (!text.empty()) {
    size_t consumed = 0;
    size_t produced =
        escaping::EscapeInto(text.data(), text.size(), text.size(), buffer, sizeof(buffer), &consumed);
    out.append(buffer, produced);
    text.remove_prefix(consumed);
  }
}

}  // namespace lumiclip
