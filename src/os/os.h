// The one seam between the host and the platform. Every call the host makes
// to Windows goes through Os; the real implementation (os_win32.cpp) is a thin
// pass-through, tests install a fake that keeps files and registry in memory
// and can fail any call. Method names avoid the A/W macros of <windows.h>.
//
// Every text that crosses the seam is UTF-8: paths, registry strings, module
// names, the command line, message-box texts. The real seam calls the wide
// (UTF-16) function with it; a text that cannot be converted either way
// makes the call fail, with ERROR_NO_UNICODE_TRANSLATION as its last error,
// so no name is ever guessed at. The process's code page is left alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumiclip {

class InputRing;  // channel/input_ring.h: standard input through a reader thread

using OsHandle = void*;  // process, registry key, module or pipe handle

// Win32 values the logic needs, spelled out so that it compiles without
// <windows.h>. They are checked against the real headers in os_win32.cpp.
namespace win {
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbSystemModal = 0x1000;
constexpr uint32_t kMbSetForeground = 0x10000;
constexpr int kSwHide = 0;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;
constexpr long kErrorFileNotFound = 2;
constexpr uint32_t kMbYesNo = 0x4;
constexpr uint32_t kMbIconQuestion = 0x20;
constexpr uint32_t kMbIconInformation = 0x40;
constexpr int kIdYes = 6;
constexpr long kErrorSuccess = 0;
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kCoinitApartmentThreaded = 0x2;
constexpr uint32_t kPlatformWin32Nt = 2;
constexpr int kCsidlAppData = 26;
constexpr uint32_t kMoveFileReplaceExisting = 0x1;
constexpr uint32_t kMoveFileWriteThrough = 0x8;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
constexpr uint32_t kFileAttributeReparsePoint = 0x400;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kMbIconWarning = 0x30;
}  // namespace win

struct OsVersion {
  bool ok = false;  // GetVersionExA succeeded
  uint32_t platformId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
};

class Os {
 public:
  virtual ~Os() = default;

  // --- modules -------------------------------------------------------------
  // Full path of the running executable (GetModuleFileNameW of the image),
  // never truncated: empty only when the call fails.
  virtual std::string ExecutablePath() = 0;
  // The words of the command line, the program as word 0 (CommandLineToArgvW
  // of GetCommandLineW); false, with no words, when it cannot be split.
  virtual bool CommandLineWords(std::vector<std::string>* words) = 0;
  // From now on libraries are looked for only in the system folder and the
  // executable's: SetDefaultDllDirectories (looked up, for older systems),
  // else SetDllDirectoryW(L"") (no current directory). False when neither.
  virtual bool RestrictLibrarySearch() = 0;
  // A library of the system, from the system folder only: LoadLibraryExW of
  // its full path there (GetSystemDirectoryW), what it needs from there too
  // (LOAD_LIBRARY_SEARCH_SYSTEM32, or LOAD_WITH_ALTERED_SEARCH_PATH).
  virtual OsHandle LoadSystemModule(const std::string& name) = 0;
  // A library by its full path; the libraries it needs come from its own
  // folder first (LoadLibraryExW with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
  // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, or LOAD_WITH_ALTERED_SEARCH_PATH).
  virtual OsHandle LoadModule(const std::string& path) = 0;
  // A library by name from the executable's folder only, never PATH or the
  // current directory (LOAD_LIBRARY_SEARCH_APPLICATION_DIR, or that folder's
  // full path).
  virtual OsHandle LoadApplicationModule(const std::string& name) = 0;
  virtual void* ModuleExport(OsHandle module, const char* name) = 0;
  virtual bool ReleaseModule(OsHandle module) = 0;
  // The bytes of a resource of the executable (FindResourceW with the id and
  // type, LoadResource, LockResource, SizeofResource); empty on any failure.
  virtual std::string OwnResource(int id, const char* type) = 0;
  // Whether a module this process loaded is still mapped, whatever has
  // become of its file (GetModuleHandleExW from the module's address, the
  // reference count unchanged): after its release, only while something
  // else holds a reference to it.
  virtual bool ModuleMapped(OsHandle module) = 0;
  // The system folder (GetSystemDirectoryW), where LoadSystemModule looks;
  // empty when the call fails.
  virtual std::string SystemFolderPath() = 0;

