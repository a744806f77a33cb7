// An in-memory Os for tests: files, folders and registry values kept in
// maps, every call recorded in order, and any call made to fail on demand.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/os.h"

namespace lumiclip::testing {

struct FakeBox {
  std::string text;
  bool hasCaption = false;
  std::string caption;
  uint32_t flags = 0;
};

struct FakeShellRun {
  std::string verb, file, parameters;
  int show = -1;
};

struct FakeRegValue {
  uint32_t type = 0;
  std::string data;  // REG_SZ without its zero; REG_DWORD as 4 bytes
  bool operator==(const FakeRegValue& o) const { return type == o.type && data == o.data; }
};

struct FakeModule {
  std::map<std::string, void*> exports;
  int loads = 0;     // LoadModule calls that returned it
  int releases = 0;  // ReleaseModule calls
  // It holds a reference to itself (or another library holds one): no
  // release unmaps it, and its file stays in use.
  bool pinned = false;
};

class FakeOs : public Os {
 public:
  FakeOs();

  // --- what the test arranges --------------------------------------------
  std::string executablePath = "C:\\Host\\lumiclip-chrome-plugin.exe";
  // The command line's words (CommandLineWords); commandLineFails: none can
  // be read.
  std::vector<std::string> commandLine;
  bool commandLineFails = false;
  // Where LoadSystemModule looks; a library added by its bare name
  // (AddModule("x.dll")) is one that the system's search order would find
  // somewhere (the current directory, a folder on PATH): a plant.
  std::string systemFolder = "C:\\Windows\\System32";
  std::string appData = "C:\\Users\\me\\AppData\\Roaming";
  bool appDataFails = false;
  // Keys are canonical paths (Canon): letters in one case as Windows folds
  // them (Lower), backslashes, no "\\?\" prefix, long names.
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  std::map<std::string, int64_t> writeLimits;  // needle (lower) -> bytes a file may hold
  // Other names of one file or folder, as Windows gives them (a short 8.3
  // name): alias path -> the long path, any spelling. Every file call sees
  // one file under all its names.
  std::map<std::string, std::string> shortNames;
  // Files that other processes have loaded as a library or run from. Like
  // this process's own executable and the libraries it has loaded by path
  // and not released, they cannot be replaced or deleted (error 5), only
  // renamed; the mark follows the file to its new name. Gone at a reboot.
  std::set<std::string> inUseByOthers;
  // When non-zero, file calls on a path of more UTF-16 units fail, as the
  // file functions do past MAX_PATH (259 and the zero). Off by default.
  size_t maxPathLength = 0;
  // Calls that fail: "Name" fails every such call, "Name:needle" only those
  // whose first path argument contains needle (case-insensitive; for
  // RenameFile the canonical "from>to").
  std::set<std::string> failing;
  std::map<std::pair<int, std::string>, std::string> resources;
  // Version information: path (lower) -> sub-block -> value bytes. The
  // values under "\\StringFileInfo\\" are given as UTF-8 and answered as
  // UTF-16, as VerQueryValueW answers.
  std::map<std::string, std::map<std::string, std::string>> versions;
  // The running image's own version resource, as it was when the process
  // started; empty: that of the file at executablePath (an image nobody
  // moved aside).
  std::map<std::string, std::string> imageVersion;
  OsVersion version{true, 2, 6, 1};
  uint32_t processId = 4242;
  std::map<uint32_t, uint32_t> processes;  // pid -> what a wait on it returns
  intptr_t shellResult = 42;
  long regCreateResult = 0;
  long regSetResult = 0;
  std::map<std::string, FakeModule> modules;  // name or path (lower) -> module
  std::string tempPath = "C:\\Users\\me\\AppData\\Local\\Temp";
  std::map<uint32_t, std::string> processImages;  // running processes: pid -> executable
  int boxAnswer = 1;  // what every message box returns (IDOK)
  // Folders (canonical paths) that are links to elsewhere (junctions,
  // symbolic links): FileAttributes says so.
  std::set<std::string> reparsePoints;

