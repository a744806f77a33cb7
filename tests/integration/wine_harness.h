// Runs the real Windows programs under wine for the integration tests: one
// wine prefix per test program, host folders inside its drive C, and the
// host started through the launcher exactly as a browser starts it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The size the host hands to the engine's _initLibrary in the build under
// test, as the sample engine's trace shows it: the table's size in bytes.
#ifndef LUMICLIP_ENGINE_TABLE_SIZE
#define LUMICLIP_ENGINE_TABLE_SIZE "24"
#endif

namespace lumiclip::itest {

// The command that runs the Windows programs under test: "wine" for the
// win32 build, wine64 for the win64 build (Debian's `wine` always takes the
// 32-bit loader when wine32 is installed). LUMICLIP_WINE overrides it.
const std::string& WineLoader();

struct ProcessResult {
  int exitCode = -1;
  bool timedOut = false;
  std::string out;
  std::string err;
};

class Wine {
 public:
  // The prefix of this test program, a fresh copy of the build's template
  // prefix (scripts/wineprefix), made (and its wineserver kept running) on
  // first use.
  static Wine& Get();

  const std::string& prefix() const { return prefix_; }
  const std::string& bin() const { return bin_; }  // the win32 build's bin folder
  std::string DriveC() const { return prefix_ + "/drive_c"; }
  std::string AppData() const;  // the user's roaming folder, Unix path
  // Unix path inside drive C -> "C:\..." and back.
  std::string WinPath(const std::string& unixPath) const;

  // Runs a program under wine. env adds or replaces variables. A program of
  // ours (but an uninstallation) or `reg` that ends with exit status 1 and
  // printed nothing, as when wine lost it before any of its code ran, is run
  // once more, with a note on stderr. cwd: the Unix folder it starts in
  // (wine maps it to the program's current directory).
  ProcessResult Run(const std::vector<std::string>& args, const std::string& input = std::string(),
                    int timeoutMs = 60000, const std::map<std::string, std::string>& env = {},
                    const std::string& cwd = std::string());
  // The default value of a HKCU key, read back with `wine reg query`; empty
  // when the key or value is missing. `reg` prints in the console's code
  // page: a character outside it comes back as "?".
  std::string RegQueryDefault(const std::string& key);
  // The same, exported by regedit in UTF-16: every character as it is.
  std::string RegExportDefault(const std::string& key);
  void RegDelete(const std::string& key);

  // Runs args with wine's relay trace limited to user32.MessageBoxW and
  // returns the boxes shown: text and caption as UTF-8.
  struct Box {
    std::string text;
    std::string caption;  // "(null)" when the pointer was null
    unsigned flags = 0;
    bool cut = false;  // wine printed only the text's start, followed by "..."
  };
  static std::vector<Box> BoxesIn(const std::string& relayTrace);
  // As BoxesIn, and also the boxes whose text or caption wine cut short in
  // the trace (long texts are printed as "start"...), which BoxesIn skips.
  static std::vector<Box> AllBoxesIn(const std::string& relayTrace);
  std::map<std::string, std::string> RelayEnv();

  // Starts the prefix's session (wineboot and its services) from a process
  // whose standard streams are /dev/null. Without it the session's services
  // are started by the first program run and inherit its pipes, so a Run
  // that comes first waits for its whole timeout. Runs once; later calls do
  // nothing.
  void StartSession();

 private:
  ProcessResult RunOnce(const std::vector<std::string>& args, const std::string& input, int timeoutMs,
                        const std::map<std::string, std::string>& env, const std::string& cwd);
  Wine();
  ~Wine();
  std::string prefix_;
  std::string bin_;
  bool relayConfigured_ = false;
  bool sessionStarted_ = false;
};

// A fresh folder inside drive C holding a copy of the host exe (and, when
// asked, the sample engine or any other file).
class HostFolder {
 public:
  explicit HostFolder(const std::string& name, const std::string& exeName = "lumiclip-chrome-plugin.exe");
  const std::string& dir() const { return dir_; }  // Unix path
  std::string exe() const { return dir_ + "/" + exeName_; }
  std::string winExe() const { return Wine::Get().WinPath(exe()); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void CopyFromBin(const std::string& binName, const std::string& as = std::string()) const;
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  std::string Log() const { return Read("native-lumiclip.log"); }

 private:
  std::string dir_;
  std::string exeName_;
};

// One conversation with a host started through the launcher.
// Joins the bodies of the host's outbound frames into its messages: each
// frame {"data":...} a piece, a message closed by an empty one. What is
// wrong with a frame (invalid JSON, more than 1 MiB) goes to errors.
struct MessageJoiner {
  std::vector<std::string> messages;
  std::string current;
  std::string errors;
  // The whole frames of stream from *at on, *at moved past them; false when
  // no whole frame was there.
  bool TakeFrames(const std::string& stream, size_t* at);
};

class Conversation {
 public:
  explicit Conversation(const std::string& winExe, const std::map<std::string, std::string>& env = {},
                        const std::vector<std::string>& hostArgs = {});
  ~Conversation();

  void Send(const std::string& json);        // one frame
  void SendRaw(const std::string& bytes);    // anything
  void CloseInput();
  // The next reassembled outbound message; empty optional-like: ok=false on
  // timeout or end of output.
  bool Next(std::string* message, int timeoutMs = 30000);
  // Raw bytes received so far (all frames as they came).
  std::string RawOutput();
  // Waits for the launcher (and so the host) to exit; its exit code or -1.
  int Wait(int timeoutMs = 30000);
  bool Exited();
  // Every frame must be valid JSON of at most 1 MiB; empty when so.
  std::string FrameErrors();

 private:
  void Start();
  void Stop();
  int WaitForExit(int timeoutMs);
  bool StartedAgain();
  void ReadLoop();
  std::string exe_;
  std::vector<std::string> args_;
  std::map<std::string, std::string> env_;
  std::string sent_;
  bool retried_ = false;
  int pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::thread reader_;
  std::thread errReader_;
  std::string errors_;
  std::atomic<bool> over_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string raw_;
  size_t parsed_ = 0;
  MessageJoiner joined_;
  size_t taken_ = 0;
  bool eof_ = false;
  int status_ = -1;
  int signal_ = 0;
  bool reaped_ = false;
};

// This process's environment with extra set (names replaced, or added).
std::vector<std::string> Environment(const std::map<std::string, std::string>& extra);
// In a child between fork and exec, where nothing may allocate: standard
// input, output and error from in, out and err, no other descriptor, a
// process group of its own (so that a kill takes wine's helpers too), in cwd
// when it is not empty; exit status 126 or 127 when that fails.
[[noreturn]] void ExecChild(char* const* argv, char* const* envp, const std::string& cwd, int in, int out, int err);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::string FrameOf(const std::string& body);
std::string Le32(uint32_t n);
std::vector<std::string> Lines(const std::string& log);  // split at CR LF
// Strict; a text that is not valid UTF-16 comes back as a note saying so.
std::string Utf16ToUtf8(const std::u16string& text);

// The wine process of a host, found by a text in its command line (its own
// folder, say) but not the launcher's; -1 when none shows up within 10 s.
int FindHostProcess(const std::string& needle);
// What the host process has cost so far: user and system CPU time, and how
// often any of its threads was put back on a processor (voluntary and
// involuntary context switches), from /proc.
double CpuSecondsOf(int pid);
long WakeUpsOf(int pid);

}  // namespace lumiclip::itest
