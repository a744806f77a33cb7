#include "channel/frame_writer.h"

#include <algorithm>
#include <cstring>

#include "channel/channel.h"
#include "channel/text_escaping.h"
#include "channel/wire_format.h"
#include "os/os.h"
#include "support/log.h"

namespace lumiclip {

namespace {

// A small message goes out in one write: each write to the pipe wakes the
// browser, and most replies are a few bytes.
constexpr size_t kOneWriteLimit = 16384;

// Kept replies are written once this much is kept.
constexpr size_t kHeldRepliesLimit = size_t{64} << 10;

constexpr size_t kFrameBufferSize = 4 + 9 + kEscapedLimit + 2;
// Room past a frame's end for the stores of the double escaping: 8 bytes a
// unit, 32 bytes for four units on the wide path.
constexpr size_t kSlack = 32;

// Escapes the next chunk of text into dst (room for kEscapedLimit bytes).
// Returns the escaped size; *taken gets the message bytes it holds.
size_t EscapeChunk(std::string_view text, char* dst, size_t* taken) {
  size_t limit = std::min(text.size(), kChunkLimit);
  return escaping::EscapeInto(text.data(), limit, text.size(), dst, kEscapedLimit, taken);
}

// Puts the length, head and tail around the escaped chunk of a frame that
// begins at frame; returns the frame's size.
size_t CloseFrame(char* frame, size_t escaped) {
  PutFrameLength(frame, static_cast<uint32_t>(9 + escaped + 2));
  std::memcpy(frame + 4, kFrameHead, 9);
  std::memcpy(frame + 13 + escaped, kFrameTail, 2);
  return 13 + escaped + 2;
}

// Calls sink(bytes, size) for every frame of the message, in order. The
// frame buffer is the caller's, kFrameBufferSize bytes.
template <typename Sink>
void ForEachFrame(std::string_view text, char* buffer, Sink&& sink) {
  while (!text.empty()) {
    size_t taken = 0;
    size_t escaped = EscapeChunk(text, buffer + 13, &taken);
    if (!sink(buffer, CloseFrame(buffer, escaped))) return;
    text.remove_prefix(taken);
  }
  sink(kEndFrame, kEndFrameSize);
}

}  // namespace

char* FrameWriter::Buffer() {
  if (!buffer_) buffer_.reset(new char[kFrameBufferSize + kSlack]);
  return buffer_.get();
}

void FrameWriter::Put(const char* bytes, size_t size) {
  if (!broken_ && !TheOs().WriteOutput(bytes, size)) broken_ = true;
}

void FrameWriter::WriteHeldReplies() {
  if (heldReplies_.empty()) return;
  Put(heldReplies_.data(), heldReplies_.size());
  heldReplies_.clear();
}

// All frames of a small message in one write, or kept with the replies held.
void FrameWriter::WriteInOneCall(std::string_view text) {
  if (broken_) return;
  std::string& frames = holdReplies_ ? heldReplies_ : single_;
  if (!holdReplies_) single_.clear();
  ForEachFrame(text, Buffer(), [&frames](const char* bytes, size_t size) {
    frames.append(bytes, size);
    return true;
  });
  if (holdReplies_) {
    if (heldReplies_.size() >= kHeldRepliesLimit) WriteHeldReplies();
    return;
  }
  Put(single_.data(), single_.size());
}

void FrameWriter::Write(std::string_view text) {
  if (text.size() <= kOneWriteLimit) {
    // Not copied into a stream first: most messages are these.
    std::lock_guard<std::mutex> lock(mutex_);
    WriteInOneCall(text);
    return;
  }
  MessageStream message(*this);
  message.Append(text);
  message.Finish();
}

void FrameWriter::Hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdReplies_ = true;
}

void FrameWriter::SendHeld() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdReplies_ = false;
  WriteHeldReplies();
}

MessageStream::MessageStream() : MessageStream(TheChannel().writer) {}

MessageStream::MessageStream(FrameWriter& writer) : writer_(writer), lock_(writer.mutex_) {}

MessageStream::~MessageStream() {
  try {
    Finish();
  } catch (...) {
  }
}

void MessageStream::Append(std::string_view piece) {
  if (finished_ || writer_.broken_) return;
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
  while (!finished_ && !writer_.broken_) {
    if (!whole_) {
      // Units that fit the frame whatever they are: each takes at most 6
      // bytes of the message and 7 of the frame.
      size_t room = std::min((kChunkLimit - messageBytes_) / 6, (kEscapedLimit - escapedBytes_) / 7);
      if (room >= 64) {
        size_t message = 0, wire = 0;
        bool ended = false;
        size_t units = escaping::EscapeUtf16ForFrame(text, room, writer_.Buffer() + 13 + escapedBytes_, &message,
                                                     &wire, &ended);
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
    escaping::EscapeUtf16Once(text, n, block, &message, &written, &ended);
    Append(std::string_view(block, written));
    text += n;
  }
}

void MessageStream::Stream(std::string_view piece) {
  // As ForEachFrame cuts the joined text: each frame takes what fits of the
  // text after the last one, a character whole or not at all. No piece ends
  // inside a character, so each piece's end serves as the text's end.
  while (!piece.empty() && !writer_.broken_) {
    char* frame = writer_.Buffer();
    size_t taken = 0;
    size_t produced =
        escaping::EscapeInto(piece.data(), std::min(piece.size(), kChunkLimit - messageBytes_), piece.size(),
                             frame + 13 + escapedBytes_, kEscapedLimit - escapedBytes_, &taken);
    messageBytes_ += taken;
    escapedBytes_ += produced;
    piece.remove_prefix(taken);
    if (!piece.empty()) EndFrame();  // the next character does not fit
  }
}

void MessageStream::EndFrame() {
  char* frame = writer_.Buffer();
  Emit(frame, CloseFrame(frame, escapedBytes_));
  messageBytes_ = 0;
  escapedBytes_ = 0;
}

void MessageStream::Emit(const char* bytes, size_t size) {
  // Replies kept before this message go out before it.
  writer_.WriteHeldReplies();
  writer_.Put(bytes, size);
}

void MessageStream::Finish() {
  if (finished_) return;
  finished_ = true;
  if (whole_) {
    writer_.WriteInOneCall(text_);
  } else {
    if (messageBytes_ > 0) EndFrame();
    Emit(kEndFrame, kEndFrameSize);
  }
  if (lock_.owns_lock()) lock_.unlock();
}

void WriteMessage(std::string_view text) { TheChannel().writer.Write(text); }

void HoldOutput() {
  HoldLines();
  TheChannel().writer.Hold();
}

void SendHeldOutput() {
  WriteHeldLines();
  TheChannel().writer.SendHeld();
}

void SendStatus(int32_t code, const char* text) {
  std::string message = "{\"topic\":\"status\", \"code\":\"";
  message += std::to_string(code);
  message += "\", \"data\":\"";
  message += text;
  message += "\"}";
  WriteMessage(message);
}

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

}  // namespace lumiclip
