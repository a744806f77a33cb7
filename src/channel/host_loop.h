// Host mode: the browser started the host; announce, then serve requests
// until the input ends, the channel breaks or an update closes the host.
#pragma once

#include "channel/host_state.h"

namespace lumiclip {

void RunHostMode();
void AnnounceHost();
void RunMessageLoop(HostState& state);
// Reads and handles one request; false ends the loop.
bool HandleNextMessage(HostState& state);

}  // namespace lumiclip
