#include "channel/host_loop.h"

#include <string>

#include "channel/builtin_commands.h"
#include "channel/framing.h"
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
  OsHandle user32 = os.LoadModule("user32.dll");
  OsHandle shcore = os.LoadModule("Shcore.dll");
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

}  // namespace

void RunHostMode() {
  HostState state;
  Os& os = TheOs();
  os.ComInitialize(win::kCoinitApartmentThreaded);
  try {
    DeclareDpiAware();
    os.SetStdStreamsBinary();
    AnnounceHost();
    // After the announcement, which the extension waits for.
    RemoveLeftovers(os.ExecutablePath());
    RunMessageLoop(state);
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
  OsHandle input = os.StdInputHandle();
  while (!state.terminate) {
    if (InputAtEnd()) break;
    uint32_t available = 0;
    if (!os.PeekPipe(input, &available)) break;
    if (available == 0) {
      os.PumpWindowMessages();
      // An engine window procedure may have pumped an update; its code has
      // returned now.
      RunHeldCommands(state);
      // Sleeps until a byte, the end of input or a window message comes; a
      // message posted during the pump ends the wait at once. A held update
      // that closed the host ends the loop first.
      if (!state.terminate) os.WaitForInputOrMessages();
      continue;
    }
    if (!HandleNextMessage(state)) break;
  }
  if (state.terminate) LogLine("Got 'terminate' command.");
}

bool HandleNextMessage(HostState& state) {
  try {
    Frame frame = ReadFrame();
    if (!frame) return true;
    LogLine(frame.text());
    if (!HandleBuiltinCommand(frame.length, frame.text(), state)) {
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
