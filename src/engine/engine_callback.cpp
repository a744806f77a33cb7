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

// Backslash and quote as always, and the control characters too: the
// extension parses the topic message as JSON.
std::u16string EscapeWide(const char16_t* data) {
  std::u16string out;
  if (data == nullptr) return out;
  static const char16_t kHex[] = u"0123456789abcdef";
  for (const char16_t* p = data; *p != 0; ++p) {
    char16_t c = *p;
    switch (c) {
      case u'\\': out += u"\\\\"; break;
      case u'"': out += u"\\\""; break;
      case u'\b': out += u"\\b"; break;
      case u'\f': out += u"\\f"; break;
      case u'\n': out += u"\\n"; break;
      case u'\r': out += u"\\r"; break;
      case u'\t': out += u"\\t"; break;
      default:
        if (c < 0x20) {
          out += u"\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

void Forward(const char* topic, const char16_t* data) {
  std::string utf8 = TheOs().WideToUtf8(EscapeWide(data));
  std::string message = "{\"topic\":\"";
  AppendJsonEscaped(topic, message);
  message += "\", \"data\":\"";
  message += utf8;
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
