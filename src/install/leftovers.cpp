#include "install/leftovers.h"

#include <cctype>
#include <cstdint>
#include <vector>

#include "install/deploy.h"
#include "install/manifest.h"
#include "install/self_update.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

bool SameTextStart(const std::string& text, const std::string& start) {
  if (start.size() > text.size()) return false;
  for (size_t i = 0; i < start.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(start[i]))) {
      return false;
    }
  }
  return true;
}

// A number as std::to_string writes a 32-bit one: digits, no leading zero.
bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

// Whether name is a temporary name of one of the installation's own files in
// folder, "<file>.<pid>.<count>~", or the form cut to the path limit, whose
// file name is only a start of the target's; *pid gets the writer.
bool IsOwnTemporaryName(const std::string& folder, const std::string& name, uint32_t* pid) {
  if (name.size() < 5 || name.back() != '~') return false;
  size_t countDot = name.rfind('.', name.size() - 2);
  if (countDot == std::string::npos || countDot == 0) return false;
  size_t pidDot = name.rfind('.', countDot - 1);
  if (pidDot == std::string::npos) return false;
  uint32_t count = 0;
  if (!ParseNumber(name.substr(countDot + 1, name.size() - 2 - countDot), &count) || count == 0 ||
      !ParseNumber(name.substr(pidDot + 1, countDot - pidDot - 1), pid)) {
    return false;
  }
  std::string target = name.substr(0, pidDot);
  bool atLimit = PathLength(JoinPath(folder, name)) + 1 >= kMaxPathLength;
  for (const std::string& own : {std::string(kDeployedExeName), std::string(kEngineLibraryName),
                                 std::string(kManifestFileName), GetOwnFileName()}) {
    if (SameTextStart(own, target) && (target.size() == own.size() || atLimit)) return true;
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
      again = again || (other.size() == folder.size() && SameTextStart(other, folder));
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
