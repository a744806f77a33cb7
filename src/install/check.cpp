#include "install/check.h"

#include <algorithm>
#include <string>
#include <vector>

#include "install/browser_lookup.h"
#include "install/manifest.h"
#include "install/manifest_match.h"
#include "install/self_update.h"
#include "install/uninstall.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/pe_image.h"

namespace lumiclip {

namespace {

constexpr char kXmlLite[] = "xmllite.dll";
constexpr char kEngineExport[] = "_initLibrary";
constexpr char kReinstall[] = "run lumiclip-chrome-plugin.exe once, without arguments, to install it again";
constexpr char kSendAgain[] = "delete it, and the extension sends the engine again when it next connects";
// What this version writes is some hundred bytes; a file far longer than
// that is not read whole.
constexpr uint32_t kManifestLimit = 64 * 1024;
constexpr char kCaption[] = "Lumiclip installation check";

// Only a problem keeps a browser from starting the host; a warning is about
// the host once it runs.
enum class Level { kOk, kNote, kWarning, kProblem };

class Report {
 public:
  void Add(Level level, const std::string& text) {
    static const char* const kWords[] = {"ok: ", "note: ", "warning: ", "problem: "};
    lines_.push_back(kWords[static_cast<int>(level)] + text);
  }
  std::vector<std::string>& lines() { return lines_; }

 private:
  std::vector<std::string> lines_;
};

bool IsFile(const std::string& path) {
  uint32_t attributes = TheOs().FileAttributes(path);
  return attributes != win::kInvalidFileAttributes && (attributes & win::kFileAttributeDirectory) == 0;
}

std::string WithoutTrailingSeparator(std::string folder) {
  while (folder.size() > 1 && folder.back() == '\\') folder.pop_back();
  return folder;
}

// A file's bytes, read through one handle that is closed again.
class FileBytes {
 public:
  explicit FileBytes(const std::string& path) : file_(TheOs().OpenToRead(path)) {}
  ~FileBytes() {
    if (file_ != nullptr) TheOs().CloseFile(file_);
  }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  bool open() const { return file_ != nullptr; }
  // Up to size bytes from offset; fewer at the end of the file.
  bool Read(uint64_t offset, uint32_t size, std::string* out) {
    out->assign(size, '\0');
    uint32_t done = 0;
    while (done < size) {
      uint32_t got = 0;
      if (!TheOs().ReadFileAt(file_, offset + done, &(*out)[done], size - done, &got)) return false;
      if (got == 0) break;
      done += got;
    }
    out->resize(done);
    return true;
  }

