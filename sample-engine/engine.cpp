// The sample engine: a stand-in engine library that the host loads as RAZ.dll.
// It answers a handful of JSON requests through the host's callback, can be
// told to misbehave in the ways a real engine might, and writes one trace
// line per entry so that tests can see exactly what the host did.
//
// Requests, behaviours and trace lines are described in README.md beside it.

#include <windows.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include <nlohmann/json.hpp>

#include "big_text.h"

// The table's words are pointer-sized: 32-bit in the product, 64-bit when the
// same sources are built for 64-bit Windows.
using TableWord = uintptr_t;

namespace {

using HostCallback = void(__stdcall*)(const char* topic, const wchar_t* data);

struct EngineMessage {
  int32_t length;
  const char* text;
};

constexpr int32_t kTableWords = 6;
constexpr int32_t kWordSize = static_cast<int32_t>(sizeof(TableWord));
constexpr int32_t kTableSize = kTableWords * kWordSize;
constexpr TableWord kTableHeader = 6;
// Differs from both the Windows default (0x037F) and the compiler's (0x027F).
constexpr unsigned short kForeignFpuWord = 0x0E7F;
constexpr long long kBigMaxBytes = 256ll * 1024 * 1024;
constexpr std::size_t kTraceTextMax = 300;

struct Behaviours {
  bool startTopic = false;
  bool finishTopic = false;
  bool replayTopic = false;
  bool initFails = false;
  bool noStart = false;
  bool noFinish = false;
  bool noCall = false;
  bool fpuInit = false;
  bool fpuStart = false;
  bool fpuFinish = false;
  bool words25 = false;
  std::string names;  // as understood, for the trace
};

// Everything here lives only while the DLL is mapped: a FreeLibrary ends it.
HMODULE g_module = nullptr;
Behaviours g_behaviours;
// The trace path from the config file; plain storage, as it is read in
// DllMain and must outlive static destructors for the detach line.
wchar_t g_cfgTracePath[MAX_PATH * 2] = {};
bool g_cfgTraceOff = false;

long g_loads = 0;         // _initLibrary calls since the DLL was mapped
long g_processLoads = 0;  // _initLibrary calls in this process, over reloads
HostCallback g_callback = nullptr;
int32_t g_browserId = 0;
std::string g_addonVersion;  // the replayed setAddonVersion request text
long g_calls = 0;            // calls since the last _initLibrary
int g_depth = 0;             // calls now running, nested ones included

// ---- small helpers --------------------------------------------------------

// UTF-8 to UTF-16 and back with the system's conversions; a malformed
// sequence becomes U+FFFD.
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  if (utf8.size() > INT_MAX) throw std::bad_alloc();
  const int size = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &out[0], n);
  return out;
}

std::string Narrow(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.pop_back();  // the terminating zero
  return out;
}

// A request: the members of one JSON object, read with nlohmann/json. Text
// that is not exactly one valid JSON object leaves ok false.
struct Request {
  explicit Request(const std::string& text)
      : json(nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false)), ok(json.is_object()) {}

  const nlohmann::json* Find(const char* name) const {
    if (!ok) return nullptr;
    const auto it = json.find(name);
    return it == json.end() ? nullptr : &*it;
  }
  bool String(const char* name, std::string& out) const {
    const nlohmann::json* v = Find(name);
    if (!v || !v->is_string()) return false;
    out = v->get<std::string>();
    return true;
  }
  // A whole number, given as a JSON number or as a string ("0x0E7F" too).
  bool Integer(const char* name, long long& out) const {
    const nlohmann::json* v = Find(name);
    if (v && v->is_number_integer()) {
      if (v->is_number_unsigned() && v->get<unsigned long long>() > LLONG_MAX) return false;
      out = v->get<long long>();
      return true;
    }
    if (!v || !v->is_string()) return false;
    const std::string& text = v->get_ref<const std::string&>();
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0') return false;
    out = value;
    return true;
  }
  bool True(const char* name) const {
    const nlohmann::json* v = Find(name);
    return v && v->is_boolean() && v->get<bool>();
  }

  const nlohmann::json json;
  const bool ok;
};

