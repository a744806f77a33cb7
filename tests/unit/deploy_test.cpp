#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "channel/host_loop.h"
#include "fake/host_fixture.h"
#include "install/deploy.h"
#include "install/file_replace.h"
#include "install/self_update.h"
#include "install/uninstall.h"
#include "support/dialogs.h"
#include "support/paths.h"

namespace lumiclip::testing {
namespace {

const char kAppData[] = "C:\\Users\\me\\AppData\\Roaming";
const std::string kFolder = std::string(kAppData) + "\\Lumiclip";
const std::string kTarget = kFolder + "\\lumiclip-chrome-plugin.exe";
const std::string kManifest = kFolder + "\\lumiclip-native-manifest.json";
const std::string kEngine = kFolder + "\\raz.dll";
const char kKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";
const char kSource[] = "C:\\Downloads\\Lumiclip Setup (2).exe";
// Bytes no text conversion would leave alone.
const std::string kExeBytes = std::string("MZ\x90\0\r\n\x1a\n\xff", 9) + std::string(3000, '\x7f');

class Deploy : public HostFixture {
 protected:
  Deploy() { os.AddFile(kSource, kExeBytes); }
};

TEST_F(Deploy, FirstDeployment) {
  os.AddFile(kEngine, "old engine");
  // The names come from the deployed copy's version resource.
  os.versions[FakeOs::Lower(kTarget)] = {
      {"\\VarFileInfo\\Translation", std::string("\0\0\xb0\x04", 4)},
      {"\\StringFileInfo\\000004b0\\LumiclipInternalVersion", std::string("0.98.93\0", 8)},
      {"\\StringFileInfo\\000004b0\\ProductName", std::string("Lumiclip Native Host\0", 21)},
      {"\\StringFileInfo\\000004b0\\CompanyName", std::string("Lumiclip\0", 9)}};
  EXPECT_TRUE(DeployHost(kSource, true));

  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Using folder for deployment: " + kFolder,
                                       "Created directory with result: 1", "Deleting raz.dll...",
                                       "Successfully registered to HKEY_CURRENT_USER"}));
  EXPECT_TRUE(os.folders.count(FakeOs::Lower(kFolder)));
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_NE(os.FileText(kManifest).find("\"path\": \"lumiclip-chrome-plugin.exe\""),
            std::string::npos);
  EXPECT_FALSE(os.HasFile(kEngine));
  EXPECT_EQ(os.registry.size(), 1u);
  // The fake takes the default only as REG_SZ with its zero, through a key
  // open for setting values.
  EXPECT_EQ(os.registry[kKey], kManifest);
  EXPECT_EQ(os.OpenKeyHandles(), 0u);
  // What survives a power cut: the copy and the manifest were flushed and
  // moved into place with write-through.
  os.Reboot();
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_NE(os.FileText(kManifest).find("\"path\": \"lumiclip-chrome-plugin.exe\""),
            std::string::npos);
  EXPECT_TRUE(os.boxes.empty());

  // Listed among the installed apps.
  const std::string quoted = "\"" + kTarget + "\"";
  const std::map<std::string, std::string> texts = {
      {"DisplayName", "Lumiclip Native Host"}, {"DisplayVersion", "0.98.93"},
      {"Publisher", "Lumiclip"}, {"InstallLocation", kFolder}, {"DisplayIcon", kTarget},
      {"UninstallString", quoted + " --uninstall"},
      {"QuietUninstallString", quoted + " --uninstall --quiet"}};
  for (const auto& [name, value] : texts) EXPECT_EQ(os.RegText(kUninstallKey, name), value) << name;
  EXPECT_EQ(os.RegDword(kUninstallKey, "NoModify"), 1);
  EXPECT_EQ(os.RegDword(kUninstallKey, "NoRepair"), 1);
  // The executable and the manifest, in KiB rounded up.
  EXPECT_EQ(os.RegDword(kUninstallKey, "EstimatedSize"), (3009 + 562 + 1023) / 1024);
  EXPECT_EQ(os.registryValues[kUninstallKey].size(), 10u);
}

