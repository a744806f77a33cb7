#include "engine/engine_callback.h"

#include <cstring>
#include <string>
#include <thread>

#include "channel/framing.h"
#include "channel/host_loop.h"
#include "engine/engine_loader.h"
#include "os/os.h"

namespace lumiclip {

namespace {

constexpr const char kPumpTopic[] = "_internalPumpMessage";

void Pump(HostState& state) {
  // Reading stdin is the host thread's alone; a pump asked for from another
  // thread would race the loop for the same frames.
  if (std::this_thread::get_id() != EngineThread()) return;
  if (state.terminate) return;
  if (InputAtEnd()) return;
  Os& os = TheOs();
  OsHandle input = os.StdInputHandle();
  if (input == nullptr || input == reinterpret_cast<OsHandle>(static_cast<intptr_t>(-1))) return;
  uint32_t available = 0;
  if (!os.PeekPipe(input, &available) || available == 0) return;
  HandleNextMessage(state);
}

// The data is converted first and escaped as UTF-8 like the topic: escaping
// touches only ASCII characters, so the order makes no difference, and the
// extension parses the topic message as JSON, control characters included.
void Forward(const char* topic, const char16_t* data) {
  std::string utf8 = data == nullptr ? std::string() : TheOs().WideToUtf8(data);
  std::string message = "{\"topic\":\"";
  AppendJsonEscaped(topic, message);
  message += "\", \"data\":\"";
  AppendJsonEscaped(utf8, message);
  message += "\"}";
  WriteMessage(message);
}

}  // namespace

extern "C" void LUMICLIP_STDCALL EngineCallback(const char* topic, const char16_t* data) {
  // Nothing may cross back into the engine's code, exceptions least of all.
  try {
    HostState* state = CurrentHostState();
    if (state == nullptr || topic == nullptr) return;
    if (std::strcmp(topic, kPumpTopic) == 0) {
      Pump(*state);
      return;
    }
    Forward(topic, data);
  } catch (...) {
  }
}

}  // namespace lumiclip