// The DLL's folder, with a trailing backslash, or empty.
std::wstring ModuleFolder() {
  wchar_t path[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return std::wstring();
  std::wstring folder(path, n);
  const std::size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

bool IsAbsolute(const std::wstring& p) {
  return (p.size() >= 2 && p[1] == L':') || (!p.empty() && (p[0] == L'\\' || p[0] == L'/'));
}

std::string EnvA(const char* name) {
  char buffer[4096];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

unsigned short FpuWord() {
  unsigned short word = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(word));
  return word;
}

void SetFpuWord(unsigned short word) { __asm__ __volatile__("fldcw %0" : : "m"(word)); }

// ---- trace ----------------------------------------------------------------

// One trace line per text: \n, \r and \ escaped, cut to kTraceTextMax bytes.
std::string TraceText(const char* text, std::size_t length) {
  std::string out;
  const std::size_t shown = length > kTraceTextMax ? kTraceTextMax : length;
  for (std::size_t i = 0; i < shown; ++i) {
    const char c = text[i];
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\\') out += "\\\\";
    else out.push_back(c);
  }
  if (shown < length) out += "...";
  return out;
}
std::string TraceText(const std::string& s) { return TraceText(s.data(), s.size()); }

// An empty path means no trace.
std::wstring TracePath() {
  wchar_t env[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableW(L"SAMPLE_ENGINE_TRACE", env, MAX_PATH * 2);
  if (n > 0 && n < MAX_PATH * 2) {
    const std::wstring value(env, n);
    if (value == L"off" || value == L"-") return std::wstring();
    return value;
  }
  if (g_cfgTraceOff) return std::wstring();
  if (g_cfgTracePath[0]) {
    const std::wstring value(g_cfgTracePath);
    return IsAbsolute(value) ? value : ModuleFolder() + value;
  }
  const std::wstring folder = ModuleFolder();
  return folder.empty() ? std::wstring() : folder + L"sample-engine-trace.txt";
}

// Opened and closed per line: the DLL may be unloaded, or the process die.
void Trace(const std::string& line) {
  const std::wstring path = TracePath();
  if (path.empty()) return;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

// ---- configuration --------------------------------------------------------

void AddBehaviour(Behaviours& b, std::string name) {
  const std::size_t first = name.find_first_not_of(" \t");
  if (first == std::string::npos) return;
  name = name.substr(first, name.find_last_not_of(" \t") - first + 1);
  bool* flag = nullptr;
  if (name == "start-topic") flag = &b.startTopic;
  else if (name == "finish-topic") flag = &b.finishTopic;
  else if (name == "replay-topic") flag = &b.replayTopic;
  else if (name == "init-fails") flag = &b.initFails;
  else if (name == "no-start") flag = &b.noStart;
  else if (name == "no-finish") flag = &b.noFinish;
  else if (name == "no-call") flag = &b.noCall;
  else if (name == "fpu-init") flag = &b.fpuInit;
  else if (name == "fpu-start") flag = &b.fpuStart;
  else if (name == "fpu-finish") flag = &b.fpuFinish;
  else if (name == "words-2-5") flag = &b.words25;
  if (flag && *flag) return;
  if (flag) *flag = true;
  if (!b.names.empty()) b.names += ',';
  b.names += flag ? name : "?" + name;  // a typo shows in the trace
}

void AddBehaviourList(Behaviours& b, const std::string& list) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    AddBehaviour(b, list.substr(start, end - start));
    start = end + 1;
  }
}

std::string ReadWholeFile(const std::wstring& path) {
  std::string content;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return content;
  char buffer[4096];
  DWORD got = 0;
  while (content.size() < 1024 * 1024 && ReadFile(file, buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
    content.append(buffer, got);
  }
  CloseHandle(file);
  return content;
}

// Behaviours come from SAMPLE_ENGINE_BEHAVIOUR and from sample-engine.cfg
// beside the DLL, merged: the host's environment is not always ours to set.
// The file may also hold a line "trace=PATH" (relative to the DLL's folder,
// or "off").
void ReadConfig() {
  Behaviours b;
  AddBehaviourList(b, EnvA("SAMPLE_ENGINE_BEHAVIOUR"));
  g_cfgTracePath[0] = L'\0';
  g_cfgTraceOff = false;
  const std::wstring folder = ModuleFolder();
  const std::string cfg = folder.empty() ? std::string() : ReadWholeFile(folder + L"sample-engine.cfg");
  // Editors on Windows like to start a UTF-8 file with a byte order mark.
  std::size_t start = cfg.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start < cfg.size()) {
    std::size_t end = cfg.find('\n', start);
    if (end == std::string::npos) end = cfg.size();
    std::string line = cfg.substr(start, end - start);
    start = end + 1;
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    line.erase(0, first);
    if (line.compare(0, 6, "trace=") == 0) {
      const std::wstring path = Wide(line.substr(6));
      if (path == L"off") {
        g_cfgTraceOff = true;
      } else if (path.size() < MAX_PATH * 2) {
        for (std::size_t i = 0; i <= path.size(); ++i)
          g_cfgTracePath[i] = i < path.size() ? path[i] : L'\0';
      }
      continue;
    }
    AddBehaviourList(b, line);
  }
  g_behaviours = b;
}

// Counts loads over FreeLibrary within one process; the environment block is
// the one place that outlives the DLL. The pid guards against inheriting a
// parent's count.
long BumpProcessLoads() {
  const std::string pid = std::to_string(GetCurrentProcessId());
  const std::string value = EnvA("SAMPLE_ENGINE_PROCESS_LOADS");
  long count = 0;
  if (value.compare(0, pid.size() + 1, pid + ":") == 0)
    count = std::strtol(value.c_str() + pid.size() + 1, nullptr, 10);
  ++count;
  SetEnvironmentVariableA("SAMPLE_ENGINE_PROCESS_LOADS", (pid + ":" + std::to_string(count)).c_str());
  return count;
}

// ---- talking to the host ---------------------------------------------------

void Emit(const std::string& topic, const std::wstring* data) {
  const std::string shown = TraceText(topic);
  Trace("emit topic=" + shown);
  // Copied: a nested call may change the global while the host runs.
  const HostCallback callback = g_callback;
  if (!callback) {
    Trace("dropped topic=" + shown);
    return;
  }
  callback(topic.c_str(), data ? data->c_str() : nullptr);
  Trace("emitted topic=" + shown);
}

void Emit(const std::string& topic, const std::string& utf8Data) {
  const std::wstring data = Wide(utf8Data);
  Emit(topic, &data);
}

// ---- the functions ---------------------------------------------------------

void Big(const Request& request) {
  long long size = 0;
  if (request.Find("size") && !request.Integer("size", size)) {
    Emit("error", "big: size is not a whole number");
    return;
  }
  if (size < 0 || size > kBigMaxBytes) {
    Emit("error", "big: size out of range 0.." + std::to_string(kBigMaxBytes));
    return;
  }
  std::string pattern = "mixed";
  request.String("pattern", pattern);
  if (!SampleBigTextPatternKnown(pattern)) {
    Emit("error", "big: unknown pattern " + pattern);
    return;
  }
  // With "keep" the text is built once and kept for the next request of the
  // same size and pattern, so that a benchmark times the host's work alone.
  static std::wstring kept;
  static std::string keptKey;
  const std::string key = std::to_string(size) + pattern;
  bool keep = false;
  if (const nlohmann::json* v = request.Find("keep")) keep = v->is_boolean() && v->get<bool>();
  if (keep && keptKey == key) {
    Emit("big", &kept);
    return;
  }
  std::wstring data;
  try {
    data = Wide(SampleBigTextUtf8(static_cast<std::size_t>(size), pattern));
  } catch (const std::bad_alloc&) {
    Emit("error", "big: out of memory");
    return;
  }
  if (keep) {
    kept = data;
    keptKey = key;
  }
  Emit("big", &data);
}

// ---- window timers ----------------------------------------------------------
//
// `timerpump` arms a thread timer and returns. Its procedure runs when the
// host dispatches its window messages, with no call of the engine running:
// it asks for a pump every 10 ms until one has brought a request to the
// engine (up to 5 s), then for one more, and reports. It never looks at the
// host's input: that belongs to the host. `timer` arms a thread timer whose
// procedure only reports how long after arming it ran. The timer functions
// are looked up at run time, so that the library imports no more than it did.

using SetTimerFn = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);
using KillTimerFn = BOOL(WINAPI*)(HWND, UINT_PTR);

UINT_PTR g_pumpTimer = 0;
UINT_PTR g_plainTimer = 0;
DWORD g_plainArmedAt = 0;

void* User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  if (!user32) user32 = LoadLibraryA("user32.dll");
  return user32 ? reinterpret_cast<void*>(GetProcAddress(user32, name)) : nullptr;
}