  // Standard input, the browser's pipe: bytes arrive in chunks (the
  // browser's writes), and a read of the pipe takes at most what the current
  // chunk still holds, as a pipe does.
  void Arrive(const std::string& bytes);
  std::vector<std::string> pending;  // in the pipe, not yet read
  bool inputClosed = true;  // once drained, the input has ended
  bool stdinIsPipe = true;  // false: a host started by hand, TakeInput finds no pipe
  // The pipe is opened for synchronous I/O, as the browser makes it: once the
  // reader has started, its read waits on it until the input ends, and on
  // Windows any other query of the pipe waits for that read, that is for
  // the browser's next bytes. Code that is not the host's (a library's C
  // runtime as it loads, COM, the engine's entries, window and timer
  // procedures) looks at the process's standard input: the fake fails the
  // test when that is still the pipe while the read waits.
  bool stdInputIsPipe = true;
  // What TakeInput does with the process's standard input: points it at NUL
  // (and says so), leaves the pipe in sight (and says so: the host then
  // polls the pipe and no read ever waits on it), or leaves it in sight
  // while saying it hid it, as a broken seam would.
  enum class Hiding { kHides, kLeavesInSight, kSaysHiddenButIsNot };
  Hiding takeInputHides = Hiding::kHides;
  bool inputTaken = false;
  bool ReadPendingOnInput() const { return reader_ != nullptr && !readerEnded_; }
  // What foreign code does: queries standard input (GetStdHandle, then
  // GetFileType or PeekNamedPipe on it).
  void ForeignCodeQueriesStdInput(const std::string& who);
  // The bytes that came and the host has not taken: what the reader holds,
  // then what is still in the pipe. DropUntaken takes them away.
  std::string Untaken();
  void DropUntaken();
  // The reader's thread, run by the fake: StartReader hands it the ring,
  // and the fake takes the reader's steps itself (InputRing::Reserve,
  // Complete, End), at once, whenever bytes come or the input closes: in
  // Arrive, after every hook of the test, while the host waits, and when a
  // take makes room in a full ring. A test that closes the input otherwise
  // lets the reader see it with RunReader.
  void RunReader();
  // The host process has ended, its reader with it; the next host finds the
  // pipe as the last one left it, and standard input its own again.
  void EndProcess();
  uint32_t ticks = 0;            // what TickCount returns
  std::function<void()> onIdle;  // called at every idle wait of the loop
  // What happens while the host waits for input or window messages. A wait
  // that finds nothing ready takes the next group and applies its events in
  // order, as if they all came during that one wait; bytes go through the
  // reader, which answers a ping itself while the host thread sleeps (the
  // ring's shortcut), and then the host sleeps on into the next group. Once
  // a script is given, a wait with nothing ready and no group left would
  // never return: the test fails and the input is ended. Without one, every
  // wait returns.
  struct InputEvent {
    enum Kind { kBytes, kWindowMessage, kEnd } kind;
    std::string bytes;  // kBytes
  };
  std::vector<std::vector<InputEvent>> whileWaiting;
  int queuedMessages = 0;      // window messages posted and not yet pumped
  int dispatchedMessages = 0;  // window messages the pumps took
  int inputWaits = 0;          // waits on the input's event (WaitForEventOrMessages)
  int signals = 0;             // SignalEvent calls, on either of the reader's events
  // Reads that the reader answered itself (the ring's shortcut took all it
  // held) while the host thread slept on.
  int answeredWhileAsleep = 0;
  std::string output;
  int outputWrites = 0;  // calls of WriteOutput
  int logAppends = 0;    // appends to any file (the log), kept open or not
  bool outputBroken = false;
  uint16_t fpuWord = 0x037F;
  // Called by every PumpWindowMessages: what the thread's window procedures
  // (an engine's, say) do when their messages are dispatched.
  std::function<void()> onPumpMessages;

