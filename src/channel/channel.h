// The process's channel to the browser: the reader of its standard input
// and the writer of its standard output. There is one per process; a test
// puts a fresh one in place (ScopedChannel), as a new process has it.
#pragma once

#include "channel/frame_reader.h"
#include "channel/frame_writer.h"

namespace lumiclip {

struct Channel {
  FrameReader reader;
  FrameWriter writer;
};

Channel& TheChannel();

class ScopedChannel {
 public:
  ScopedChannel();
  ~ScopedChannel();
  ScopedChannel(const ScopedChannel&) = delete;
  ScopedChannel& operator=(const ScopedChannel&) = delete;
  Channel& channel() { return channel_; }

 private:
  Channel channel_;
  Channel* previous_;
};

}  // namespace lumiclip