void StopTimer(UINT_PTR& timer) {
  if (timer == 0) return;
  if (auto kill = reinterpret_cast<KillTimerFn>(User32Function("KillTimer"))) kill(nullptr, timer);
  timer = 0;
}

UINT_PTR ArmTimer(TIMERPROC procedure) {
  auto set = reinterpret_cast<SetTimerFn>(User32Function("SetTimer"));
  return set ? set(nullptr, 0, 10, procedure) : 0;
}

void CALLBACK PumpTimerProc(HWND, UINT, UINT_PTR, DWORD) {
  StopTimer(g_pumpTimer);
  try {
    Trace("timer fired");
    const long before = g_calls;
    for (int i = 0; i < 500 && g_calls == before; ++i) {
      Emit("_internalPumpMessage", std::string());
      if (g_calls == before) Sleep(10);
    }
    Emit("_internalPumpMessage", std::string());
    Emit("timer-pumped", std::to_string(g_depth));
    Trace("timer returns");
  } catch (...) {
  }
}

void ArmPumpTimer() {
  StopTimer(g_pumpTimer);
  g_pumpTimer = ArmTimer(&PumpTimerProc);
  Emit("timer-armed", g_pumpTimer != 0 ? "1" : "0");
}

void CALLBACK PlainTimerProc(HWND, UINT, UINT_PTR, DWORD) {
  StopTimer(g_plainTimer);
  try {
    Emit("timer-fired", std::to_string(GetTickCount() - g_plainArmedAt));
  } catch (...) {
  }
}

