// A lock that processes share through one word of memory they all map: the
// id of the process that holds it, 0 while it is free. A free word is taken
// with one atomic instruction and no call to the system. A holder may end
// while it holds the word (the browser ends hosts at will), so a waiter that
// has seen one holder keep it longer than any live holder does takes the word
// over from that holder.
#pragma once

#include <atomic>
#include <cstdint>

namespace lumiclip {

class SharedWordLock {
 public:
  struct Clock {
    uint32_t (*now)();              // milliseconds
    void (*pause)(unsigned spins);  // between two looks at a held word
  };
  static constexpr uint32_t kPatienceMs = 200;

  // self: this process's id, never 0.
  SharedWordLock(std::atomic<int32_t>& word, int32_t self, const Clock& clock) : word_(word), self_(self) {
    int32_t seen = 0;  // the holder whose time is counted, since since
    uint32_t since = 0;
    for (unsigned spins = 0;; ++spins) {
      int32_t holder = 0;
      if (word_.compare_exchange_strong(holder, self_)) return;
      if (holder != seen) {
        // A new holder, such as another waiter that has just taken over
        // from one that ended: it is live, and gets the whole patience.
        seen = holder;
        since = clock.now();
      } else if (clock.now() - since > kPatienceMs && word_.compare_exchange_strong(holder, self_)) {
        // Only from the holder seen: one that has just let go is not
        // passed by.
        tookOver_ = true;
        return;
      }
      clock.pause(spins);
    }
  }
  // Frees the word only while this process holds it: one that was passed by
  // does not free it under its new holder.
  ~SharedWordLock() {
    int32_t expected = self_;
    word_.compare_exchange_strong(expected, 0);
  }
  SharedWordLock(const SharedWordLock&) = delete;
  SharedWordLock& operator=(const SharedWordLock&) = delete;

  bool tookOver() const { return tookOver_; }

 private:
  std::atomic<int32_t>& word_;
  int32_t self_;
  bool tookOver_ = false;
};

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free,
              "the word is shared memory that other processes use as a plain 32-bit integer");

}  // namespace lumiclip
