// Replacing the host's own executable: the parent stages and starts the new
// one, the child waits for the parent and redeploys.
#pragma once

#include <cstdint>

#include "channel/host_state.h"

namespace lumiclip {

// The staged executable waits here, inside the deployment folder.
constexpr const char kStagingFolderName[] = ".staged";

// 0 staged and started; 1 not written; 2 not started. The manifest is left
// in place for the child to rewrite.
int32_t UpdateNativeHost(HostState& state, char* message, int32_t length);
void RunUpdateMode(int32_t parentPid);

}  // namespace lumiclip
