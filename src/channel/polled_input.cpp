#include "channel/polled_input.h"

#include <algorithm>

namespace lumiclip {

bool PolledInput::Available(uint32_t* available) {
  *available = 0;
  return os_.PeekPipe(pipe_, available);
}

size_t PolledInput::Take(void* buffer, size_t size) {
  uint32_t count = 0;
  if (!os_.PeekPipe(pipe_, &count)) return 0;
  uint32_t want = static_cast<uint32_t>(std::min<size_t>(size, count));
  uint32_t got = 0;
  if (want == 0 || !os_.ReadPipe(pipe_, buffer, want, &got)) return 0;
  return got;
}

void PolledInput::Wait(const InputShortcut*) {
  // The pipe cannot be waited on: wake for a window message or after a
  // millisecond.
  os_.WaitForEventOrMessages(nullptr, 1);
}

}  // namespace lumiclip
