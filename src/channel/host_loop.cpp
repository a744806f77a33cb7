#include "channel/host_loop.h"

#include <cstring>
#include <string>

#include "channel/builtin_commands.h"
#include "channel/frame_reader.h"
#include "channel/frame_writer.h"
#include "channel/wire_format.h"
#include "engine/engine_loader.h"
#include "install/leftovers.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

constexpr int kPerMonitorDpiAware = 2;

#if defined(__i386__)
#define LUMICLIP_WINAPI __attribute__((stdcall))
#else
#define LUMICLIP_WINAPI
#endif
using SetProcessDpiAwarenessFn = long(LUMICLIP_WINAPI*)(int);
using SetProcessDpiAwareFn = int(LUMICLIP_WINAPI*)();

void DeclareDpiAware() {
  Os& os = TheOs();
  // Neither library is freed: they stay for the life of the process.
  OsHandle user32 = os.LoadSystemModule("user32.dll");
  OsHandle shcore = os.LoadSystemModule("Shcore.dll");
  if (shcore != nullptr) {
    if (void* f = os.ModuleExport(shcore, "SetProcessDpiAwareness")) {
      reinterpret_cast<SetProcessDpiAwarenessFn>(f)(kPerMonitorDpiAware);
      return;
    }
  }
  if (user32 != nullptr) {
    if (void* f = os.ModuleExport(user32, "SetProcessDPIAware")) {
      reinterpret_cast<SetProcessDpiAwareFn>(f)();
    }
  }
}

// A ping that comes while the host thread sleeps is answered by the thread
// that read it: a round trip without waking the host thread. Only a ping of
// at most this size, and only as the one request held: anything else, or
// anything behind it, wakes the host thread, which answers in order.
constexpr uint32_t kShortcutRequestLimit = 1024;

// The body of one whole frame of at most kShortcutRequestLimit bytes, as the
// zero-terminated text that the command search and the log read.
struct ShortRequest {
  ShortRequest(const char* frame, size_t size) : length(static_cast<int32_t>(size - 4)) {
    std::memcpy(text, frame + 4, size - 4);
    text[size - 4] = '\0';
  }
  char text[kShortcutRequestLimit + 1];
  int32_t length;
};

size_t ClaimPing(const char* bytes, size_t size) {
  if (size < 4) return 0;
  uint32_t length = FrameLength(bytes);
  if (length == 0 || length > kShortcutRequestLimit || size != 4 + length) return 0;
  ShortRequest request(bytes, size);
  return IsPing(ExtractCommand(request.text, request.length)) ? size : 0;
}

void AnswerPingRequest(const char* bytes, size_t size) {
  ShortRequest request(bytes, size);
  // The pong first, and the processor to whoever carries it to the browser:
  // the round trip does not wait for the log. The line is in the file before
  // the reader takes anything more.
  try {
    AnswerPing();
  } catch (...) {
    // Out of memory: this pong is lost, and the reader goes on.
  }
  TheOs().YieldThread();
  LogLine(request.text);
}

constexpr InputShortcut kPingShortcut{&ClaimPing, &AnswerPingRequest};

}  // namespace

void RunHostMode() {
  HostState state;
  Os& os = TheOs();
  // Before COM, any library or thread can look at the standard handles: the
  // pipe is the host's alone from here on (see Os::TakeInput). Standard input that
  // is not a pipe (a host started by hand) ends host mode after the
  // announcement.
  const bool input = TakeStandardInput();
  KeepLogOpen();
  os.ComInitialize(win::kCoinitApartmentThreaded);
  try {
    DeclareDpiAware();
    os.SetStdStreamsBinary();
    AnnounceHost();
    // After the announcement, which the extension waits for.
    RemoveLeftovers(os.ExecutablePath());
    if (input) RunMessageLoop(state);
  } catch (...) {
    // Only a lack of memory gets here; the host closes cleanly all the same.
  }
  os.ComUninitialize();
  UnloadEngine(state);
}

void AnnounceHost() {
  std::string version = GetOwnVersion();
  // Built as a string: a long version text cannot overflow anything.
  WriteMessage("{\"topic\":\"hostVersion\", \"data\":\"" + version + "\"}");
  uint32_t attributes = TheOs().FileAttributes(GetEngineLibraryPath());
  if (attributes == win::kInvalidFileAttributes ||
      (attributes & win::kFileAttributeDirectory) != 0) {
    WriteMessage("{\"topic\":\"getDLL\"}");
  } else {
    SendStatus(0, version.c_str());
  }
}

void RunMessageLoop(HostState& state) {
  Os& os = TheOs();
  // Under a continuous stream of requests the window messages are pumped
  // too, every few requests or every few milliseconds, whichever comes
  // first: COM, timers and cross-thread SendMessage of the engine would
  // otherwise wait for the whole burst.
  uint32_t lastPump = os.TickCount();
  int sincePump = 0;
  while (!state.terminate && !InputAtEnd()) {
    bool handled = false;
    // The lines and replies of requests answered at once are held while more
    // requests follow: one append and one write for a burst.
    HoldOutput();
    bool go = HandleNextMessage(state, &handled);
    if (!go || state.terminate || InputAtEnd()) break;
    if (handled && ++sincePump < kRequestsPerPump && os.TickCount() - lastPump < kPumpIntervalMs) continue;
    // Before the window messages, which run the engine's code, and before
    // any wait.
    SendHeldOutput();
    // Nothing complete waits (or it is time): a frame in progress does not
    // hold the window messages up.
    os.PumpWindowMessages();
    // An engine window procedure may have pumped an update; its code has
    // returned now.
    RunHeldCommands(state);
    lastPump = os.TickCount();
    sincePump = 0;
    // Sleeps until a byte, the end of input or a window message comes; a
    // message posted during the pump ends the wait at once. A held update
    // that closed the host ends the loop first.
    // Only with nothing of a frame taken: then what the reader holds begins
    // at a frame's start.
    if (!handled && !state.terminate) WaitForInput(FrameInProgress() ? nullptr : &kPingShortcut);
  }
  SendHeldOutput();
  if (state.terminate) LogLine("Got 'terminate' command.");
}

bool HandleNextMessage(HostState& state, bool* handled) {
  if (handled != nullptr) *handled = false;
  try {
    Frame frame = TakeFrame();
    if (!frame) return true;
    if (handled != nullptr) *handled = true;
    LogLine(frame.text());
    const std::string word = ExtractCommand(frame.text(), frame.length);
    // Nothing held waits behind an engine call or an update, nor may their
    // line be missing from the log should they never return.
    if (!IsAnsweredAtOnce(word)) SendHeldOutput();
    if (!HandleBuiltinCommand(word, frame.length, frame.body.get(), state)) {
      if (state.engineLoaded || EnsureEngineLoaded(state)) {
        CallEngine(frame.text(), frame.length);
      }
    }
    // An update command that the engine's pump brought in while its code was
    // on the stack has waited for that code to return; carry it out now.
    if (!EngineCallInProgress()) RunHeldCommands(state);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace lumiclip
