// Inbound frames: what waits on standard input taken into the frame being
// assembled, its length and then its body, and each frame handed on once it
// is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "channel/input.h"

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

// As much of a frame as the input holds at most (the reader's ring).
constexpr size_t kArrivedBytes = size_t{1} << 20;

// The frame in progress of the process's standard input. It outlives the
// call that started it, as the input arrives in pieces and nothing waits for
// the rest; whichever call completes it (the loop's, or a pump's nested in an
// engine call) gets it, so each frame is taken once and in order.
class FrameReader {
 public:
  // Takes standard input for the host (Os::TakeInput) and starts to read
  // it: through the reader's ring (input_ring.h), or polled (polled_input.h)
  // should the pipe stay in sight or no reader start. False when standard
  // input is not a pipe; nothing is read then.
  bool TakeInput();
  // Whether bytes wait to be taken.
  bool Waiting();
  // Sleeps until bytes come, the input ends or a window message arrives
  // (Input::Wait); at once when there is no input.
  void Wait(const InputShortcut* shortcut);

  // Takes what waits on standard input into the frame being assembled (its
  // length, then its body), never past that frame's end, and returns the
  // frame once it is complete. Nothing waits for input until the frame's
  // first min(its size, kArrivedBytes) bytes (length included) are in; from
  // then on the call waits for the rest, pumping window messages meanwhile.
  // An empty Frame when none is complete yet, when a call further out is
  // completing one (a pump nested in its window messages), or when the input
  // has ended (AtEnd then says so; a body cut short by the end is dropped
  // rather than handed on half-filled). Frames with a length of 0 or less are
  // skipped.
  Frame Take();
  // True once the input has ended, or once a body could not be taken whole
  // (the failure is thrown on): either way the position in the stream is
  // lost, and the input counts as ended.
  bool AtEnd() const { return atEnd_; }
  // True while part of a frame has been taken from the input and the rest has
  // not: what the input holds then does not begin at a frame's start.
  bool InProgress() const { return partial_.headGot > 0; }

  // Called with the size of every body buffer before it is made; tests make
  // it throw, as an allocation that fails does.
  std::function<void(size_t size)> beforeBodyBuffer;

 private:
  enum class Intake { kComplete, kMore, kEnded };
  Intake TakeAvailable(Frame* out);

  // The bytes of the frame's length, then its body.
  struct Partial {
    char head[4] = {};
    size_t headGot = 0;
    size_t want = 0;  // the body's length, once the head is in
    size_t got = 0;
    size_t capacity = 0;
    std::unique_ptr<char[]> body;  // capacity + 1 bytes, not zero-filled
  };
  std::unique_ptr<Input> input_;
  Partial partial_;
  bool atEnd_ = false;
  // Whether a call is completing a frame whose first bytes were in: a pump
  // nested in its window-message pumps must not take the frame (nor any
  // after it) from under it.
  bool completing_ = false;
};

// The process's reader (see channel.h).
bool TakeStandardInput();
Frame TakeFrame();
bool InputAtEnd();
bool FrameInProgress();
bool InputWaiting();
void WaitForInput(const InputShortcut* shortcut);

}  // namespace lumiclip
