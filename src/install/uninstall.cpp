#include "install/uninstall.h"

#include <string>
#include <vector>

#include "install/deploy.h"
#include "install/file_replace.h"
#include "install/manifest.h"
#include "install/self_update.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/temporary_name.h"

namespace lumiclip {

namespace {

// Shown when the version resource names no product: the system's list hides
// an entry without a display name.
constexpr const char kFallbackDisplayName[] = "Lumiclip Native Host";
// The helper's copy lies in a folder of its own, "<name>.<pid>.<count>",
// under the temporary folder, made by the removal that starts it.
constexpr const char kHelperFolderName[] = "lumiclip-uninstall";
constexpr const char kHelperName[] = "lumiclip-uninstall.exe";
constexpr int kHelperFolderAttempts = 16;
// A host the browser keeps open may run for hours; the helper sleeps in the
// wait and costs nothing meanwhile.
constexpr uint32_t kHostWaitMs = 24u * 60u * 60u * 1000u;

constexpr const char kQuestion[] =
    "Remove the Lumiclip native host? The Lumiclip extension will stop working until it is "
    "installed again.";
constexpr const char kCaption[] = "Lumiclip";

bool Exists(const std::string& path) {
  return TheOs().FileAttributes(path) != win::kInvalidFileAttributes;
}

uint32_t FolderSizeKiB(const std::string& folder) {
  Os& os = TheOs();
  std::vector<std::string> names;
  os.ListFolder(folder, &names);
  uint64_t bytes = 0;
  for (const std::string& name : names) {
    int64_t length = os.FileLength(JoinPath(folder, name));
    if (length > 0) bytes += static_cast<uint64_t>(length);
  }
  uint64_t kib = (bytes + 1023) / 1024;
  return kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(kib);
}

// What one removal left: files that could not go, and whether some were
// moved aside because a running host uses them.
struct Outcome {
  std::vector<std::string> failed;
  bool inUse = false;
};

// Frees one of the host's files: deleted, or moved aside (and so waiting
// for the host that uses it) when it is in use.
void RemoveHostFile(const std::string& path, Outcome* outcome) {
  Os& os = TheOs();
  if (!Exists(path)) return;
  if (os.RemoveFile(path)) return;
  if (RemoveOrMoveAside(path)) {
    LogFormatStr("In use, moved aside: %s", path.c_str());
    outcome->inUse = true;
    return;
  }
  LogFormatStr("\n**** Error: Cannot remove %s\n", path.c_str());
  outcome->failed.push_back(path);
}

// The temporaries of the host's files in a folder: those of a crash go,
// those that a running host still uses stay for later.
void RemoveTemporaries(const std::string& folder, Outcome* outcome) {
  Os& os = TheOs();
  std::vector<std::string> names;
  os.ListFolder(folder, &names);
  for (const std::string& name : names) {
    if (name.empty() || name.back() != '~' || !IsHostFileName(name)) continue;
    if (!os.RemoveFile(JoinPath(folder, name))) outcome->inUse = true;
  }
}

// Removes the host's files from the deployment folder, keeping the running
// executable and its log when they lie there, then the folder once it is
// empty. Files of other names stay, and so does the folder then.
void RemoveHostFiles(const std::string& folder, bool keepRunning, Outcome* outcome) {
  Os& os = TheOs();
  LogLine("Removing the files...");
  RemoveHostFile(JoinPath(folder, kManifestFileName), outcome);
  RemoveHostFile(JoinPath(folder, kEngineLibraryName), outcome);

  std::string staging = JoinPath(folder, kStagingFolderName);
  if (Exists(staging)) {
    std::vector<std::string> names;
    os.ListFolder(staging, &names);
    for (const std::string& name : names) {
      if (name.back() != '~' && IsHostFileName(name)) RemoveHostFile(JoinPath(staging, name), outcome);
    }
    RemoveTemporaries(staging, outcome);
    if (!os.RemoveFolder(staging) && Exists(staging)) LogFormatStr("Left in place: %s", staging.c_str());
  }

  RemoveTemporaries(folder, outcome);
  if (!keepRunning) {
    RemoveHostFile(JoinPath(folder, kLogFileName), outcome);
    RemoveHostFile(JoinPath(folder, kDeployedExeName), outcome);
  }
  if (keepRunning || outcome->inUse) return;
  if (!os.RemoveFolder(folder) && Exists(folder)) {
    LogFormatStr("Left in place, it holds other files: %s", folder.c_str());
  }
}

bool IsPlainFolder(const std::string& path) {
  uint32_t attributes = TheOs().FileAttributes(path);
  return attributes != win::kInvalidFileAttributes && (attributes & win::kFileAttributeDirectory) != 0 &&
         (attributes & win::kFileAttributeReparsePoint) == 0;
}

// A folder made now for this removal's helper: in one that existed before,
// or a link to elsewhere, others may have put files, such as a library of a
// system name that the copy would load from beside itself.
std::string NewHelperFolder(const std::string& temp) {
  Os& os = TheOs();
  std::string stem = JoinPath(temp, kHelperFolderName) + "." + std::to_string(os.CurrentProcessId()) + ".";
  for (int count = 1; count <= kHelperFolderAttempts; ++count) {
    std::string folder = stem + std::to_string(count);
    if (!os.MakeDirectory(folder)) continue;
    if (IsPlainFolder(folder)) return folder;
    LogFormatStr("\n**** Error: Not a folder of its own, passed over: %s\n", folder.c_str());
  }
  return std::string();
}

// Copies the running executable out of the deployment folder and starts it
// to finish the removal once this process (and every other host) has ended.
bool StartHelper() {
  Os& os = TheOs();
  std::string temp = os.TempFolderPath();
  if (temp.empty()) return false;
  std::string helperFolder = NewHelperFolder(temp);
  if (helperFolder.empty()) return false;
  std::string helper = JoinPath(helperFolder, kHelperName);
  if (PathFitsOrLog(helper) && CopyFileReplacing(os.ExecutablePath(), helper)) {
    LogFormatStr("Handing the rest to %s...", helper.c_str());
    std::string parameters = "--uninstall-finish " + std::to_string(os.CurrentProcessId());
    int32_t code = static_cast<int32_t>(os.ShellRun("open", helper, parameters, win::kSwHide));
    LogFormatInt("Exec result: %d", code);
    if (code > 32) return true;
    os.RemoveFile(helper);
  }
  os.RemoveFolder(helperFolder);
  return false;
}

// The copies that earlier removals left in the temporary folder, each in a
// folder of its own (or, from older versions, all in one). A copy that still
// runs stays, and its log and folder with it; a link is not followed.
void RemoveEarlierHelpers(const std::string& self) {
  Os& os = TheOs();
  std::string temp = os.TempFolderPath();
  std::vector<std::string> folders;
  if (temp.empty() || !os.ListSubfolders(temp, &folders)) return;
  const std::string prefix = std::string(kHelperFolderName) + ".";
  for (const std::string& name : folders) {
    std::string folder = JoinPath(temp, name);
    if ((!SameText(name, kHelperFolderName) && !StartsWithText(name, prefix)) ||
        SameText(folder + "\\", ExecutableFolder(self)) || !IsPlainFolder(folder)) {
      continue;
    }
    std::vector<std::string> names;
    os.ListFolder(folder, &names);
    bool running = false, log = false;
    for (const std::string& file : names) {
      if (StartsWithText(file, prefix) && !os.RemoveFile(JoinPath(folder, file))) running = true;
      log = log || SameText(file, kLogFileName);
    }
    if (running) continue;
    if (log) os.RemoveFile(JoinPath(folder, kLogFileName));
    os.RemoveFolder(folder);
  }
}

void Tell(bool quiet, const std::string& text, uint32_t icon) {
  if (!quiet) TheOs().ShowMessageBox(text, kCaption, win::kMbOk | icon);
}

}  // namespace

bool IsHostFileName(const std::string& name) {
  for (const char* ours : {kDeployedExeName, kManifestFileName, kEngineLibraryName, kLogFileName}) {
    std::string own = ours;
    if (SameText(name, own)) return true;
    if (IsTemporaryOf(name, own)) return true;
  }
  return false;
}

Registration ReadRegistration(const std::string& folder, std::string* registered) {
  registered->clear();
  long query = TheOs().RegQueryUserDefault(kRegistryKey, registered);
  if (query == win::kErrorFileNotFound) return Registration::kNone;
  if (query != win::kErrorSuccess) return Registration::kUnreadable;
  return SameText(*registered, JoinPath(folder, kManifestFileName)) ? Registration::kHere
                                                                    : Registration::kElsewhere;
}

bool WriteUninstallEntry(const std::string& folder, const std::string& exe) {
  Os& os = TheOs();
  std::string product = ReadVersionString(exe, "ProductName");
  if (product.empty()) product = kFallbackDisplayName;
  std::string quoted = "\"" + exe + "\"";
  struct Text {
    const char* name;
    std::string value;
  };
  // The display name last: the list shows the entry only once it is whole.
  const Text texts[] = {{"UninstallString", quoted + " --uninstall"},
                        {"QuietUninstallString", quoted + " --uninstall --quiet"},
                        {"InstallLocation", folder},
                        {"DisplayIcon", exe},
                        {"Publisher", ReadVersionString(exe, "CompanyName")},
                        {"DisplayVersion", ReadInternalVersion(exe)},
                        {"DisplayName", product}};
  struct Number {
    const char* name;
    uint32_t value;
  };
  const Number numbers[] = {{"NoModify", 1}, {"NoRepair", 1}, {"EstimatedSize", FolderSizeKiB(folder)}};

  OsHandle key = nullptr;
  bool ok = os.RegCreateUserKey(kUninstallKey, win::kKeyWrite, &key) == win::kErrorSuccess;
  if (ok) {
    for (const Number& n : numbers) {
      ok = ok && os.RegSetNamedValue(key, n.name, win::kRegDword, &n.value, sizeof(n.value)) ==
                     win::kErrorSuccess;
    }
    for (const Text& t : texts) {
      ok = ok && os.RegSetNamedValue(key, t.name, win::kRegSz, t.value.c_str(),
                                     static_cast<uint32_t>(t.value.size() + 1)) == win::kErrorSuccess;
    }
    os.RegCloseKeyHandle(key);
  }
  if (!ok) LogLine("\n**** Error: Failed to write the uninstall entry.\n");
  return ok;
}

int RunUninstall(bool quiet) {
  Os& os = TheOs();
  std::string folder = GetDeploymentFolder();
  LogFormatStr("Uninstalling from: %s", folder.c_str());

  std::string registered;
  Registration registration = ReadRegistration(folder, &registered);
  if (registration == Registration::kUnreadable) {
    // Whether it names the files below is unknown: they stay.
    LogLine("\n**** Error: Cannot read the registration.\n");
    Tell(quiet, "The Lumiclip native host could not be removed: its registration cannot be read.",
         win::kMbIconError);
    return kUninstallIncomplete;
  }
  bool ours = registration == Registration::kHere;
  if (!ours && !Exists(folder)) {
    os.RegDeleteUserKey(kUninstallKey);
    LogLine("Nothing to remove.");
    return kUninstallDone;
  }
  if (!quiet && os.ShowMessageBox(kQuestion, kCaption, win::kMbYesNo | win::kMbIconQuestion) != win::kIdYes) {
    LogLine("Not removed: the user declined.");
    return kUninstallDeclined;
  }

  // The registration goes first: from here on the browser starts no host
  // from the files that follow.
  if (ours) {
    LogLine("Removing the registration...");
    long removed = os.RegDeleteUserKey(kRegistryKey);
    if (removed != win::kErrorSuccess && removed != win::kErrorFileNotFound) {
      LogLine("\n**** Error: Failed to remove the registration.\n");
      Tell(quiet, "The Lumiclip native host could not be removed: its registration cannot be deleted.",
           win::kMbIconError);
      return kUninstallIncomplete;
    }
  } else if (registration == Registration::kElsewhere) {
    LogFormatStr("The registration names another manifest, left in place: %s", registered.c_str());
  }
  Outcome outcome;
  long entry = os.RegDeleteUserKey(kUninstallKey);
  if (entry != win::kErrorSuccess && entry != win::kErrorFileNotFound) {
    LogLine("\n**** Error: Failed to remove the uninstall entry.\n");
    outcome.failed.push_back("HKEY_CURRENT_USER\\" + std::string(kUninstallKey));
  }

  std::string self = os.ExecutablePath();
  bool runningInside = StartsWithText(self, folder + "\\");
  RemoveHostFiles(folder, runningInside, &outcome);

  bool handedOver = false;
  if (runningInside || outcome.inUse) {
    handedOver = StartHelper();
    if (!handedOver) {
      LogLine("\n**** Error: The helper that finishes the removal did not start.\n");
      if (runningInside) {
        outcome.failed.push_back(self);
        outcome.failed.push_back(JoinPath(folder, kLogFileName));
      }
      if (outcome.inUse) outcome.failed.push_back("files in use by a running Lumiclip host");
    }
  }

  if (!outcome.failed.empty()) {
    std::string list;
    for (const std::string& item : outcome.failed) list += "\r\n" + item;
    LogLine("Removal incomplete.");
    Tell(quiet, "The Lumiclip native host could not be removed completely. Left in place:" + list,
         win::kMbIconError);
    return kUninstallIncomplete;
  }
  if (outcome.inUse) {
    LogLine("Removed; files in use go once the running hosts close.");
    Tell(quiet,
         "The Lumiclip native host was removed. Some of its files are in use by a Lumiclip host "
         "that is still running; they will be removed once it closes.",
         win::kMbIconInformation);
  } else {
    LogLine("Removed.");
    Tell(quiet, "The Lumiclip native host was removed.", win::kMbIconInformation);
  }
  return kUninstallDone;
}

int RunUninstallFinish(int32_t parentPid) {
  Os& os = TheOs();
  std::string folder = GetDeploymentFolder();
  LogFormatInt("Parent PID: %d", parentPid);

  // The parent first, then every process still running from the folder: a
  // file goes only once nothing uses it.
  std::vector<uint32_t> waitFor = {static_cast<uint32_t>(parentPid)};
  std::vector<uint32_t> pids;
  if (os.ListProcessIds(&pids)) {
    for (uint32_t pid : pids) {
      if (pid == os.CurrentProcessId() || pid == static_cast<uint32_t>(parentPid)) continue;
      if (StartsWithText(os.ProcessImagePath(pid), folder + "\\")) waitFor.push_back(pid);
    }
  }
  bool timedOut = false;
  for (uint32_t pid : waitFor) {
    OsHandle process = os.OpenProcessHandle(win::kSynchronize, pid);
    if (process == nullptr) continue;
    LogFormatInt("Waiting for process %d to close...", static_cast<int32_t>(pid));
    if (os.WaitForObject(process, kHostWaitMs) == win::kWaitTimeout) timedOut = true;
    os.CloseOsHandle(process);
  }
  if (timedOut) LogLine("Timeout!");

  // This copy stays (it is running), harmless in the temporary folder.
  RemoveEarlierHelpers(os.ExecutablePath());

  // A deployment made while this helper waited has registered its manifest
  // again: the files are that installation's now.
  std::string registered;
  Registration registration = ReadRegistration(folder, &registered);
  if (registration == Registration::kHere) {
    LogLine("Installed again meanwhile: its files stay.");
    return kUninstallDone;
  }
  if (registration == Registration::kUnreadable) {
    LogLine("\n**** Error: Cannot read the registration: the files stay.\n");
    return kUninstallIncomplete;
  }
  Outcome outcome;
  if (Exists(folder)) RemoveHostFiles(folder, false, &outcome);
  bool complete = outcome.failed.empty() && !outcome.inUse;
  LogLine(complete ? "Removed." : "Removal incomplete.");
  return complete ? kUninstallDone : kUninstallIncomplete;
}

}  // namespace lumiclip
