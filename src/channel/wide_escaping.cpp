#include "channel/wide_escaping.h"

#if defined(LUMICLIP_WIDE_KERNEL)

// Every header this uses comes before LUMICLIP_KERNEL_TARGET, so that no library
// function is compiled for registers the processor may not have (the linker
// keeps one copy of an inline function).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "channel/escape_kernel.h"
#include "channel/escape_tables.h"

// Only this file's code is compiled for 32-byte registers, and it runs only
// where the processor has them (escape_path.h).
LUMICLIP_KERNEL_TARGET("avx2")

namespace lumiclip::escaping::wide {

// The unit loop and the plain runs, for the units the wide path leaves to
// them: compiled here, for these registers.
#define LUMICLIP_SSE2_BLOCKS 1
#define LUMICLIP_UTF16_ENTRIES 0
#include "channel/utf16_escape_kernel.inc"
#undef LUMICLIP_SSE2_BLOCKS
#undef LUMICLIP_UTF16_ENTRIES

namespace {

// The wide path gives each unit a kind and four bytes of its own, then
// builds the forms of four units at a time with one byte shuffle, chosen by
// their four kinds. The kinds, with the unit's bytes each form takes:
//   0 plain ASCII          c
//   1 quote or backslash   \\\ then c
//   2 short control        \\ then its letter (b t n f r)
//   3 other control        \\u00 then its two hex digits
//   4 two UTF-8 bytes      both
//   5 three UTF-8 bytes    all three
//   6 low half of a pair   the pair's four UTF-8 bytes
//   7 high half of a pair  nothing (its low half writes the pair)
// A zero, or a surrogate that is not half of a pair, leaves the block to
// the unit loop.
enum WideKind { kPlain, kQuote, kShortControl, kLongControl, kTwoBytes, kThreeBytes, kPairLow, kPairHigh };

struct WideEscapeTable {
  // For four kinds (3 bits each, the first unit lowest): the shuffle that
  // makes their forms, and their sizes in the frame and in the message. A
  // shuffle byte below 16 takes byte 4 * slot + unit of the units' bytes;
  // 0x80 + k takes the constant k (backslash, 'u', '0').
  alignas(32) unsigned char shuffle[4096][32];
  unsigned char wireSize[4096];
  unsigned char messageSize[4096];
};

// Each kind's form: a byte below 4 is that slot of the unit's own bytes, one
// from 0x80 up the constant it names, as in the shuffle.
struct KindForm {
  unsigned char bytes[7];
  unsigned char wireSize;
  unsigned char messageSize;
};
constexpr unsigned char kBackslash = 0x80, kLetterU = 0x81, kDigitZero = 0x82;
constexpr KindForm kKindForms[8] = {
    {{0}, 1, 1},                                                              // plain
    {{kBackslash, kBackslash, kBackslash, 0}, 4, 2},                          // quote or backslash
    {{kBackslash, kBackslash, 0}, 3, 2},                                      // short control
    {{kBackslash, kBackslash, kLetterU, kDigitZero, kDigitZero, 0, 1}, 7, 6},  // other control
    {{0, 1}, 2, 2},                                                           // two UTF-8 bytes
    {{0, 1, 2}, 3, 3},                                                        // three UTF-8 bytes
    {{0, 1, 2, 3}, 4, 4},                                                     // low half of a pair
    {{0}, 0, 0},                                                              // high half of a pair
};

// Built on first use, in memory that costs nothing until then.
const WideEscapeTable& TheWideEscapeTable() {
  static WideEscapeTable table;
  static const bool built = [] {
    for (unsigned index = 0; index < 4096; ++index) {
      unsigned char* m = table.shuffle[index];
      std::memset(m, 0x8F, 32);  // beyond the forms: zero
      unsigned w = 0;
      unsigned message = 0;
      for (unsigned unit = 0; unit < 4; ++unit) {
        const KindForm& form = kKindForms[(index >> (3 * unit)) & 7];
        for (unsigned i = 0; i < form.wireSize; ++i) {
          unsigned char b = form.bytes[i];
          m[w++] = b < 0x80 ? static_cast<unsigned char>(4 * b + unit) : b;
        }
        message += form.messageSize;
      }
      table.wireSize[index] = static_cast<unsigned char>(w);
      table.messageSize[index] = static_cast<unsigned char>(message);
    }
    return true;
  }();
  (void)built;
  return table;
}

#define LUMICLIP_WIDE __attribute__((always_inline)) inline
// Units whose bits under mask equal value; units below 1 << shift; a unit
// value in every lane.
LUMICLIP_WIDE __m256i Is(__m256i v, __m256i mask, __m256i value) {
  return _mm256_cmpeq_epi16(_mm256_and_si256(v, mask), value);
}
LUMICLIP_WIDE __m256i Below(__m256i v, int shift) {
  return _mm256_cmpeq_epi16(_mm256_srli_epi16(v, shift), _mm256_setzero_si256());
}
LUMICLIP_WIDE __m256i K16(int value) { return _mm256_set1_epi16(static_cast<short>(value)); }

// Writes the forms of four units (their bytes in both halves of source),
// 32 bytes at out; returns the end of the forms.
LUMICLIP_WIDE char* PutFourForms(__m256i source, unsigned index, const WideEscapeTable& table, char* out,
                                 size_t* message) {
  // clang-format off
  const __m256i constants = _mm256_setr_epi8(
      '\\', 'u', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      '\\', 'u', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  // clang-format on
  __m256i shuffle = _mm256_load_si256(reinterpret_cast<const __m256i*>(table.shuffle[index]));
  // A shuffle byte from 0x80 up gives zero: each shuffle takes its own bytes.
  __m256i forms =
      _mm256_or_si256(_mm256_shuffle_epi8(source, shuffle),
                      _mm256_shuffle_epi8(constants, _mm256_xor_si256(shuffle, _mm256_set1_epi8(-128))));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), forms);
  *message += table.messageSize[index];
  return out + table.wireSize[index];
}

// The unit loop for up to n units from src + *in, inside the wide path.
LUMICLIP_WIDE LUMICLIP_UNCHECKED_READS void TakeUnits(const char16_t* src, size_t n, size_t* in, char** out,
                                                      size_t* message, bool* ended) {
  size_t m = 0, w = 0;
  *in += EscapeUtf16<true>(src + *in, n, *out, &m, &w, ended);
  *out += w;
  *message += m;
}

}  // namespace

