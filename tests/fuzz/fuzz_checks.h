// The properties the fuzz targets check, one function per target. Each takes
// one input, runs it through the host over a fresh FakeOs and returns an
// empty string when every property holds, or a description of the first one
// that does not. The fuzz targets abort on a description; the regression
// tests (tests/unit/fuzz_regressions_test.cpp) replay saved inputs through
// the same functions.
//
// Header only, so that both trees compile it without a library of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/builtin_commands.h"
#include "channel/channel.h"
#include "channel/text_escaping.h"
#include "channel/wire_format.h"
#include "channel/host_loop.h"
#include "channel/host_state.h"
#include "engine/engine_callback.h"
#include "engine/engine_loader.h"
#include "fake/escape_paths.h"
#include "fake/fake_os.h"
#include "install/payload.h"
#include "support/log.h"
#include "unit/fake_engine.h"

namespace lumiclip::fuzz {

// ===========================================================================
// Shared pieces
// ===========================================================================

// A fresh FakeOs installed, and the host's process-wide state as a new
// process has it; the state is cleared again on the way out so that whatever
// runs next (another input, another test) starts clean.
class Session {
 public:
  Session() : scoped_(os) { Reset(); }
  ~Session() {
    Reset();
    testing::CurrentFakeEngine() = nullptr;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  testing::FakeOs os;

 private:
  static void Reset() {
    log_internal::ResetForTests();
    ResetEngineForTests();
    ClearHeldCommandsForTests();
    StoredSetAddonVersionMessage().clear();
  }
  ScopedOs scoped_;
  ScopedChannel channel_;
};

// A short, printable picture of bytes for failure descriptions.
inline std::string Show(std::string_view bytes, size_t limit = 160) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  out += "\"";
  if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

// Length of the well-formed UTF-8 sequence starting at i (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0 when the bytes
// there do not form one.
inline size_t Utf8SequenceAt(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c == 0xE0) {
    n = 3;
    low = 0xA0;
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    n = 3;
  } else if (c == 0xED) {
    n = 3;
    high = 0x9F;
  } else if (c == 0xF0) {
    n = 4;
    low = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    n = 4;
  } else if (c == 0xF4) {
    n = 4;
    high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  unsigned char second = static_cast<unsigned char>(s[i + 1]);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

inline bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = Utf8SequenceAt(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// The replacement character U+FFFD, which stands for every byte that is
// not part of well-formed UTF-8.
constexpr char kReplacement[] = "\xef\xbf\xbd";

// The text with each byte that is not part of a well-formed sequence
// replaced by U+FFFD.
inline std::string ReferenceSanitize(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = Utf8SequenceAt(s, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

// JSON string escaping as the host's messages use it: backslash, quote, the
// short escapes, every other control character as \u00xx (lower-case hex),
// and each byte that is not part of well-formed UTF-8 as \ufffd.
inline std::string ReferenceJsonEscape(std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 16);
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      size_t n = Utf8SequenceAt(s, i);
      if (n == 0) {
        out += "\\ufffd";
      } else {
        out.append(s.substr(i, n));
        i += n - 1;
      }
      continue;
    }
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// UTF-16 to UTF-8, pairs joined, a lone surrogate as U+FFFD (what the system
// conversion does): the fake's, which models it.
inline std::string ReferenceUtf16ToUtf8(std::u16string_view text) { return testing::FakeOs::WideToUtf8(text); }

// One outbound frame as this minimal reader sees it: the 4-byte length, then
// exactly {"data":"<escaped>"}; the escaped text may hold no raw control
// character and no bare quote, and only the escapes \" \\ \/ \b \f \n \r \t
// and \uXXXX outside the surrogates (written out as UTF-8). Appends each
// frame's decoded data to chunks. Reads raw bytes as they are, whether or not
// they are UTF-8: that is checked apart.
inline std::string ReadOutboundFrames(const std::string& output, std::vector<std::string>* chunks,
                                      std::vector<size_t>* escapedSizes = nullptr) {
  static const char kHead[] = "{\"data\":\"";
  size_t at = 0;
  while (at < output.size()) {
    std::string where = "frame " + std::to_string(chunks->size()) + ": ";
    std::string_view body;
    switch (NextFrame(output, &at, &body)) {
      case FrameAt::kWhole: break;
      case FrameAt::kLengthCutShort: return where + "a length cut short";
      case FrameAt::kTooLong: return where + "longer than 1 MiB: " + std::to_string(FrameLength(&output[at]));
      case FrameAt::kBodyCutShort: return where + "cut short";
    }
    size_t n = body.size();
    if (n < 11 || body.substr(0, 9) != kHead || body.substr(n - 2) != "\"}") {
      return where + "not {\"data\":\"...\"}: " + Show(body);
    }
    std::string_view escaped = body.substr(9, n - 11);
    std::string data;
    for (size_t i = 0; i < escaped.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(escaped[i]);
      if (c < 0x20) return where + "a raw control character at " + std::to_string(i);
      if (c == '"') return where + "a bare quote at " + std::to_string(i);
      if (c != '\\') {
        data += static_cast<char>(c);
        continue;
      }
      if (i + 1 >= escaped.size()) return where + "a backslash at the end";
      char e = escaped[++i];
      switch (e) {
        case '"': data += '"'; break;
        case '\\': data += '\\'; break;
        case '/': data += '/'; break;
        case 'b': data += '\b'; break;
        case 'f': data += '\f'; break;
        case 'n': data += '\n'; break;
        case 'r': data += '\r'; break;
        case 't': data += '\t'; break;
        case 'u': {
          if (escaped.size() - i < 5) return where + "a \\u escape cut short";
          uint32_t v = 0;
          for (size_t k = 1; k <= 4; ++k) {
            char h = escaped[i + k];
            uint32_t d = h >= '0' && h <= '9'   ? static_cast<uint32_t>(h - '0')
                         : h >= 'a' && h <= 'f' ? static_cast<uint32_t>(h - 'a' + 10)
                         : h >= 'A' && h <= 'F' ? static_cast<uint32_t>(h - 'A' + 10)
                                                : 16u;
            if (d == 16u) return where + "a \\u escape with a non-hex digit";
            v = v << 4 | d;
          }
          if (v >= 0xD800 && v <= 0xDFFF) return where + "a \\u escape of a surrogate";
          if (v < 0x80) {
            data += static_cast<char>(v);
          } else if (v < 0x800) {
            data += static_cast<char>(0xC0 | (v >> 6));
            data += static_cast<char>(0x80 | (v & 0x3F));
          } else {
            data += static_cast<char>(0xE0 | (v >> 12));
            data += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
            data += static_cast<char>(0x80 | (v & 0x3F));
          }
          i += 4;
          break;
        }
        default:
          return where + "an unknown escape \\" + std::string(1, e);
      }
    }
    chunks->push_back(std::move(data));
    if (escapedSizes != nullptr) escapedSizes->push_back(escaped.size());
  }
  return std::string();
}

// ===========================================================================
// fuzz_write_message: one outbound message through WriteMessage
// ===========================================================================

// The message an input stands for: the bytes after the first. A first byte
// b of 0xC0 or more repeats them (cut off mid-copy) up to (b - 0xBF) * 31000
// bytes, so that small inputs make messages of up to 1.9 MB: from 0xDD on,
// more than one frame even without escapes.
inline std::string OutboundMessageOf(const uint8_t* data, size_t size) {
  if (size == 0) return std::string();
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] < 0xC0 || rest.empty()) return rest;
  size_t total = static_cast<size_t>(data[0] - 0xBF) * 31000;
  std::string message;
  message.reserve(total);
  while (message.size() + rest.size() <= total) message += rest;
  message.append(rest, 0, total - message.size());
  return message;
}

// What the browser must receive: the message itself when it is valid UTF-8,
// otherwise with each byte outside a well-formed sequence as U+FFFD; in
// frames of at most 1 MiB that each hold whole characters only, cut only
// when full.
inline std::string CheckWriteMessageText(const std::string& message) {
  Session session;
  // The unit loop's frames are checked; every other way of escaping that
  // the processor can run must write the same bytes.
  std::string output;
  for (EscapePath path : testing::EscapePathsHere()) {
    testing::ForcedEscapePath forced(path);
    session.os.output.clear();
    WriteMessage(message);
    if (path == EscapePath::kUnitLoop) {
      output = session.os.output;
    } else if (session.os.output != output) {
      return std::string("WriteMessage (") + EscapePathName(path) + ") wrote " +
             std::to_string(session.os.output.size()) + " bytes of frames, not the unit loop's " +
             std::to_string(output.size());
    }
  }

  std::vector<std::string> chunks;
  std::vector<size_t> escapedSizes;
  std::string error = ReadOutboundFrames(output, &chunks, &escapedSizes);
  if (!error.empty()) return "the frames do not read back: " + error;
  if (chunks.empty() || !chunks.back().empty()) return "no end frame closes the message";

  // Walk the message a character at a time (a well-formed sequence, or one
  // stray byte that must come out as U+FFFD) through the frames: each frame
  // must hold whole characters, and together exactly the message.
  size_t pos = 0;
  for (size_t i = 0; i + 1 < chunks.size(); ++i) {
    const std::string& chunk = chunks[i];
    std::string frame = "frame " + std::to_string(i);
    if (chunk.empty()) return frame + " is an empty data frame before the end";
    size_t start = pos;
    for (size_t o = 0; o < chunk.size();) {
      if (pos >= message.size()) return "the frames hold more than the message, from " + frame;
      size_t n = Utf8SequenceAt(message, pos);
      std::string_view unit = n == 0 ? std::string_view(kReplacement, 3) : std::string_view(message).substr(pos, n);
      if (chunk.compare(o, unit.size(), unit.data(), unit.size()) != 0) {
        bool cut = chunk.size() - o < unit.size() && chunk.compare(o, std::string::npos, unit.data(), chunk.size() - o) == 0;
        return frame + (cut ? " ends inside a character" : " differs from the message") + " at message byte " +
               std::to_string(pos) + ": " + Show(std::string_view(chunk).substr(o, 12)) + " for " +
               Show(std::string_view(message).substr(pos, 12));
      }
      o += unit.size();
      pos += n == 0 ? 1 : n;
    }
    size_t taken = pos - start;
    if (taken > kChunkLimit) {
      return frame + " holds " + std::to_string(taken) + " message bytes, over the chunk limit";
    }
    // Cut only when full: at the chunk limit less a character that would
    // pass it, or without room for the next character's escaped form.
    if (i + 2 < chunks.size() && taken + 3 < kChunkLimit && escapedSizes[i] + 6 <= kEscapedLimit) {
      return frame + " was cut early: " + std::to_string(taken) + " bytes, " +
             std::to_string(escapedSizes[i]) + " escaped";
    }
  }
  if (pos != message.size()) {
    return "the frames hold only " + std::to_string(pos) + " of the message's " + std::to_string(message.size()) +
           " bytes";
  }

  // The browser's own reading: every frame JSON with valid UTF-8 inside,
  // at most 1 MiB, the message whole.
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (!IsValidUtf8(chunks[i])) return "frame " + std::to_string(i) + " is not valid UTF-8";
  }
  std::string decodeError;
  std::vector<std::string> messages = testing::DecodeMessages(output, &decodeError);
  if (!decodeError.empty()) return "the output does not decode: " + decodeError;
  if (messages.size() != 1 || messages[0] != ReferenceSanitize(message)) {
    return "the output decodes to " + std::to_string(messages.size()) +
           " messages, not the one written";
  }
  return std::string();
}

// The same bytes read as UTF-16 units (little-endian pairs, up to a zero
// unit) and streamed into a topic with AppendUtf16: the frames must be those
// of the message converted as the system converts and then framed by the
// unit loop, on every way of escaping the processor can run.
inline std::string CheckUtf16Message(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit == 0) break;
    text += unit;
  }
  Session session;
  std::string expected;
  {
    testing::ForcedEscapePath forced(EscapePath::kUnitLoop);
    std::string message = "{\"topic\":\"t\", \"data\":\"";
    AppendJsonEscaped(session.os.WideToUtf8(text), message);
    message += "\"}";
    BuildMessageFrames(message, expected);
  }
  for (EscapePath path : testing::EscapePathsHere()) {
    session.os.output.clear();
    {
      testing::ForcedEscapePath forced(path);
      MessageStream stream;
      stream.Append("{\"topic\":\"t\", \"data\":\"");
      stream.AppendUtf16(text.c_str());
      stream.Append("\"}");
    }
    if (session.os.output != expected) {
      return std::string("AppendUtf16 (") + EscapePathName(path) + ") wrote " +
             std::to_string(session.os.output.size()) + " bytes of frames, not the " +
             std::to_string(expected.size()) + " of the message framed";
    }
  }
  return std::string();
}

