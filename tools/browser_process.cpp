#include "browser_process.h"

#include <shellapi.h>

#include <cstring>

namespace lumiclip_tools {

namespace {

CRITICAL_SECTION* StderrLock() {
  static CRITICAL_SECTION lock;
  static bool ready = [] {
    InitializeCriticalSection(&lock);
    return true;
  }();
  (void)ready;
  return &lock;
}

void CloseIfOpen(HANDLE& h) {
  if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

// The host's stderr: the tool's own, duplicated as inheritable, or NUL when
// there is none to hand on.
HANDLE InheritableStderr() {
  HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE dup = nullptr;
  if (own && own != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &dup, 0, TRUE,
                      DUPLICATE_SAME_ACCESS)) {
    return dup;
  }
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           OPEN_EXISTING, 0, nullptr);
  return nul == INVALID_HANDLE_VALUE ? nullptr : nul;
}

}  // namespace

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // Backslashes before a quote are doubled, and the quote escaped.
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // Before the closing quote, too.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::string BuildCommandLine(const HostCommand& command) {
  // The browser always quotes the program path, spaces or not.
  std::string line = "\"" + command.exe + "\"";
  if (command.customArgs) {
    for (const auto& arg : command.args) line += " " + QuoteArgument(arg);
  } else {
    line += " chrome-extension://" + command.origin + "/ --parent-window=0";
  }
  return line;
}

bool StartHost(const HostCommand& command, HostProcess& host, std::string& error) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE childIn = nullptr, toHost = nullptr, fromHost = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &toHost, &sa, command.pipeSize)) {
    error = "CreatePipe (host stdin) failed: " + ErrorText(GetLastError());
    return false;
  }
  if (!CreatePipe(&fromHost, &childOut, &sa, command.pipeSize)) {
    error = "CreatePipe (host stdout) failed: " + ErrorText(GetLastError());
    CloseIfOpen(childIn);
    CloseIfOpen(toHost);
    return false;
  }
  // The parent's ends must not reach the child, or the host would never see
  // its input end, nor would the parent see the host's output end.
  if (!SetHandleInformation(toHost, HANDLE_FLAG_INHERIT, 0) ||
      !SetHandleInformation(fromHost, HANDLE_FLAG_INHERIT, 0)) {
    error = "SetHandleInformation failed: " + ErrorText(GetLastError());
    CloseIfOpen(childIn);
    CloseIfOpen(toHost);
    CloseIfOpen(fromHost);
    CloseIfOpen(childOut);
    return false;
  }
  HANDLE childErr = InheritableStderr();

  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = childIn;
  si.hStdOutput = childOut;
  si.hStdError = childErr;
  PROCESS_INFORMATION pi = {};
  // UTF-8, as the browser hands a host path outside the code page on.
  std::string line = BuildCommandLine(command);
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> buffer(units > 0 ? units : 1, L'\0');
  BOOL ok = units > 0 &&
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.c_str(), -1, buffer.data(), units) > 0 &&
            CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                           &si, &pi);
  DWORD code = GetLastError();
  CloseIfOpen(childIn);
  CloseIfOpen(childOut);
  CloseIfOpen(childErr);
  if (!ok) {
    error = "cannot start " + line + ": " + ErrorText(code);
    CloseIfOpen(toHost);
    CloseIfOpen(fromHost);
    return false;
  }
  CloseHandle(pi.hThread);
  host.process = pi.hProcess;
  host.pid = pi.dwProcessId;
  host.toHost = toHost;
  host.fromHost = fromHost;
  return true;
}

void Utf8Arguments(int& argc, char**& argv) {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return;
  // Kept for the life of the process, as the runtime's own argv is.
  auto* utf8 = new std::vector<std::string>(count);
  auto* pointers = new std::vector<char*>;
  for (int i = 0; i < count; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, words[i], -1, nullptr, 0, nullptr, nullptr);
    (*utf8)[i].resize(n > 0 ? n : 1);
    WideCharToMultiByte(CP_UTF8, 0, words[i], -1, &(*utf8)[i][0], n, nullptr, nullptr);
    (*utf8)[i].resize(std::strlen((*utf8)[i].c_str()));
    pointers->push_back(&(*utf8)[i][0]);
  }
  pointers->push_back(nullptr);
  LocalFree(words);
  argc = count;
  argv = pointers->data();
}

DWORD WaitHost(const HostProcess& host) {
  WaitForSingleObject(host.process, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(host.process, &code)) code = 1;
  return code;
}

bool PipeSizeFromEnvironment(DWORD& size, std::string& error) {
  size = 0;
  char value[64];
  DWORD n = GetEnvironmentVariableA(kPipeSizeVariable, value, sizeof(value));
  if (n == 0) return true;  // unset or empty: the default
  unsigned long long parsed = 0;
  if (n >= sizeof(value) || !ParseNumber(value, 0xffffffffull, parsed)) {
    error = std::string(kPipeSizeVariable) + " must be a byte count, not '" +
            (n < sizeof(value) ? value : "(too long)") + "'";
    return false;
  }
  size = static_cast<DWORD>(parsed);
  return true;
}

std::string ErrorText(DWORD code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out;
  if (n && text) {
    out.assign(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
      out.pop_back();
  }
  if (text) LocalFree(text);
  return out + (out.empty() ? "" : " ") + "(error " + std::to_string(code) + ")";
}

bool WriteAll(HANDLE handle, const void* data, size_t size) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    // Bounded pieces: some console and pipe writes refuse very large ones.
    DWORD piece = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, p, piece, &written, nullptr)) return false;
    if (written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

void WriteStderr(const std::string& text) {
  EnterCriticalSection(StderrLock());
  WriteAll(GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size());
  LeaveCriticalSection(StderrLock());
}

void MakeStdHandlesPrivate() {
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE h = GetStdHandle(which);
    // Fails harmlessly for handles that cannot be inherited anyway.
    if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  }
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
  if (!text || *text < '0' || *text > '9') return false;
  unsigned long long v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

}  // namespace lumiclip_tools
