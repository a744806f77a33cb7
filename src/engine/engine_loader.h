// Loading RAZ.dll on demand, its table of entry points, and unloading it.
#pragma once

#include <cstdint>
#include <thread>

#include "channel/host_state.h"
#include "engine/engine_abi.h"

namespace lumiclip {

bool LoadEngine(const char* path, int32_t browserId);
bool EnsureEngineLoaded(HostState& state);
void CallEngine(const char* text, int32_t length);
void UnloadEngine(HostState& state);
// After an unload: whether the engine's module is still mapped in this
// process. One without finish is never released, and one that holds a
// reference to itself (or that another library holds) outlives its
// release. Every later load of its path then gets that module back, even
// once another file has the name.
bool EngineStillMapped();

// The state the engine is loaded for, or null; callbacks need it. Cleared
// before the engine's finish runs.
HostState* CurrentHostState();
// True while the engine's finish runs: its topics still reach the browser,
// but it may not pump.
bool EngineFinishing();
// The thread that loaded the engine; only it may read requests for a pump.
std::thread::id EngineThread();
// True while engine code is on the host thread's stack: inside the engine's
// call or finish entry, or in a pump the engine asked for (from a window
// procedure, say). The engine may not be unloaded then.
bool EngineCallInProgress();
// The table as the last load left it, and a reset to the start of a
// process. Tests only.
const EngineEntryTable& EngineTableForTests();
void ResetEngineForTests();

}  // namespace lumiclip