  // --- files ---------------------------------------------------------------
  virtual uint32_t FileAttributes(const std::string& path) = 0;
  virtual bool MakeDirectory(const std::string& path) = 0;  // CreateDirectoryW
  virtual bool RemoveFile(const std::string& path) = 0;  // DeleteFileW
  // MoveFileExW(from, to, flags), flags from win::kMoveFile*.
  virtual bool RenameFile(const std::string& from, const std::string& to, uint32_t flags) = 0;
  // Length of a file opened read-only (_wopen, _filelength, _close); -1 when it
  // cannot be opened.
  virtual int64_t FileLength(const std::string& path) = 0;
  // Opens in append mode, writes the bytes untranslated, closes. False when
  // the file cannot be opened. With emptyAbove >= 0 the file is first
  // emptied when it is longer than that (GetFileSizeEx, SetFilePointerEx,
  // SetEndOfFile), under the same open, so that no other writer's line falls
  // between the check and the emptying. The open is without write sharing,
  // or, while another process keeps the file open for writing, with it; then
  // with lockByte the append is made under an exclusive lock on one byte far
  // past any content (LockFileEx, UnlockFileEx). Either open is tried again
  // for up to 200 ms while the other kind is held.
  virtual bool AppendToFile(const std::string& path, std::string_view bytes, int64_t emptyAbove,
                            bool lockByte) = 0;
  // For a file that a process appends to often: CreateFileW(GENERIC_WRITE,
  // every sharing, OPEN_ALWAYS), tried again for up to 200 ms while another
  // process holds it without write sharing; null when it cannot be opened.
  // Closed with CloseFile.
  virtual OsHandle OpenToAppend(const std::string& path) = 0;
  // Appends to a file from OpenToAppend as AppendToFile does, under the lock
  // byte with lockByte (without it the caller serialises the writers). False
  // when the bytes could not be written.
  virtual bool AppendToOpenFile(OsHandle file, std::string_view bytes, int64_t emptyAbove,
                                bool lockByte) = 0;
  // The file's index on its volume (GetFileInformationByHandle on the file
  // opened without access rights); false when it cannot be opened.
  virtual bool FileIndex(const std::string& path, uint64_t* index) = 0;
  // A 32-bit word that every process naming it shares, zero when first made:
  // CreateFileMappingW (paging file, 4 bytes) and MapViewOfFile. The
  // mapping's handle stays open for the life of the process, as the name
  // goes with its last handle even while views remain. nullptr when it
  // cannot be had, or when its view is not committed and writable
  // (VirtualQuery): another process may have made the mapping first with
  // pages only reserved, which fault at the first touch.
  virtual std::atomic<int32_t>* SharedWord(const std::string& name) = 0;

