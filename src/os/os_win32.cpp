// The real seam: each method is a plain pass-through to Win32 or the C
// runtime, to the wide function wherever a text is involved. Nothing here
// decides anything.
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
#include <cwchar>

#include "channel/input_ring.h"
#include "os/os.h"
#include "support/unicode.h"

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
static_assert(win::kErrorNoUnicodeTranslation == ERROR_NO_UNICODE_TRANSLATION, "");
static_assert(win::kFileAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT, "");
static_assert(win::kRegExpandSz == REG_EXPAND_SZ, "");
static_assert(win::kMbIconWarning == MB_ICONWARNING, "");
static_assert(sizeof(wchar_t) == sizeof(char16_t), "");

namespace {

// A UTF-8 text of the host as the system's UTF-16, zero-terminated. A text
// that is not valid UTF-8, or that holds a zero (which would end it early
// and name another file), is refused: the call that needed it fails with
// ERROR_NO_UNICODE_TRANSLATION.
class Wide {
 public:
  explicit Wide(const std::string& text)
      : ok_(text.find('\0') == std::string::npos && Utf8ToUtf16(text, &text_)) {
    if (!ok_) SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  }
  explicit operator bool() const { return ok_; }
  const wchar_t* get() const { return reinterpret_cast<const wchar_t*>(text_.c_str()); }
  // The bytes of the text with its zero, for a registry value.
  DWORD bytes() const { return static_cast<DWORD>((text_.size() + 1) * sizeof(char16_t)); }

 private:
  std::u16string text_;
  bool ok_;
};

// What the system gave back, as UTF-8; false (ERROR_NO_UNICODE_TRANSLATION)
// when it is no valid UTF-16, as a name on disk may be.
bool Narrow(const wchar_t* text, size_t size, std::string* out) {
  if (Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), size), out)) return true;
  out->clear();
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return false;
}
bool Narrow(const wchar_t* text, std::string* out) { return Narrow(text, wcslen(text), out); }

template <typename Function>
Function Lookup(const wchar_t* module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

// The LOAD_LIBRARY_SEARCH_* flags came with SetDefaultDllDirectories (an
// update of Windows 7, built into 8 and later); older systems refuse them.
bool HasSearchFlags() {
  static const bool has =
      Lookup<BOOL(WINAPI*)(DWORD)>(L"kernel32.dll", "SetDefaultDllDirectories") != nullptr;
  return has;
}

// The system folder's full path, without a trailing backslash.
std::wstring SystemFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
  return n == 0 || n > MAX_PATH ? std::wstring() : std::wstring(buffer, n);
}

// By its full path, not its name: a library of that name loaded from
// elsewhere before (another module's import of it, taken from the
// executable's folder) would otherwise be the one returned.
HMODULE LoadFromSystemFolder(const wchar_t* name) {
  std::wstring folder = SystemFolder();
  if (folder.empty()) return nullptr;
  DWORD flags = HasSearchFlags() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
  return LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, flags);
}

// VERSION.dll is not among the libraries that the system always takes from
// its own folder, so it is never imported (the loader would take a file of
// that name from the executable's folder first): loaded on first use.
struct VersionFunctions {
  DWORD(WINAPI* infoSize)(LPCWSTR, LPDWORD) = nullptr;
  BOOL(WINAPI* info)(LPCWSTR, DWORD, DWORD, LPVOID) = nullptr;
  BOOL(WINAPI* query)(LPCVOID, LPCWSTR, LPVOID*, PUINT) = nullptr;
};