  // --- what the test inspects --------------------------------------------
  std::vector<std::string> calls;
  std::vector<FakeBox> boxes;
  std::vector<FakeShellRun> shellRuns;
  std::map<std::string, std::string> registry;  // key -> default value
  // Named values, and the keys that exist (a key with a default value in
  // registry exists too).
  std::map<std::string, std::map<std::string, FakeRegValue>> registryValues;
  std::set<std::string> registryKeys;
  bool KeyExists(const std::string& key) const;
  std::string RegText(const std::string& key, const std::string& name) const;  // REG_SZ or ""
  int64_t RegDword(const std::string& key, const std::string& name) const;     // -1 when absent
  int comInits = 0, comUninits = 0, fpuClears = 0, pumps = 0;
  int sizeChecks = 0;  // appends asked to empty an oversized file first
  std::set<std::string> keptOpen;  // files opened with OpenToAppend (canonical paths)
  // Shared words by name (failing "SharedWord" makes none), and the index
  // each file was first asked for by. A name in reservedWords is a mapping
  // that another process made first with its pages only reserved: the seam
  // refuses it, as a touch of such a view faults.
  std::set<std::string> reservedWords;
  std::map<std::string, std::unique_ptr<std::atomic<int32_t>>> sharedWords;
  std::map<std::string, uint64_t> fileIndexes;
  std::vector<uint32_t> waits;  // milliseconds of every wait
  bool Called(const std::string& prefix) const;
  size_t IndexOf(const std::string& prefix) const;  // first call, or npos
  // Handles opened and not yet closed: registry keys, files, processes.
  size_t OpenKeyHandles() const { return openKeys_.size(); }
  size_t OpenFileHandles() const { return fileHandles_.size(); }
  size_t OpenProcessHandles() const { return handles_.size(); }

  // Helpers.
  // Letters folded to one case, as Windows compares names ("Ł" as "ł").
  static std::string Lower(const std::string& text);
  // The one spelling of a path that every alias of its file shares.
  std::string Canon(const std::string& path) const;
  bool InUse(const std::string& path) const;
  void AddFile(const std::string& path, const std::string& bytes);
  bool HasFile(const std::string& path) const;
  std::string FileText(const std::string& path) const;
  void AddFolder(const std::string& path);
  std::string Log() const;  // the log file beside the executable
  FakeModule& AddModule(const std::string& name);
  FakeModule& AddSystemModule(const std::string& name);  // in systemFolder
  // Names (lower case) of the files directly inside a folder.
  std::set<std::string> FileNamesIn(const std::string& folder) const;

  // --- crashes ------------------------------------------------------------
  // What a power cut leaves, after the fault-injection environments of
  // database engines: a file's data is on the disk only once it is flushed
  // (FlushFile); a created file without a flush survives empty. Creating or
  // removing a folder or file is on the disk once it returns, and so is a
  // rename with write-through (and it carries the durable data of its
  // source, not the cached one); a rename without write-through is undone.
  // Registry values and log appends are taken as durable once set. A crash
  // falls inside the call after crashAfterCalls recorded ones: a write or
  // copy cut there leaves part of its data, unflushed. From then on every
  // call fails, as the process is gone.
  size_t crashAfterCalls = 0;  // non-zero: every call after this many fails
  bool Crashed() const { return down_; }
  // The machine starts again: every file holds what a crash leaves of it,
  // and no process holds any file.
  void Reboot();
  // The cache written back, as time does: everything is on the disk.
  void FlushAll() {
    unflushed_.clear();
    volatileRenames_.clear();
  }
  // A reference conversion for the tests (not the seam's): a lone surrogate
  // becomes U+FFFD, as the system's lenient conversion makes it.
  static std::string WideToUtf8(std::u16string_view text);

  // --- reading as a browser reads (the installation check) ---------------
  // The machine's keys (HKEY_LOCAL_MACHINE) by view, [0] the 32-bit one:
  // key -> value name ("" the default value) -> value. The user's keys
  // (registry, registryValues, registryKeys) are the same in both views, as
  // HKEY_CURRENT_USER\Software is shared between them. Key and value names
  // are found whatever their case, as Windows finds them.
  std::map<std::string, std::map<std::string, FakeRegValue>> machineRegistry[2];
  // Standard output as a script hands it over (a file or a pipe); a console
  // of the starting program to attach to, and what was written to it.
  bool outputIsFileOrPipe = false;
  bool parentConsole = false;
  std::string console;

