#include "install/self_update.h"

#include <string>

#include "install/deploy.h"
#include "install/file_replace.h"
#include "install/leftovers.h"
#include "install/manifest.h"
#include "install/payload.h"
#include "install/uninstall.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {
constexpr uint32_t kParentWaitMs = 60000;
}  // namespace

int32_t UpdateNativeHost(HostState& state, char* message, int32_t length) {
  Os& os = TheOs();
  LogLine("Updating myself...");
  std::string folder = GetDeploymentFolder();
  std::string staging = JoinPath(folder, kStagingFolderName);
  os.MakeDirectory(staging);
  std::string staged = JoinPath(staging, GetOwnFileName());

  LogLine("Writing staged file...");
  if (!PathFitsOrLog(staged) || !SavePayloadFile(message, length, staged.c_str(), state)) {
    LogLine("\n**** Error: Exe not saved.\n");
    return 1;
  }

  LogFormatStr("Executing child process %s...", staged.c_str());
  std::string parameters = "--update " + std::to_string(os.CurrentProcessId());
  int32_t code = static_cast<int32_t>(os.ShellRun("open", staged, parameters, win::kSwHide));
  LogFormatInt("Exec result: %d", code);
  if (code <= 32) {
    LogLine("\n**** Error: Error executing child process\n");
    return 2;
  }
  // The manifest stays: the child replaces the executable in one step and
  // writes the manifest again. Deleting it here would leave the browser no
  // host at all whenever the child never gets that far (killed at logoff,
  // a power cut, a wait that times out).
  return 0;
}

void RunUpdateMode(int32_t parentPid) {
  Os& os = TheOs();
  LogFormatInt("Parent PID: %d", parentPid);
  OsHandle parent = os.OpenProcessHandle(win::kSynchronize, static_cast<uint32_t>(parentPid));
  bool timedOut = false;
  if (parent != nullptr) {
    LogFormatInt("Waiting parent process %d to close...", parentPid);
    timedOut = os.WaitForObject(parent, kParentWaitMs) == win::kWaitTimeout;
    os.CloseOsHandle(parent);
    LogLine(timedOut ? "Timeout!" : "The parent process has closed!");
  }

  std::string folder = GetDeploymentFolder();
  // A removal made while this child waited took the registration first:
  // whatever the child wrote now would bring the removed host back in part
  // (its manifest, its entry among the installed apps). Where the
  // registration cannot be read, no removal can have run either.
  std::string registered;
  Registration registration = ReadRegistration(folder, &registered);
  if (registration == Registration::kNone || registration == Registration::kElsewhere) {
    LogLine("The installation is not registered (removed meanwhile): nothing is rewritten.");
    return;
  }
  if (timedOut) {
    // An earlier host may have deleted the manifest before it started us:
    // without it the browser could never start the old host again.
    LogLine("Restoring the manifest for the host still in place...");
    ExtractManifest(GetOwnFileName().c_str(), folder.c_str());
    return;
  }

  std::string self = os.ExecutablePath();
  LogLine("Deleting raz.dll...");
  // A host still running the engine keeps the file: it is moved aside, so
  // that the next host finds none and asks for the one that fits it.
  if (!RemoveOrMoveAside(JoinPath(folder, kEngineLibraryName))) {
    LogLine("\n**** Error: Failed to delete raz.dll.\n");
  }

  std::string name = GetOwnFileName();
  LogLine("Copying myself...");
  std::string target = JoinPath(folder, name);
  LogLine(target);
  // Replaced whole or not at all: on failure the old executable is in place
  // again, and the manifest written next names it.
  if (!PathFitsOrLog(target) ||
      !CopyFileReplacing(self, target, [&self, &name] { return ManifestNamesStagedHost(self, name); })) {
    LogLine("\n**** Error: Failed to copy new executable to the deployment folder.\n");
  }
  // Unless the old one could not be moved back after it was moved aside:
  // then no file has the deployed name, and the manifest keeps naming the
  // whole staged copy that it was made to name before the move.
  const bool inPlace = os.FileAttributes(target) != win::kInvalidFileAttributes;
  if (inPlace) {
    ExtractManifest(name.c_str(), folder.c_str());
  } else {
    LogFormatStr("\n**** Error: %s is missing: the manifest is not rewritten.\n", target.c_str());
  }
  RemoveLeftovers(self);
  // The list of installed apps shows the new version and size.
  if (inPlace) WriteUninstallEntry(folder, target);
}

}  // namespace lumiclip