// The entry is a convenience: failing to write it fails nothing. The list
// shows an entry only once it has its name: whichever other value fails, the
// entry has none.
TEST_F(Deploy, UninstallEntryFailureIsOnlyLogged) {
  for (const char* failing :
       {"RegCreateUserKey:Uninstall", "RegSetNamedValue:DisplayVersion", "RegSetNamedValue:Publisher",
        "RegSetNamedValue:InstallLocation", "RegSetNamedValue:DisplayIcon",
        "RegSetNamedValue:UninstallString", "RegSetNamedValue:QuietUninstallString",
        "RegSetNamedValue:NoModify", "RegSetNamedValue:NoRepair", "RegSetNamedValue:EstimatedSize"}) {
    SCOPED_TRACE(failing);
    os.failing = {failing};
    os.files.erase(FakeOs::Lower("C:\\Host\\native-lumiclip.log"));
    EXPECT_TRUE(DeployHost(kSource, false));
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Successfully registered to HKEY_CURRENT_USER",
                                         "\n**** Error: Failed to write the uninstall entry.\n"}));
    EXPECT_EQ(os.registry[kKey], kManifest);
    EXPECT_TRUE(os.boxes.empty());
    EXPECT_TRUE(os.RegText(kUninstallKey, "DisplayName").empty());
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
  }
}

TEST_F(Deploy, SecondRunFindsTheFolder) {
  ASSERT_TRUE(DeployHost(kSource, true));
  os.AddFile(kSource, "newer");
  os.files.erase(FakeOs::Lower("C:\\Host\\native-lumiclip.log"));
  log_internal::ResetForTests();
  EXPECT_TRUE(DeployHost(kSource, false));
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Created directory with result: 0",
                                       "Successfully registered to HKEY_CURRENT_USER"}));
  EXPECT_EQ(os.FileText(kTarget), "newer");
  EXPECT_EQ(os.registry[kKey], kManifest);
  EXPECT_TRUE(os.boxes.empty());
}

// The user opens the deployed copy itself, by any spelling of its path (the
// case, a short name, forward slashes, the "\\?\" prefix): nothing is
// copied onto itself, and the manifest and the registration are written
// again.
TEST_F(Deploy, DeployedCopyOpenedByTheUser) {
  ASSERT_TRUE(DeployHost(kSource, true));
  os.executablePath = kTarget;
  os.shortNames[kFolder + "\\LUMICL~1.EXE"] = kTarget;
  os.shortNames[std::string(kAppData) + "\\LUMICL~1"] = kFolder;
  std::string upper = kTarget;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  std::string slashes = kTarget;
  for (char& ch : slashes) ch = ch == '\\' ? '/' : ch;
  for (const std::string& spelling :
       {upper, kFolder + "\\LUMICL~1.EXE", std::string(kAppData) + "\\lumicl~1\\lumiclip-chrome-plugin.exe",
        slashes, "\\\\?\\" + kTarget}) {
    SCOPED_TRACE(spelling);
    os.files.erase(FakeOs::Lower(kFolder + "\\native-lumiclip.log"));
    os.files.erase(FakeOs::Lower(kManifest));
    os.registry.clear();
    log_internal::ResetForTests();

    EXPECT_TRUE(DeployHost(spelling.c_str(), false));
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Copying myself...",
                                         "The deployed executable is the running one: nothing to copy.",
                                         "Successfully registered to HKEY_CURRENT_USER"}));
    EXPECT_EQ(os.Log().find("Error"), std::string::npos);
    EXPECT_TRUE(os.HasFile(kManifest));
    EXPECT_EQ(os.FileText(kTarget), kExeBytes);
    EXPECT_EQ(os.FileNamesIn(kFolder),
              (std::set<std::string>{"lumiclip-chrome-plugin.exe", "lumiclip-native-manifest.json",
                                     "native-lumiclip.log"}));
    EXPECT_EQ(os.registry[kKey], kManifest);
    EXPECT_TRUE(os.boxes.empty());
  }
}