  // --- Os ---------------------------------------------------------------
  std::string ExecutablePath() override;
  bool CommandLineWords(std::vector<std::string>* words) override;
  bool RestrictLibrarySearch() override;
  OsHandle LoadSystemModule(const std::string& name) override;
  OsHandle LoadModule(const std::string& name) override;
  OsHandle LoadApplicationModule(const std::string& name) override;
  void* ModuleExport(OsHandle module, const char* name) override;
  bool ReleaseModule(OsHandle module) override;
  std::string OwnResource(int id, const char* type) override;
  bool ModuleMapped(OsHandle module) override;
  uint32_t FileAttributes(const std::string& path) override;
  bool MakeDirectory(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to, uint32_t flags) override;
  int64_t FileLength(const std::string& path) override;
  bool AppendToFile(const std::string& path, std::string_view bytes, int64_t emptyAbove, bool lockByte) override;
  OsHandle OpenToAppend(const std::string& path) override;
  bool AppendToOpenFile(OsHandle file, std::string_view bytes, int64_t emptyAbove, bool lockByte) override;
  bool FileIndex(const std::string& path, uint64_t* index) override;
  std::atomic<int32_t>* SharedWord(const std::string& name) override;
  NewFile OpenNewFile(const std::string& path, OsHandle* file) override;
  OsHandle OpenForFlush(const std::string& path) override;
  bool WriteToFile(OsHandle file, const void* data, uint32_t size, uint32_t* written) override;
  bool FlushFile(OsHandle file) override;
  bool CloseFile(OsHandle file) override;
  NewCopy CopyToNew(const std::string& from, const std::string& to) override;
  uint32_t LastError() override { return lastError_; }
  bool SameFile(const std::string& a, const std::string& b) override;
  bool ListFolder(const std::string& folder, std::vector<std::string>* names) override;
  bool RemoveFolder(const std::string& path) override;
  std::string TempFolderPath() override;
  bool OwnVersionInfo(std::vector<uint8_t>& block) override;
  bool ListSubfolders(const std::string& folder, std::vector<std::string>* names) override;
  uint32_t FileVersionInfoSize(const std::string& path) override;
  bool FileVersionInfo(const std::string& path, std::vector<uint8_t>& block) override;
  bool QueryVersionValue(const std::vector<uint8_t>& block, const std::string& subBlock,
                         const void** value, uint32_t* length) override;
  OsVersion VersionEx() override;
  uint32_t CurrentProcessId() override;
  OsHandle OpenProcessHandle(uint32_t access, uint32_t pid) override;
  uint32_t WaitForObject(OsHandle handle, uint32_t milliseconds) override;
  void CloseOsHandle(OsHandle handle) override;
  bool ListProcessIds(std::vector<uint32_t>* pids) override;
  std::string ProcessImagePath(uint32_t pid) override;
  bool SpecialFolderPath(int csidl, bool create, std::string& out) override;
  intptr_t ShellRun(const char* verb, const std::string& file, const std::string& parameters,
                    int show) override;
  int ShowMessageBox(const std::string& text, const char* caption, uint32_t flags) override;
  void PumpWindowMessages() override;
  long ComInitialize(uint32_t coinit) override;
  void ComUninitialize() override;
  long RegCreateUserKey(const std::string& subKey, uint32_t access, OsHandle* key) override;
  long RegSetDefaultValue(OsHandle key, uint32_t type, const void* data, uint32_t size) override;
  long RegCloseKeyHandle(OsHandle key) override;
  long RegSetNamedValue(OsHandle key, const std::string& name, uint32_t type, const void* data,
                        uint32_t size) override;
  long RegQueryUserDefault(const std::string& subKey, std::string* value) override;
  long RegDeleteUserKey(const std::string& subKey) override;
  void SetStdStreamsBinary() override;
  OsHandle TakeInput(bool* hidden) override;
  bool PeekPipe(OsHandle pipe, uint32_t* available) override;
  bool ReadPipe(OsHandle pipe, void* buffer, uint32_t size, uint32_t* got) override;
  OsHandle NewEvent() override;
  void SignalEvent(OsHandle event) override;
  uint32_t WaitForEventOrMessages(OsHandle event, uint32_t milliseconds) override;
  bool StartReader(InputRing& ring, OsHandle pipe) override;
  void YieldThread() override {}
  void SleepMs(uint32_t ms) override { ticks += ms; }
  uint32_t TickCount() override { return ticks; }
  bool WriteOutput(const void* data, size_t size) override;
  uint16_t FpuControlWord() override;
  void SetFpuControlWord(uint16_t word) override;
  void ClearFpuExceptions() override;
  std::string SystemFolderPath() override;
  OsHandle OpenToRead(const std::string& path) override;
  bool ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t size, uint32_t* read) override;
  long RegOpenKeyToRead(RegHive hive, RegView view, const std::string& subKey, OsHandle* key) override;
  long RegQueryValueOf(OsHandle key, const std::string& name, uint32_t* type, std::string* data) override;
  long RegValueNames(OsHandle key, std::vector<std::string>* names) override;
  bool StdOutputIsFileOrPipe() override;
  bool AttachParentConsole() override;
  bool WriteConsoleText(const std::string& text) override;

