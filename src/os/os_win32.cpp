// The real seam: each method is a plain pass-through to Win32 or the C
// runtime. Nothing here decides anything.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shlobj.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <stdio.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "channel/input_ring.h"
#include "os/os.h"

namespace lumiclip {

static_assert(win::kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES, "");
static_assert(win::kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY, "");
static_assert(win::kWaitTimeout == WAIT_TIMEOUT, "");
static_assert(win::kWaitFailed == WAIT_FAILED, "");
static_assert(win::kInfinite == INFINITE, "");
static_assert(win::kMbIconError == MB_ICONERROR, "");
static_assert(win::kMbSystemModal == MB_SYSTEMMODAL, "");
static_assert(win::kMbSetForeground == MB_SETFOREGROUND, "");
static_assert(win::kKeyWrite == KEY_WRITE, "");
static_assert(win::kRegSz == REG_SZ, "");
static_assert(win::kRegDword == REG_DWORD, "");
static_assert(win::kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "");
static_assert(win::kMbYesNo == MB_YESNO, "");
static_assert(win::kMbIconQuestion == MB_ICONQUESTION, "");
static_assert(win::kMbIconInformation == MB_ICONINFORMATION, "");
static_assert(win::kIdYes == IDYES, "");
static_assert(win::kProcessAllAccess == PROCESS_ALL_ACCESS, "");
static_assert(win::kSynchronize == SYNCHRONIZE, "");
static_assert(win::kCoinitApartmentThreaded == COINIT_APARTMENTTHREADED, "");
static_assert(win::kPlatformWin32Nt == VER_PLATFORM_WIN32_NT, "");
static_assert(win::kCsidlAppData == CSIDL_APPDATA, "");
static_assert(win::kSwHide == SW_HIDE, "");
static_assert(win::kMoveFileReplaceExisting == MOVEFILE_REPLACE_EXISTING, "");
static_assert(win::kMoveFileWriteThrough == MOVEFILE_WRITE_THROUGH, "");
static_assert(win::kErrorAccessDenied == ERROR_ACCESS_DENIED, "");
static_assert(win::kErrorSharingViolation == ERROR_SHARING_VIOLATION, "");
static_assert(win::kErrorFileExists == ERROR_FILE_EXISTS, "");
static_assert(win::kErrorAlreadyExists == ERROR_ALREADY_EXISTS, "");

namespace {

bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  // No access rights: only the identity is read, and a running program may
  // be asked about.
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return ok;
}

class RealOs final : public Os {
 public:
  std::string ExecutablePath() override {
    // Grow until the whole path fits: a truncated path would name the wrong
    // folder for the log and the engine.
    std::string path(MAX_PATH, '\0');
    for (;;) {
      DWORD n = GetModuleFileNameA(GetModuleHandleA(nullptr), &path[0],
                                   static_cast<DWORD>(path.size()));
      if (n == 0) return std::string();
      if (n < path.size()) {
        path.resize(n);
        return path;
      }
      if (path.size() >= 32768) return std::string();
      path.resize(path.size() * 2);
    }
  }
  OsHandle LoadModule(const std::string& name) override {
    return LoadLibraryA(name.c_str());
  }
  void* ModuleExport(OsHandle module, const char* name) override {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(module), name));
  }
  bool ReleaseModule(OsHandle module) override {
    return FreeLibrary(static_cast<HMODULE>(module)) != 0;
  }
  std::string OwnResource(int id, const char* type) override {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC info = FindResourceA(self, MAKEINTRESOURCEA(id), type);
    if (info == nullptr) return std::string();
    HGLOBAL loaded = LoadResource(self, info);
    if (loaded == nullptr) return std::string();
    const void* bytes = LockResource(loaded);
    DWORD size = SizeofResource(self, info);
    if (bytes == nullptr || size == 0) return std::string();
    return std::string(static_cast<const char*>(bytes), size);
  }

  uint32_t FileAttributes(const std::string& path) override {
    return GetFileAttributesA(path.c_str());
  }
  bool MakeDirectory(const std::string& path) override {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
  }
  bool CopyFileTo(const std::string& from, const std::string& to,
                  bool failIfExists) override {
    return CopyFileA(from.c_str(), to.c_str(), failIfExists) != 0;
  }
  bool RemoveFile(const std::string& path) override {
    return DeleteFileA(path.c_str()) != 0;
  }
  bool RenameFile(const std::string& from, const std::string& to, uint32_t flags) override {
    return MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
  }
  int64_t FileLength(const std::string& path) override {
    int fd = _open(path.c_str(), _O_RDONLY);
    if (fd < 0) return -1;
    int64_t length = _filelengthi64(fd);
    _close(fd);
    return length;
  }
  bool AppendToFile(const std::string& path, std::string_view bytes, int64_t emptyAbove,
                    bool lockByte) override {
    bool shared = false;
    HANDLE file = OpenForAppend(path, /*sharedOnly=*/false, &shared);
    if (file == INVALID_HANDLE_VALUE) return false;
    AppendLocked(file, shared && lockByte, bytes, emptyAbove);
    CloseHandle(file);
    return true;
  }
  OsHandle OpenToAppend(const std::string& path) override {
    bool shared = false;
    HANDLE file = OpenForAppend(path, /*sharedOnly=*/true, &shared);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
  }
  bool AppendToOpenFile(OsHandle file, std::string_view bytes, int64_t emptyAbove, bool lockByte) override {
    return AppendLocked(static_cast<HANDLE>(file), lockByte, bytes, emptyAbove);
  }
  bool FileIndex(const std::string& path, uint64_t* index) override {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!FileIdentity(path, &info)) return false;
    *index = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return true;
  }
  std::atomic<int32_t>* SharedWord(const std::string& name) override {
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(int32_t), name.c_str());
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(int32_t));
    if (view == nullptr) CloseHandle(mapping);
    return static_cast<std::atomic<int32_t>*>(view);
  }
  NewFile OpenNewFile(const std::string& path, OsHandle* file) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    *file = h == INVALID_HANDLE_VALUE ? nullptr : h;
    if (h != INVALID_HANDLE_VALUE) return NewFile::kOpened;
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewFile::kExists
                                                                       : NewFile::kFailed;
  }
  OsHandle OpenForFlush(const std::string& path) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
  }
  bool WriteToFile(OsHandle file, const void* data, uint32_t size, uint32_t* written) override {
    DWORD done = 0;
    BOOL ok = WriteFile(static_cast<HANDLE>(file), data, size, &done, nullptr);
    *written = done;
    return ok != 0;
  }
  bool FlushFile(OsHandle file) override { return FlushFileBuffers(static_cast<HANDLE>(file)) != 0; }
  bool CloseFile(OsHandle file) override { return CloseHandle(static_cast<HANDLE>(file)) != 0; }
  NewCopy CopyToNew(const std::string& from, const std::string& to) override {
    if (CopyFileA(from.c_str(), to.c_str(), TRUE)) return NewCopy::kDone;
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewCopy::kExists
                                                                       : NewCopy::kFailed;
  }
  uint32_t LastError() override { return GetLastError(); }
  bool SameFile(const std::string& a, const std::string& b) override {
    BY_HANDLE_FILE_INFORMATION infoA = {}, infoB = {};
    return FileIdentity(a, &infoA) && FileIdentity(b, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
  }
  bool IsLeadByte(unsigned char byte) override { return IsDBCSLeadByte(byte) != 0; }
  bool ListFolder(const std::string& folder, std::vector<std::string>* names) override {
    names->clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names->push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
  }
  bool RemoveFolder(const std::string& path) override {
    return RemoveDirectoryA(path.c_str()) != 0;
  }
  std::string TempFolderPath() override {
    char buffer[MAX_PATH + 1] = {};
    DWORD n = GetTempPathA(sizeof(buffer), buffer);
    if (n == 0 || n >= sizeof(buffer)) return std::string();
    std::string path(buffer, n);
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
  }

  uint32_t FileVersionInfoSize(const std::string& path) override {
    DWORD handle = 0;
    return GetFileVersionInfoSizeA(path.c_str(), &handle);
  }
  bool FileVersionInfo(const std::string& path,
                       std::vector<uint8_t>& block) override {
    return GetFileVersionInfoA(path.c_str(), 0,
                               static_cast<DWORD>(block.size()),
                               block.data()) != 0;
  }
  bool QueryVersionValue(const std::vector<uint8_t>& block,
                         const std::string& subBlock, const void** value,
                         uint32_t* length) override {
    void* out = nullptr;
    UINT len = 0;
    BOOL ok = VerQueryValueA(block.data(), subBlock.c_str(), &out, &len);
    *value = out;
    *length = len;
    return ok != 0;
  }

  OsVersion VersionEx() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    static_assert(sizeof(OSVERSIONINFOA) == 148, "");
    OsVersion v;
    v.ok = GetVersionExA(&info) != 0;
    v.platformId = info.dwPlatformId;
    v.major = info.dwMajorVersion;
    v.minor = info.dwMinorVersion;
    return v;
  }
  uint32_t CurrentProcessId() override { return GetCurrentProcessId(); }
  OsHandle OpenProcessHandle(uint32_t access, uint32_t pid) override {
    return OpenProcess(access, FALSE, pid);
  }
  uint32_t WaitForObject(OsHandle handle, uint32_t milliseconds) override {
    return WaitForSingleObject(handle, milliseconds);
  }
  void CloseOsHandle(OsHandle handle) override { CloseHandle(handle); }
  bool ListProcessIds(std::vector<uint32_t>* pids) override {
    pids->clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
      pids->push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return true;
  }
  std::string ProcessImagePath(uint32_t pid) override {
    // QueryFullProcessImageNameA is looked up: XP has none, and a static
    // import would keep the program from starting there.
    using QueryImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
    static const auto query = reinterpret_cast<QueryImageName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA")));
    if (query == nullptr) return std::string();
    HANDLE process = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid);
    if (process == nullptr) return std::string();
    std::string buffer(32768, '\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    BOOL ok = query(process, 0, &buffer[0], &size);
    CloseHandle(process);
    return ok ? buffer.substr(0, size) : std::string();
  }

  bool SpecialFolderPath(int csidl, bool create, std::string& out) override {
    char buffer[MAX_PATH + 1] = {};
    BOOL ok = SHGetSpecialFolderPathA(nullptr, buffer, csidl, create);
    out = buffer;
    return ok != 0;
  }
  intptr_t ShellRun(const char* verb, const std::string& file,
                        const std::string& parameters, int show) override {
    HINSTANCE result = ShellExecuteA(nullptr, verb, file.c_str(),
                                     parameters.c_str(), nullptr, show);
    return reinterpret_cast<intptr_t>(result);
  }
  int ShowMessageBox(const std::string& text, const char* caption,
                     uint32_t flags) override {
    return MessageBoxA(nullptr, text.c_str(), caption, flags);
  }
  void PumpWindowMessages() override {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }

  long ComInitialize(uint32_t coinit) override {
    return CoInitializeEx(nullptr, coinit);
  }
  void ComUninitialize() override { CoUninitialize(); }

  long RegCreateUserKey(const std::string& subKey, uint32_t access,
                        OsHandle* key) override {
    HKEY out = nullptr;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr,
                                  0, access, nullptr, &out, &disposition);
    *key = out;
    return status;
  }
  long RegSetDefaultValue(OsHandle key, uint32_t type, const void* data,
                          uint32_t size) override {
    return RegSetValueExA(static_cast<HKEY>(key), nullptr, 0, type,
                          static_cast<const BYTE*>(data), size);
  }
  long RegCloseKeyHandle(OsHandle key) override {
    return RegCloseKey(static_cast<HKEY>(key));
  }
  long RegSetNamedValue(OsHandle key, const std::string& name, uint32_t type, const void* data,
                        uint32_t size) override {
    return RegSetValueExA(static_cast<HKEY>(key), name.c_str(), 0, type,
                          static_cast<const BYTE*>(data), size);
  }
  long RegQueryUserDefault(const std::string& subKey, std::string* value) override {
    // RegGetValueA is missing from 32-bit XP: open, query twice, close.
    value->clear();
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    DWORD type = 0, size = 0;
    status = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size);
    std::string buffer(size + 1, '\0');
    if (status == ERROR_SUCCESS) {
      status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
    value->assign(buffer.c_str());
    return ERROR_SUCCESS;
  }
  long RegDeleteUserKey(const std::string& subKey) override {
    return RegDeleteKeyA(HKEY_CURRENT_USER, subKey.c_str());
  }

  void SetStdStreamsBinary() override {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
  }
  OsHandle TakeInput(bool* hidden) override {
    *hidden = false;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD count = 0;
    // Only a pipe can be peeked. No read is pending on it yet, so this
    // cannot wait.
    if (in == nullptr || in == INVALID_HANDLE_VALUE ||
        !PeekNamedPipe(in, nullptr, 0, nullptr, &count, nullptr)) {
      return nullptr;
    }
    HANDLE pipe = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), in, GetCurrentProcess(), &pipe, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return nullptr;
    }
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr);
    bool out = nul != INVALID_HANDLE_VALUE && SetStdHandle(STD_INPUT_HANDLE, nul);
    // The C runtime set up its descriptor 0 and stdin from the pipe at start-up,
    // and an engine built on the same runtime shares them. Reopened on NUL;
    // that closes the runtime's handle of the pipe, and the duplicate keeps
    // the pipe open.
    *hidden = out && freopen("NUL", "rb", stdin) != nullptr;
    return pipe;
  }
  bool PeekPipe(OsHandle pipe, uint32_t* available) override {
    DWORD count = 0;
    BOOL ok = PeekNamedPipe(static_cast<HANDLE>(pipe), nullptr, 0, nullptr, &count, nullptr);
    *available = count;
    return ok != 0;
  }
  bool ReadPipe(OsHandle pipe, void* buffer, uint32_t size, uint32_t* got) override {
    DWORD done = 0;
    BOOL ok = ReadFile(static_cast<HANDLE>(pipe), buffer, size, &done, nullptr);
    *got = done;
    return ok != 0;
  }
  OsHandle NewEvent() override { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }
  void SignalEvent(OsHandle event) override { SetEvent(static_cast<HANDLE>(event)); }
  uint32_t WaitForEventOrMessages(OsHandle event, uint32_t milliseconds) override {
    HANDLE handle = static_cast<HANDLE>(event);
    return MsgWaitForMultipleObjectsEx(handle != nullptr ? 1 : 0, handle != nullptr ? &handle : nullptr,
                                       milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  bool StartReader(InputRing& ring, OsHandle pipe) override {
    ReaderStart* start = new ReaderStart{&ring, pipe};
    HANDLE thread = CreateThread(nullptr, 0, &RunReader, start, 0, nullptr);
    if (thread == nullptr) {
      delete start;
      return false;
    }
    // Never joined: the process ends with the reader blocked in ReadFile.
    CloseHandle(thread);
    return true;
  }
  uint32_t TickCount() override { return GetTickCount(); }
  void YieldThread() override { SwitchToThread(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
  bool WriteOutput(const void* data, size_t size) override {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      DWORD done = 0;
      if (!WriteFile(out, p, chunk, &done, nullptr) || done == 0) return false;
      p += done;
      size -= done;
    }
    return true;
  }

  std::u16string AnsiToWide(std::string_view text) override {
    std::string z(text.substr(0, text.find('\0')));
    if (z.empty()) return std::u16string();
    int n = MultiByteToWideChar(CP_THREAD_ACP, 0, z.data(),
                                static_cast<int>(z.size()), nullptr, 0);
    if (n <= 0) throw std::runtime_error("MultiByteToWideChar failed");
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, z.data(), static_cast<int>(z.size()),
                        reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
  }
  std::string WideToUtf8(std::u16string_view text) override {
    if (text.empty()) return std::string();
    const wchar_t* w = reinterpret_cast<const wchar_t*>(text.data());
    int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(text.size()),
                                nullptr, 0, nullptr, nullptr);
    if (n <= 0) throw std::runtime_error("WideCharToMultiByte failed");
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(text.size()), &out[0],
                        n, nullptr, nullptr);
    return out;
  }

  uint16_t FpuControlWord() override {
    uint16_t word = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(word));
    return word;
  }
  void SetFpuControlWord(uint16_t word) override {
    __asm__ __volatile__("fldcw %0" : : "m"(word));
  }
  void ClearFpuExceptions() override { __asm__ __volatile__("fnclex"); }

 private:
  // Processes started from the same executable share the log, and a write
  // at the end of the file is two steps (find the end, write). So a line is
  // appended while this process is the file's only writer: opened without
  // write sharing. Should another process keep the file open for writing (a
  // host keeps its log open: OpenToAppend), the open shares writing, and the
  // caller serialises the appends (the log's shared word) or asks for an
  // exclusive lock on one byte far past any content. Either open fails while
  // the other kind is held; another process holds it for a moment only, so
  // that is tried again for up to 200 ms.
  static HANDLE OpenForAppend(const std::string& path, bool sharedOnly, bool* shared) {
    constexpr DWORD kPatienceMs = 200;
    const DWORD start = GetTickCount();
    for (int attempt = 0;; ++attempt) {
      for (DWORD sharing : {DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE},
                            DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        if (sharedOnly && (sharing & FILE_SHARE_WRITE) == 0) continue;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
          *shared = (sharing & FILE_SHARE_WRITE) != 0;
          return file;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return INVALID_HANDLE_VALUE;
      }
      if (GetTickCount() - start > kPatienceMs) return INVALID_HANDLE_VALUE;
      Sleep(attempt < 10 ? 0 : 1);
    }
  }

  // False when the bytes could not be written.
  static bool AppendLocked(HANDLE file, bool lock, std::string_view bytes, int64_t emptyAbove) {
    OVERLAPPED lockByte = {};
    lockByte.Offset = 0xFFFFFFF0u;
    lockByte.OffsetHigh = 0x7FFFFFFFu;
    bool locked = lock && LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockByte) != 0;
    LARGE_INTEGER size = {};
    if (emptyAbove >= 0 && GetFileSizeEx(file, &size) && size.QuadPart > emptyAbove) {
      LARGE_INTEGER start = {};
      if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    }
    // A seek, not a write at offset "end of file": the seek stays in the
    // process, while a write given an OVERLAPPED costs wine one more trip to
    // its server.
    LARGE_INTEGER zero = {};
    SetFilePointerEx(file, zero, nullptr, FILE_END);
    DWORD written = 0;
    bool ok = bytes.empty() ||
              (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size());
    if (locked) UnlockFileEx(file, 0, 1, 0, &lockByte);
    return ok;
  }

  struct ReaderStart {
    InputRing* ring;
    OsHandle pipe;
  };
  static DWORD WINAPI RunReader(void* param) {
    ReaderStart start = *static_cast<ReaderStart*>(param);
    delete static_cast<ReaderStart*>(param);
    start.ring->ReadFrom(start.pipe);
    return 0;
  }
};

}  // namespace

Os& Win32Os() {
  static RealOs os;
  return os;
}

}  // namespace lumiclip
