// The commands the host answers itself: updateDLL, updateNative, ping and
// setAddonVersion. Everything else goes to the engine.
#pragma once

#include <cstdint>
#include <string>

#include "channel/host_state.h"

namespace lumiclip {

// The word after the first "JSONCommand", between the next `:"` and the
// following quote; empty when there is none or it is 260 bytes or longer.
std::string ExtractCommand(const char* text, int32_t length);

// A ping: answered from its own text, touching nothing of the host's state,
// so on whichever thread has it. Given the command word.
bool IsPing(const std::string& word);
void AnswerPing();
// A ping or setAddonVersion: handled at once, without the engine, without
// waiting for anything, so its reply may go out together with those of the
// requests after it. Given the command word.
bool IsAnsweredAtOnce(const std::string& word);

// True when the message was a built-in command and has been handled (or held
// for later, see below). An update's payload is decoded in the text itself.
bool HandleBuiltinCommand(int32_t length, char* text, HostState& state);
// The same, given the message's command word (ExtractCommand) already found.
bool HandleBuiltinCommand(const std::string& word, int32_t length, char* text, HostState& state);

// An update command unloads the engine. One that arrives through the
// engine's pump, while the engine's own code is still on the stack, is held
// and carried out once that code has returned: after the outermost engine
// call, or after the loop's window-message pump. While one is held the pump
// reads nothing more, so at most one is ever held.
void RunHeldCommands(HostState& state);
size_t HeldCommandCount();
void ClearHeldCommandsForTests();

}  // namespace lumiclip