 private:
  OsHandle file_;
};

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

// The policies and the registration of one browser; true when neither keeps
// it from this installation's manifest.
bool CheckBrowser(const BrowserRules& browser, const std::string& ours, Report& report) {
  const std::string name = browser.name;
  PolicyVerdict policy = ReadPolicies(browser);
  FoundKey found = FindRegistration(browser, !policy.userHostsOff);
  bool names = found.found && IsFullPath(found.manifest) &&
               (SameText(found.manifest, ours) || TheOs().SameFile(found.manifest, ours));

  // Without the user's hosts the browser still takes one registered for
  // the machine.
  if (policy.userHostsOff) {
    std::string text = name + ": the policy NativeMessagingUserLevelHosts is 0 in " + policy.userHostsWhere +
                       ", so it starts no host installed for the user";
    if (names) {
      report.Add(Level::kNote, text + "; this one is registered for the machine too");
    } else {
      report.Add(Level::kProblem, text + ", as this one is; ask your administrator to allow such hosts");
    }
  }
  if (policy.blocked) {
    report.Add(Level::kProblem, name + ": the policy list " + policy.blockWhere + " holds " + policy.blockedBy +
                                    " and NativeMessagingAllowlist does not hold " + kHostName +
                                    "; ask your administrator to allow " + kHostName);
  }
  if (!policy.userHostsOff && !policy.blocked) {
    report.Add(Level::kOk, name + ": no policy keeps it from starting " + kHostName);
  }

  if (!found.found) {
    std::string text = name + ": finds no registration of " + kHostName;
    if (policy.userHostsOff) text += " for the machine, and the policy keeps it from looking for the user's";
    if (!found.skipped.empty()) text += ": " + found.skipped;
    report.Add(Level::kProblem, text + "; " + (policy.userHostsOff ? "see the policy above" : kReinstall));
    return false;
  }
  const std::string first = name + ": finds " + found.key + " first";
  // The browser takes it, and no other, however wrong it is.
  const std::string remedy = found.deployedKey ? std::string(kReinstall)
                                               : "remove that key, or the installation it belongs to, so that " +
                                                     name + " finds this one";
  if (!IsFullPath(found.manifest)) {
    report.Add(Level::kProblem, first + "; it names " + found.manifest +
                                    ", not an absolute path, which the browser refuses; " + remedy);
  } else if (!names) {
    report.Add(Level::kProblem, first + "; it names another manifest, " + found.manifest +
                                    ", not this installation's, " + ours + "; " + remedy);
  } else {
    report.Add(Level::kOk, first + "; it names this installation's manifest");
  }
  return names && !policy.blocked;
}

struct ManifestOutcome {
  bool ok = false;
  std::string host;  // the host it names, resolved, once it matches
};

// The manifest holds what this version writes, and names a copy of the host.
ManifestOutcome CheckManifest(const std::string& manifest, const std::string& ownVersion, Report& report) {
  ManifestOutcome outcome;
  const std::string subject = "the manifest " + manifest;
  if (!IsFile(manifest)) {
    report.Add(Level::kProblem, subject + " is missing; " + kReinstall);
    return outcome;
  }
  std::string text;
  FileBytes file(manifest);
  if (!file.open() || !file.Read(0, kManifestLimit + 1, &text)) {
    report.Add(Level::kProblem, subject + " cannot be read; " + kReinstall);
    return outcome;
  }
  std::string templateText = LoadManifestTemplate();
  templateText.resize(std::min(templateText.size(), templateText.find('\0')));
  if (templateText.empty()) {
    report.Add(Level::kProblem, subject + " cannot be compared: this copy of the host holds no manifest template; "
                                          "check with another copy");
    return outcome;
  }
  ManifestMatch match = MatchManifest(templateText, text);
  if (!match.matches) {
    report.Add(Level::kProblem, subject + " differs from what this version writes, from line " +
                                    std::to_string(match.line) + " on; " + kReinstall);
    return outcome;
  }
  report.Add(Level::kOk, subject + " holds what this version writes");

  // The browser resolves a path that is not absolute against the manifest's
  // folder.
  std::string host = IsFullPath(match.path) ? match.path : ExecutableFolder(manifest) + match.path;
  if (!IsFile(host)) {
    report.Add(Level::kProblem, "the manifest names " + host + ", which is missing; " + kReinstall);
    return outcome;
  }
  std::string version = ReadInternalVersion(host);
  if (version.empty()) {
    report.Add(Level::kProblem, "the manifest names " + host + ", which is no Lumiclip host (it has no version); " +
                                    kReinstall);
    return outcome;
  }
  outcome.ok = true;
  outcome.host = host;
  if (version == ownVersion) {
    report.Add(Level::kOk, "the manifest names " + host + ", a host of version " + version + ", the version of this copy");
  } else {
    report.Add(Level::kNote, "the manifest names " + host + ", a host of version " + version +
                                 "; this copy is of version " + (ownVersion.empty() ? "(none)" : ownVersion) +
                                 ": to install this one, run it once without arguments");
  }
  return outcome;
}

// The engine as the host would load it, judged by its headers alone.
void CheckEngine(const std::string& folder, Report& report) {
  const std::string path = JoinPath(folder, kEngineLibraryName);
  const std::string subject = std::string(kEngineLibraryName) + ": " + path;
  if (TheOs().FileAttributes(path) == win::kInvalidFileAttributes) {
    report.Add(Level::kOk, std::string(kEngineLibraryName) + ": not in " + folder +
                               " yet; the extension sends it when it next connects");
    return;
  }
  FileBytes file(path);
  PeFacts facts;
  if (file.open()) {
    facts = ReadPeFacts([&file](uint64_t offset, uint32_t size, std::string* out) { return file.Read(offset, size, out); },
                        kEngineExport);
  }
  switch (facts.verdict) {
    case PeVerdict::kUnreadable:
      report.Add(Level::kWarning, subject + " cannot be read; " + kSendAgain);
      return;
    case PeVerdict::kNotAnImage:
    case PeVerdict::kNotALibrary:
      report.Add(Level::kWarning, subject + " is no library; " + kSendAgain);
      return;
    case PeVerdict::kLibrary:
      break;
  }
  if (facts.machine != kHostMachine) {
    report.Add(Level::kWarning, subject + " is a library for " + MachineName(facts.machine) + ", and this host is " +
                                    MachineName(kHostMachine) + "; " + kSendAgain);
  } else if (!facts.exported) {
    report.Add(Level::kWarning, subject + " does not export " + kEngineExport + "; " + kSendAgain);
  } else {
    report.Add(Level::kOk, subject + ", a library for " + MachineName(facts.machine) + " that exports " +
                               kEngineExport);
  }
}

// Where the host looks for the XML library before the engine: the system
// folder, else the engine's.
void CheckXmlLite(const std::string& folder, Report& report) {
  std::string system = TheOs().SystemFolderPath();
  std::vector<std::string> places;
  if (!system.empty()) places.push_back(system);
  places.push_back(folder);
  for (const std::string& place : places) {
    if (IsFile(JoinPath(place, kXmlLite))) {
      report.Add(Level::kOk, std::string(kXmlLite) + ": found in " + place);
      return;
    }
  }
  std::string where = places.size() == 1 ? "not found in " + places[0]
                                          : "found neither in " + places[0] + " nor in " + places[1];
  report.Add(Level::kWarning, std::string(kXmlLite) + ": " + where +
                                  "; the engine cannot be loaded without it: install XmlLite (a part of Windows "
                                  "since Vista)");
}

// Opened for appending only when it is there: a check creates no file.
void CheckLog(const std::string& folder, Report& report) {
  Os& os = TheOs();
  const std::string path = JoinPath(folder, kLogFileName);
  if (!IsFile(path)) {
    report.Add(Level::kOk, "the log " + path + " is not there yet; the host writes it when it starts");
    return;
  }
  OsHandle file = os.OpenToAppend(path);
  if (file == nullptr) {
    report.Add(Level::kWarning, "the log " + path +
                                    " cannot be opened for writing, so the host runs without it; clear its "
                                    "read-only attribute, or delete it");
    return;
  }
  os.CloseFile(file);
  report.Add(Level::kOk, "the log " + path + " can be written");
}

void CheckLeftovers(const std::string& folder, Report& report) {
  Os& os = TheOs();
  std::vector<std::string> found;
  for (const std::string& place : {folder, JoinPath(folder, kStagingFolderName)}) {
    std::vector<std::string> names;
    if (!os.ListFolder(place, &names)) continue;
    for (const std::string& name : names) {
      if (!name.empty() && name.back() == '~' && IsHostFileName(name)) found.push_back(JoinPath(place, name));
    }
  }
  if (found.empty()) {
    report.Add(Level::kOk, "no leftover temporary files in " + folder);
    return;
  }
  std::vector<std::string> shown(found.begin(), found.begin() + std::min<size_t>(found.size(), 3));
  if (found.size() > shown.size()) shown.push_back("...");
  report.Add(Level::kNote, std::to_string(found.size()) + " leftover temporary file" +
                               (found.size() == 1 ? "" : "s") + " (" + JoinNames(shown) +
                               "): harmless; the next start of a host removes those whose writer has ended");
}

void CheckOtherHosts(const std::string& folder, Report& report) {
  Os& os = TheOs();
  std::vector<uint32_t> pids;
  if (!os.ListProcessIds(&pids)) {
    report.Add(Level::kNote, "the running programs cannot be listed, so other hosts are not looked for");
    return;
  }
  std::vector<std::string> others;
  const std::string inside = folder + "\\";
  for (uint32_t pid : pids) {
    if (pid == os.CurrentProcessId()) continue;
    std::string image = os.ProcessImagePath(pid);
    if (image.size() > inside.size() && SameText(image.substr(0, inside.size()), inside)) {
      others.push_back(std::to_string(pid));
    }
  }
  if (others.empty()) {
    report.Add(Level::kOk, "no other host runs from " + folder);
    return;
  }
  report.Add(Level::kNote, std::to_string(others.size()) + " other host" + (others.size() == 1 ? " runs" : "s run") +
                               " from " + folder + (others.size() == 1 ? " (process " : " (processes ") + JoinNames(others) +
                               "); each serves one connection of a browser and ends with it");
}

void Deliver(const std::vector<std::string>& lines, bool allStart) {
  Os& os = TheOs();
  std::string text;
  for (const std::string& line : lines) {
    LogLine(line);
    text += line + "\r\n";
  }
  if (os.StdOutputIsFileOrPipe() && os.WriteOutput(text.data(), text.size())) return;
  // After the prompt that the console's shell has already shown again.
  if (os.AttachParentConsole() && os.WriteConsoleText("\r\n" + text)) return;
  text.resize(text.size() - 2);
  os.ShowMessageBox(text, kCaption, win::kMbOk | (allStart ? win::kMbIconInformation : win::kMbIconWarning));
}

}  // namespace

int RunCheck() {
  const std::string folder = GetDeploymentFolder();
  const std::string manifest = JoinPath(folder, kManifestFileName);
  LogFormatStr("Checking the installation in %s...", folder.c_str());
  Report report;

  std::vector<bool> reaches;
  for (const BrowserRules& browser : Browsers()) reaches.push_back(CheckBrowser(browser, manifest, report));
  ManifestOutcome outcome = CheckManifest(manifest, GetOwnVersion(), report);

  // The engine, the XML library and the log beside the host the browser
  // starts.
  std::string hostFolder = outcome.host.empty() ? folder : WithoutTrailingSeparator(ExecutableFolder(outcome.host));
  CheckEngine(hostFolder, report);
  CheckXmlLite(hostFolder, report);
  CheckLog(hostFolder, report);
  CheckLeftovers(folder, report);
  CheckOtherHosts(folder, report);

  std::vector<std::string> starting, stopped;
  for (size_t i = 0; i < Browsers().size(); ++i) {
    (reaches[i] && outcome.ok ? starting : stopped).push_back(Browsers()[i].name);
  }
  std::string summary;
  if (stopped.empty()) {
    summary = JoinNames(starting) + " will start the host.";
  } else if (starting.empty()) {
    summary = "No browser will start the host: see the lines that begin with \"problem\".";
  } else {
    summary = JoinNames(stopped) + " will not start the host (see the lines that begin with \"problem\"); " +
              JoinNames(starting) + " will.";
  }
  report.lines().push_back(summary);
  Deliver(report.lines(), stopped.empty());
  return stopped.empty() ? kCheckAllStart : kCheckSomeWillNot;
}

}  // namespace lumiclip
