#include "engine/engine_loader.h"

#include <atomic>
#include <cstring>
#include <string>

#include "engine/engine_callback.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

EngineEntryTable g_table;
OsHandle g_module = nullptr;
// Read by callbacks on whatever thread the engine calls from.
std::atomic<HostState*> g_current{nullptr};
std::atomic<std::thread::id> g_engineThread{};
std::atomic<bool> g_finishing{false};
int g_callDepth = 0;

constexpr const char kLoaderCaption[] = "Library not loaded";

// The engine may change the x87 control word while it loads or unloads; the
// host's own arithmetic must not inherit that.
class FpuGuard {
 public:
  FpuGuard() : saved_(TheOs().FpuControlWord()) {}
  ~FpuGuard() {
    TheOs().ClearFpuExceptions();
    TheOs().SetFpuControlWord(saved_);
  }
  FpuGuard(const FpuGuard&) = delete;
  FpuGuard& operator=(const FpuGuard&) = delete;

 private:
  uint16_t saved_;
};

class CallDepth {
 public:
  CallDepth() { ++g_callDepth; }
  ~CallDepth() { --g_callDepth; }
  CallDepth(const CallDepth&) = delete;
  CallDepth& operator=(const CallDepth&) = delete;
};

// A library is never looked for by its bare name: the system's search
// would take a file of that name from the current directory or any folder
// on PATH, which others may write to.
void ProbeXmlLite(const std::string& enginePath) {
  Os& os = TheOs();
  if (OsHandle lib = os.LoadSystemModule("xmllite.dll")) {
    os.ReleaseModule(lib);
    return;
  }
  size_t slash = enginePath.rfind('\\');
  if (slash != std::string::npos && IsFullPath(enginePath)) {
    std::string local = enginePath.substr(0, slash) + "\\xmllite.dll";
    // A copy beside the engine stays loaded for the life of the process.
    if (PathLength(local) <= kMaxPathLength && os.LoadModule(local) != nullptr) return;
  }
  os.ShowMessageBox("Lumiclip needs XMLLITE.DLL for execution, please install it first.",
                    kLoaderCaption, win::kMbIconError);
}

}  // namespace

bool LoadEngine(const char* path, int32_t browserId) {
  std::memset(&g_table, 0, sizeof(g_table));
  g_table.header = kEngineTableHeader;
  if (path == nullptr) return false;

  FpuGuard fpu;
  Os& os = TheOs();
  ProbeXmlLite(path);

  // By its full path only; the second chance is the application's folder,
  // never PATH or the current directory.
  g_module = IsFullPath(path) ? os.LoadModule(path) : nullptr;
  if (g_module == nullptr) g_module = os.LoadApplicationModule(kEngineLibraryName);
  if (g_module == nullptr) {
    os.ShowMessageBox("Failed to load RAZ.dll.\nPossibly reinstall should help.", path,
                      win::kMbIconError);
    return false;
  }

  auto init = reinterpret_cast<InitLibraryFn>(os.ModuleExport(g_module, "_initLibrary"));
  // An engine that reports success but leaves start or call empty cannot be
  // driven; calling the empty word would crash the host.
  bool initialised = init != nullptr && init(&g_table.header, kEngineTableSize) != 0;
  if (!initialised || g_table.start == 0 || g_table.call == 0) {
    os.ShowMessageBox("Error locating Functions in RAZ.dll", kLoaderCaption, win::kMbIconError);
    // Released, not left mapped: a mapped library cannot be replaced, and an
    // update is the only cure for a library that cannot be driven. Its finish
    // is not called: start never ran, and finish may rely on it.
    os.ReleaseModule(g_module);
    g_module = nullptr;
    return false;
  }

  // The engine copies the address out of this word during start.
  EngineCallbackFn callback = &EngineCallback;
  reinterpret_cast<StartFn>(g_table.start)(browserId, &callback);
  return true;
}

bool EnsureEngineLoaded(HostState& state) {
  LogFormatInt("initLibrary, browser id: %d", state.browserId);
  if (!state.engineLoaded) {
    state.engineLoaded = LoadEngine(GetEngineLibraryPath().c_str(), state.browserId);
  }
  if (!state.engineLoaded) return false;
  g_current = &state;
  g_engineThread = std::this_thread::get_id();
  // A copy: a setAddonVersion pumped during the replay replaces the stored
  // text while the engine still reads this one.
  std::string replay = StoredSetAddonVersionMessage();
  CallEngine(replay.c_str(), static_cast<int32_t>(replay.size()));
  return true;
}

void CallEngine(const char* text, int32_t length) {
  if (g_table.call == 0) return;
  EngineMessage message{length, text};
  CallDepth depth;
  reinterpret_cast<CallFn>(g_table.call)(u"JSONFunction", 0, &message, 0);
}

void UnloadEngine(HostState& state) {
  FpuGuard fpu;
  if (!state.engineLoaded) return;
  if (EngineCallInProgress()) {
    // Releasing the library now would pull its code from under the call
    // that is still running further up the stack.
    LogLine("\n**** Error: Engine call in progress, not unloading\n");
    return;
  }
  // No request may reach the engine once its finish has begun: callbacks
  // from now on find no host state. Finish's own topics are still
  // forwarded; anything the library sends while it is released is dropped.
  g_current = nullptr;
  state.engineLoaded = false;
  if (g_module != nullptr && g_table.finish != 0) {
    {
      CallDepth depth;
      g_finishing = true;
      reinterpret_cast<FinishFn>(g_table.finish)();
      g_finishing = false;
    }
    TheOs().ReleaseModule(g_module);
  }
}

bool EngineStillMapped() { return g_module != nullptr && TheOs().ModuleMapped(g_module); }

HostState* CurrentHostState() { return g_current; }
bool EngineFinishing() { return g_finishing; }
std::thread::id EngineThread() { return g_engineThread; }
bool EngineCallInProgress() { return g_callDepth > 0 || PumpDepth() > 0; }
const EngineEntryTable& EngineTableForTests() { return g_table; }
void ResetEngineForTests() {
  std::memset(&g_table, 0, sizeof(g_table));
  g_module = nullptr;
  g_current = nullptr;
  g_engineThread = std::thread::id();
  g_finishing = false;
  g_callDepth = 0;
}

}  // namespace lumiclip