void ArmPlainTimer() {
  StopTimer(g_plainTimer);
  g_plainArmedAt = GetTickCount();
  g_plainTimer = ArmTimer(&PlainTimerProc);
  Emit("timer-armed", g_plainTimer != 0 ? "1" : "0");
}

// ---- what the engine finds as its standard input ------------------------------
//
// Standard input belongs to the host, which reads the browser's pipe on a
// thread of its own: an engine must find no pipe there (on Windows a query
// of that pipe would wait for the browser's next bytes). What the process's
// standard input is, as _initLibrary and a call see it, and what the C
// runtime's descriptor 0 is: "char" (the NUL device), "pipe", "disk",
// "unknown" or "none", with "+peek" when PeekNamedPipe succeeds on it.

std::string g_stdinAtInit = "not seen";

std::string HandleSeen(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "none";
  const DWORD type = GetFileType(handle);
  std::string seen = type == FILE_TYPE_CHAR   ? "char"
                     : type == FILE_TYPE_PIPE ? "pipe"
                     : type == FILE_TYPE_DISK ? "disk"
                                              : "unknown";
  DWORD waiting = 0;
  if (PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr)) seen += "+peek";
  return seen;
}

std::string StdinSeen() { return HandleSeen(GetStdHandle(STD_INPUT_HANDLE)); }

