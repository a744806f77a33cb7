#include "channel/framing.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
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
// Room past a frame's end for the 8-byte stores of the double escaping.
constexpr size_t kSlack = 8;

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

// Writes the UTF-8 form of unit c, from 0x80 up, at out: with the unit after
// it (next, 0 at the text's end) when the two form a surrogate pair, which
// sets *pair; a surrogate that is not half of a pair becomes U+FFFD, as the
// system converts it. Returns the end of what it wrote.
inline char* PutUtf8(uint32_t c, uint32_t next, char* out, bool* pair) {
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
LUMICLIP_UNCHECKED_READS inline bool PutPlainAscii16(const char16_t* src, char* out) {
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
LUMICLIP_UNCHECKED_READS size_t EscapeUtf16(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                                            size_t* outBytes, bool* ended) {
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
            EscapeUtf16<true>(text, room, OutputBuffer() + 13 + escapedBytes_, &message, &wire, &ended);
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
}
}  // namespace framing_internal

}  // namespace lumiclip
