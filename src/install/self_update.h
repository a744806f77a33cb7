// Replacing the host's own executable: the parent stages and starts the new
// one, the child waits for the parent and redeploys.
#pragma once

#include <cstdint>

#include "channel/host_state.h"

namespace lumiclip {

// 0 staged and started; 1 not written; 2 not started. The manifest is left
// in place for the child to rewrite, so 3 (not deleted) no longer occurs.
int32_t UpdateNativeHost(HostState& state, const char* message, int32_t length);
void RunUpdateMode(int32_t parentPid);

}  // namespace lumiclip
