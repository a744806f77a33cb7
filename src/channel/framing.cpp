#include "channel/framing.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The double escaping has a path for 32-byte registers on x86-64, taken
// where the processor has them.
#if defined(__x86_64__) && defined(__GNUC__)
#define LUMICLIP_WIDE_ESCAPES 1
#include <immintrin.h>
#endif

#include "os/os.h"
#include "support/log.h"

namespace lumiclip {

namespace {

bool g_inputAtEnd = false;
bool g_outputBroken = false;
// Replies kept while the loop holds them (under the output's lock).
bool g_holdReplies = false;
std::string g_heldReplies;

constexpr char kHead[] = "{\"data\":\"";
constexpr char kTail[] = "\"}";
constexpr char kEndFrame[] = "\x0b\x00\x00\x00{\"data\":\"\"}";
constexpr size_t kEndFrameSize = 4 + 11;
constexpr char kHex[] = "0123456789abcdef";

// Escaped size of each byte value: 1, 2 for the short escapes, 6 for \u00XX.
struct EscapeTable {
  unsigned char size[256];
  char shortForm[256];
  constexpr EscapeTable() : size(), shortForm() {
    for (int c = 0; c < 256; ++c) {
      size[c] = 1;
      shortForm[c] = 0;
    }
    for (int c = 0; c < 0x20; ++c) size[c] = 6;
    const char pairs[][2] = {{'\\', '\\'}, {'"', '"'}, {'\b', 'b'}, {'\f', 'f'},
                             {'\n', 'n'},  {'\r', 'r'}, {'\t', 't'}};
    for (const auto& p : pairs) {
      size[static_cast<unsigned char>(p[0])] = 2;
      shortForm[static_cast<unsigned char>(p[0])] = p[1];
    }
  }
};
constexpr EscapeTable kEscape;

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

// Copies src to dst, escaping, until inLimit bytes are taken or the next
// character's escaped form would pass outLimit. A UTF-8 character is taken
// whole or not at all; bytes that are not well-formed UTF-8 become "\ufffd",
// since the browser refuses a frame holding them. textSize is where the text
// really ends (at or after inLimit). Returns the bytes produced; *consumed
// gets the bytes taken. Plain runs are copied a block at a time: a message
// is mostly text with nothing to escape.
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

// Escapes the next chunk of text into dst (room for kEscapedLimit bytes).
// Returns the escaped size; *taken gets the message bytes it holds.
size_t EscapeChunk(std::string_view text, char* dst, size_t* taken) {
  size_t limit = std::min(text.size(), kChunkLimit);
  return EscapeInto(text.data(), limit, text.size(), dst, kEscapedLimit, taken);
}

void PutLength(char* p, uint32_t n) {
  p[0] = static_cast<char>(n & 0xFF);
  p[1] = static_cast<char>((n >> 8) & 0xFF);
  p[2] = static_cast<char>((n >> 16) & 0xFF);
  p[3] = static_cast<char>((n >> 24) & 0xFF);
}

constexpr size_t kFrameBufferSize = 4 + 9 + kEscapedLimit + 2;
// Room past a frame's end for the stores of the double escaping: 8 bytes a
// unit, 32 bytes for four units on the wide path.
constexpr size_t kSlack = 32;

// Calls sink(bytes, size) for every frame of the message, in order. The
// frame buffer is the caller's, kFrameBufferSize bytes.
template <typename Sink>
void ForEachFrame(std::string_view text, char* buffer, Sink&& sink) {
  while (!text.empty()) {
    size_t taken = 0;
    size_t escaped = EscapeChunk(text, buffer + 13, &taken);
    PutLength(buffer, static_cast<uint32_t>(9 + escaped + 2));
    std::memcpy(buffer + 4, kHead, 9);
    std::memcpy(buffer + 13 + escaped, kTail, 2);
    if (!sink(buffer, 13 + escaped + 2)) return;
    text.remove_prefix(taken);
  }
  sink(kEndFrame, kEndFrameSize);
}

std::mutex& OutputMutex() {
  static std::mutex mutex;
  return mutex;
}

char* OutputBuffer() {
  static std::unique_ptr<char[]> buffer(new char[kFrameBufferSize + kSlack]);
  return buffer.get();
}

// The inbound frame being assembled: the bytes of its length, then its
// body. It outlives the call that started it, as the input arrives in pieces
// and nothing waits for the rest.
struct PartialFrame {
  char head[4] = {};
  size_t headGot = 0;
  size_t want = 0;  // the body's length, once the head is in
  size_t got = 0;
  size_t capacity = 0;
  std::unique_ptr<char[]> body;  // capacity + 1 bytes, not zero-filled
};
PartialFrame g_partial;

}  // namespace

void AppendJsonEscaped(std::string_view text, std::string& out) {
  // Through a small buffer: the escaped size is not known before, and room
  // for the worst case would be six times the text.
  char buffer[16384];
  out.reserve(out.size() + text.size());
  while (!text.empty()) {
    size_t consumed = 0;
    size_t produced = EscapeInto(text.data(), text.size(), text.size(), buffer, sizeof(buffer), &consumed);
    out.append(buffer, produced);
    text.remove_prefix(consumed);
  }
}

namespace {

// Each ASCII unit escaped once, as the message holds it, and twice, as a
// frame holds it ("\"" becomes \" and then \\\"), with both sizes. The second
// escape doubles the backslashes and escapes the quotes of the first.
struct DoubleEscapeTable {
  char once[128][8];
  char wire[128][8];
  unsigned char wireSize[128];
  unsigned char messageSize[128];
  constexpr DoubleEscapeTable() : once(), wire(), wireSize(), messageSize() {
    for (int c = 0; c < 128; ++c) {
      int n = kEscape.size[c];
      if (n == 1) {
        once[c][0] = static_cast<char>(c);
      } else if (n == 2) {
        once[c][0] = '\\';
        once[c][1] = kEscape.shortForm[c];
      } else {
        once[c][0] = '\\';
        once[c][1] = 'u';
        once[c][2] = '0';
        once[c][3] = '0';
        once[c][4] = kHex[c >> 4];
        once[c][5] = kHex[c & 0xF];
      }
      int w = 0;
      for (int i = 0; i < n; ++i) {
        if (once[c][i] == '\\' || once[c][i] == '"') wire[c][w++] = '\\';
        wire[c][w++] = once[c][i];
      }
      wireSize[c] = static_cast<unsigned char>(w);
      messageSize[c] = static_cast<unsigned char>(n);
    }
  }
};
constexpr DoubleEscapeTable kDoubleEscape;

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

#if defined(LUMICLIP_WIDE_ESCAPES)
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

bool g_wideEscapesAllowed = true;  // tests turn the wide path off to run the unit loop

bool WideEscapes() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return supported && g_wideEscapesAllowed;
}

#define LUMICLIP_WIDE __attribute__((target("avx2"), always_inline)) inline
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

// EscapeUtf16<true> with 32-byte registers: the same units taken, the same
// bytes and sizes. Writes up to 32 bytes past the end of what it produces.
// Reads the unit before each block and the one after it, never into another
// page.
__attribute__((target("avx2"))) LUMICLIP_UNCHECKED_READS size_t EscapeUtf16Wide(
    const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes, size_t* outBytes, bool* ended) {
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
      TakeUnits(src, std::min<size_t>(16, maxUnits - in), &in, &out, &message, ended);
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
#undef LUMICLIP_WIDE
#endif

// The double escaping into a frame, on the wide path where there is one.
size_t EscapeUtf16ForFrame(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                           size_t* outBytes, bool* ended) {
#if defined(LUMICLIP_WIDE_ESCAPES)
  if (WideEscapes()) return EscapeUtf16Wide(src, maxUnits, dst, messageBytes, outBytes, ended);
#endif
  return EscapeUtf16<true>(src, maxUnits, dst, messageBytes, outBytes, ended);
}

}  // namespace

size_t NextChunkLength(std::string_view text, size_t* escapedSize) {
  std::unique_ptr<char[]> scratch(new char[kEscapedLimit]);
  size_t taken = 0;
  *escapedSize = EscapeChunk(text, scratch.get(), &taken);
  return taken;
}

void BuildMessageFrames(std::string_view text, std::string& out) {
  std::unique_ptr<char[]> buffer(new char[kFrameBufferSize]);
  ForEachFrame(text, buffer.get(), [&out](const char* bytes, size_t size) {
    out.append(bytes, size);
    return true;
  });
}

namespace {

// Whether a call is completing a frame whose first bytes were in: a pump
// nested in its window-message pumps must not take the frame (nor any
// after it) from under it.
bool g_completing = false;

class Completing {
 public:
  Completing() { g_completing = true; }
  ~Completing() { g_completing = false; }
  Completing(const Completing&) = delete;
  Completing& operator=(const Completing&) = delete;
};

enum class Intake { kComplete, kMore, kEnded };

// Takes what the input holds into the frame in progress, never past its end.
Intake TakeAvailable(Frame* out) {
  // The body is read straight into a buffer that is not zero-filled. It
  // starts small, so that a huge length followed by a few bytes costs little;
  // once a request proves large, the buffer takes its whole length at once
  // (up to a size no real request reaches, doubling beyond), so that all
  // but its first 64 KiB are copied once on their way from the pipe.
  constexpr size_t kFirstStep = size_t{64} << 10;
  constexpr size_t kWholeBodyLimit = size_t{64} << 20;
  Os& os = TheOs();
  PartialFrame& p = g_partial;
  try {
    uint32_t available = 0;
    while (!g_inputAtEnd) {
      if (available == 0) {
        if (!os.InputAvailable(&available)) {
          g_inputAtEnd = true;
          if (p.body) {
            LogFormatInt("\n**** Error: Request cut short by the end of input, dropped: %d bytes\n",
                         static_cast<int32_t>(p.got));
          }
          p = PartialFrame();
          break;
        }
        if (available == 0) return Intake::kMore;  // the rest has not come yet
      }
      size_t n = 0;
      if (p.headGot < 4) {
        n = os.ReadInput(p.head + p.headGot, std::min<size_t>(4 - p.headGot, available));
        p.headGot += n;
        if (p.headGot == 4) {
          int32_t length = static_cast<int32_t>(FrameLength(p.head));
          if (length <= 0) {
            p = PartialFrame();  // nothing follows it: the next frame begins
          } else {
            p.want = static_cast<size_t>(length);
            p.capacity = std::min(p.want, kFirstStep);
            p.body.reset(new char[p.capacity + 1]);
          }
        }
      } else {
        if (p.got == p.capacity) {
          size_t larger = std::min(p.want, std::max(kWholeBodyLimit, p.capacity * 2));
          std::unique_ptr<char[]> grown(new char[larger + 1]);
          std::memcpy(grown.get(), p.body.get(), p.got);
          p.body = std::move(grown);
          p.capacity = larger;
        }
        n = os.ReadInput(p.body.get() + p.got, std::min<size_t>(p.capacity - p.got, available));
        p.got += n;
        if (p.got == p.want) {
          p.body[p.want] = '\0';
          out->body = std::move(p.body);
          out->length = static_cast<int32_t>(p.want);
          out->valid = true;
          p = PartialFrame();
          return Intake::kComplete;
        }
      }
      // The count is what the input held: that much can be taken without
      // asking again.
      if (n == 0) return Intake::kMore;
      available -= static_cast<uint32_t>(std::min<size_t>(n, available));
    }
  } catch (...) {
    // The rest of this body is still in the stream, and read as frames it
    // would be taken for requests: nothing may read the input again.
    g_inputAtEnd = true;
    p = PartialFrame();
    throw;
  }
  return Intake::kEnded;
}

}  // namespace

Frame TakeFrame() {
  Frame frame;
  if (g_completing) return frame;
  if (TakeAvailable(&frame) != Intake::kMore) return frame;
  // A frame counts as arrived once its first min(its size, 1 MiB) bytes,
  // length included, are in: as much as the reader holds at most. A long
  // body then comes as fast as the browser writes it, so this call takes the
  // frame and waits for the rest, pumping window messages meanwhile. Before
  // that, nothing waits.
  const PartialFrame& p = g_partial;
  if (!p.body || p.got < std::min(p.want, kArrivedBytes - 4)) return frame;
  // Nothing held waits for a long body.
  SendHeldOutput();
  Completing completing;
  Os& os = TheOs();
  for (;;) {
    os.PumpWindowMessages();
    os.WaitForInputOrMessages(nullptr);
    if (TakeAvailable(&frame) != Intake::kMore) return frame;
  }
}

uint32_t FrameLength(const char* head) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(head);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

bool InputAtEnd() { return g_inputAtEnd; }

bool FrameInProgress() { return g_partial.headGot > 0; }

namespace {

// A small message goes out in one write: each write to the pipe wakes the
// browser, and most replies are a few bytes.
constexpr size_t kOneWriteLimit = 16384;

// Kept replies are written once this much is kept.
constexpr size_t kHeldRepliesLimit = size_t{64} << 10;

// Writes the replies kept; the output's lock is held.
void WriteHeldReplies() {
  if (g_heldReplies.empty()) return;
  if (!g_outputBroken && !TheOs().WriteOutput(g_heldReplies.data(), g_heldReplies.size())) {
    g_outputBroken = true;
  }
  g_heldReplies.clear();
}

// All frames of a small message in one write, or kept with the replies held;
// the output's lock is held.
void WriteInOneCall(std::string_view text) {
  if (g_outputBroken) return;
  static std::string single;
  std::string& frames = g_holdReplies ? g_heldReplies : single;
  if (!g_holdReplies) single.clear();
  ForEachFrame(text, OutputBuffer(), [&frames](const char* bytes, size_t size) {
    frames.append(bytes, size);
    return true;
  });
  if (g_holdReplies) {
    if (g_heldReplies.size() >= kHeldRepliesLimit) WriteHeldReplies();
    return;
  }
  if (!TheOs().WriteOutput(single.data(), single.size())) g_outputBroken = true;
}

}  // namespace

MessageStream::MessageStream() : lock_(OutputMutex()) {}

MessageStream::~MessageStream() {
  try {
    Finish();
  } catch (...) {
  }
}

void MessageStream::Append(std::string_view piece) {
  if (finished_ || g_outputBroken) return;
  if (whole_) {
    if (text_.size() + piece.size() <= kOneWriteLimit) {
      text_.append(piece.data(), piece.size());
      return;
    }
    // Too long for one write after all: frame by frame from here.
    whole_ = false;
    std::string held = std::move(text_);
    text_ = std::string();
    Stream(held);
  }
  Stream(piece);
}

void MessageStream::AppendUtf16(const char16_t* text) {
  if (text == nullptr) return;
  // Through the message form while the message is small, and near a frame's
  // end, where a character may be cut from the ones before it.
  constexpr size_t kUnits = 1024;
  char block[(kUnits + 1) * 6 + 8];
  while (!finished_ && !g_outputBroken) {
    if (!whole_) {
      // Units that fit the frame whatever they are: each takes at most 6
      // bytes of the message and 7 of the frame.
      size_t room = std::min((kChunkLimit - messageBytes_) / 6, (kEscapedLimit - escapedBytes_) / 7);
      if (room >= 64) {
        size_t message = 0, wire = 0;
        bool ended = false;
        size_t units =
            EscapeUtf16ForFrame(text, room, OutputBuffer() + 13 + escapedBytes_, &message, &wire, &ended);
        messageBytes_ += message;
        escapedBytes_ += wire;
        text += units;
        if (ended) return;
        continue;
      }
    }
    size_t n = 0;
    while (n < kUnits && text[n] != 0) ++n;
    if (n == 0) return;
    // The two halves of a surrogate pair stay together; a lone high
    // surrogate before it does not take the next unit along.
    if (text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF && text[n] >= 0xDC00 && text[n] <= 0xDFFF) ++n;
    size_t message = 0, written = 0;
    bool ended = false;
    EscapeUtf16<false>(text, n, block, &message, &written, &ended);
    Append(std::string_view(block, written));
    text += n;
  }
}

void MessageStream::Stream(std::string_view piece) {
  // As ForEachFrame cuts the joined text: each frame takes what fits of the
  // text after the last one, a character whole or not at all. No piece ends
  // inside a character, so each piece's end serves as the text's end.
  while (!piece.empty() && !g_outputBroken) {
    char* frame = OutputBuffer();
    size_t taken = 0;
    size_t produced = EscapeInto(piece.data(), std::min(piece.size(), kChunkLimit - messageBytes_), piece.size(),
                                 frame + 13 + escapedBytes_, kEscapedLimit - escapedBytes_, &taken);
    messageBytes_ += taken;
    escapedBytes_ += produced;
    piece.remove_prefix(taken);
    if (!piece.empty()) EndFrame();  // the next character does not fit
  }
}

void MessageStream::EndFrame() {
  char* frame = OutputBuffer();
  PutLength(frame, static_cast<uint32_t>(9 + escapedBytes_ + 2));
  std::memcpy(frame + 4, kHead, 9);
  std::memcpy(frame + 13 + escapedBytes_, kTail, 2);
  Emit(frame, 13 + escapedBytes_ + 2);
  messageBytes_ = 0;
  escapedBytes_ = 0;
}

void MessageStream::Emit(const char* bytes, size_t size) {
  // Replies kept before this message go out before it.
  WriteHeldReplies();
  // A broken channel stays broken: the rest of this message and every later
  // one is dropped, as the browser is gone.
  if (!g_outputBroken && !TheOs().WriteOutput(bytes, size)) g_outputBroken = true;
}

void MessageStream::Finish() {
  if (finished_) return;
  finished_ = true;
  if (whole_) {
    WriteInOneCall(text_);
  } else {
    if (messageBytes_ > 0) EndFrame();
    Emit(kEndFrame, kEndFrameSize);
  }
  if (lock_.owns_lock()) lock_.unlock();
}

void WriteMessage(std::string_view text) {
  if (text.size() <= kOneWriteLimit) {
    // Not copied into a stream first: most messages are these.
    std::lock_guard<std::mutex> lock(OutputMutex());
    WriteInOneCall(text);
    return;
  }
  MessageStream message;
  message.Append(text);
  message.Finish();
}

void HoldOutput() {
  HoldLines();
  std::lock_guard<std::mutex> lock(OutputMutex());
  g_holdReplies = true;
}

void SendHeldOutput() {
  WriteHeldLines();
  std::lock_guard<std::mutex> lock(OutputMutex());
  g_holdReplies = false;
  WriteHeldReplies();
}

void SendStatus(int32_t code, const char* text) {
  std::string message = "{\"topic\":\"status\", \"code\":\"";
  message += std::to_string(code);
  message += "\", \"data\":\"";
  message += text;
  message += "\"}";
  WriteMessage(message);
}

namespace framing_internal {
void ResetForTests() {
  g_inputAtEnd = false;
  g_partial = PartialFrame();
  g_completing = false;
  g_outputBroken = false;
  g_holdReplies = false;
  g_heldReplies.clear();
  AllowWideEscapes(true);
}

bool AllowWideEscapes(bool allowed) {
#if defined(LUMICLIP_WIDE_ESCAPES)
  bool before = g_wideEscapesAllowed;
  g_wideEscapesAllowed = allowed;
  return before;
#else
  (void)allowed;
  return false;
#endif
}
}  // namespace framing_internal

}  // namespace lumiclip