std::string StateJson() {
  return "{\"browserId\":" + std::to_string(g_browserId) +
         ",\"addonVersion\":" +
         nlohmann::json(g_addonVersion).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         ",\"loads\":" + std::to_string(g_loads) +
         ",\"processLoads\":" + std::to_string(g_processLoads) +
         ",\"calls\":" + std::to_string(g_calls) + ",\"depth\":" + std::to_string(g_depth) + "}";
}

void Dispatch(long sequence, const std::string& text) {
  const Request request(text);
  std::string function;
  if (!request.ok || !request.String("JSONFunction", function)) {
    Emit("unknown", text);
    return;
  }
  if (function == "echo") {
    std::string data;
    request.String("data", data);
    Emit("echo", data);
  } else if (function == "state") {
    Emit("state", StateJson());
  } else if (function == "big") {
    Big(request);
  } else if (function == "emit") {
    std::string topic, data;
    request.String("topic", topic);
    request.String("data", data);
    if (request.True("nulldata")) {
      Emit(topic, static_cast<const std::wstring*>(nullptr));
    } else {
      Emit(topic, data);
    }
  } else if (function == "pump") {
    long long count = 1;
    if (request.Find("count") && !request.Integer("count", count)) count = -1;
    if (count < 0 || count > 1000) {
      Emit("error", "pump: count out of range 0..1000");
      return;
    }
    long long delay = 0;
    if (request.Find("delay") && (!request.Integer("delay", delay) || delay < 0 || delay > 5000)) {
      Emit("error", "pump: delay out of range 0..5000");
      return;
    }
    if (delay > 0) Sleep(static_cast<DWORD>(delay));
    for (long long i = 0; i < count; ++i) Emit("_internalPumpMessage", std::string());
    Emit("pumped", std::to_string(sequence));
  } else if (function == "fpu") {
    long long word = 0;
    if (!request.Integer("word", word) || word < 0 || word > 0xFFFF) {
      Emit("error", "fpu: word must be 0..65535");
      return;
    }
    const unsigned short old = FpuWord();
    SetFpuWord(static_cast<unsigned short>(word));
    Emit("fpu", std::to_string(old));
  } else if (function == "timerpump") {
    ArmPumpTimer();
  } else if (function == "timer") {
    ArmPlainTimer();
  } else if (function == "stdin") {
    Emit("stdin", "init=" + g_stdinAtInit + " call=" + StdinSeen() +
                      " crt=" + HandleSeen(reinterpret_cast<HANDLE>(_get_osfhandle(0))));
  } else if (function == "fpuword") {
    Emit("fpuword", std::to_string(FpuWord()));
  } else if (function == "setAddonVersion") {
    g_addonVersion = text;
    Emit("addonVersion", text);
  } else {
    Emit("unknown", text);
  }
}

// ---- entry points ------------------------------------------------------------

void __cdecl Start(int32_t browserId, void** callbackSlot) {
  // The slot lives only during this call.
  g_callback = callbackSlot ? reinterpret_cast<HostCallback>(*callbackSlot) : nullptr;
  g_browserId = browserId;
  try {
    Trace("start browserId=" + std::to_string(browserId) + " callback=" +
          (!callbackSlot ? "noslot" : g_callback ? "nonnull" : "null"));
    if (g_behaviours.fpuStart) SetFpuWord(kForeignFpuWord);
    if (g_behaviours.startTopic) Emit("from-start", std::to_string(browserId));
  } catch (...) {
  }
}

void __cdecl Finish() {
  try {
    Trace("finish");
    if (g_behaviours.fpuFinish) SetFpuWord(kForeignFpuWord);
    if (g_behaviours.finishTopic) Emit("from-finish", std::string("finish"));
  } catch (...) {
  }
  // The host frees the DLL next; nothing may call back after this.
  StopTimer(g_pumpTimer);
  StopTimer(g_plainTimer);
  g_callback = nullptr;
}

