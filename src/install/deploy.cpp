#include "install/deploy.h"

#include <string>

#include "install/file_replace.h"
#include "install/leftovers.h"
#include "install/manifest.h"
#include "install/self_update.h"
#include "install/uninstall.h"
#include "os/os.h"
#include "support/dialogs.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

bool FailCopy(const std::string& target, bool quiet) {
  LogLine("\n**** Error: Failed to copy new executable to the deployment folder.\n");
  if (!quiet) ShowMaintenanceError(("Error copying native host to:\r\n" + target).c_str());
  return false;
}

bool FailRegistry(const char* line, bool quiet) {
  LogLine(line);
  if (!quiet) ShowRegistryError("Error registering Lumiclip Native Host");
  return false;
}

}  // namespace

bool ManifestNamesStagedHost(const std::string& source, const std::string& stagedName) {
  Os& os = TheOs();
  LogLine("The deployed executable is in use: moving it aside.");
  std::string folder = GetDeploymentFolder();
  std::string staging = JoinPath(folder, kStagingFolderName);
  std::string staged = JoinPath(staging, stagedName);
  if (!PathFitsOrLog(staged)) return false;
  if (!os.SameFile(source, staged)) {
    os.MakeDirectory(staging);
    if (!CopyFileReplacing(source, staged)) return false;
  }
  return ExtractManifest(staged.c_str(), folder.c_str());
}

bool DeployHost(const char* exePath, bool quiet) {
  Os& os = TheOs();
  std::string folder = GetDeploymentFolder();
  LogFormatStr("Using folder for deployment: %s", folder.c_str());
  bool created = os.MakeDirectory(folder);
  LogFormatInt("Created directory with result: %d", created ? 1 : 0);

  LogLine("Copying myself...");
  std::string target = JoinPath(folder, kDeployedExeName);
  if (!PathFitsOrLog(target)) return FailCopy(target, quiet);
  // The deployed copy itself, opened by the user: it is in place already and
  // cannot be copied onto itself; registering it again is all there is to do.
  if (os.SameFile(exePath, target)) {
    LogLine("The deployed executable is the running one: nothing to copy.");
  } else if (!CopyFileReplacing(exePath, target, [exePath] {
               return ManifestNamesStagedHost(exePath, kDeployedExeName);
             })) {
    return FailCopy(target, quiet);
  }

  if (!ExtractManifest(kDeployedExeName, folder.c_str())) {
    LogLine("\n**** Error: Failed to extract manifest.\n");
    if (!quiet) {
      ShowMaintenanceError(
          ("Error copying manifest file to:\r\n" + JoinPath(folder, kManifestFileName)).c_str());
    }
    return false;
  }

  folder = GetDeploymentFolder();
  LogLine("Deleting raz.dll...");
  if (!RemoveOrMoveAside(JoinPath(folder, kEngineLibraryName))) {
    LogLine("\n**** Error: Failed to delete raz.dll.\n");
  }

  std::string manifest = JoinPath(folder, kManifestFileName);
  LogLine("Writing registry...");
  OsHandle key = nullptr;
  if (os.RegCreateUserKey(kRegistryKey, win::kKeyWrite, &key) != win::kErrorSuccess) {
    return FailRegistry("\n**** Error: Failed to create the registry key.\n", quiet);
  }
  long set = os.RegSetDefaultValue(key, win::kRegSz, manifest.c_str(),
                                   static_cast<uint32_t>(manifest.size() + 1));
  os.RegCloseKeyHandle(key);
  if (set != win::kErrorSuccess) {
    // Nobody would learn why the browser cannot find the host.
    return FailRegistry("\n**** Error: Failed to set the registry value.\n", quiet);
  }
  LogLine("Successfully registered to HKEY_CURRENT_USER");
  RemoveLeftovers(exePath);
  // Listed among the installed apps, so that it can be removed from there; a
  // failure is logged and changes nothing else.
  WriteUninstallEntry(folder, target);
  return true;
}

}  // namespace lumiclip