// A profile folder outside the code page (Łukasz 日本): everything goes to and
// names its true path, in the registry, the manifest's folder and the log;
// and the deployed copy, opened by a spelling that differs in the case of
// "Ł", is known for itself.
TEST_F(Deploy, IntoAFolderOutsideTheCodePage) {
  const std::string user = "C:\\Users\\\xC5\x81ukasz \xE6\x97\xA5\xE6\x9C\xAC";
  os.appData = user + "\\AppData\\Roaming";
  os.AddFolder(os.appData);
  const std::string folder = os.appData + "\\Lumiclip";
  const std::string target = folder + "\\lumiclip-chrome-plugin.exe";
  const std::string source = user + "\\Downloads\\Lumiclip Setup.exe";
  os.AddFolder(user + "\\Downloads");
  os.AddFile(source, kExeBytes);
  os.executablePath = source;
  ASSERT_TRUE(DeployHost(source.c_str(), true));
  EXPECT_EQ(os.FileText(target), kExeBytes);
  EXPECT_EQ(os.registry[kKey], folder + "\\lumiclip-native-manifest.json");
  EXPECT_NE(os.FileText(folder + "\\lumiclip-native-manifest.json")
                .find("\"path\": \"lumiclip-chrome-plugin.exe\""),
            std::string::npos);
  // The log lies beside the installer, and this process goes on writing it.
  const std::string log = user + "\\Downloads\\native-lumiclip.log";
  EXPECT_TRUE(LogHasInOrder(os.FileText(log), {"Using folder for deployment: " + folder}));
  EXPECT_EQ(os.RegText(kUninstallKey, "InstallLocation"), folder);

  os.executablePath = target;
  std::string spelling = target;
  spelling.replace(spelling.find("\xC5\x81ukasz"), 7, "\xC5\x82UKASZ");  // łUKASZ
  EXPECT_TRUE(DeployHost(spelling.c_str(), true));
  EXPECT_EQ(os.FileText(target), kExeBytes);
  EXPECT_TRUE(
      LogHasInOrder(os.FileText(log), {"The deployed executable is the running one: nothing to copy."}));
}

// The executable is copied to a temporary name of this process, created
// exclusively: a name that is taken is passed over and left alone.
TEST_F(Deploy, CopyPassesOverATakenTemporaryName) {
  os.AddFolder(kFolder);
  os.AddFile(kTarget, "old host");
  const std::string taken = kTarget + ".4242.1~";
  const std::string next = kTarget + ".4242.2~";
  os.AddFile(taken, "another host's copy");
  EXPECT_TRUE(DeployHost(kSource, true));
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_EQ(os.FileText(taken), "another host's copy");
  EXPECT_FALSE(os.HasFile(next));
  EXPECT_EQ(os.OpenFileHandles(), 0u);
  // Flushed, then moved over the target with write-through: a power cut
  // now leaves the new host whole.
  os.Reboot();
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_EQ(os.FileText(taken), "another host's copy");
}

TEST_F(Deploy, TargetNameDoesNotDependOnTheSource) {
  os.AddFile("C:\\a\\other-name.exe", "other");
  ASSERT_TRUE(DeployHost("C:\\a\\other-name.exe", true));
  EXPECT_EQ(os.FileText(kTarget), "other");
  EXPECT_FALSE(os.HasFile(kFolder + "\\other-name.exe"));
}

// Each failing step, quiet and not.
enum class Step { kCopy, kFlush, kReplace, kManifest, kCreateKey, kSetValue };

struct FailureCase {
  const char* name;
  Step step;
  bool quiet;
};

