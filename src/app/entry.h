// The program entry: classify the command line, run one mode, exit.
#pragma once

#include <cstdint>

namespace lumiclip {

// The start-up mode; its number is written to the log.
enum HostCommand : int32_t {
  kTestMode = 0,
  kHostMode = 1,
  kInstallMode = 2,
  kDeployMode = 3,
  kUpdateMode = 4,
  kUninstallMode = 5,        // "--uninstall", or "--uninstall --quiet"
  kUninstallFinishMode = 6,  // "--uninstall-finish <pid>": the removal's helper
  kCheckMode = 7,            // "--check": the installation as the browsers see it
};

HostCommand ClassifyCommandLine(int argc, const char* const* argv);

// True where the shell's "runas" verb elevates: NT, except Windows XP (5.1).
bool CanElevate();

void RunTestMode();
// Quiet deployment, then the elevated retry in deploy mode.
void RunInstallMode(const char* exePath);

// The whole process: returns the exit code, 0 but for the removal, whose
// status says whether everything went, and the check, whose status says
// whether the browsers would start the host. argv holds the command line's words
// as UTF-8, word 0 first.
int RunEntry(int argc, const char* const* argv);
// RunEntry with the words of the process's command line.
int RunProgram();

// atoi's rules: leading blanks, an optional sign, digits up to the first
// other character, 0 when there are none.
int32_t ParseProcessId(const char* text);

}  // namespace lumiclip
