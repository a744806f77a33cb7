#include "channel/input_ring.h"

#include <algorithm>
#include <cstring>

namespace lumiclip {

InputRing::InputRing(Os& os)
    : os_(os), ready_(os.NewEvent()), space_(os.NewEvent()), ring_(new char[kCapacity]) {}

InputRing::~InputRing() {
  if (ready_ != nullptr) os_.CloseOsHandle(ready_);
  if (space_ != nullptr) os_.CloseOsHandle(space_);
}

InputRing::Room InputRing::Reserve() {
  std::lock_guard<std::mutex> lock(lock_);
  if (count_ == kCapacity) {
    readerWaiting_ = true;
    return Room{nullptr, 0};
  }
  // Only the reader moves the start of an empty ring, so that a read gets
  // the whole ring; the host thread only takes what is counted.
  if (count_ == 0) head_ = 0;
  size_t tail = (head_ + count_) % kCapacity;
  size_t room = tail < head_ ? head_ - tail : kCapacity - tail;
  return Room{ring_.get() + tail, room};
}

void InputRing::WakeHostLocked() {
  if (hostWaiting_) os_.SignalEvent(ready_);
  hostWaiting_ = false;
}

// The bytes held, when the sleeping host thread's shortcut claims them all:
// let go of them, so that the host takes none of them if it wakes.
const InputShortcut* InputRing::ClaimLocked() {
  const InputShortcut* shortcut = shortcut_;
  if (!hostWaiting_ || shortcut == nullptr || head_ + count_ > kCapacity) return nullptr;
  if (shortcut->claim(ring_.get() + head_, count_) != count_) return nullptr;
  return shortcut;
}

void InputRing::Complete(size_t got) {
  std::unique_lock<std::mutex> lock(lock_);
  // A zero-byte read is a zero-byte write by the other end, not the end.
  if (got == 0) return;
  count_ += got;
  if (const InputShortcut* shortcut = ClaimLocked()) {
    // The bytes stay in the ring, untouched until the next read, which comes
    // only after the answer.
    const char* request = ring_.get() + head_;
    size_t size = count_;
    count_ = 0;
    lock.unlock();
    shortcut->answer(request, size);
    return;
  }
  WakeHostLocked();
}

void InputRing::End() {
  std::lock_guard<std::mutex> lock(lock_);
  ended_ = true;
  WakeHostLocked();
}

void InputRing::ReadFrom(OsHandle pipe) {
  for (;;) {
    Room room = Reserve();
    if (room.size == 0) {
      os_.WaitForObject(space_, win::kInfinite);
      continue;
    }
    uint32_t got = 0;
    if (!os_.ReadPipe(pipe, room.data, static_cast<uint32_t>(room.size), &got)) {
      // The browser closed the pipe, or the pipe broke: the end either way.
      End();
      return;
    }
    Complete(got);
  }
}

bool InputRing::Available(uint32_t* available) {
  std::lock_guard<std::mutex> lock(lock_);
  *available = static_cast<uint32_t>(std::min<size_t>(count_, 0xFFFFFFFFu));
  return count_ > 0 || !ended_;
}

size_t InputRing::Take(void* buffer, size_t size) {
  char* out = static_cast<char*>(buffer);
  bool wake = false;
  size_t taken = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    // At most two pieces: up to the end of the ring, then from its start.
    while (taken < size && count_ > 0) {
      size_t n = std::min({size - taken, count_, kCapacity - head_});
      std::memcpy(out + taken, ring_.get() + head_, n);
      head_ = (head_ + n) % kCapacity;
      count_ -= n;
      taken += n;
    }
    wake = readerWaiting_ && taken > 0;
    if (wake) readerWaiting_ = false;
  }
  if (wake) os_.SignalEvent(space_);
  return taken;
}

void InputRing::Wait(const InputShortcut* shortcut) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    // Decided under the lock: bytes that come after this find hostWaiting_
    // set and signal the event, so the wait below cannot miss them.
    bool ready = count_ > 0 || ended_;
    hostWaiting_ = !ready;
    shortcut_ = shortcut;
    if (ready) return;
  }
  uint32_t result = os_.WaitForEventOrMessages(ready_, win::kInfinite);
  {
    std::lock_guard<std::mutex> lock(lock_);
    hostWaiting_ = false;
  }
  if (result == win::kWaitFailed) os_.SleepMs(1);  // never spin on a broken wait
}

}  // namespace lumiclip
