// Starting the host the way the browser does, and the Win32 plumbing the
// tools share around it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace lumiclip_tools {

constexpr const char* kDefaultOrigin = "ggboicgfhomimadepbllgoiodjhaeipi";
// Size asked of CreatePipe; 0 lets the system choose.
constexpr const char* kPipeSizeVariable = "LUMICLIP_LAUNCHER_PIPE_SIZE";

struct HostCommand {
  std::string exe;
  std::string origin = kDefaultOrigin;
  // When set, args replaces the browser's two arguments.
  bool customArgs = false;
  std::vector<std::string> args;
  DWORD pipeSize = 0;
};

struct HostProcess {
  HANDLE process = nullptr;
  DWORD pid = 0;
  HANDLE toHost = nullptr;    // write end of the host's stdin
  HANDLE fromHost = nullptr;  // read end of the host's stdout
};

// Quotes one argument so that the C runtime's argv parsing gives it back
// unchanged; bare when nothing in it needs quoting.
std::string QuoteArgument(const std::string& arg);
// "HOST" chrome-extension://ID/ --parent-window=0, or "HOST" and the custom
// arguments.
std::string BuildCommandLine(const HostCommand& command);

// Creates the two pipes and the process. Only the child's ends are
// inheritable; the parent's copies of them are closed before returning.
bool StartHost(const HostCommand& command, HostProcess& host, std::string& error);

// The command line's words as UTF-8 (from GetCommandLineW), in place of the
// runtime's argv in the code page: a host path outside it must reach the
// host whole.
void Utf8Arguments(int& argc, char**& argv);

// Waits for the host to end and returns its exit code.
DWORD WaitHost(const HostProcess& host);

// Reads kPipeSizeVariable; false with error set when it is not a number.
bool PipeSizeFromEnvironment(DWORD& size, std::string& error);

std::string ErrorText(DWORD code);

// Writes everything, going on after partial writes; false once the handle
// is broken or invalid.
bool WriteAll(HANDLE handle, const void* data, size_t size);
// Serialised, so that lines from different threads do not interleave.
void WriteStderr(const std::string& text);

// Keeps the tool's own standard handles from leaking into the host, so that
// a process the host leaves behind cannot hold the caller's pipes open.
void MakeStdHandlesPrivate();

// Parses a whole decimal number (no sign, no junk); false otherwise.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value);

}  // namespace lumiclip_tools
