// Standard input through a reader thread. The browser's pipe is opened for
// synchronous I/O, which cannot be waited on together with window messages:
// a reader thread blocks in ReadFile and hands the bytes to the host thread
// through a ring, and the host thread takes only what is held and never
// waits in a read. When bytes come or the input ends while the host thread
// sleeps (on an event and its message queue at once), the event wakes it;
// the reader signals only a sleeping host thread, so an idle host never
// wakes and a busy one pays nothing for the hand-over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "channel/input.h"
#include "os/os.h"

namespace lumiclip {

class InputRing final : public Input {
 public:
  // Room for many frames: the reader runs ahead of a busy host by this much
  // at most, and then waits as the pipe itself would make the browser wait.
  static constexpr size_t kCapacity = size_t{1} << 20;

  // Makes its two events through os; Ready says whether it could.
  explicit InputRing(Os& os);
  ~InputRing() override;
  InputRing(const InputRing&) = delete;
  InputRing& operator=(const InputRing&) = delete;
  bool Ready() const { return ready_ != nullptr && space_ != nullptr; }

  // --- the reader's side, one step at a time -------------------------------
  // ReadFrom takes these steps around the seam's blocking read for the life
  // of the process; the tests' fake takes them as its bytes arrive.
  struct Room {
    char* data;
    size_t size;
  };
  // Where the next read goes: the room after the bytes held, up to the end
  // of the ring. Empty while the ring is full: the reader then waits for
  // SpaceEvent, which a take signals.
  Room Reserve();
  // got bytes were read into the room. A sleeping host thread's shortcut may
  // claim them (with all held), and is answered here, before the reader
  // reads on; otherwise a sleeping host thread is woken.
  void Complete(size_t got);
  // The pipe closed or broke.
  void End();
  OsHandle SpaceEvent() const { return space_; }
  // The reader thread: reads the pipe into the ring until it closes or
  // breaks. Never returns before that (the process ends with it blocked).
  void ReadFrom(OsHandle pipe);

  // --- the host thread's side ----------------------------------------------
  bool Available(uint32_t* available) override;
  size_t Take(void* buffer, size_t size) override;
  void Wait(const InputShortcut* shortcut) override;

 private:
  void WakeHostLocked();
  const InputShortcut* ClaimLocked();

  Os& os_;
  // Both events reset themselves: each is set only when the other thread
  // said it was about to wait, so a busy host costs no signalling at all. A
  // signal that outlives its wait (the host woke for a window message at the
  // same moment) only makes one later wait return early.
  OsHandle ready_;  // the reader added bytes or saw the end while the host waited
  OsHandle space_;  // the host took bytes from a full ring while the reader waited
  std::unique_ptr<char[]> ring_;
  std::mutex lock_;
  size_t head_ = 0;   // where the next byte to take is
  size_t count_ = 0;  // bytes held
  bool ended_ = false;
  bool hostWaiting_ = false;
  bool readerWaiting_ = false;
  const InputShortcut* shortcut_ = nullptr;  // the host thread's, read only while it waits
};

}  // namespace lumiclip