inline std::string CheckWriteMessage(const uint8_t* data, size_t size) {
  std::string message = OutboundMessageOf(data, size);
  std::string failure = CheckWriteMessageText(message);
  return failure.empty() ? CheckUtf16Message(message) : failure;
}

// ===========================================================================
// fuzz_extract_command: ExtractCommand over a zero-terminated copy
// ===========================================================================

// An independent reading of the rule: within the zero-terminated text, the
// first "JSONCommand", the first `:"` from there, the word after it up to
// the next quote; nothing when any is missing, when the word does not start
// within the first length bytes, or when it is 260 bytes or longer.
inline std::string ReferenceCommand(std::string_view text, int64_t length) {
  size_t key = text.find("JSONCommand");
  if (key == std::string_view::npos) return std::string();
  size_t open = text.find(":\"", key);
  if (open == std::string_view::npos) return std::string();
  size_t word = open + 2;
  if (static_cast<int64_t>(word) >= length) return std::string();
  size_t close = text.find('"', word);
  if (close == std::string_view::npos) return std::string();
  if (close - word >= 260) return std::string();
  return std::string(text.substr(word, close - word));
}

inline std::string CheckExtractCommand(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFF0u) return std::string();
  // Exactly sized: the bytes and one zero, so that any read past the zero
  // is out of bounds.
  std::unique_ptr<char[]> buffer(new char[size + 1]);
  if (size > 0) std::memcpy(buffer.get(), data, size);
  buffer[size] = '\0';
  std::string_view text(buffer.get(), std::strlen(buffer.get()));

  uint32_t pick = size >= 2 ? static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 : 0;
  const int64_t lengths[] = {static_cast<int64_t>(size), static_cast<int64_t>(pick % (size + 1)), 0, -1};
  for (int64_t length : lengths) {
    std::string word = ExtractCommand(buffer.get(), static_cast<int32_t>(length));
    std::string at = " (length " + std::to_string(length) + ")";
    if (word.size() > 259) return "a command word of " + std::to_string(word.size()) + " bytes" + at;
    if (word.find('"') != std::string::npos) return "a command word holding a quote" + at;
    if (!word.empty()) {
      // Where it must be: right after the first `:"` that follows the first
      // "JSONCommand", and closed by a quote.
      size_t key = text.find("JSONCommand");
      size_t open = key == std::string_view::npos ? key : text.find(":\"", key);
      if (open == std::string_view::npos) return "a command word without JSONCommand and :\"" + at;
      if (text.compare(open + 2, word.size(), word) != 0 || open + 2 + word.size() >= text.size() ||
          text[open + 2 + word.size()] != '"') {
        return "the command word " + Show(word) + " is not the text after :\"" + at;
      }
    }
    std::string expected = ReferenceCommand(text, length);
    if (word != expected) return "command " + Show(word) + ", expected " + Show(expected) + at;
  }
  return std::string();
}

