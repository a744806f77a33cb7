#include "frame_reader.h"

#include <nlohmann/json.hpp>
#include <string_view>

#include "channel/wire_format.h"

namespace lumiclip_tools {

namespace {

constexpr size_t kHeaderSize = 4;

bool IsBlank(const std::string& line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\f' && c != '\v') return false;
  }
  return true;
}

}  // namespace

std::string EncodeFrame(const std::string& body) {
  const auto n = static_cast<uint32_t>(body.size());
  std::string out;
  out.reserve(kHeaderSize + body.size());
  out.push_back(static_cast<char>(n & 0xff));
  out.push_back(static_cast<char>((n >> 8) & 0xff));
  out.push_back(static_cast<char>((n >> 16) & 0xff));
  out.push_back(static_cast<char>((n >> 24) & 0xff));
  out += body;
  return out;
}

FrameKind ParseDataFrame(const std::string& body, std::string* chunk) {
  // No exceptions: a bad frame is an expected input here, not an error.
  nlohmann::json frame = nlohmann::json::parse(body, nullptr, false);
  if (frame.is_discarded() || !frame.is_object()) return FrameKind::Invalid;
  auto it = frame.find("data");
  if (it == frame.end() || !it->is_string()) return FrameKind::Invalid;
  auto& data = it->get_ref<std::string&>();
  if (data.empty()) return FrameKind::End;
  if (chunk) *chunk = std::move(data);
  return FrameKind::Data;
}

std::string FormatRawFrame(const std::string& body) {
  return std::to_string(body.size()) + " " + body + "\n";
}

std::string FormatInvalidFrame(const std::string& body) {
  return "!invalid frame " + std::to_string(body.size()) + ": " +
         body.substr(0, kQuoteLimit) + "\n";
}

std::string FormatOversizedFrame(uint32_t length) {
  return "!oversized frame " + std::to_string(length) + ": over the browser's limit of " +
         std::to_string(kBrowserFrameLimit) + " bytes\n";
}

std::string FormatTruncatedFrame(uint32_t length, size_t received) {
  return "!truncated frame " + std::to_string(length) + ": stream ended after " +
         std::to_string(received) + " bytes of it (header included)\n";
}

std::string FormatUnterminatedMessage(const std::string& partial) {
  return "!unterminated message: " + partial + "\n";
}

FrameDecoder::FrameDecoder(DecodeMode mode, DecoderSink& sink, uint32_t frameLimit,
                           uint32_t hardLimit)
    : mode_(mode), sink_(sink), frameLimit_(frameLimit), hardLimit_(hardLimit) {}

void FrameDecoder::Feed(const char* data, size_t size) {
  if (dead_ || finished_ || size == 0) return;
  buffer_.append(data, size);
  for (;;) {
    std::string_view whole;
    const lumiclip::FrameAt next = lumiclip::NextFrame(buffer_, &offset_, &whole, hardLimit_);
    if (next == lumiclip::FrameAt::kLengthCutShort) break;
    if (next == lumiclip::FrameAt::kTooLong) {
      dead_ = true;
      ++faults_;
      sink_.OnUnreadableStream(lumiclip::FrameLength(buffer_.data() + offset_));
      buffer_.clear();
      offset_ = 0;
      return;
    }
    if (next == lumiclip::FrameAt::kBodyCutShort) {
      // Wait for the rest; make room once so a long frame arrives in one
      // allocation instead of many.
      const uint32_t length = lumiclip::FrameLength(buffer_.data() + offset_);
      if (buffer_.capacity() < offset_ + kHeaderSize + length) {
        buffer_.erase(0, offset_);
        offset_ = 0;
        buffer_.reserve(kHeaderSize + length);
      }
      break;
    }
    std::string body(whole);
    const auto length = static_cast<uint32_t>(body.size());
    ++frames_;
    if (length > frameLimit_) {
      ++faults_;
      sink_.OnOversizedFrame(length);
    }
    HandleFrame(body);
  }
  // Drop what has been consumed, without moving bytes on every frame.
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 65536 && offset_ * 2 > buffer_.size()) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
}

void FrameDecoder::HandleFrame(const std::string& body) {
  if (mode_ == DecodeMode::Raw) {
    sink_.OnRawFrame(body);
    return;
  }
  std::string chunk;
  switch (ParseDataFrame(body, &chunk)) {
    case FrameKind::Data:
      message_ += chunk;
      inMessage_ = true;
      break;
    case FrameKind::End:
      ++messages_;
      sink_.OnMessage(message_);
      message_.clear();
      inMessage_ = false;
      break;
    case FrameKind::Invalid:
      ++faults_;
      sink_.OnInvalidFrame(body);
      break;
  }
}

void FrameDecoder::Finish() {
  if (finished_) return;
  finished_ = true;
  if (dead_) return;
  const size_t left = buffer_.size() - offset_;
  if (left > 0) {
    ++faults_;
    uint32_t length = 0;
    if (left >= kHeaderSize) length = lumiclip::FrameLength(buffer_.data() + offset_);
    sink_.OnTruncatedFrame(length, left);
  }
  if (inMessage_) sink_.OnUnterminatedMessage(message_);
  buffer_.clear();
  offset_ = 0;
  message_.clear();
  inMessage_ = false;
}

void LineSplitter::Feed(const char* data, size_t size, std::vector<std::string>& lines) {
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\n') continue;
    partial_.append(data + start, i - start);
    Emit(std::move(partial_), lines);
    partial_.clear();
    start = i + 1;
  }
  partial_.append(data + start, size - start);
}

void LineSplitter::Finish(std::vector<std::string>& lines) {
  if (!partial_.empty()) Emit(std::move(partial_), lines);
  partial_.clear();
}

void LineSplitter::Emit(std::string line, std::vector<std::string>& lines) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (IsBlank(line)) return;
  lines.push_back(std::move(line));
}

}  // namespace lumiclip_tools
