// Stands in for the browser: starts the host on two anonymous pipes and
// relays the launcher's own stdin/stdout to them byte for byte.
//
//   lumiclip-launcher.exe [--origin ID] HOST.exe [extra args...]

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "browser_process.h"

using namespace lumiclip_tools;

namespace {

constexpr DWORD kBufferSize = 64 * 1024;

const char kUsage[] =
    "usage: lumiclip-launcher.exe [--origin ID] HOST.exe [extra args...]\n"
    "  Starts HOST as the browser does (stdin/stdout on anonymous pipes, command line\n"
    "  \"HOST.exe\" chrome-extension://ID/ --parent-window=0, or exactly the extra args)\n"
    "  and relays this program's stdin to the host and the host's stdout to this\n"
    "  program's stdout. Exits with the host's exit code once the host has exited and\n"
    "  its output is drained.\n"
    "  --origin ID   extension id (default ggboicgfhomimadepbllgoiodjhaeipi)\n"
    "  env LUMICLIP_LAUNCHER_PIPE_SIZE   pipe size asked of CreatePipe (default 0: system's)\n";

[[noreturn]] void UsageError(const std::string& message) {
  WriteStderr("lumiclip-launcher: " + message + "\n" + kUsage);
  ExitProcess(2);
}

// Which thread began to end first: the stdin relay or the main thread.
constexpr LONG kNobodyEnding = 0;
constexpr LONG kRelayEnding = 1;
constexpr LONG kMainEnding = 2;
volatile LONG g_ending = kNobodyEnding;

DWORD WINAPI RelayStdin(void* param) {
  HANDLE toHost = static_cast<HANDLE>(param);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in && in != INVALID_HANDLE_VALUE) {
    std::vector<char> buffer(kBufferSize);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(in, buffer.data(), kBufferSize, &got, nullptr) || got == 0) break;
      // A failed write means the host closed its input or exited: stop.
      if (!WriteAll(toHost, buffer.data(), got)) break;
    }
  }
  // The host sees the end of its input, as when the browser lets go of it.
  CloseHandle(toHost);
  // Once the main thread has begun to exit, this thread must not end on its
  // own: under wine, a thread killed halfway through its own ending can
  // leave the process unable to exit, and the server then kills it by a
  // signal, which loses the host's exit code.
  if (InterlockedCompareExchange(&g_ending, kRelayEnding, kNobodyEnding) != kNobodyEnding) Sleep(INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Utf8Arguments(argc, argv);
  HostCommand command;
  int i = 1;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), kUsage, sizeof(kUsage) - 1);
      return 0;
    }
    if (std::strcmp(arg, "--origin") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') UsageError("--origin needs an id");
      command.origin = argv[++i];
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (arg[0] == '-' && arg[1] == '-') UsageError(std::string("unknown option ") + arg);
    break;
  }
  if (i >= argc || argv[i][0] == '\0') UsageError("no host program given");
  command.exe = argv[i++];
  for (; i < argc; ++i) {
    command.customArgs = true;
    command.args.push_back(argv[i]);
  }
  std::string error;
  if (!PipeSizeFromEnvironment(command.pipeSize, error)) UsageError(error);

  MakeStdHandlesPrivate();
  HostProcess host;
  if (!StartHost(command, host, error)) {
    WriteStderr("lumiclip-launcher: " + error + "\n");
    ExitProcess(2);
  }

  HANDLE inThread = CreateThread(nullptr, 0, RelayStdin, host.toHost, 0, nullptr);
  if (!inThread) {
    WriteStderr("lumiclip-launcher: CreateThread failed: " + ErrorText(GetLastError()) + "\n");
    TerminateProcess(host.process, 2);
    ExitProcess(2);
  }

  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  bool outBroken = !out || out == INVALID_HANDLE_VALUE;
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(host.fromHost, buffer.data(), kBufferSize, &got, nullptr)) break;
    if (got == 0) continue;  // a zero-byte write by the host; not the end
    // Once our stdout is gone, go on reading so the host never blocks on a
    // full pipe.
    if (!outBroken && !WriteAll(out, buffer.data(), got)) outBroken = true;
  }
  DWORD code = WaitHost(host);
  // The stdin thread may still sit in ReadFile, where it is safely killed;
  // if it is already ending, it ends first.
  if (InterlockedCompareExchange(&g_ending, kMainEnding, kNobodyEnding) == kRelayEnding) {
    WaitForSingleObject(inThread, INFINITE);
  }
  ExitProcess(code);
}
