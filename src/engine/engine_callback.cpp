#include "engine/engine_callback.h"

#include <cstring>
#include <string>
#include <thread>

#include "channel/builtin_commands.h"
#include "channel/frame_reader.h"
#include "channel/frame_writer.h"
#include "channel/text_escaping.h"
#include "channel/host_loop.h"
#include "engine/engine_loader.h"
#include "support/log.h"

namespace lumiclip {

namespace {

constexpr const char kPumpTopic[] = "_internalPumpMessage";

// Pumps now running on the host thread, nested in one another.
int g_pumpDepth = 0;
// Whether the refusal at the bound was logged since the pumps last unwound:
// an engine that pumps in a loop would otherwise fill the log.
bool g_boundLogged = false;

class PumpScope {
 public:
  PumpScope() { ++g_pumpDepth; }
  ~PumpScope() {
    if (--g_pumpDepth == 0) g_boundLogged = false;
  }
  PumpScope(const PumpScope&) = delete;
  PumpScope& operator=(const PumpScope&) = delete;
};

void Pump(HostState& state) {
  // Reading stdin is the host thread's alone; a pump asked for from another
  // thread would race the loop for the same frames.
  if (std::this_thread::get_id() != EngineThread()) return;
  // A held update is the last request read: it closes the host or replaces
  // the engine, and nothing after it may be taken before it has run.
  if (state.terminate || HeldCommandCount() > 0) return;
  if (InputAtEnd()) return;
  // Only what has come is taken: a frame still arriving is left for a later
  // pump or the loop, and the engine's call never waits for input.
  if (!InputWaiting()) return;
  // Every level nests a handler and an engine call on the one stack.
  if (g_pumpDepth >= kMaxPumpDepth) {
    if (!g_boundLogged) {
      g_boundLogged = true;
      LogFormatInt("\n**** Error: Pump requests nested %d deep, further ones ignored\n", kMaxPumpDepth);
    }
    return;
  }
  // The pump was asked for by engine code that is still on the stack: an
  // update read here is held until that code has returned.
  PumpScope scope;
  HandleNextMessage(state);
}

// The data goes out as it is converted from UTF-16 and escaped, straight
// into the frames: a topic of many megabytes is never held whole in another
// form. Escaping touches only ASCII characters, so converting and escaping
// in one pass gives the bytes that converting first would.
void Forward(const char* topic, const char16_t* data) {
  std::string head = "{\"topic\":\"";
  AppendJsonEscaped(topic, head);
  head += "\", \"data\":\"";
  MessageStream message;
  message.Append(head);
  message.AppendUtf16(data);
  message.Append("\"}");
  message.Finish();
}

}  // namespace

extern "C" void LUMICLIP_STDCALL EngineCallback(const char* topic, const char16_t* data) {
  // Nothing may cross back into the engine's code, exceptions least of all.
  try {
    if (topic == nullptr) return;
    bool pump = std::strcmp(topic, kPumpTopic) == 0;
    HostState* state = CurrentHostState();
    if (state != nullptr && pump) {
      Pump(*state);
    } else if (state != nullptr || (EngineFinishing() && !pump)) {
      // During finish there is no host state to pump for, but its topics
      // still reach the browser.
      Forward(topic, data);
    }
  } catch (...) {
  }
}

int PumpDepth() { return g_pumpDepth; }

}  // namespace lumiclip
