// The browser's native-messaging framing on the standard streams: inbound
// frames (4-byte little-endian length + body) and outbound messages cut into
// escaped data frames closed by an end frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace lumiclip {

// One inbound request: length bytes of body, followed by a zero byte so that
// the body also serves as a zero-terminated text.
struct Frame {
  std::unique_ptr<char[]> body;  // length + 1 bytes
  int32_t length = 0;
  bool valid = false;
  explicit operator bool() const { return valid; }
  const char* text() const { return body.get(); }
};

// Takes what waits on standard input into the frame being assembled (its
// length, then its body), never past that frame's end, and returns the frame
// once it is complete. Nothing waits for input until the frame's first
// min(its size, kArrivedBytes) bytes (length included) are in; from then on the call waits for
// the rest, pumping window messages meanwhile. An empty Frame when none is
// complete yet, when a call further out is completing one (a pump nested in
// its window messages), or when the input has ended (InputAtEnd then says
// so; a body cut short by the end is dropped rather than handed on
// half-filled). Frames with a length of 0 or less are skipped. The frame in
// progress is process-wide: whichever call completes it (the loop's, or a
// pump's nested in an engine call) gets it, so each frame is taken once and
// in order.
Frame TakeFrame();
// The length in a frame's first 4 bytes (little-endian).
uint32_t FrameLength(const char* head);
// As much of a frame as the input holds at most (the reader's ring).
constexpr size_t kArrivedBytes = size_t{1} << 20;
// True once the input has ended, or once a body could not be taken whole
// (the failure is thrown on): either way the position in the stream is
// lost, and the input counts as ended.
bool InputAtEnd();
// True while part of a frame has been taken from the input and the rest has
// not: what the input holds then does not begin at a frame's start.
bool FrameInProgress();

// Writes one outbound message as data frames and the end frame. Safe to call
// from several threads: one message's frames are never interleaved with
// another's.
void WriteMessage(std::string_view text);
inline void WriteMessage(const char* text) { WriteMessage(std::string_view(text)); }
void SendStatus(int32_t code, const char* text);

// The replies and log lines of a burst of requests go out together: while
// held, messages that fit one write are kept in order and written in one
// write at SendHeldOutput, once 64 KiB are kept, or before a longer message;
// the log's lines likewise (HoldLines). For the loop, which sends them
// before anything that may take time or wait.
void HoldOutput();
void SendHeldOutput();  // the lines, then the replies; holds no more

// Writes one outbound message whose text comes in pieces, in order: the same
// frames as WriteMessage of the pieces joined, without ever holding them
// joined. Holds the output for the message's whole life, so call nothing
// that writes a message meanwhile. Up to 16 KiB the message goes out in one
// write at Finish; a longer one a frame at a time as each frame fills.
// Finish (or the destructor) writes the rest and the end frame.
class MessageStream {
 public:
  MessageStream();
  ~MessageStream();
  MessageStream(const MessageStream&) = delete;
  MessageStream& operator=(const MessageStream&) = delete;
  void Append(std::string_view piece);
  // Appends zero-terminated UTF-16 text, converted to UTF-8 as the system
  // converts it (a surrogate that is not half of a pair becomes U+FFFD) and
  // escaped: converted and escaped straight into the frames.
  void AppendUtf16(const char16_t* text);
  void Finish();

 private:
  void Stream(std::string_view piece);
  void Emit(const char* bytes, size_t size);
  void EndFrame();
  std::unique_lock<std::mutex> lock_;
  bool whole_ = true;       // kept whole while it is small, and written in one call
  std::string text_;        // the text kept
  size_t messageBytes_ = 0; // of the text, in the frame being filled
  size_t escapedBytes_ = 0;
  bool finished_ = false;
};

// The limits every outbound frame keeps.
constexpr size_t kChunkLimit = 921600;     // message bytes per data frame
constexpr size_t kFrameLimit = 1048576;    // the browser's limit for one frame
constexpr size_t kFrameOverhead = 11;      // {"data":" and "}
constexpr size_t kEscapedLimit = kFrameLimit - kFrameOverhead;

// Escapes text for a JSON string: backslash, quote and every control
// character. Appends to out.
void AppendJsonEscaped(std::string_view text, std::string& out);

// How many bytes of text, from its start, form the next data frame's chunk:
// at most kChunkLimit bytes, escaped size at most kEscapedLimit, and never
// ending inside a UTF-8 sequence. Sets *escapedSize to the chunk's escaped
// size. Exposed for tests and benchmarks.
size_t NextChunkLength(std::string_view text, size_t* escapedSize);

// Builds all frames of one message into out (what WriteMessage writes).
void BuildMessageFrames(std::string_view text, std::string& out);

namespace framing_internal {
// Clears the end-of-input, frame-in-progress and broken-output states, and
// allows the wide escaping path again.
void ResetForTests();
// Whether large messages may take the wide escaping path where the processor
// has one (they do by default); returns what was allowed before.
bool AllowWideEscapes(bool allowed);
}  // namespace framing_internal

}  // namespace lumiclip