 private:
  bool Fails(const std::string& name, const std::string& path = std::string()) const;
  bool ParentExists(const std::string& path) const;
  bool TooLong(const std::string& path) const;
  // True for the call the crash falls inside.
  bool Record(const std::string& call) {
    bool cut = !down_ && crashAfterCalls != 0 && calls.size() >= crashAfterCalls;
    if (cut) down_ = true;
    calls.push_back(call);
    return cut;
  }
  bool Fail(uint32_t error) {
    lastError_ = error;
    return false;
  }
  std::string SelfImage() const { return selfImage_.empty() ? Canon(executablePath) : selfImage_; }
  OsHandle NewHandle(const std::string& path);
  void Append(const std::string& canonicalPath, std::string_view bytes, int64_t emptyAbove, bool lockByte);
  std::string HandlePath(OsHandle file) const;
  // Keeps what a crash would leave of a file before its data changes.
  void Unflushed(const std::string& path) {
    if (!unflushed_.count(path)) unflushed_[path] = files.count(path) ? files[path] : std::string();
  }
  bool down_ = false;
  uint32_t lastError_ = 0;
  // Files whose data is not all on the disk -> what a crash leaves of them.
  std::map<std::string, std::string> unflushed_;
  struct Rename {
    std::string from, to;
    bool replaced;
    std::string old;  // the replaced file's data
  };
  std::vector<Rename> volatileRenames_;  // renames without write-through
  std::map<uintptr_t, std::string> fileHandles_;
  uintptr_t nextFileHandle_ = 0x5000;
  std::string selfImage_;  // where the running executable is, once renamed
  std::vector<std::pair<const FakeModule*, std::string>> loadedFiles_;  // loaded by path
  std::map<uint32_t, std::string> handles_;  // process handles -> pid
  std::vector<std::string> keys_;
  std::vector<uint32_t> keyAccess_;  // as each key was opened
  std::set<uintptr_t> openKeys_;
  long KeyRefusesSet(OsHandle key) const;
  std::vector<std::string> versionBlocks_;
  std::map<std::pair<std::string, std::string>, std::u16string> wideVersionValues_;
  OsHandle Loaded(const std::string& call, const std::string& path);
  size_t nextWaitGroup_ = 0;
  // The reader's ring, once started, and what the fake's reader did with it.
  InputRing* reader_ = nullptr;
  bool readerEnded_ = false;
  bool inReader_ = false;
  std::string fed_;  // the last bytes put into the ring, at most its size
  std::set<uintptr_t> events_;
  std::set<uintptr_t> signalled_;
  uintptr_t nextEvent_ = 0xE000;
  // Keys opened for reading: handle -> the values they hold, copied at the
  // open.
  std::map<uintptr_t, std::map<std::string, FakeRegValue>> readKeys_;
  uintptr_t nextReadKey_ = 0x7000;
};

// Installs a FakeOs and resets the host's process-wide state around a test.
class FakeOsTest;

// Decodes the frames the host wrote: each outbound message reassembled.
std::vector<std::string> DecodeMessages(const std::string& output, std::string* error = nullptr);
// One inbound frame.
std::string FrameOf(const std::string& body);

// A text as the log file stores it: every line feed as CR LF, then the line
// end the log adds.
std::string StoredLogLine(const std::string& text);
// The stored form of several lines, one after the other.
std::string StoredLog(const std::vector<std::string>& lines);
// Whether the log holds these lines in this order, each as a whole stored
// line; other lines may come between them.
::testing::AssertionResult LogHasInOrder(const std::string& log,
                                         const std::vector<std::string>& lines);
// Standard base64 with padding, independent of the host's decoder.
std::string EncodeBase64(const std::string& bytes);

}  // namespace lumiclip::testing
