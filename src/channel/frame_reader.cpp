#include "channel/frame_reader.h"

#include <algorithm>
#include <cstring>

#include "channel/channel.h"
#include "channel/frame_writer.h"
#include "channel/input_ring.h"
#include "channel/polled_input.h"
#include "channel/wire_format.h"
#include "os/os.h"
#include "support/log.h"

namespace lumiclip {

namespace {

class Completing {
 public:
  explicit Completing(bool& flag) : flag_(flag) { flag_ = true; }
  ~Completing() { flag_ = false; }
  Completing(const Completing&) = delete;
  Completing& operator=(const Completing&) = delete;

 private:
  bool& flag_;
};

static_assert(kArrivedBytes == InputRing::kCapacity, "a frame counts as arrived once the ring is full of it");

// A body buffer of size bytes and the zero after them, not zero-filled.
std::unique_ptr<char[]> NewBody(const std::function<void(size_t)>& before, size_t size) {
  if (before) before(size);
  return std::unique_ptr<char[]>(new char[size + 1]);
}

}  // namespace

bool FrameReader::TakeInput() {
  Os& os = TheOs();
  bool hidden = false;
  OsHandle pipe = os.TakeInput(&hidden);
  if (pipe == nullptr) return false;
  if (hidden) {
    std::unique_ptr<InputRing> ring(new InputRing(os));
    if (ring->Ready() && os.StartReader(*ring, pipe)) {
      input_ = std::move(ring);
      return true;
    }
  }
  // Should the pipe still be in sight, no read may ever wait on it.
  input_.reset(new PolledInput(os, pipe));
  return true;
}

bool FrameReader::Waiting() {
  uint32_t available = 0;
  return input_ != nullptr && input_->Available(&available) && available > 0;
}

void FrameReader::Wait(const InputShortcut* shortcut) {
  if (input_ != nullptr) input_->Wait(shortcut);
}

// Takes what the input holds into the frame in progress, never past its end.
FrameReader::Intake FrameReader::TakeAvailable(Frame* out) {
  // The body is read straight into a buffer that is not zero-filled. It
  // starts small, so that a huge length followed by a few bytes costs little;
  // once a request proves large, the buffer takes its whole length at once
  // (up to a size no real request reaches, doubling beyond), so that all
  // but its first 64 KiB are copied once on their way from the pipe.
  constexpr size_t kFirstStep = size_t{64} << 10;
  constexpr size_t kWholeBodyLimit = size_t{64} << 20;
  Partial& p = partial_;
  try {
    uint32_t available = 0;
    while (!atEnd_) {
      if (available == 0) {
        if (input_ == nullptr || !input_->Available(&available)) {
          atEnd_ = true;
          if (p.body) {
            LogFormatInt("\n**** Error: Request cut short by the end of input, dropped: %d bytes\n",
                         static_cast<int32_t>(p.got));
          }
          p = Partial();
          break;
        }
        if (available == 0) return Intake::kMore;  // the rest has not come yet
      }
      size_t n = 0;
      if (p.headGot < 4) {
        n = input_->Take(p.head + p.headGot, std::min<size_t>(4 - p.headGot, available));
        p.headGot += n;
        if (p.headGot == 4) {
          int32_t length = static_cast<int32_t>(FrameLength(p.head));
          if (length <= 0) {
            p = Partial();  // nothing follows it: the next frame begins
          } else {
            p.want = static_cast<size_t>(length);
            p.capacity = std::min(p.want, kFirstStep);
            p.body = NewBody(beforeBodyBuffer, p.capacity);
          }
        }
      } else {
        if (p.got == p.capacity) {
          size_t larger = std::min(p.want, std::max(kWholeBodyLimit, p.capacity * 2));
          std::unique_ptr<char[]> grown = NewBody(beforeBodyBuffer, larger);
          std::memcpy(grown.get(), p.body.get(), p.got);
          p.body = std::move(grown);
          p.capacity = larger;
        }
        n = input_->Take(p.body.get() + p.got, std::min<size_t>(p.capacity - p.got, available));
        p.got += n;
        if (p.got == p.want) {
          p.body[p.want] = '\0';
          out->body = std::move(p.body);
          out->length = static_cast<int32_t>(p.want);
          out->valid = true;
          p = Partial();
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
    atEnd_ = true;
    p = Partial();
    throw;
  }
  return Intake::kEnded;
}

Frame FrameReader::Take() {
  Frame frame;
  if (completing_) return frame;
  if (TakeAvailable(&frame) != Intake::kMore) return frame;
  // A frame counts as arrived once its first min(its size, 1 MiB) bytes,
  // length included, are in: as much as the reader holds at most. A long
  // body then comes as fast as the browser writes it, so this call takes the
  // frame and waits for the rest, pumping window messages meanwhile. Before
  // that, nothing waits.
  const Partial& p = partial_;
  if (!p.body || p.got < std::min(p.want, kArrivedBytes - 4)) return frame;
  // Nothing held waits for a long body.
  SendHeldOutput();
  Completing completing(completing_);
  Os& os = TheOs();
  for (;;) {
    os.PumpWindowMessages();
    input_->Wait(nullptr);
    if (TakeAvailable(&frame) != Intake::kMore) return frame;
  }
}

bool TakeStandardInput() { return TheChannel().reader.TakeInput(); }
Frame TakeFrame() { return TheChannel().reader.Take(); }
bool InputAtEnd() { return TheChannel().reader.AtEnd(); }
bool FrameInProgress() { return TheChannel().reader.InProgress(); }
bool InputWaiting() { return TheChannel().reader.Waiting(); }
void WaitForInput(const InputShortcut* shortcut) { TheChannel().reader.Wait(shortcut); }

}  // namespace lumiclip