const VersionFunctions& Version() {
  static const VersionFunctions functions = [] {
    VersionFunctions f;
    // Kept for the life of the process.
    HMODULE library = LoadFromSystemFolder(L"version.dll");
    if (library == nullptr) return f;
    auto get = [library](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
    f.infoSize = reinterpret_cast<decltype(f.infoSize)>(get("GetFileVersionInfoSizeW"));
    f.info = reinterpret_cast<decltype(f.info)>(get("GetFileVersionInfoW"));
    f.query = reinterpret_cast<decltype(f.query)>(get("VerQueryValueW"));
    return f;
  }();
  return functions;
}

// Another process may have made a mapping of the name first, with its pages
// only reserved (SEC_RESERVE) or read-only: touching such a view faults.
bool CommittedAndWritable(const void* view) {
  MEMORY_BASIC_INFORMATION info = {};
  if (VirtualQuery(view, &info, sizeof(info)) != sizeof(info)) return false;
  constexpr DWORD kWritable = PAGE_READWRITE | PAGE_EXECUTE_READWRITE;
  return info.State == MEM_COMMIT && (info.Protect & kWritable) != 0 && (info.Protect & PAGE_GUARD) == 0 &&
         info.RegionSize >= sizeof(int32_t);
}

bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  // No access rights: only the identity is read, and a running program may
  // be asked about.
  Wide name(path);
  if (!name) return false;
  HANDLE file = CreateFileW(name.get(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
      if (n == 0) return std::string();
      if (n < path.size()) {
        std::string out;
        Narrow(path.data(), n, &out);
        return out;
      }
      if (path.size() >= 32768) return std::string();
      path.resize(path.size() * 2);
    }
  }
  bool CommandLineWords(std::vector<std::string>* words) override {
    words->clear();
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr) return false;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
      words->emplace_back();
      ok = Narrow(args[i], &words->back());
    }
    LocalFree(args);
    if (!ok) words->clear();
    return ok;
  }
  bool RestrictLibrarySearch() override {
    auto setDefault = Lookup<BOOL(WINAPI*)(DWORD)>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefault != nullptr)
      return setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR) != 0;
    // XP SP1 and later; takes the current directory out of the search.
    auto setFolder = Lookup<BOOL(WINAPI*)(LPCWSTR)>(L"kernel32.dll", "SetDllDirectoryW");
    return setFolder != nullptr && setFolder(L"") != 0;
  }
  OsHandle LoadSystemModule(const std::string& name) override {
    Wide wide(name);
    return wide ? LoadFromSystemFolder(wide.get()) : nullptr;
  }
  OsHandle LoadModule(const std::string& path) override {
    Wide wide(path);
    if (!wide) return nullptr;
    DWORD flags = HasSearchFlags() ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                                   : LOAD_WITH_ALTERED_SEARCH_PATH;
    return LoadLibraryExW(wide.get(), nullptr, flags);
  }
  OsHandle LoadApplicationModule(const std::string& name) override {
    Wide wide(name);
    if (!wide) return nullptr;
    // What it imports may come from the system folder too.
    if (HasSearchFlags()) {
      return LoadLibraryExW(wide.get(), nullptr,
                            LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    std::wstring folder(MAX_PATH, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &folder[0], MAX_PATH);
    size_t slash = n == 0 || n >= MAX_PATH ? std::wstring::npos : folder.rfind(L'\\', n);
    if (slash == std::wstring::npos) return nullptr;
    folder.resize(slash + 1);
    return LoadLibraryExW((folder + wide.get()).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  void* ModuleExport(OsHandle module, const char* name) override {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(module), name));
  }
  bool ReleaseModule(OsHandle module) override {
    return FreeLibrary(static_cast<HMODULE>(module)) != 0;
  }
  std::string OwnResource(int id, const char* type) override {
    HMODULE self = GetModuleHandleW(nullptr);
    Wide wideType(type);
    if (!wideType) return std::string();
    HRSRC info = FindResourceW(self, MAKEINTRESOURCEW(id), wideType.get());
    if (info == nullptr) return std::string();
    HGLOBAL loaded = LoadResource(self, info);
    if (loaded == nullptr) return std::string();
    const void* bytes = LockResource(loaded);
    DWORD size = SizeofResource(self, info);
    if (bytes == nullptr || size == 0) return std::string();
    return std::string(static_cast<const char*>(bytes), size);
  }
  bool ModuleMapped(OsHandle module) override {
    HMODULE found = nullptr;
    return GetModuleHandleExW(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
               static_cast<LPCWSTR>(module), &found) != 0;
  }
  std::string SystemFolderPath() override {
    std::wstring folder = SystemFolder();
    std::string path;
    return folder.empty() || !Narrow(folder.data(), folder.size(), &path) ? std::string() : path;
  }

  uint32_t FileAttributes(const std::string& path) override {
    Wide name(path);
    return name ? GetFileAttributesW(name.get()) : INVALID_FILE_ATTRIBUTES;
  }
  bool MakeDirectory(const std::string& path) override {
    Wide name(path);
    return name && CreateDirectoryW(name.get(), nullptr) != 0;
  }
  bool RemoveFile(const std::string& path) override {
    Wide name(path);
    return name && DeleteFileW(name.get()) != 0;
  }
  bool RenameFile(const std::string& from, const std::string& to, uint32_t flags) override {
    Wide source(from), target(to);
    return source && target && MoveFileExW(source.get(), target.get(), flags) != 0;
  }
  int64_t FileLength(const std::string& path) override {
    Wide name(path);
    if (!name) return -1;
    int fd = _wopen(name.get(), _O_RDONLY);
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
    Wide wide(name);
    if (!wide) return nullptr;
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(int32_t), wide.get());
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(int32_t));
    if (view != nullptr && !CommittedAndWritable(view)) {
      UnmapViewOfFile(view);
      view = nullptr;
    }
    if (view == nullptr) CloseHandle(mapping);
    return static_cast<std::atomic<int32_t>*>(view);
  }
  NewFile OpenNewFile(const std::string& path, OsHandle* file) override {
    *file = nullptr;
    Wide name(path);
    if (!name) return NewFile::kFailed;
    HANDLE h = CreateFileW(name.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    *file = h == INVALID_HANDLE_VALUE ? nullptr : h;
    if (h != INVALID_HANDLE_VALUE) return NewFile::kOpened;
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewFile::kExists
                                                                       : NewFile::kFailed;
  }
  OsHandle OpenForFlush(const std::string& path) override {
    Wide name(path);
    if (!name) return nullptr;
    HANDLE h = CreateFileW(name.get(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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
    Wide source(from), target(to);
    if (!source || !target) return NewCopy::kFailed;
    if (CopyFileW(source.get(), target.get(), TRUE)) return NewCopy::kDone;
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewCopy::kExists
                                                                       : NewCopy::kFailed;
  }
  uint32_t LastError() override { return GetLastError(); }
  OsHandle OpenToRead(const std::string& path) override {
    Wide name(path);
    if (!name) return nullptr;
    HANDLE h = CreateFileW(name.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
  }
  bool ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t size, uint32_t* read) override {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    BOOL ok = ReadFile(static_cast<HANDLE>(file), buffer, size, &got, &at);
    *read = got;
    // A synchronous read at or past the end fails with this error.
    if (!ok && GetLastError() == ERROR_HANDLE_EOF) {
      *read = 0;
      return true;
    }
    return ok != 0;
  }
  bool SameFile(const std::string& a, const std::string& b) override {
    BY_HANDLE_FILE_INFORMATION infoA = {}, infoB = {};
    return FileIdentity(a, &infoA) && FileIdentity(b, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
  }
  bool ListFolder(const std::string& folder, std::vector<std::string>* names) override {
    return ListEntries(folder, false, names);
  }
  bool RemoveFolder(const std::string& path) override {
    Wide name(path);
    return name && RemoveDirectoryW(name.get()) != 0;
  }
  std::string TempFolderPath() override {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    std::string path;
    if (n == 0 || n > MAX_PATH || !Narrow(buffer, n, &path)) return std::string();
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
  }
  bool ListSubfolders(const std::string& folder, std::vector<std::string>* names) override {
    return ListEntries(folder, true, names);
  }

  bool OwnVersionInfo(std::vector<uint8_t>& block) override {
    block.clear();
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC info =
        FindResourceW(self, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    HGLOBAL loaded = info == nullptr ? nullptr : LoadResource(self, info);
    const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
    DWORD size = info == nullptr ? 0 : SizeofResource(self, info);
    if (bytes == nullptr || size == 0) return false;
    // A copy: the resource itself is read-only.
    block.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
    return true;
  }
  uint32_t FileVersionInfoSize(const std::string& path) override {
    Wide name(path);
    DWORD handle = 0;
    return name && Version().infoSize != nullptr ? Version().infoSize(name.get(), &handle) : 0;
  }
  bool FileVersionInfo(const std::string& path,
                       std::vector<uint8_t>& block) override {
    Wide name(path);
    return name && Version().info != nullptr &&
           Version().info(name.get(), 0, static_cast<DWORD>(block.size()), block.data()) != 0;
  }
  bool QueryVersionValue(const std::vector<uint8_t>& block,
                         const std::string& subBlock, const void** value,
                         uint32_t* length) override {
    *value = nullptr;
    *length = 0;
    Wide name(subBlock);
    if (!name || Version().query == nullptr) return false;
    void* out = nullptr;
    UINT len = 0;
    BOOL ok = Version().query(block.data(), name.get(), &out, &len);
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
    // QueryFullProcessImageNameW is looked up: XP has none, and a static
    // import would keep the program from starting there.
    static const auto query =
        Lookup<BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD)>(L"kernel32.dll", "QueryFullProcessImageNameW");
    if (query == nullptr) return std::string();
    HANDLE process = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid);
    if (process == nullptr) return std::string();
    std::wstring buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    BOOL ok = query(process, 0, &buffer[0], &size);
    CloseHandle(process);
    std::string path;
    return ok && Narrow(buffer.data(), size, &path) ? path : std::string();
  }

  bool SpecialFolderPath(int csidl, bool create, std::string& out) override {
    wchar_t buffer[MAX_PATH + 1] = {};
    BOOL ok = SHGetSpecialFolderPathW(nullptr, buffer, csidl, create);
    return Narrow(buffer, &out) && ok != 0;
  }
  intptr_t ShellRun(const char* verb, const std::string& file,
                        const std::string& parameters, int show) override {
    Wide wideVerb(verb), wideFile(file), wideParameters(parameters);
    if (!wideVerb || !wideFile || !wideParameters) return 0;
    HINSTANCE result =
        ShellExecuteW(nullptr, wideVerb.get(), wideFile.get(), wideParameters.get(), nullptr, show);
    return reinterpret_cast<intptr_t>(result);
  }
  int ShowMessageBox(const std::string& text, const char* caption,
                     uint32_t flags) override {
    Wide wideText(text), wideCaption(caption == nullptr ? std::string() : caption);
    if (!wideText || !wideCaption) return 0;
    return MessageBoxW(nullptr, wideText.get(), caption == nullptr ? nullptr : wideCaption.get(), flags);
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
    *key = nullptr;
    Wide name(subKey);
    if (!name) return ERROR_NO_UNICODE_TRANSLATION;
    HKEY out = nullptr;
    DWORD disposition = 0;
    LONG status =
        RegCreateKeyExW(HKEY_CURRENT_USER, name.get(), 0, nullptr, 0, access, nullptr, &out, &disposition);
    *key = out;
    return status;
  }
  long RegSetDefaultValue(OsHandle key, uint32_t type, const void* data,
                          uint32_t size) override {
    return SetValue(static_cast<HKEY>(key), nullptr, type, data, size);
  }
  long RegCloseKeyHandle(OsHandle key) override {
    return RegCloseKey(static_cast<HKEY>(key));
  }
  long RegSetNamedValue(OsHandle key, const std::string& name, uint32_t type, const void* data,
                        uint32_t size) override {
    Wide wide(name);
    if (!wide) return ERROR_NO_UNICODE_TRANSLATION;
    return SetValue(static_cast<HKEY>(key), wide.get(), type, data, size);
  }
  long RegQueryUserDefault(const std::string& subKey, std::string* value) override {
    // RegGetValueW is missing from 32-bit XP: open, query twice, close.
    value->clear();
    Wide name(subKey);
    if (!name) return ERROR_NO_UNICODE_TRANSLATION;
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, name.get(), 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    DWORD type = 0, size = 0;
    status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
    // A zero after the data, whether the stored value has one or not.
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (status == ERROR_SUCCESS) {
      status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
    if (!Narrow(buffer.c_str(), value)) return ERROR_NO_UNICODE_TRANSLATION;
    return ERROR_SUCCESS;
  }
  long RegDeleteUserKey(const std::string& subKey) override {
    Wide name(subKey);
    return name ? RegDeleteKeyW(HKEY_CURRENT_USER, name.get()) : ERROR_NO_UNICODE_TRANSLATION;
  }
  long RegOpenKeyToRead(RegHive hive, RegView view, const std::string& subKey, OsHandle* key) override {
    *key = nullptr;
    Wide name(subKey);
    if (!name) return ERROR_NO_UNICODE_TRANSLATION;
    HKEY root = hive == RegHive::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    REGSAM access = KEY_QUERY_VALUE | (view == RegView::k32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    HKEY out = nullptr;
    LONG status = RegOpenKeyExW(root, name.get(), 0, access, &out);
    *key = out;
    return status;
  }
  long RegQueryValueOf(OsHandle key, const std::string& name, uint32_t* type, std::string* data) override {
    *type = 0;
    data->clear();
    Wide wide(name);
    if (!wide) return ERROR_NO_UNICODE_TRANSLATION;
    HKEY h = static_cast<HKEY>(key);
    DWORD t = 0, size = 0;
    LONG status = RegQueryValueExW(h, wide.get(), nullptr, &t, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    // Room for a zero that the stored text may lack.
    std::vector<BYTE> buffer(size + sizeof(wchar_t), 0);
    status = RegQueryValueExW(h, wide.get(), nullptr, &t, buffer.data(), &size);
    if (status != ERROR_SUCCESS) return status;
    *type = t;
    if (t != REG_SZ && t != REG_EXPAND_SZ) {
      data->assign(reinterpret_cast<const char*>(buffer.data()), size);
      return ERROR_SUCCESS;
    }
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer.data());
    size_t units = size / sizeof(wchar_t);
    size_t length = static_cast<size_t>(std::find(text, text + units, L'\0') - text);
    return Narrow(text, length, data) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
  }
  long RegValueNames(OsHandle key, std::vector<std::string>* names) override {
    names->clear();
    // The longest name a value can have, and its zero.
    std::wstring name(16384, L'\0');
    for (DWORD i = 0;; ++i) {
      DWORD length = static_cast<DWORD>(name.size());
      LONG status = RegEnumValueW(static_cast<HKEY>(key), i, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
      if (status != ERROR_SUCCESS) return status;
      std::string narrow;
      if (Narrow(name.data(), length, &narrow)) names->push_back(narrow);
    }
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
  bool StdOutputIsFileOrPipe() override {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    DWORD type = GetFileType(out);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
  }
  bool AttachParentConsole() override {
    // ERROR_ACCESS_DENIED: this process has a console already (wine gives
    // one to a program of the GUI subsystem that a console program starts).
    return AttachConsole(ATTACH_PARENT_PROCESS) != 0 || GetLastError() == ERROR_ACCESS_DENIED;
  }
  bool WriteConsoleText(const std::string& text) override {
    Wide wide(text);
    if (!wide) return false;
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return false;
    const wchar_t* p = wide.get();
    size_t left = wide.bytes() / sizeof(wchar_t) - 1;
    bool ok = true;
    while (left > 0 && ok) {
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 4096));
      // A pair of surrogates goes in one piece.
      if (chunk < left && p[chunk - 1] >= 0xD800 && p[chunk - 1] <= 0xDBFF) --chunk;
      DWORD done = 0;
      ok = WriteConsoleW(console, p, chunk, &done, nullptr) != 0 && done > 0;
      p += done;
      left -= done;
    }
    CloseHandle(console);
    return ok;
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
  // The files, or the folders but "." and "..", directly inside folder; a
  // name that is no valid Unicode, never one of the host's, is left out.
  static bool ListEntries(const std::string& folder, bool wantFolders, std::vector<std::string>* names) {
    names->clear();
    Wide pattern(folder + "\\*");
    if (!pattern) return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.get(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    std::string name;
    do {
      bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (isFolder != wantFolders || !Narrow(found.cFileName, &name)) continue;
      if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
  }

  // REG_SZ data comes as UTF-8 with its zero and is stored as UTF-16;
  // anything else as it is.
  static long SetValue(HKEY key, const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    if (type != REG_SZ) return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    const char* text = static_cast<const char*>(data);
    if (size == 0 || text[size - 1] != '\0') return ERROR_INVALID_PARAMETER;
    Wide wide(std::string(text, size - 1));
    if (!wide) return ERROR_NO_UNICODE_TRANSLATION;
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.get()), wide.bytes());
  }

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
    Wide name(path);
    if (!name) return INVALID_HANDLE_VALUE;
    const DWORD start = GetTickCount();
    for (int attempt = 0;; ++attempt) {
      for (DWORD sharing : {DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE},
                            DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        if (sharedOnly && (sharing & FILE_SHARE_WRITE) == 0) continue;
        HANDLE file = CreateFileW(name.get(), GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS,
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