struct DepthGuard {
  DepthGuard() { ++g_depth; }
  ~DepthGuard() { --g_depth; }
};

void __cdecl Call(const wchar_t* functionName, int32_t zero1, EngineMessage* message,
                  int32_t zero2) {
  const long sequence = ++g_calls;
  const DepthGuard depth;
  try {
    const std::string name = functionName ? Narrow(functionName) : std::string("(null)");
    std::string text;
    std::string line = "call n=" + std::to_string(sequence) + " name=" + TraceText(name) +
                       " zero1=" + std::to_string(zero1) + " zero2=" + std::to_string(zero2) +
                       " depth=" + std::to_string(g_depth);
    if (!message) {
      line += " message=null";
    } else {
      if (message->text && message->length > 0) text.assign(message->text, message->length);
      const bool terminated = message->text && message->length >= 0 &&
                              message->text[message->length] == '\0';
      line += " length=" + std::to_string(message->length) +
              " terminated=" + (terminated ? "yes" : "no") + " text=" + TraceText(text);
    }
    Trace(line);

    if (!functionName || name != "JSONFunction" || !message || !message->text) {
      Emit("bad-call", line);
      return;
    }
    if (sequence == 1) {
      // The host replays the last setAddonVersion request first after a load.
      g_addonVersion = text;
      if (g_behaviours.replayTopic) Emit("replay", text);
      return;
    }
    Dispatch(sequence, text);
  } catch (const std::bad_alloc&) {
    Trace("call n=" + std::to_string(sequence) + " failed: out of memory");
  } catch (...) {
    Trace("call n=" + std::to_string(sequence) + " failed");
  }
}

}  // namespace

extern "C" __declspec(dllexport) char _initLibrary(TableWord* table, int32_t size) {
  try {
    g_stdinAtInit = StdinSeen();
    ReadConfig();
    ++g_loads;
    g_processLoads = BumpProcessLoads();
    g_callback = nullptr;
    g_browserId = 0;
    g_addonVersion.clear();
    g_calls = 0;

    std::string words;
    if (!table) {
      words = "null";
    } else {
      const int32_t count = size < 0 ? 0 : (size / kWordSize < kTableWords ? size / kWordSize : kTableWords);
      for (int32_t i = 0; i < count; ++i) {
        if (i) words += ',';
        words += std::to_string(table[i]);
      }
    }
    char result = 0;
    std::string reason;
    if (!table || size < kTableSize) reason = "table";
    else if (table[0] != kTableHeader) reason = "header";
    else if (g_behaviours.initFails) reason = "init-fails";
    if (reason.empty()) {
      table[1] = g_behaviours.noStart ? 0 : reinterpret_cast<TableWord>(&Start);
      table[3] = g_behaviours.noFinish ? 0 : reinterpret_cast<TableWord>(&Finish);
      table[4] = g_behaviours.noCall ? 0 : reinterpret_cast<TableWord>(&Call);
      if (g_behaviours.words25) {
        table[2] = 0x5A5A0002u;
        table[5] = 0x5A5A0005u;
      }
      result = 1;
    }
    if (g_behaviours.fpuInit) SetFpuWord(kForeignFpuWord);
    Trace("initLibrary size=" + std::to_string(size) + " words=" + words +
          " load=" + std::to_string(g_loads) + " processLoad=" + std::to_string(g_processLoads) +
          " behaviours=" + (g_behaviours.names.empty() ? std::string("none") : g_behaviours.names) +
          " result=" + std::to_string(static_cast<int>(result)) +
          (reason.empty() ? std::string() : " reason=" + reason));
    return result;
  } catch (...) {
    return 0;
  }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
    try {
      ReadConfig();
      Trace("dllmain attach");
    } catch (...) {
    }
  } else if (reason == DLL_PROCESS_DETACH) {
    try {
      Trace("dllmain detach");
    } catch (...) {
    }
  }
  return TRUE;
}