// Reads the unit before each block and the one after it, never into another
// page.
LUMICLIP_KERNEL_ENTRY LUMICLIP_UNCHECKED_READS size_t EscapeUtf16Twice(const char16_t* src, size_t maxUnits,
                                                                       char* dst, size_t* messageBytes,
                                                                       size_t* outBytes, bool* ended) {
  const WideEscapeTable& table = TheWideEscapeTable();
  size_t in = 0;
  size_t message = 0;
  char* out = dst;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i surrogateBits = _mm256_set1_epi16(static_cast<short>(0xFC00));
  const __m256i highHalf = _mm256_set1_epi16(static_cast<short>(0xD800));
  const __m256i lowHalf = _mm256_set1_epi16(static_cast<short>(0xDC00));
  // For units below 0x10, indexed by their low 4 bits: the letter of a short
  // escape, else the first hex digit; and the hex digits.
  // clang-format off
  const __m256i letters = _mm256_setr_epi8(
      '0', '0', '0', '0', '0', '0', '0', '0', 'b', 't', 'n', '0', 'f', 'r', '0', '0',
      '0', '0', '0', '0', '0', '0', '0', '0', 'b', 't', 'n', '0', 'f', 'r', '0', '0');
  const __m256i hex = _mm256_setr_epi8(
      '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f',
      '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
  // clang-format on
  const __m256i kindWeights = _mm256_setr_epi16(1, 8, 64, 512, 1, 8, 64, 512, 1, 8, 64, 512, 1, 8, 64, 512);
  while (!*ended && in < maxUnits) {
    // Runs of plain ASCII, as the unit loop takes them.
    while (in + 16 <= maxUnits && (reinterpret_cast<uintptr_t>(src + in) & 4095) <= 4096 - 32 &&
           PutPlainAscii16(src + in, out)) {
      in += 16;
      out += 16;
      message += 16;
    }
    // 16 units, with the one before (so never the text's first) and the one
    // after, within the page; else the unit loop takes them, as it does a
    // block holding a zero or a lone half.
    if (in == 0 || in + 17 > maxUnits || (reinterpret_cast<uintptr_t>(src + in - 1) & 4095) > 4096 - 36) {
      TakeUnits(src, maxUnits - in < 16 ? maxUnits - in : 16, &in, &out, &message, ended);
      continue;
    }
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + in));
    __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + in - 1));
    __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + in + 1));
    __m256i high = Is(v, surrogateBits, highHalf);
    __m256i low = Is(v, surrogateBits, lowHalf);
    __m256i lone = _mm256_or_si256(_mm256_andnot_si256(Is(after, surrogateBits, lowHalf), high),
                                   _mm256_andnot_si256(Is(before, surrogateBits, highHalf), low));
    __m256i odd = _mm256_or_si256(lone, _mm256_cmpeq_epi16(v, zero));
    if (!_mm256_testz_si256(odd, odd)) {
      TakeUnits(src, 16, &in, &out, &message, ended);
      continue;
    }
    __m256i ascii = Below(v, 7);
    __m256i control = Below(v, 5);
    __m256i twoBytes = Below(v, 11);
    __m256i quote = _mm256_or_si256(_mm256_cmpeq_epi16(v, K16('"')), _mm256_cmpeq_epi16(v, K16('\\')));
    // The low 4 bits as a shuffle index, its upper byte cleared.
    __m256i nibble = _mm256_or_si256(_mm256_and_si256(v, K16(0x000F)), K16(0x8000));
    __m256i letter = _mm256_blendv_epi8(K16('1'), _mm256_shuffle_epi8(letters, nibble), Below(v, 4));
    __m256i shortControl = _mm256_and_si256(control, _mm256_cmpgt_epi16(letter, K16('a' - 1)));
    // UTF-8: the last byte, the middle one of three, the leads.
    __m256i v6 = _mm256_srli_epi16(v, 6);
    __m256i last = _mm256_or_si256(_mm256_and_si256(v, K16(0x3F)), K16(0x80));
    __m256i middle = _mm256_or_si256(_mm256_and_si256(v6, K16(0x3F)), K16(0x80));
    __m256i lead3 = _mm256_or_si256(_mm256_srli_epi16(v, 12), K16(0xE0));
    __m256i lead2 = _mm256_or_si256(v6, K16(0xC0));
    // A pair's first three bytes, in its low half's lane (the code point is
    // 0x10000 + (h << 10) + l for halves h and l; h + 0x40 holds its top bits).
    __m256i h = _mm256_add_epi16(_mm256_and_si256(before, K16(0x3FF)), K16(0x40));
    __m256i pair0 = _mm256_or_si256(_mm256_srli_epi16(h, 8), K16(0xF0));
    __m256i pair1 = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(h, 2), K16(0x3F)), K16(0x80));
    __m256i pair2 = _mm256_or_si256(
        _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(h, K16(3)), 4), _mm256_and_si256(v6, K16(0xF))),
        K16(0x80));
    __m256i slot0 =
        _mm256_blendv_epi8(_mm256_blendv_epi8(_mm256_blendv_epi8(lead3, pair0, low), lead2, twoBytes),
                           _mm256_blendv_epi8(v, letter, control), ascii);
    __m256i slot1 =
        _mm256_blendv_epi8(_mm256_blendv_epi8(_mm256_blendv_epi8(middle, pair1, low), last, twoBytes),
                           _mm256_shuffle_epi8(hex, nibble), ascii);
    __m256i slot2 = _mm256_blendv_epi8(last, pair2, low);
    __m256i asciiKind =
        _mm256_or_si256(_mm256_and_si256(quote, K16(kQuote)), _mm256_and_si256(control, K16(kLongControl)));
    asciiKind =
        _mm256_xor_si256(asciiKind, _mm256_and_si256(shortControl, K16(kLongControl ^ kShortControl)));
    __m256i otherKind = _mm256_blendv_epi8(K16(kThreeBytes), K16(kTwoBytes), twoBytes);
    otherKind = _mm256_blendv_epi8(otherKind, K16(kPairLow), low);
    otherKind = _mm256_blendv_epi8(otherKind, K16(kPairHigh), high);
    __m256i kinds = _mm256_blendv_epi8(otherKind, asciiKind, ascii);
    // The index of each four units' kinds: lanes 0 and 1 for units 0-7, 4
    // and 5 for units 8-15.
    __m256i sums = _mm256_madd_epi16(kinds, kindWeights);
    sums = _mm256_hadd_epi32(sums, sums);
    // Each unit's four bytes: byte 4 * slot + unit of each four units.
    __m256i slots01 = _mm256_packus_epi16(slot0, slot1);
    __m256i slots23 = _mm256_packus_epi16(slot2, last);
    __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(
        _mm256_castsi256_ps(slots01), _mm256_castsi256_ps(slots23), _MM_SHUFFLE(2, 0, 2, 0)));
    __m256i odd4 = _mm256_castps_si256(_mm256_shuffle_ps(
        _mm256_castsi256_ps(slots01), _mm256_castsi256_ps(slots23), _MM_SHUFFLE(3, 1, 3, 1)));
    out = PutFourForms(_mm256_permute2x128_si256(even, even, 0x00),
                       static_cast<unsigned>(_mm256_extract_epi32(sums, 0)), table, out, &message);
    out = PutFourForms(_mm256_permute2x128_si256(odd4, odd4, 0x00),
                       static_cast<unsigned>(_mm256_extract_epi32(sums, 1)), table, out, &message);
    out = PutFourForms(_mm256_permute2x128_si256(even, even, 0x11),
                       static_cast<unsigned>(_mm256_extract_epi32(sums, 4)), table, out, &message);
    out = PutFourForms(_mm256_permute2x128_si256(odd4, odd4, 0x11),
                       static_cast<unsigned>(_mm256_extract_epi32(sums, 5)), table, out, &message);
    // A high half in the last lane wrote nothing: it starts the next block,
    // with its low half.
    in += 16 - (static_cast<unsigned>(_mm256_movemask_epi8(high)) >> 31);
  }
  *messageBytes = message;
  *outBytes = static_cast<size_t>(out - dst);
  return in;
}

}  // namespace lumiclip::escaping::wide

LUMICLIP_KERNEL_TARGET_END

#endif