class DeployFailure : public Deploy, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DeployFailure, StopsAndReports) {
  const FailureCase& c = GetParam();
  os.AddFolder(kFolder);
  os.AddFile(kTarget, "old host");
  os.AddFile(kEngine, "old engine");
  os.registry[kKey] = "previous value";
  switch (c.step) {
    case Step::kCopy: os.failing.insert("CopyToNew"); break;
    case Step::kFlush: os.failing.insert("FlushFile:plugin.exe"); break;
    case Step::kReplace: os.failing.insert("RenameFile:plugin.exe"); break;
    case Step::kManifest: os.failing.insert("OpenNewFile:manifest"); break;
    case Step::kCreateKey: os.regCreateResult = 5; break;
    case Step::kSetValue: os.regSetResult = 5; break;
  }
  EXPECT_FALSE(DeployHost(kSource, c.quiet));

  std::string line, box;
  switch (c.step) {
    case Step::kCopy:
    case Step::kFlush:
    case Step::kReplace:
      line = "\n**** Error: Failed to copy new executable to the deployment folder.\n";
      box = MaintenanceErrorText(("Error copying native host to:\r\n" + kTarget).c_str());
      break;
    case Step::kManifest:
      line = "\n**** Error: Failed to extract manifest.\n";
      box = MaintenanceErrorText(("Error copying manifest file to:\r\n" + kManifest).c_str());
      break;
    case Step::kCreateKey:
      line = "\n**** Error: Failed to create the registry key.\n";
      box = RegistryErrorText("Error registering Lumiclip Native Host");
      break;
    case Step::kSetValue:
      line = "\n**** Error: Failed to set the registry value.\n";
      box = RegistryErrorText("Error registering Lumiclip Native Host");
      break;
  }
  std::string log = os.Log();
  EXPECT_TRUE(LogHasInOrder(log, {"Using folder for deployment: " + kFolder, line}));
  // The failure ends the deployment.
  EXPECT_EQ(log.substr(log.size() - StoredLogLine(line).size()), StoredLogLine(line));

  if (c.quiet) {
    EXPECT_TRUE(os.boxes.empty());
  } else {
    ASSERT_EQ(os.boxes.size(), 1u);
    EXPECT_EQ(os.boxes[0].text, box);
    EXPECT_EQ(os.boxes[0].caption, "Lumiclip Error");
    EXPECT_EQ(os.boxes[0].flags, 0x10u);
  }

