// Standard input without a reader thread, should the browser's pipe stay in
// sight of other code (or no thread start): no read may then ever wait on
// it, as a query of the pipe from elsewhere would wait behind the read. The
// host thread reads only what a peek has counted, and sleeps a millisecond
// at a time.
#pragma once

#include "channel/input.h"
#include "os/os.h"

namespace lumiclip {

class PolledInput final : public Input {
 public:
  PolledInput(Os& os, OsHandle pipe) : os_(os), pipe_(pipe) {}
  bool Available(uint32_t* available) override;
  size_t Take(void* buffer, size_t size) override;
  void Wait(const InputShortcut* shortcut) override;

 private:
  Os& os_;
  OsHandle pipe_;
};

}  // namespace lumiclip
