// Host mode: the browser started the host; announce, then serve requests
// until the input ends, the channel breaks or an update closes the host.
#pragma once

#include <cstdint>

#include "channel/host_state.h"

namespace lumiclip {

void RunHostMode();
void AnnounceHost();
void RunMessageLoop(HostState& state);
// Takes what waits on standard input and, once a request is complete,
// handles it; never waits for input. False ends the loop; *handled says
// whether a request was handled.
bool HandleNextMessage(HostState& state, bool* handled = nullptr);

// A busy host pumps its window messages at least this often.
constexpr int kRequestsPerPump = 32;
constexpr uint32_t kPumpIntervalMs = 10;

}  // namespace lumiclip