  bool copied = c.step != Step::kCopy && c.step != Step::kFlush && c.step != Step::kReplace;
  bool registryReached = c.step == Step::kCreateKey || c.step == Step::kSetValue;
  // The old host stays whole when the new one cannot be copied.
  EXPECT_EQ(os.FileText(kTarget), copied ? kExeBytes : std::string("old host"));
  EXPECT_EQ(os.HasFile(kManifest), registryReached);
  std::set<std::string> left = {"lumiclip-chrome-plugin.exe"};
  if (registryReached) left.insert("lumiclip-native-manifest.json");
  else left.insert("raz.dll");
  EXPECT_EQ(os.FileNamesIn(kFolder), left) << "a temporary file was left";
  // The old engine goes only once the new host and its manifest are in place.
  EXPECT_EQ(os.HasFile(kEngine), !registryReached);
  EXPECT_EQ(os.registry[kKey], "previous value");
  // Nothing else in the registry, nor listed among the installed apps.
  EXPECT_EQ(os.registry.size(), 1u);
  EXPECT_TRUE(os.registryValues.empty());
  EXPECT_FALSE(os.KeyExists(kUninstallKey));
  EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Deploy, DeployFailure,
    ::testing::Values(FailureCase{"CopyQuiet", Step::kCopy, true},
                      FailureCase{"Copy", Step::kCopy, false},
                      FailureCase{"FlushQuiet", Step::kFlush, true},
                      FailureCase{"ReplaceQuiet", Step::kReplace, true},
                      FailureCase{"ManifestQuiet", Step::kManifest, true},
                      FailureCase{"Manifest", Step::kManifest, false},
                      FailureCase{"CreateKeyQuiet", Step::kCreateKey, true},
                      FailureCase{"CreateKey", Step::kCreateKey, false},
                      FailureCase{"SetValueQuiet", Step::kSetValue, true},
                      FailureCase{"SetValue", Step::kSetValue, false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(Deploy, MissingSourceIsACopyFailure) {
  EXPECT_FALSE(DeployHost("C:\\Downloads\\gone.exe", true));
  EXPECT_TRUE(LogHasInOrder(
      os.Log(), {"Copying myself...",
                 "\n**** Error: Failed to copy new executable to the deployment folder.\n"}));
  EXPECT_FALSE(os.HasFile(kTarget));
}

TEST_F(Deploy, FolderPathTooLong) {
  std::string appData = "C:\\" + std::string(240, 'r');
  os.appData = appData;
  os.AddFolder(appData);
  std::string folder = appData + "\\Lumiclip";
  std::string target = folder + "\\lumiclip-chrome-plugin.exe";
  ASSERT_GT(target.size(), 259u);
  EXPECT_FALSE(DeployHost(kSource, false));

  EXPECT_TRUE(LogHasInOrder(
      os.Log(), {"Using folder for deployment: " + folder, "Copying myself...",
                 "\n**** Error: Path too long: " + target + "\n",
                 "\n**** Error: Failed to copy new executable to the deployment folder.\n"}));
  EXPECT_TRUE(os.FileNamesIn(folder).empty());
  EXPECT_FALSE(os.HasFile(target));
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].text,
            MaintenanceErrorText(("Error copying native host to:\r\n" + target).c_str()));
  EXPECT_TRUE(os.registry.empty());
}

// Leftovers: a host's start, an installation and the update child remove, in
// the deployment folder (and its staging folder) and beside the running
// executable, the temporary files of the installation's own files whose
// writer has ended, and nothing else. A file still in use cannot be deleted
// and stays for a later run.
enum class Run { kInstall, kHostStart, kUpdateChild };

struct LeftoverCase {
  const char* name;
  Run run;
  size_t appDataLength;  // 0: the usual; else long enough for cut names
  const char* letter = "r";  // what the long roaming folder's name is made of
};

class DeployLeftovers : public Deploy, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(DeployLeftovers, RemovesOnlyTheUnusedTemporaryFilesOfEndedWriters) {
  const LeftoverCase& c = GetParam();
  std::string folder = kFolder;
  if (c.appDataLength != 0) {
    os.appData = "C:\\";
    for (size_t i = 3; i < c.appDataLength; ++i) os.appData += c.letter;
    folder = os.appData + "\\Lumiclip";
  }
  os.AddFolder(folder + "\\.staged");
  os.AddFile(folder + "\\lumiclip-chrome-plugin.exe", "old host");
  os.registry[kRegistryKey] = folder + "\\lumiclip-native-manifest.json";  // installed: the child redeploys
  std::string own;
  switch (c.run) {
    case Run::kInstall: own = kSource; break;
    case Run::kHostStart: own = "C:\\Host\\lumiclip-chrome-plugin.exe"; break;
    case Run::kUpdateChild: own = folder + "\\.staged\\lumiclip-chrome-plugin.exe"; break;
  }
  os.executablePath = own;
  std::string ownFolder = own.substr(0, own.rfind('\\'));
  os.AddFolder(ownFolder);
  os.AddFile(own, kExeBytes);

