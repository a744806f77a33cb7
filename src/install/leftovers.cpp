#include "install/leftovers.h"

#include <cstdint>
#include <vector>

#include "install/deploy.h"
#include "install/manifest.h"
#include "install/self_update.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/temporary_name.h"

namespace lumiclip {

namespace {

// Whether name is a temporary name of one of the installation's own files in
// folder, "<file>.<pid>.<count>~", or the form cut to the path limit, whose
// file name is only a start of the target's; *pid gets the writer.
bool IsOwnTemporaryName(const std::string& folder, const std::string& name, uint32_t* pid) {
  std::string target;
  if (!ParseTemporaryName(name, &target, pid)) return false;
  bool atLimit = PathLength(JoinPath(folder, name)) + 1 >= kMaxPathLength;
  for (const std::string& own : {std::string(kDeployedExeName), std::string(kEngineLibraryName),
                                 std::string(kManifestFileName), GetOwnFileName()}) {
    if (atLimit ? StartsWithText(own, target) : SameText(own, target)) return true;
  }
  return false;
}

bool ProcessEnded(uint32_t pid) {
  Os& os = TheOs();
  if (pid == os.CurrentProcessId()) return false;
  OsHandle process = os.OpenProcessHandle(win::kSynchronize, pid);
  if (process == nullptr) return true;
  // A process that has ended but whose handle another one holds still opens.
  bool ended = os.WaitForObject(process, 0) == win::kWaitObject0;
  os.CloseOsHandle(process);
  return ended;
}

}  // namespace

int RemoveLeftovers(const std::string& executablePath) {
  Os& os = TheOs();
  std::string deployment = GetDeploymentFolder();
  int removed = 0;
  std::vector<std::string> seen;
  for (std::string folder : {deployment, JoinPath(deployment, kStagingFolderName),
                             ExecutableFolder(executablePath)}) {
    while (folder.size() > 1 && folder.back() == '\\') folder.pop_back();
    bool again = false;
    for (const std::string& other : seen) {
      again = again || SameText(other, folder);
    }
    if (folder.empty() || again) continue;
    seen.push_back(folder);
    std::vector<std::string> names;
    if (!os.ListFolder(folder, &names)) continue;
    for (const std::string& name : names) {
      uint32_t pid = 0;
      // A live writer may be about to rename its file into place.
      if (!IsOwnTemporaryName(folder, name, &pid) || !ProcessEnded(pid)) continue;
      if (os.RemoveFile(JoinPath(folder, name))) ++removed;
    }
  }
  if (removed > 0) LogFormatInt("Leftover temporary files removed: %d", removed);
  return removed;
}

}  // namespace lumiclip