// ===========================================================================
// fuzz_payload: base64 payloads, decoded directly and saved over FakeOs
// ===========================================================================

struct ReferenceBase64 {
  bool valid = false;
  std::string bytes;
  bool closed = false;  // a quote ended the text
  size_t stop = 0;      // offset of that quote, or the text's size
};

inline int ReferenceBase64Value(unsigned char c) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) {
    if (static_cast<unsigned char>(kAlphabet[i]) == c) return i;
  }
  return -1;
}

// The text up to its end or its first quote is valid when it is alphabet
// characters ("\/" counting as one "/"), then at most two "=" that make the
// count a multiple of four, and nothing else; without padding, a count one
// over a multiple of four drops its last character.
inline ReferenceBase64 ReferenceDecodeBase64(std::string_view text) {
  ReferenceBase64 r;
  std::vector<int> values;
  size_t pads = 0;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      r.closed = true;
      break;
    }
    if (c == '=') {
      ++pads;
      ++i;
      continue;
    }
    if (pads > 0) return r;  // something after the padding
    int v = -1;
    if (c == '\\') {
      if (i + 1 < text.size() && text[i + 1] == '/') {
        v = 63;
        i += 2;
      } else {
        return r;
      }
    } else {
      v = ReferenceBase64Value(c);
      if (v < 0) return r;
      ++i;
    }
    values.push_back(v);
  }
  r.stop = i;
  size_t rest = values.size() % 4;
  if (pads > 0 && !(pads <= 2 && rest >= 2 && rest + pads == 4)) return r;
  r.valid = true;
  uint32_t bits = 0;
  int held = 0;
  for (int v : values) {
    bits = (bits << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
    held += 6;
    if (held >= 8) {
      held -= 8;
      r.bytes += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return r;
}

inline std::string ReferenceEncodeBase64(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int held = 0;
  for (char ch : bytes) {
    bits = (bits << 8 | static_cast<unsigned char>(ch)) & 0xFFFF;
    held += 8;
    while (held >= 6) {
      held -= 6;
      out += kAlphabet[(bits >> held) & 0x3F];
    }
  }
  if (held > 0) out += kAlphabet[(bits << (6 - held)) & 0x3F];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

// DecodeBase64 on text in a buffer of exactly its size, output in one of
// exactly Base64OutputBound bytes; and in place, as the host decodes.
struct HostDecoded {
  Base64Result result;
  std::string bytes;
  size_t stop = 0;
  bool inPlaceDiffers = false;
};
inline HostDecoded HostDecodeBase64(std::string_view text) {
  size_t n = text.size();
  std::unique_ptr<char[]> in(new char[n == 0 ? 1 : n]);
  if (n > 0) std::memcpy(in.get(), text.data(), n);
  size_t bound = Base64OutputBound(n);
  std::unique_ptr<unsigned char[]> out(new unsigned char[bound]);
  HostDecoded d;
  d.result = DecodeBase64(in.get(), in.get() + n, out.get());
  d.stop = static_cast<size_t>(d.result.stop - in.get());
  if (d.result.error == nullptr && d.result.size <= bound) {
    d.bytes.assign(reinterpret_cast<const char*>(out.get()), d.result.size);
  }
  std::unique_ptr<char[]> place(new char[n == 0 ? 1 : n]);
  if (n > 0) std::memcpy(place.get(), text.data(), n);
  Base64Result r = DecodeBase64(place.get(), place.get() + n, reinterpret_cast<unsigned char*>(place.get()));
  d.inPlaceDiffers = r.size != d.result.size || r.stop - place.get() != d.result.stop - in.get() ||
                     r.closed != d.result.closed || (r.error == nullptr) != (d.result.error == nullptr) ||
                     (r.error == nullptr && std::string_view(place.get(), r.size) != d.bytes);
  return d;
}

inline std::string CompareDecoding(std::string_view text, const char* what) {
  ReferenceBase64 want = ReferenceDecodeBase64(text);
  HostDecoded got = HostDecodeBase64(text);
  std::string at = std::string(" (") + what + " " + Show(text, 80) + ")";
  if (got.result.size > Base64OutputBound(text.size())) return "decoded size past the bound" + at;
  if (got.inPlaceDiffers) return "decoding in place gave another result" + at;
  if (want.valid != (got.result.error == nullptr)) {
    return std::string(want.valid ? "valid base64 refused: " : "invalid base64 accepted") +
           (got.result.error ? got.result.error : "") + at;
  }
  if (!want.valid) return std::string();
  if (got.bytes != want.bytes) return "decoded " + Show(got.bytes) + ", expected " + Show(want.bytes) + at;
  if (got.result.closed != want.closed) return "closed flag wrong" + at;
  if (got.stop != want.stop) {
    return "stopped at " + std::to_string(got.stop) + ", expected " + std::to_string(want.stop) + at;
  }
  return std::string();
}

inline std::string CheckPayload(const uint8_t* data, size_t size) {
  std::string payload(reinterpret_cast<const char*>(data), size);

  // DecodeBase64 directly, on the bytes as they are.
  std::string error = CompareDecoding(payload, "the input");
  if (!error.empty()) return error;

  // Round trips: the input encoded, padded, unpadded, with escaped slashes,
  // and with one more character than a whole group, which is dropped.
  std::string encoded = ReferenceEncodeBase64(payload);
  std::string unpadded = encoded.substr(0, encoded.find('='));
  std::string escaped;
  for (char c : encoded) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  std::string oneOver = unpadded.size() % 4 == 0 ? unpadded + "Q" : unpadded;
  const std::pair<const char*, const std::string*> trips[] = {
      {"padded", &encoded}, {"unpadded", &unpadded}, {"escaped", &escaped}, {"one over", &oneOver}};
  for (const auto& [name, text] : trips) {
    HostDecoded got = HostDecodeBase64(*text);
    if (got.result.error != nullptr) {
      return std::string("round trip (") + name + ") refused: " + got.result.error;
    }
    if (got.bytes != payload || got.result.closed) {
      return std::string("round trip (") + name + ") decoded " + Show(got.bytes) + ", not the input";
    }
  }

  // The bytes as the payload of an update request, saved over an old file.
  Session session;
  const std::string target = "C:\\Host\\RAZ.dll";
  const std::string old = std::string("MZ old engine\0\xff\x01", 16);
  session.os.AddFile(target, old);
  std::string message = "{\"JSONCommand\":\"updateDLL\",\"data\":\"" + payload + "\"}";
  std::unique_ptr<char[]> text(new char[message.size() + 1]);
  std::memcpy(text.get(), message.c_str(), message.size() + 1);
  HostState state;
  bool saved = SavePayloadFile(text.get(), static_cast<int32_t>(message.size()), target.c_str(), state);

  ReferenceBase64 want = ReferenceDecodeBase64(payload + "\"}");
  bool shouldSave = want.valid && want.stop > 0;  // an empty payload is refused
  if (saved != shouldSave) {
    return std::string(shouldSave ? "valid payload not saved" : "invalid payload saved") + " " +
           Show(payload, 80);
  }
  std::string now = session.os.FileText(target);
  if (!session.os.HasFile(target)) return "the target file is gone";
  if (shouldSave && now != want.bytes) {
    return "the saved file holds " + Show(now) + ", expected " + Show(want.bytes);
  }
  if (!shouldSave && now != old) return "a refused payload changed the old file to " + Show(now);
  for (const auto& [name, bytes] : session.os.files) {
    (void)bytes;
    if (name != testing::FakeOs::Lower(target) && name != "c:\\host\\native-lumiclip.log") {
      return "a file left behind: " + name;
    }
  }
  return std::string();
}

// ===========================================================================
// fuzz_host_input: arbitrary standard input to host mode, a fake engine
// ===========================================================================

constexpr const char kPumpTopic[] = "_internalPumpMessage";
// The fake engine pumps only this deep: every level is a request read
// inside the previous one's call, and the stack is not endless.
constexpr int kMaxPumpDepth = 4;
constexpr size_t kTopicLimit = 3000;

constexpr const char kHostVersion[] = "0.98.93";

// The topic the fake engine echoes a request as: its text up to the first
// zero, cut at a few thousand bytes (maybe inside a UTF-8 sequence; the
// bytes need not be UTF-8 at all).
inline std::string EchoTopic(const std::string& text) {
  std::string topic(text.c_str(), std::min(std::strlen(text.c_str()), kTopicLimit));
  if (topic == kPumpTopic || topic == "from-start") topic += '!';
  return topic;
}

// The UTF-16 data the fake engine sends with it, by mode: none, every byte
// widened (controls and Latin-1 included), pairs of bytes as code units
// (surrogates, lone or paired), or a fixed awkward text and the bytes.
inline std::u16string EchoData(const std::string& text, int mode) {
  std::u16string data;
  if (mode == 3) data = u"\x01\x1f\"\\\n\t\r\b\f\u00e9\u20ac\U0001F600\xD800x\xDC00";
  if (mode == 1 || mode == 3) {
    for (char c : text) {
      if (c != '\0') data += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
  } else if (mode == 2) {
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
      char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                            static_cast<unsigned char>(text[i + 1]) << 8);
      if (unit != 0) data += unit;
    }
  }
  return data;
}

inline std::string TopicMessage(const std::string& topic, const std::u16string& data) {
  return "{\"topic\":\"" + ReferenceJsonEscape(topic) + "\", \"data\":\"" +
         ReferenceJsonEscape(ReferenceUtf16ToUtf8(data)) + "\"}";
}

inline std::string StatusMessage(int code, const std::string& text) {
  return "{\"topic\":\"status\", \"code\":\"" + std::to_string(code) + "\", \"data\":\"" + text + "\"}";
}

// Every message the host itself may write.
inline bool IsHostMessage(const std::string& m) {
  const std::string known[] = {
      std::string("{\"topic\":\"hostVersion\", \"data\":\"") + kHostVersion + "\"}",
      "{\"topic\":\"getDLL\"}",
      "{\"topic\":\"pong\"}",
      StatusMessage(0, kHostVersion),
      StatusMessage(1, "Error updating RAZ.dll"),
      StatusMessage(1, "Error writing staged native file"),
      StatusMessage(1, "Error executing staged native file")};
  for (const std::string& k : known) {
    if (m == k) return true;
  }
  return false;
}

// Input layout: byte 0 holds the count of leading chunks (bits 0-2), whether
// the engine file is missing (bit 3), whether the engine's init fails (bit
// 4), whether its finish pumps and sends a topic (bit 5) and whether its
// start sends one, which must be dropped (bit 6); the next that many bytes
// give those chunks' sizes; the rest is standard input, arriving in those
// chunks and then one more with the rest.
inline std::string CheckHostInput(const uint8_t* data, size_t size) {
  if (size == 0) return std::string();
  uint8_t flags = data[0];
  size_t cuts = flags & 7u;
  if (size < 1 + cuts) return std::string();
  std::vector<size_t> sizes;
  for (size_t i = 0; i < cuts; ++i) {
    uint8_t b = data[1 + i];
    sizes.push_back(b < 0x80 ? size_t{1} + b : static_cast<size_t>(b - 0x7F) * 509);
  }
  std::string input(reinterpret_cast<const char*>(data) + 1 + cuts, size - 1 - cuts);

  Session session;
  testing::FakeOs& os = session.os;
  os.versions["c:\\host\\lumiclip-chrome-plugin.exe"] = {
      {"\\VarFileInfo\\Translation", std::string("\0\0\xb0\x04", 4)},
      {"\\StringFileInfo\\000004b0\\LumiclipInternalVersion", std::string(kHostVersion) + '\0'}};
  testing::FakeEngine engine;
  engine.Install(os);
  bool engineMissing = (flags & 8u) != 0;
  if (engineMissing) os.files.erase("c:\\host\\raz.dll");
  engine.initFails = (flags & 16u) != 0;
  bool finishTalks = (flags & 32u) != 0;
  bool startTalks = (flags & 64u) != 0;

  std::string failure;
  std::vector<std::string> expected;  // what the engine emitted, in order
  auto emit = [&](const char* topic, const std::u16string* data16) {
    engine.Emit(topic, data16 == nullptr ? nullptr : data16->c_str());
  };
  // Sends a topic that must come out as exactly one message, right away.
  auto emitChecked = [&](const std::string& topic, const std::u16string* data16) {
    std::string want = TopicMessage(topic, data16 == nullptr ? std::u16string() : *data16);
    size_t before = os.output.size();
    emit(topic.c_str(), data16);
    std::string error;
    std::vector<std::string> written = testing::DecodeMessages(os.output.substr(before), &error);
    if (!failure.empty()) return;
    if (!error.empty()) {
      failure = "an engine message does not decode: " + error + ", topic " + Show(topic);
    } else if (written.size() != 1 || written[0] != want) {
      failure = "the engine's message came out as " +
                (written.size() == 1 ? Show(written[0]) : std::to_string(written.size()) + " messages") +
                ", expected " + Show(want);
    }
    expected.push_back(want);
  };
  // The engine's reaction depends on the request: its last byte and its
  // length pick the data, pumps before or after the echo, or silence.
  engine.inCall = [&](const std::string& text) {
    if (text.empty() || !failure.empty()) return;
    unsigned char pick = static_cast<unsigned char>(text.back()) ^ static_cast<unsigned char>(text.size() & 0xFF);
    int mode = pick & 3;
    bool pumpBefore = (pick & 4) != 0;
    bool pumpAfter = (pick & 8) != 0;
    bool silent = (pick & 0x30) == 0x30;
    if (pumpBefore && engine.depth <= kMaxPumpDepth) emit(kPumpTopic, nullptr);
    if (!silent) {
      std::u16string data16 = EchoData(text, mode);
      emitChecked(EchoTopic(text), mode == 0 ? nullptr : &data16);
    }
    if (pumpAfter && engine.depth <= kMaxPumpDepth) emit(kPumpTopic, nullptr);
  };
  engine.inFinish = [&] {
    if (engine.depth != 0 && failure.empty()) failure = "the engine was finished inside its own call";
    if (finishTalks) {
      emit(kPumpTopic, nullptr);
      std::u16string bye = u"finishing \u00e9";
      emitChecked("from-finish", &bye);
    }
  };
  // Nothing the engine sends while it starts reaches the browser: the host
  // has no state for it yet.
  const std::string fromStart = "{\"topic\":\"from-start\", \"data\":\"\"}";
  engine.inStart = [&] {
    if (startTalks) emit("from-start", nullptr);
  };

  size_t at = 0;
  for (size_t n : sizes) {
    size_t take = std::min(n, input.size() - at);
    os.Arrive(input.substr(at, take));
    at += take;
  }
  os.Arrive(input.substr(at));

  RunHostMode();

  if (!failure.empty()) return failure;
  if (EngineCallInProgress()) return "an engine call still counted as running after host mode";
  if (HeldCommandCount() != 0) return std::to_string(HeldCommandCount()) + " held commands left behind";

  std::string error;
  std::vector<std::string> messages = testing::DecodeMessages(os.output, &error);
  if (!error.empty()) return "the output does not decode: " + error;
  std::string hello = std::string("{\"topic\":\"hostVersion\", \"data\":\"") + kHostVersion + "\"}";
  std::string second = engineMissing ? "{\"topic\":\"getDLL\"}" : StatusMessage(0, kHostVersion);
  if (messages.size() < 2 || messages[0] != hello || messages[1] != second) {
    return "host mode did not start with the announcement: " +
           (messages.empty() ? std::string("no message") : Show(messages[0]));
  }
  size_t next = 0;
  for (size_t i = 2; i < messages.size(); ++i) {
    const std::string& m = messages[i];
    if (m == fromStart) return "a topic sent during start reached the browser";
    if (next < expected.size() && m == expected[next]) {
      ++next;
      continue;
    }
    if (!IsHostMessage(m)) return "message " + std::to_string(i) + " is neither the host's nor the engine's: " + Show(m);
    if (!nlohmann::json::accept(m)) return "message " + std::to_string(i) + " is not JSON: " + Show(m);
  }
  if (next != expected.size()) {
    return std::to_string(expected.size() - next) + " engine messages missing from the output";
  }
  for (size_t i = 0; i < messages.size(); ++i) {
    if (!nlohmann::json::accept(messages[i])) return "message " + std::to_string(i) + " is not JSON: " + Show(messages[i]);
  }
  return std::string();
}

// ===========================================================================
// fuzz_engine_reentry: an engine whose callbacks, pumps and window messages
// come from the input, with updates among the waiting requests
// ===========================================================================

// One waiting request of the script.
struct ReentryFrame {
  enum Kind { kEngine, kPing, kUpdateDll, kBadUpdateDll, kUpdateNative, kAddonVersion };
  Kind kind = kEngine;
  std::string body;
  std::string script;  // what the engine does in the call for it
  bool breakAfter = false;  // the next frames arrive only at a later window-message pump
  size_t bodyStart = 0;     // offset of the body in the input stream
};

inline bool ReentryCloses(ReentryFrame::Kind kind) {
  return kind == ReentryFrame::kBadUpdateDll || kind == ReentryFrame::kUpdateNative;
}

// Input layout: byte 0 holds flags: the engine's start pumps and talks (bit
// 0), its finish pumps (bit 1) and talks (bit 2), its init leaves start empty
// (bit 3); the body of the frame chosen by bits 4-7 (1-15; 0: none) cannot
// be read (its buffer cannot grow). Then frames, each a head byte (kind in
// bits 0-2: 0-2 an engine request, 3 ping, 4 a valid updateDLL, 5 an
// invalid one, 6 updateNative, 7 setAddonVersion; bit 3: the frames after it
// arrive at a later window-message pump), a length byte (bits 0-4) and that
// many script bytes.
//
// A script byte b is an action of engine code, by b % 5: 0 ask for a pump;
// 1 send a topic; 2 post a window message whose procedure runs the next
// 1 + (b >> 3) % 4 bytes as its script (the engine's windows die at finish);
// 3 run a message loop of its own (dispatching what is posted); 4 ask for
// 1 + (b >> 3) % 8 pumps in a row.
//
// Properties: the engine is never released while any of its code is on the
// stack; finish runs with none of it; pumps nest within the bound; no
// request is handled while an update is held; the requests read are a
// prefix of the input, each handled exactly once, and the rest is unread
// only when a closing command or a lost body ended host mode; host mode
// ends with the engine released and nothing held; the output decodes.
inline std::string CheckEngineReentry(const uint8_t* data, size_t size) {
  if (size == 0) return std::string();
  const uint8_t flags = data[0];
  const bool startTalks = (flags & 1u) != 0;
  const bool finishPumps = (flags & 2u) != 0;
  const bool finishTalks = (flags & 4u) != 0;
  const bool noStart = (flags & 8u) != 0;
  size_t lostFrame = flags >> 4 == 0 ? SIZE_MAX : static_cast<size_t>((flags >> 4) - 1);

  std::vector<ReentryFrame> frames;
  std::string stream;
  for (size_t at = 1; at + 1 < size && frames.size() < 200;) {
    const uint8_t head = data[at];
    const size_t n = std::min<size_t>(data[at + 1] & 31u, size - at - 2);
    ReentryFrame f;
    f.script.assign(reinterpret_cast<const char*>(data) + at + 2, n);
    at += 2 + n;
    f.breakAfter = (head & 8u) != 0;
    const std::string id = "\"n\":" + std::to_string(frames.size());
    switch (head & 7u) {
      case 3: f.kind = ReentryFrame::kPing; f.body = "{\"JSONCommand\":\"ping\"," + id + "}"; break;
      case 4:
        f.kind = ReentryFrame::kUpdateDll;
        f.body = "{\"JSONCommand\":\"updateDLL\"," + id + ",\"data\":\"YWJj\"}";
        break;
      case 5:
        f.kind = ReentryFrame::kBadUpdateDll;
        f.body = "{\"JSONCommand\":\"updateDLL\"," + id + ",\"data\":\"YW*J\"}";
        break;
      case 6:
        f.kind = ReentryFrame::kUpdateNative;
        f.body = "{\"JSONCommand\":\"updateNative\"," + id + ",\"data\":\"TVqQ\"}";
        break;
      case 7: f.kind = ReentryFrame::kAddonVersion; f.body = "{\"JSONCommand\":\"setAddonVersion\"," + id + "}"; break;
      default: f.kind = ReentryFrame::kEngine; f.body = "{\"JSONFunction\":\"f\"," + id + "}"; break;
    }
    f.bodyStart = stream.size() + 4;
    stream += testing::FrameOf(f.body);
    frames.push_back(std::move(f));
  }
  if (lostFrame >= frames.size()) lostFrame = SIZE_MAX;
  // The input in batches: the first arrives at once, each later one at a
  // window-message pump.
  std::vector<std::string> batches(1);
  size_t streamAt = 0;
  for (const ReentryFrame& f : frames) {
    size_t end = f.bodyStart + f.body.size();
    batches.back() += stream.substr(streamAt, end - streamAt);
    streamAt = end;
    if (f.breakAfter) batches.emplace_back();
  }

  Session session;
  testing::FakeOs& os = session.os;
  testing::FakeEngine engine;
  engine.Install(os);
  engine.noStart = noStart;
  testing::FakeModule& module = os.modules["c:\\host\\raz.dll"];

  std::string failure;
  auto fail = [&failure](const std::string& what) {
    if (failure.empty()) failure = what;
  };
  int engineFrames = 0;  // engine code now on the stack (call, window procedure)
  std::deque<std::string> posted;  // window messages waiting for dispatch
  std::map<size_t, int> calls;     // engine requests by frame, calls of the engine for each
  size_t topics = 0;

  std::function<void(const std::string&)> runScript;
  auto engineCode = [&](const std::string& script, const char* where) {
    ++engineFrames;
    // The host's bound (the fake engine of fuzz_host_input has its own).
    constexpr int kBound = ::lumiclip::kMaxPumpDepth;
    if (PumpDepth() > kBound) fail("pumps nested " + std::to_string(PumpDepth()) + " deep");
    if (engine.depth > kBound + 1) fail("engine calls nested " + std::to_string(engine.depth) + " deep");
    runScript(script);
    if (module.releases >= module.loads) fail(std::string("the engine was released under its ") + where);
    --engineFrames;
  };
  runScript = [&](const std::string& script) {
    for (size_t i = 0; i < script.size() && failure.empty(); ++i) {
      const uint8_t b = static_cast<uint8_t>(script[i]);
      switch (b % 5) {
        case 0: engine.Emit("_internalPumpMessage", nullptr); break;
        case 1:
          ++topics;
          engine.Emit("t", u"d");
          break;
        case 2: {
          size_t k = std::min<size_t>(1 + (b >> 3) % 4, script.size() - i - 1);
          posted.push_back(script.substr(i + 1, k));
          i += k;
          break;
        }
        case 3: os.PumpWindowMessages(); break;
        default:
          for (int r = 0; r < 1 + (b >> 3) % 8; ++r) engine.Emit("_internalPumpMessage", nullptr);
          break;
      }
    }
  };

  engine.inStart = [&] {
    if (!startTalks) return;
    engine.Emit("_internalPumpMessage", nullptr);
    engine.Emit("from-start", nullptr);
  };
  engine.inFinish = [&] {
    if (engineFrames != 0) fail("finish ran with engine code on the stack");
    posted.clear();  // the engine's windows go with it
    if (finishPumps) engine.Emit("_internalPumpMessage", nullptr);
    if (finishTalks) engine.Emit("from-finish", nullptr);
  };
  engine.inCall = [&](const std::string& text) {
    size_t key = text.find("\"n\":");
    if (key == std::string::npos || text.find("JSONFunction") == std::string::npos) return;  // the replay
    if (HeldCommandCount() != 0) fail("a request was handled while an update was held");
    size_t id = static_cast<size_t>(std::atoi(text.c_str() + key + 4));
    if (id >= frames.size()) return fail("the engine got a request that was never sent: " + Show(text));
    ++calls[id];
    engineCode(frames[id].script, "call");
  };

  size_t arrived = 0;
  size_t nextBatch = 0;
  auto deliver = [&] {
    os.Arrive(batches[nextBatch]);
    arrived += batches[nextBatch].size();
    if (++nextBatch == batches.size()) os.inputClosed = true;
  };
  os.inputClosed = false;
  deliver();
  os.onPumpMessages = [&] {
    if (nextBatch < batches.size()) deliver();
    while (!posted.empty() && failure.empty()) {
      std::string script = posted.front();
      posted.pop_front();
      engineCode(script, "window procedure");
    }
  };
  const size_t lostAt = lostFrame == SIZE_MAX ? SIZE_MAX : frames[lostFrame].bodyStart;
  // The lost frame's body buffer cannot be had: it is asked for once the
  // host has taken the stream up to the body's start.
  TheChannel().reader.beforeBodyBuffer = [&](size_t) {
    if (arrived - os.Untaken().size() == lostAt) throw std::bad_alloc();
  };

  RunHostMode();

  if (!failure.empty()) return failure;
  if (EngineCallInProgress()) return "engine code still counted on the stack after host mode";
  if (HeldCommandCount() != 0) return std::to_string(HeldCommandCount()) + " held commands left behind";
  if (CurrentHostState() != nullptr) return "a current host state left after host mode";
  if (module.releases != module.loads) {
    return "the engine loaded " + std::to_string(module.loads) + " times, released " +
           std::to_string(module.releases);
  }

  // The requests read, from the log: each body is logged as it is read.
  std::string log = os.Log();
  std::vector<size_t> read;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    at = end + 2;
    size_t key = line.find("\"n\":");
    if (line.rfind("{\"JSON", 0) == 0 && key != std::string::npos) {
      read.push_back(static_cast<size_t>(std::atoi(line.c_str() + key + 4)));
    }
  }
  for (size_t i = 0; i < read.size(); ++i) {
    if (read[i] != i) return "request " + std::to_string(read[i]) + " read as number " + std::to_string(i);
  }
  const size_t count = read.size();
  const bool closed = count > 0 && ReentryCloses(frames[count - 1].kind);
  if (count > lostFrame) return "a request after a lost body was read";
  if (count == lostFrame && !closed && !InputAtEnd()) return "a lost body left the input open";
  for (size_t i = 0; i + 1 < count; ++i) {
    if (ReentryCloses(frames[i].kind)) return "request " + std::to_string(i + 1) + " read after a closing command";
  }
  if (count < frames.size() && count != lostFrame && !closed) {
    return "host mode ended with request " + std::to_string(count) + " unread";
  }
  size_t pings = 0, updates = 0, natives = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    int want = i < count && frames[i].kind == ReentryFrame::kEngine && !noStart ? 1 : 0;
    if (calls[i] != want) {
      return "request " + std::to_string(i) + " reached the engine " + std::to_string(calls[i]) + " times";
    }
    if (i >= count) continue;
    pings += frames[i].kind == ReentryFrame::kPing;
    updates += frames[i].kind == ReentryFrame::kUpdateDll || frames[i].kind == ReentryFrame::kBadUpdateDll;
    natives += frames[i].kind == ReentryFrame::kUpdateNative;
  }
  auto lines = [&log](const std::string& line) {
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  };
  if (lines("Updating raz.dll...\r\n") != updates) return "updateDLL not carried out once per request";
  if (lines("Updating myself...\r\n") != natives) return "updateNative not carried out once per request";
  if (lines("Held command dropped") != 0) return "a held command was dropped";

  std::string error;
  std::vector<std::string> messages = testing::DecodeMessages(os.output, &error);
  if (!error.empty()) return "the output does not decode: " + error;
  size_t pongs = static_cast<size_t>(std::count(messages.begin(), messages.end(), "{\"topic\":\"pong\"}"));
  if (pongs != pings) return std::to_string(pongs) + " pongs for " + std::to_string(pings) + " pings";
  size_t engineTopics = static_cast<size_t>(
      std::count(messages.begin(), messages.end(), "{\"topic\":\"t\", \"data\":\"d\"}"));
  if (engineTopics > topics) return "more engine topics than were sent";
  for (const std::string& m : messages) {
    if (m.find("from-start") != std::string::npos) return "a topic sent during start reached the browser";
  }
  return std::string();
}

}  // namespace lumiclip::fuzz
