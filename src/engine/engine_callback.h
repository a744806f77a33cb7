// The host's callback that the engine calls with a topic and UTF-16 data.
#pragma once

#include "engine/engine_abi.h"

namespace lumiclip {

extern "C" void LUMICLIP_STDCALL EngineCallback(const char* topic, const char16_t* data);

}  // namespace lumiclip
