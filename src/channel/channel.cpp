#include "channel/channel.h"

namespace lumiclip {

namespace {

Channel*& Current() {
  // Never destroyed: threads of the engine may still write while the
  // process exits.
  static Channel* channel = new Channel;
  return channel;
}

}  // namespace

Channel& TheChannel() { return *Current(); }

ScopedChannel::ScopedChannel() : previous_(Current()) { Current() = &channel_; }

ScopedChannel::~ScopedChannel() { Current() = previous_; }

}  // namespace lumiclip