  // --- file primitives: one call each; what makes a write durable is
  // composed above the seam (install/file_replace.cpp) ----------------------
  // CreateFileW(GENERIC_WRITE, no sharing, CREATE_NEW): kExists when
  // something has that name already (never opened or truncated).
  enum class NewFile { kOpened, kExists, kFailed };
  virtual NewFile OpenNewFile(const std::string& path, OsHandle* file) = 0;
  // CreateFileW(GENERIC_WRITE, OPEN_EXISTING), for flushing a file written
  // by another call (a copy); null when it cannot be opened.
  virtual OsHandle OpenForFlush(const std::string& path) = 0;
  // One WriteFile; *written may be less than size.
  virtual bool WriteToFile(OsHandle file, const void* data, uint32_t size, uint32_t* written) = 0;
  virtual bool FlushFile(OsHandle file) = 0;  // FlushFileBuffers
  virtual bool CloseFile(OsHandle file) = 0;  // CloseHandle
  // CopyFileW(from, to, TRUE); the copy is not flushed. kExists when
  // something has that name already.
  enum class NewCopy { kDone, kExists, kFailed };
  virtual NewCopy CopyToNew(const std::string& from, const std::string& to) = 0;
  // GetLastError: the error of the last file call that failed, read right
  // after it.
  virtual uint32_t LastError() = 0;
  // CreateFileW(GENERIC_READ, every sharing, OPEN_EXISTING): for reading a
  // file that others may write, run or have loaded; null when it cannot be
  // opened. Closed with CloseFile.
  virtual OsHandle OpenToRead(const std::string& path) = 0;
  // One ReadFile at offset (the handle's position set by an OVERLAPPED);
  // *read is less than size at the end of the file, 0 past it.
  virtual bool ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t size, uint32_t* read) = 0;

  // --- file identity -------------------------------------------------------
  // Whether both paths name one existing file, whatever their spelling:
  // same volume serial number and file index (GetFileInformationByHandle).
  virtual bool SameFile(const std::string& a, const std::string& b) = 0;
  // The names of the files (not folders) directly inside folder, as
  // FindFirstFileW/FindNextFileW on "folder\*" give them (a name that is no
  // valid Unicode, never one of the host's, is left out); false when the
  // folder cannot be listed (names is then empty).
  virtual bool ListFolder(const std::string& folder, std::vector<std::string>* names) = 0;
  // RemoveDirectoryW: only an empty folder goes.
  virtual bool RemoveFolder(const std::string& path) = 0;
  // GetTempPathW, without its trailing backslash; empty when the call fails.
  virtual std::string TempFolderPath() = 0;
  // The names of the folders directly inside folder, without "." and ".."
  // (FindFirstFileW/FindNextFileW on "folder\*"); false when the folder
  // cannot be listed (names is then empty).
  virtual bool ListSubfolders(const std::string& folder, std::vector<std::string>* names) = 0;

  // --- version resources ---------------------------------------------------
  // The running image's own version resource (FindResourceW of RT_VERSION,
  // LoadResource, LockResource, SizeofResource), copied into block: the
  // version this process runs, whatever file lies at its path by now. False
  // when it has none.
  virtual bool OwnVersionInfo(std::vector<uint8_t>& block) = 0;
  // GetFileVersionInfoSizeW and GetFileVersionInfoW of VERSION.dll, which
  // is loaded from the system folder when first needed: imported, it would
  // be taken from the executable's folder before any of the host's code ran.
  virtual uint32_t FileVersionInfoSize(const std::string& path) = 0;
  virtual bool FileVersionInfo(const std::string& path,
                               std::vector<uint8_t>& block) = 0;
  // VerQueryValueW on a block read by FileVersionInfo or OwnVersionInfo: a
  // string's value is UTF-16, its length counted in UTF-16 units.
  virtual bool QueryVersionValue(const std::vector<uint8_t>& block,
                                 const std::string& subBlock, const void** value,
                                 uint32_t* length) = 0;

  // --- processes and the system --------------------------------------------
  virtual OsVersion VersionEx() = 0;  // GetVersionExA, OSVERSIONINFOA
  virtual uint32_t CurrentProcessId() = 0;
  virtual OsHandle OpenProcessHandle(uint32_t access, uint32_t pid) = 0;
  virtual uint32_t WaitForObject(OsHandle handle, uint32_t milliseconds) = 0;
  virtual void CloseOsHandle(OsHandle handle) = 0;
  // The ids of the running processes (CreateToolhelp32Snapshot,
  // Process32First/Process32Next); false when they cannot be listed.
  virtual bool ListProcessIds(std::vector<uint32_t>* pids) = 0;
  // The full path of a process's executable (OpenProcess for limited query
  // rights, QueryFullProcessImageNameW, CloseHandle); empty when it cannot
  // be read.
  virtual std::string ProcessImagePath(uint32_t pid) = 0;

  // --- shell and user interface --------------------------------------------
  // SHGetSpecialFolderPathW(NULL, out, csidl, create); out is left empty when
  // the call fails.
  virtual bool SpecialFolderPath(int csidl, bool create, std::string& out) = 0;
  // ShellExecuteW(NULL, verb, file, parameters, NULL, show); the returned
  // HINSTANCE as a signed integer (0 when a text cannot be converted).
  virtual intptr_t ShellRun(const char* verb, const std::string& file,
                                const std::string& parameters, int show) = 0;
  // MessageBoxW(NULL, text, caption, flags); caption may be null.
  virtual int ShowMessageBox(const std::string& text, const char* caption,
                             uint32_t flags) = 0;
  // PeekMessageA(PM_REMOVE) / TranslateMessage / DispatchMessageA until the
  // thread's queue is empty.
  virtual void PumpWindowMessages() = 0;

  // --- COM -----------------------------------------------------------------
  virtual long ComInitialize(uint32_t coinit) = 0;  // CoInitializeEx(NULL, ..)
  virtual void ComUninitialize() = 0;

  // --- registry (HKEY_CURRENT_USER only; the wide functions) ----------------
  // REG_SZ data is handed over as UTF-8 with its zero, the size counting
  // it, and stored as UTF-16.
  virtual long RegCreateUserKey(const std::string& subKey, uint32_t access,
                                OsHandle* key) = 0;
  virtual long RegSetDefaultValue(OsHandle key, uint32_t type,
                                  const void* data, uint32_t size) = 0;
  virtual long RegCloseKeyHandle(OsHandle key) = 0;
  // RegSetValueExW with a value name: REG_SZ (size counting the zero) or
  // REG_DWORD.
  virtual long RegSetNamedValue(OsHandle key, const std::string& name, uint32_t type,
                                const void* data, uint32_t size) = 0;
  // The key's default value as RegGetValueW(HKEY_CURRENT_USER, subKey, NULL,
  // RRF_RT_REG_SZ) gives it; kErrorFileNotFound when the key or the value is
  // missing.
  virtual long RegQueryUserDefault(const std::string& subKey, std::string* value) = 0;
  // RegDeleteKeyW(HKEY_CURRENT_USER, subKey): a key without subkeys goes
  // with all its values.
  virtual long RegDeleteUserKey(const std::string& subKey) = 0;
  // Reading keys as a browser reads them: of either hive, in either view
  // of a 64-bit system (the view flag is ignored on a 32-bit one).
  enum class RegHive { kCurrentUser, kLocalMachine };
  enum class RegView { k32, k64 };
  // RegOpenKeyExW(hive, subKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY or
  // KEY_WOW64_64KEY); kErrorFileNotFound when it is missing. Closed with
  // RegCloseKeyHandle.
  virtual long RegOpenKeyToRead(RegHive hive, RegView view, const std::string& subKey, OsHandle* key) = 0;
  // RegQueryValueExW of a value ("" is the default one), asked its size,
  // then its data: REG_SZ and REG_EXPAND_SZ as UTF-8 up to its first zero,
  // any other type as its bytes.
  virtual long RegQueryValueOf(OsHandle key, const std::string& name, uint32_t* type, std::string* data) = 0;
  // The names of the key's values (RegQueryInfoKeyW, RegEnumValueW until
  // there are no more; a name that is no valid Unicode is left out).
  virtual long RegValueNames(OsHandle key, std::vector<std::string>* names) = 0;

  // --- standard streams ----------------------------------------------------
  virtual void SetStdStreamsBinary() = 0;  // _setmode(0/1, _O_BINARY)
  // Takes standard input for the host alone; called first in host mode,
  // before any code but the host's runs. The browser's pipe is opened for
  // synchronous I/O, and Windows serialises every operation on such a file:
  // while a ReadFile waits on it, a GetFileType, PeekNamedPipe or any other
  // query of it from another thread waits too, until the browser sends more.
  // So the pipe is kept privately (a duplicate of the handle), and the
  // process's standard input (SetStdHandle, and the C runtime's stdin) is
  // pointed at the NUL device; only then may a read wait on the pipe, and
  // nothing else touches it from then on. Returns the pipe, or null when
  // standard input is not a pipe; *hidden says whether it is out of sight.
  virtual OsHandle TakeInput(bool* hidden) = 0;
  // PeekNamedPipe asking only for the count of bytes waiting; false when the
  // pipe is closed or broken. Only while no read waits on the pipe.
  virtual bool PeekPipe(OsHandle pipe, uint32_t* available) = 0;
  // ReadFile: waits until a byte has come, then reads up to size; *got 0 is
  // a zero-byte write of the other end. False once the pipe is closed or
  // broken.
  virtual bool ReadPipe(OsHandle pipe, void* buffer, uint32_t size, uint32_t* got) = 0;
  // CreateEventA(NULL, FALSE, FALSE, NULL): reset by the wait it ends; null
  // when it cannot be made. Closed with CloseOsHandle, waited on with
  // WaitForObject.
  virtual OsHandle NewEvent() = 0;
  virtual void SignalEvent(OsHandle event) = 0;  // SetEvent
  // MsgWaitForMultipleObjectsEx on the event (none when null) and the
  // thread's message queue (QS_ALLINPUT, MWMO_INPUTAVAILABLE: a message that
  // came after the last pump ends the wait too, even one another call has
  // already seen). win::kWaitObject0 when the event ended it,
  // win::kWaitTimeout, win::kWaitFailed, or another value for a message.
  virtual uint32_t WaitForEventOrMessages(OsHandle event, uint32_t milliseconds) = 0;
  // CreateThread: a thread that runs ring.ReadFrom(pipe), the reader's loop
  // above the seam, for the life of the process; false when none can start.
  virtual bool StartReader(InputRing& ring, OsHandle pipe) = 0;
  // GetTickCount: milliseconds, for spacing the window-message pumps of a
  // busy host.
  virtual uint32_t TickCount() = 0;
  // SwitchToThread: lets another thread that is ready to run have this
  // processor first.
  virtual void YieldThread() = 0;
  virtual void SleepMs(uint32_t ms) = 0;  // Sleep
  // Writes all bytes to standard output; false when the channel is broken.
  virtual bool WriteOutput(const void* data, size_t size) = 0;
  // Whether standard output is a file or a pipe that the starter handed over
  // (GetStdHandle, GetFileType): a script that redirected it.
  virtual bool StdOutputIsFileOrPipe() = 0;
  // AttachConsole(ATTACH_PARENT_PROCESS): the console of the program that
  // started this one, when that has one; true too when this process has a
  // console already (the call's ERROR_ACCESS_DENIED).
  virtual bool AttachParentConsole() = 0;
  // Writes the text to the attached console as UTF-16 (CreateFileW of
  // "CONOUT$", WriteConsoleW until all is written, CloseHandle).
  virtual bool WriteConsoleText(const std::string& text) = 0;

  // --- x87 floating-point unit ---------------------------------------------
  virtual uint16_t FpuControlWord() = 0;
  virtual void SetFpuControlWord(uint16_t word) = 0;
  virtual void ClearFpuExceptions() = 0;
};

// The process-wide seam. The real program installs the Win32 one at entry;
// tests install a fake with ScopedOs.
Os& TheOs();
void InstallOs(Os* os);

class ScopedOs {
 public:
  explicit ScopedOs(Os& os);
  ~ScopedOs();
  ScopedOs(const ScopedOs&) = delete;
  ScopedOs& operator=(const ScopedOs&) = delete;

 private:
  Os* previous_;
};

// The real implementation; defined only in the win32 build.
Os& Win32Os();

}  // namespace lumiclip
