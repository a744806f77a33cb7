// The browser's native-messaging framing as this host speaks it, in both
// directions:
//
//   inbound     := frame*
//   frame       := length body
//   length      := 4 bytes, a signed 32-bit integer, little-endian
//   body        := length bytes of UTF-8 JSON (none when length <= 0)
//
//   outbound    := message*
//   message     := data-frame* end-frame
//   data-frame  := length '{"data":"' chunk '"}'
//   end-frame   := 0B 00 00 00 '{"data":""}'
//
// A chunk is the next piece of the message's text, JSON-escaped: at most
// kChunkLimit bytes of text, never cut inside a UTF-8 sequence, and cut
// earlier where its escaped form would pass kEscapedLimit, so that no frame
// passes the browser's kFrameLimit. The receiver joins the decoded chunks up
// to the end frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumiclip {

constexpr size_t kChunkLimit = 921600;   // message bytes per data frame
constexpr size_t kFrameLimit = 1048576;  // the browser's limit for one frame
constexpr size_t kFrameOverhead = 11;    // {"data":" and "}
constexpr size_t kEscapedLimit = kFrameLimit - kFrameOverhead;

constexpr char kFrameHead[] = "{\"data\":\"";  // 9 bytes
constexpr char kFrameTail[] = "\"}";
constexpr char kEndFrame[] = "\x0b\x00\x00\x00{\"data\":\"\"}";
constexpr size_t kEndFrameSize = 4 + 11;

// The length in a frame's first 4 bytes.
inline uint32_t FrameLength(const char* head) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(head);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

// The next frame of an outbound stream, for those who read what the host
// wrote (tests, tools): what lies at *at in stream.
enum class FrameAt {
  kWhole,          // *body is the frame's body, *at is past it
  kLengthCutShort, // fewer than 4 bytes are left
  kBodyCutShort,   // the body is not all there (yet)
  kTooLong,        // the length passes limit
};
inline FrameAt NextFrame(std::string_view stream, size_t* at, std::string_view* body,
                         size_t limit = kFrameLimit) {
  if (stream.size() - *at < 4) return FrameAt::kLengthCutShort;
  uint32_t n = FrameLength(stream.data() + *at);
  if (n > limit) return FrameAt::kTooLong;
  if (stream.size() - *at - 4 < n) return FrameAt::kBodyCutShort;
  *body = stream.substr(*at + 4, n);
  *at += 4 + n;
  return FrameAt::kWhole;
}

inline void PutFrameLength(char* p, uint32_t n) {
  p[0] = static_cast<char>(n & 0xFF);
  p[1] = static_cast<char>((n >> 8) & 0xFF);
  p[2] = static_cast<char>((n >> 16) & 0xFF);
  p[3] = static_cast<char>((n >> 24) & 0xFF);
}

}  // namespace lumiclip