  // Writers: 777 and 555 have ended, 999 has ended but its handle still
  // opens, 888 runs, 4242 is this process. 555's files are still in use:
  // another host runs or has loaded them.
  os.processes[888] = win::kWaitTimeout;
  os.processes[999] = win::kWaitObject0;
  std::map<std::string, bool> removed;  // path -> whether it must go
  auto temporaryOf = [&](const std::string& target, uint32_t writer) {
    uint32_t self = os.processId;
    os.processId = writer;
    std::string path = TemporaryPathFor(target);
    os.processId = self;
    return path;
  };
  for (const std::string& target :
       {folder + "\\lumiclip-chrome-plugin.exe", folder + "\\lumiclip-native-manifest.json",
        folder + "\\raz.dll", folder + "\\RAZ.dll", own, ownFolder + "\\RAZ.dll",
        folder + "\\.staged\\lumiclip-chrome-plugin.exe"}) {
    for (uint32_t writer : {777u, 999u, 888u, 4242u, 555u}) {
      std::string path = temporaryOf(target, writer);
      removed[path] = writer == 777 || writer == 999;
      if (writer == 555) os.inUseByOthers.insert(path);
    }
  }
  for (const std::string& dir : {folder, ownFolder}) {
    for (const char* name : {"x.exe~", "a.1.b~", "notes.txt", "raz.dll.777~", "raz.dll.777.1",
                             "raz.dll.777.0~", "raz.dll.0777.1~", "raz.dll.777.1~~", "raz.dll.-777.1~",
                             "raz.dll.777.1~.txt", "raz.dll..777.1~", "raz.dl.777.1~",
                             "other.dll.777.1~", "raz.dll.99999999999.1~", ".777.1~", "~"}) {
      removed[dir + "\\" + name] = false;
    }
  }
  size_t expectedCount = 0;
  for (const auto& [path, gone] : removed) {
    os.AddFile(path, "bytes of " + path);
    expectedCount += gone ? 1 : 0;
  }
  ASSERT_EQ(expectedCount, 14u);
  if (c.appDataLength != 0) {
    // The names of the deployed host and its manifest are cut to the limit.
    std::string cut = temporaryOf(folder + "\\lumiclip-chrome-plugin.exe", 777);
    ASSERT_EQ(PathLength(cut), 259u);
    ASSERT_EQ(cut.find(".exe"), std::string::npos) << cut;
  }

  switch (c.run) {
    case Run::kInstall: ASSERT_TRUE(DeployHost(kSource, true)); break;
    case Run::kHostStart: RunHostMode(); break;
    case Run::kUpdateChild: RunUpdateMode(4243); break;
  }
  for (const auto& [path, gone] : removed) {
    EXPECT_NE(os.HasFile(path), gone) << path;
  }
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Leftover temporary files removed: " + std::to_string(expectedCount)}));
  EXPECT_EQ(os.Log().find("Leftover"), os.Log().rfind("Leftover")) << "one line for all folders";
  EXPECT_EQ(os.OpenProcessHandles(), 0u);

  // Nothing left to remove: no line.
  std::string before = os.Log();
  os.inUseByOthers.clear();
  os.processes.clear();
  log_internal::ResetForTests();
  for (const auto& [path, gone] : removed) {
    if (path.find(".555.") == std::string::npos) os.files.erase(os.Canon(path));
  }
  os.files.erase(os.Canon(folder + "\\notes.txt"));
  switch (c.run) {
    case Run::kInstall: ASSERT_TRUE(DeployHost(kSource, true)); break;
    case Run::kHostStart: RunHostMode(); break;
    case Run::kUpdateChild: RunUpdateMode(4243); break;
  }
  // Once no longer in use, a later run removes them.
  for (const auto& [path, gone] : removed) {
    EXPECT_FALSE(os.HasFile(path)) << path;
  }
  std::string after = os.Log().substr(before.size());
  EXPECT_TRUE(LogHasInOrder(after, {"Leftover temporary files removed: 7"})) << after;
}

INSTANTIATE_TEST_SUITE_P(
    Deploy, DeployLeftovers,
    ::testing::Values(LeftoverCase{"Install", Run::kInstall, 0},
                      LeftoverCase{"HostStart", Run::kHostStart, 0},
                      LeftoverCase{"UpdateChild", Run::kUpdateChild, 0},
                      LeftoverCase{"InstallCutNames", Run::kInstall, 219},
                      LeftoverCase{"HostStartCutNames", Run::kHostStart, 219},
                      // The limit counts UTF-16 units, not the bytes of "ж".
                      LeftoverCase{"InstallCutNamesOutsideTheCodePage", Run::kInstall, 219, "\xD0\xB6"}),
    [](const ::testing::TestParamInfo<LeftoverCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumiclip::testing
