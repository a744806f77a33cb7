// Outbound messages: each cut into escaped data frames closed by an end
// frame (wire_format.h), written to standard output, one message's frames
// never interleaved with another's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace lumiclip {

// The process's standard output as frames. Safe to use from several threads.
class FrameWriter {
 public:
  // Writes one outbound message as data frames and the end frame.
  void Write(std::string_view text);
  // While held, messages that fit one write are kept in order and written in
  // one write at SendHeld, once 64 KiB are kept, or before a longer message.
  void Hold();
  void SendHeld();  // holds no more

 private:
  friend class MessageStream;
  // The output's lock is held for these.
  void WriteInOneCall(std::string_view text);
  void WriteHeldReplies();
  void Put(const char* bytes, size_t size);
  char* Buffer();

  std::mutex mutex_;
  // A broken channel stays broken: every later message is dropped, as the
  // browser is gone.
  bool broken_ = false;
  bool holdReplies_ = false;
  std::string heldReplies_;
  std::string single_;            // the frames of one small message
  std::unique_ptr<char[]> buffer_;  // the frame being built, made at first use
};

// The process's writer (see channel.h).
void WriteMessage(std::string_view text);
inline void WriteMessage(const char* text) { WriteMessage(std::string_view(text)); }
void SendStatus(int32_t code, const char* text);

// The replies and log lines of a burst of requests go out together: while
// held, the writer keeps its messages (FrameWriter::Hold) and the log its
// lines (HoldLines). For the loop, which sends them before anything that may
// take time or wait.
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
  MessageStream();  // on the process's writer
  explicit MessageStream(FrameWriter& writer);
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
  FrameWriter& writer_;
  std::unique_lock<std::mutex> lock_;
  bool whole_ = true;       // kept whole while it is small, and written in one call
  std::string text_;        // the text kept
  size_t messageBytes_ = 0; // of the text, in the frame being filled
  size_t escapedBytes_ = 0;
  bool finished_ = false;
};

// How many bytes of text, from its start, form the next data frame's chunk:
// at most kChunkLimit bytes, escaped size at most kEscapedLimit, and never
// ending inside a UTF-8 sequence. Sets *escapedSize to the chunk's escaped
// size. Exposed for tests and benchmarks.
size_t NextChunkLength(std::string_view text, size_t* escapedSize);

// Builds all frames of one message into out (what WriteMessage writes).
void BuildMessageFrames(std::string_view text, std::string& out);

}  // namespace lumiclip
