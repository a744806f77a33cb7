// The host's callback that the engine calls with a topic and UTF-16 data.
#pragma once

#include "engine/engine_abi.h"

namespace lumiclip {

extern "C" void LUMICLIP_STDCALL EngineCallback(const char* topic, const char16_t* data);

// How deep the engine's pump requests may nest; one more is ignored and
// logged.
constexpr int kMaxPumpDepth = 32;
// Pumps now running on the host thread.
int PumpDepth();

}  // namespace lumiclip
