#include "app/entry.h"

#include <cstring>
#include <string>
#include <vector>

#include "channel/host_loop.h"
#include "install/check.h"
#include "install/deploy.h"
#include "install/self_update.h"
#include "install/uninstall.h"
#include "os/os.h"
#include "support/log.h"

namespace lumiclip {

HostCommand ClassifyCommandLine(int argc, const char* const* argv) {
  if (argc == 1) return kInstallMode;
  if (argc == 2) {
    if (std::strcmp(argv[1], "--test") == 0) return kTestMode;
    if (std::strcmp(argv[1], "--deploy") == 0) return kDeployMode;
    if (std::strcmp(argv[1], "--uninstall") == 0) return kUninstallMode;
    if (std::strcmp(argv[1], "--check") == 0) return kCheckMode;
    return kHostMode;
  }
  if (argc == 3 && std::strcmp(argv[1], "--update") == 0) return kUpdateMode;
  if (argc == 3 && std::strcmp(argv[1], "--uninstall") == 0 && std::strcmp(argv[2], "--quiet") == 0) {
    return kUninstallMode;
  }
  if (argc == 3 && std::strcmp(argv[1], "--uninstall-finish") == 0) return kUninstallFinishMode;
  return kHostMode;
}

bool CanElevate() {
  OsVersion v = TheOs().VersionEx();
  if (!v.ok || v.platformId != win::kPlatformWin32Nt) return false;
  return !(v.major == 5 && v.minor == 1);
}

void RunTestMode() {
  Os& os = TheOs();
  os.ComInitialize(win::kCoinitApartmentThreaded);
  os.ShowMessageBox(CanElevate() ? "Yes" : "No", nullptr, win::kMbOk);
  os.ComUninitialize();
}

void RunInstallMode(const char* exePath) {
  if (DeployHost(exePath, true)) return;
  LogLine("Failed to deploy with default permissions, trying to execute as admin.");
  const char* verb = CanElevate() ? "runas" : "open";
  Os& os = TheOs();
  intptr_t code = os.ShellRun(verb, exePath, "--deploy", win::kSwHide);
  int32_t value = static_cast<int32_t>(code);
  LogFormatInt("Execution code is: %d", value);
  if (value > 32) return;
  LogFormatInt("\n**** Error: Error during the execution the elevated process: %d\n", value);
  os.ShowMessageBox(
      "The installation of the advanced functions for Lumiclip was not complete. "
      "Please try again.",
      "Error", win::kMbIconError | win::kMbSystemModal | win::kMbSetForeground);
}

int32_t ParseProcessId(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Accumulate in unsigned arithmetic: an overlong number wraps instead of
  // being undefined behaviour.
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10u + static_cast<uint32_t>(*p++ - '0');
  return static_cast<int32_t>(negative ? 0u - value : value);
}

int RunEntry(int argc, const char* const* argv) {
  Os& os = TheOs();
  // Before anything loads a library: from here on no library comes from the
  // current directory (nor, where the system allows, from PATH).
  bool restricted = os.RestrictLibrarySearch();
  LogLine("Started");
  if (!restricted) LogLine("\n**** Error: Failed to restrict the library search.\n");
  if (argc < 1) LogLine("\n**** Error: The command line cannot be read.\n");
  HostCommand command = ClassifyCommandLine(argc, argv);
  LogFormatInt("With command: %d", command);
  // The program's own path is the system's, not word 0: that is only how
  // it was started (a bare name, without ".exe", relative to a folder the
  // shell would search again).
  std::string self;
  if (command == kInstallMode || command == kDeployMode) {
    self = os.ExecutablePath();
    if (self.empty()) LogLine("\n**** Error: The path of this program cannot be read.\n");
  }
  int status = 0;
  // Only a lack of memory throws; the process still ends in order.
  try {
    switch (command) {
      case kTestMode:
        RunTestMode();
        break;
      case kHostMode:
        RunHostMode();
        break;
      case kInstallMode:
        // Install mode leaves the entry on every path without the "Exit" line.
        RunInstallMode(self.c_str());
        return 0;
      case kDeployMode:
        DeployHost(self.c_str(), false);
        break;
      case kUpdateMode:
        if (argc == 3) RunUpdateMode(ParseProcessId(argv[2]));
        break;
      case kUninstallMode:
        status = RunUninstall(argc == 3);
        break;
      case kUninstallFinishMode:
        status = RunUninstallFinish(ParseProcessId(argv[2]));
        break;
      case kCheckMode:
        status = RunCheck();
        break;
    }
  } catch (...) {
    if (command == kInstallMode) return 0;
    if (command == kUninstallMode || command == kUninstallFinishMode) status = kUninstallIncomplete;
    if (command == kCheckMode) status = kCheckSomeWillNot;
  }
  LogLine("Exit");
  return status;
}

int RunProgram() {
  std::vector<std::string> words;
  // None when the line cannot be read: that is host mode, which touches no
  // file of the installation.
  TheOs().CommandLineWords(&words);
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  return RunEntry(static_cast<int>(words.size()), argv.data());
}

}  // namespace lumiclip
