// Standard input as the host thread takes it: the bytes that have come,
// taken without ever waiting in a read, and a sleep until more come.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumiclip {

// A request that the reader may answer itself, on its own thread, while the
// host thread sleeps: one that needs nothing of the host thread (a ping), so
// that it costs no wake-up. claim is asked under the reader's lock, with
// every byte held (they begin at a frame's start); it returns their size
// when they are exactly one request it takes, else 0. The reader then lets
// go of them and calls answer with them, and reads nothing more until answer
// has returned.
struct InputShortcut {
  size_t (*claim)(const char* bytes, size_t size);
  void (*answer)(const char* bytes, size_t size);
};

class Input {
 public:
  virtual ~Input() = default;
  // The count of bytes held; false once the input has ended (the pipe closed
  // or broke) and every byte was taken.
  virtual bool Available(uint32_t* available) = 0;
  // Takes up to size of the bytes held, never waiting for more: 0 when none
  // are held.
  virtual size_t Take(void* buffer, size_t size) = 0;
  // Sleeps until bytes are held, the input has ended, or a window message is
  // in the thread's queue; returns at once if one of them already holds.
  // With a shortcut, bytes that it claims are answered meanwhile and do not
  // end the sleep; without one (nullptr), any byte does.
  virtual void Wait(const InputShortcut* shortcut) = 0;
};

}  // namespace lumiclip
