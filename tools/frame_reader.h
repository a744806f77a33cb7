// Decoding of what the host writes to its standard output, as the browser
// sees it: 4-byte little-endian length + body frames, each body a JSON object
// {"data":"<escaped chunk>"}, a message being its data frames joined and
// closed by the end frame {"data":""}. Portable (no windows.h) so that it
// can be tested natively; the tools feed it from their pipes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumiclip_tools {

// The browser refuses any frame from the host that is longer than this.
constexpr uint32_t kBrowserFrameLimit = 1048576;
// Past this length a frame is not buffered at all: the stream is taken as
// garbage and the rest of it is ignored.
constexpr uint32_t kHardFrameLimit = 64u * 1048576u;
// How much of a bad frame is quoted in a report.
constexpr size_t kQuoteLimit = 200;

// 4-byte little-endian length followed by the body.
std::string EncodeFrame(const std::string& body);

enum class FrameKind { Data, End, Invalid };
// Classifies one frame body; for Data, *chunk receives the decoded data
// string (UTF-8, escapes resolved).
FrameKind ParseDataFrame(const std::string& body, std::string* chunk);

// The tools' report lines, each ending in "\n".
std::string FormatRawFrame(const std::string& body);                    // "<length> <body>"
std::string FormatInvalidFrame(const std::string& body);                // "!invalid frame ..."
std::string FormatOversizedFrame(uint32_t length);                      // "!oversized frame ..."
std::string FormatTruncatedFrame(uint32_t length, size_t received);     // "!truncated frame ..."
std::string FormatUnterminatedMessage(const std::string& partial);      // "!unterminated message: ..."

// Receives what the decoder finds, in stream order.
class DecoderSink {
 public:
  virtual ~DecoderSink() = default;
  // Every complete frame, in raw mode only.
  virtual void OnRawFrame(const std::string& body) { (void)body; }
  // A whole message (its data chunks joined), in message mode only.
  virtual void OnMessage(const std::string& text) { (void)text; }
  // A body that is not JSON, not an object, or has no string "data".
  virtual void OnInvalidFrame(const std::string& body) { (void)body; }
  // A frame over the browser's limit; it is still decoded after this.
  virtual void OnOversizedFrame(uint32_t length) { (void)length; }
  // A length past kHardFrameLimit: nothing after it is decoded.
  virtual void OnUnreadableStream(uint32_t length) { (void)length; }
  // At the end: a frame cut short (received counts header and body bytes).
  virtual void OnTruncatedFrame(uint32_t length, size_t received) {
    (void)length;
    (void)received;
  }
  // At the end: data frames with no end frame after them.
  virtual void OnUnterminatedMessage(const std::string& partial) { (void)partial; }
};

enum class DecodeMode { Messages, Raw };

// Incremental: bytes may arrive split anywhere, frames and messages are
// reported as soon as they are complete.
class FrameDecoder {
 public:
  FrameDecoder(DecodeMode mode, DecoderSink& sink,
               uint32_t frameLimit = kBrowserFrameLimit,
               uint32_t hardLimit = kHardFrameLimit);

  void Feed(const char* data, size_t size);
  // End of the stream: reports a partial frame or message left over.
  void Finish();

  size_t frames() const { return frames_; }
  size_t messages() const { return messages_; }
  // Invalid, oversized, truncated frames and an unreadable stream; an
  // unterminated message is not counted here.
  size_t faults() const { return faults_; }

 private:
  void HandleFrame(const std::string& body);

  DecodeMode mode_;
  DecoderSink& sink_;
  uint32_t frameLimit_;
  uint32_t hardLimit_;
  std::string buffer_;   // unconsumed bytes, from offset_ on
  size_t offset_ = 0;
  std::string message_;  // chunks of the message in progress
  bool inMessage_ = false;
  bool dead_ = false;
  bool finished_ = false;
  size_t frames_ = 0;
  size_t messages_ = 0;
  size_t faults_ = 0;
};

// Splits text into request lines: "\n" ends a line, a "\r" before it is
// dropped, lines that are empty or all blanks are skipped, and a last line
// without "\n" counts at Finish.
class LineSplitter {
 public:
  void Feed(const char* data, size_t size, std::vector<std::string>& lines);
  void Finish(std::vector<std::string>& lines);

 private:
  void Emit(std::string line, std::vector<std::string>& lines);
  std::string partial_;
};

}  // namespace lumiclip_tools
