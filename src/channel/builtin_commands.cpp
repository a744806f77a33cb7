#include "channel/builtin_commands.h"

#include <cstring>
#include <deque>

#include "channel/frame_writer.h"
#include "engine/engine_loader.h"
#include "install/payload.h"
#include "install/self_update.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

constexpr size_t kCommandWordLimit = 260;

std::deque<std::string>& HeldCommands() {
  static std::deque<std::string> held;
  return held;
}

bool SameWord(const std::string& word, const char* command) {
  size_t n = std::strlen(command);
  if (word.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(word[i]);
    unsigned char b = static_cast<unsigned char>(command[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

bool Close(HostState& state) {
  LogLine("Closing...");
  state.terminate = true;
  return true;
}

bool RunUpdateDll(int32_t length, char* text, HostState& state) {
  if (length > 0 && UpdateEngineLibrary(state, text, length)) {
    std::string version = GetOwnVersion();
    SendStatus(0, version.c_str());
    return true;
  }
  LogLine("\n**** Error: updateDLL failed\n");
  SendStatus(1, "Error updating RAZ.dll");
  return Close(state);
}

bool RunUpdateNative(int32_t length, char* text, HostState& state) {
  int32_t result = UpdateNativeHost(state, text, length);
  switch (result) {
    case 1:
      SendStatus(1, "Error writing staged native file");
      break;
    case 2:
      SendStatus(1, "Error executing staged native file");
      break;
    default:
      break;
  }
  return Close(state);
}

}  // namespace

std::string ExtractCommand(const char* text, int32_t length) {
  const char* key = std::strstr(text, "JSONCommand");
  if (key == nullptr) return std::string();
  const char* open = std::strstr(key, ":\"");
  if (open == nullptr) return std::string();
  const char* word = open + 2;
  if (word - text >= length) return std::string();
  const char* close = std::strchr(word, '"');
  if (close == nullptr) return std::string();
  size_t size = static_cast<size_t>(close - word);
  if (size >= kCommandWordLimit) return std::string();
  return std::string(word, size);
}

bool IsPing(const std::string& word) { return SameWord(word, "ping"); }

void AnswerPing() { WriteMessage("{\"topic\":\"pong\"}"); }

bool IsAnsweredAtOnce(const std::string& word) { return IsPing(word) || SameWord(word, "setAddonVersion"); }

bool HandleBuiltinCommand(int32_t length, char* text, HostState& state) {
  return HandleBuiltinCommand(ExtractCommand(text, length), length, text, state);
}

bool HandleBuiltinCommand(const std::string& word, int32_t length, char* text, HostState& state) {
  bool update = SameWord(word, "updateDLL") || SameWord(word, "updateNative");
  if (update && EngineCallInProgress()) {
    HeldCommands().emplace_back(text, static_cast<size_t>(length));
    LogFormatStr("Holding '%s' until the engine call returns", word.c_str());
    return true;
  }
  if (SameWord(word, "updateDLL")) return RunUpdateDll(length, text, state);
  if (SameWord(word, "updateNative")) return RunUpdateNative(length, text, state);
  if (IsPing(word)) {
    AnswerPing();
    return true;
  }
  if (SameWord(word, "setAddonVersion")) {
    state.browserId = std::strstr(text, "Opera") != nullptr ? kBrowserIdOpera : kBrowserIdChrome;
    StoredSetAddonVersionMessage().assign(text, static_cast<size_t>(length));
    return true;
  }
  return false;
}

void RunHeldCommands(HostState& state) {
  auto& held = HeldCommands();
  while (!held.empty()) {
    std::string message = std::move(held.front());
    held.pop_front();
    if (state.terminate) {
      // The host is closing: later commands are dropped as the loop would.
      LogLine("\n**** Error: Held command dropped, the host is closing\n");
      continue;
    }
    HandleBuiltinCommand(static_cast<int32_t>(message.size()), message.data(), state);
  }
}

size_t HeldCommandCount() { return HeldCommands().size(); }
void ClearHeldCommandsForTests() { HeldCommands().clear(); }

}  // namespace lumiclip
