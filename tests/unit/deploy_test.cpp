#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "install/deploy.h"
#include "install/file_replace.h"
#include "install/uninstall.h"
#include "support/dialogs.h"

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

  EXPECT_EQ(os.Log(), StoredLog({"Using folder for deployment: " + kFolder,
                                 "Created directory with result: 1", "Copying myself...",
                                 "Extracting manifest...", "Written 562 bytes", "Done",
                                 "Deleting raz.dll...", "Writing registry...",
                                 "Successfully registered to HKEY_CURRENT_USER"}));
  EXPECT_TRUE(os.folders.count(FakeOs::Lower(kFolder)));
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_NE(os.FileText(kManifest).find("\"path\": \"lumiclip-chrome-plugin.exe\""),
            std::string::npos);
  EXPECT_FALSE(os.HasFile(kEngine));
  EXPECT_EQ(os.registry.size(), 1u);
  EXPECT_EQ(os.registry[kKey], kManifest);
  // REG_SZ, its size counting the terminating zero.
  EXPECT_TRUE(os.Called("RegSetDefaultValue(1," + std::to_string(kManifest.size() + 1) + ")"));
  EXPECT_TRUE(os.Called(std::string("RegCreateUserKey(") + kKey + "," + std::to_string(0x20006) + ")"));
  size_t set = os.IndexOf("RegSetDefaultValue(");
  size_t close = os.IndexOf("RegCloseKeyHandle()");
  ASSERT_NE(close, std::string::npos);
  EXPECT_LT(set, close);
  EXPECT_TRUE(os.boxes.empty());

  // Listed among the installed apps, once registered.
  const std::string quoted = "\"" + kTarget + "\"";
  EXPECT_LT(set, os.IndexOf(std::string("RegCreateUserKey(") + kUninstallKey));
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
  // The list shows an entry only once it has its name: that comes last.
  EXPECT_TRUE(os.calls[os.IndexOf("RegSetNamedValue(DisplayName,") + 1] == "RegCloseKeyHandle()");
}

// The entry is a convenience: failing to write it fails nothing.
TEST_F(Deploy, UninstallEntryFailureIsOnlyLogged) {
  for (const char* failing : {"RegCreateUserKey:Uninstall", "RegSetNamedValue:DisplayVersion"}) {
    SCOPED_TRACE(failing);
    os.failing = {failing};
    os.files.erase(FakeOs::Lower("C:\\Host\\native-lumiclip.log"));
    EXPECT_TRUE(DeployHost(kSource, false));
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Successfully registered to HKEY_CURRENT_USER",
                                         "\n**** Error: Failed to write the uninstall entry.\n"}));
    EXPECT_EQ(os.registry[kKey], kManifest);
    EXPECT_TRUE(os.boxes.empty());
    EXPECT_TRUE(os.RegText(kUninstallKey, "DisplayName").empty());
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

// The user opens the deployed copy itself, by any spelling of its path:
// nothing is copied onto itself, and the manifest and the registration are
// written again.
TEST_F(Deploy, DeployedCopyOpenedByTheUser) {
  ASSERT_TRUE(DeployHost(kSource, true));
  os.files.erase(FakeOs::Lower("C:\\Host\\native-lumiclip.log"));
  os.files.erase(FakeOs::Lower(kManifest));
  os.registry.clear();
  os.calls.clear();
  log_internal::ResetForTests();
  std::string upper = kTarget;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

  EXPECT_TRUE(DeployHost(upper.c_str(), false));
  EXPECT_EQ(os.Log(), StoredLog({"Using folder for deployment: " + kFolder,
                                 "Created directory with result: 0", "Copying myself...",
                                 "The deployed executable is the running one: nothing to copy.",
                                 "Extracting manifest...", "Written 562 bytes", "Done",
                                 "Deleting raz.dll...", "Writing registry...",
                                 "Successfully registered to HKEY_CURRENT_USER"}));
  EXPECT_FALSE(os.Called("CopyToNewFile("));
  EXPECT_FALSE(os.Called("CopyFileTo("));
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_TRUE(os.HasFile(kManifest));
  EXPECT_EQ(os.registry[kKey], kManifest);
  EXPECT_TRUE(os.boxes.empty());
}

// The executable is copied to a temporary name of this process, created
// exclusively: a name that is taken is passed over and left alone.
TEST_F(Deploy, CopyPassesOverATakenTemporaryName) {
  os.AddFolder(kFolder);
  os.AddFile(kTarget, "old host");
  std::string probe = TemporaryPathFor(kTarget);
  std::string taken =
      kTarget + ".4242." + std::to_string(std::stoul(probe.substr(kTarget.size() + 6)) + 1) + "~";
  os.AddFile(taken, "another host's copy");
  EXPECT_TRUE(DeployHost(kSource, true));
  EXPECT_EQ(os.FileText(kTarget), kExeBytes);
  EXPECT_EQ(os.FileText(taken), "another host's copy");
  size_t tried = os.IndexOf("CopyToNewFile(" + std::string(kSource) + "," + taken + ")");
  ASSERT_NE(tried, std::string::npos);
  EXPECT_LT(tried, os.IndexOf("MoveReplacing("));
  // Copied and flushed under the next name, then moved over the target.
  EXPECT_EQ(os.calls[tried + 1].rfind("CopyToNewFile(", 0), 0u);
  EXPECT_EQ(os.calls[tried + 2].rfind("MoveReplacing(", 0), 0u);
}

TEST_F(Deploy, TargetNameDoesNotDependOnTheSource) {
  os.AddFile("C:\\a\\other-name.exe", "other");
  ASSERT_TRUE(DeployHost("C:\\a\\other-name.exe", true));
  EXPECT_EQ(os.FileText(kTarget), "other");
  EXPECT_FALSE(os.HasFile(kFolder + "\\other-name.exe"));
}

// Each failing step, quiet and not.
enum class Step { kCopy, kReplace, kManifest, kCreateKey, kSetValue };

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
    case Step::kCopy: os.failing.insert("CopyToNewFile"); break;
    case Step::kReplace: os.failing.insert("MoveReplacing:plugin.exe"); break;
    case Step::kManifest: os.failing.insert("WriteNewFile:manifest"); break;
    case Step::kCreateKey: os.regCreateResult = 5; break;
    case Step::kSetValue: os.regSetResult = 5; break;
  }
  EXPECT_FALSE(DeployHost(kSource, c.quiet));

  std::string line, box;
  switch (c.step) {
    case Step::kCopy:
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

  bool copied = c.step != Step::kCopy && c.step != Step::kReplace;
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
  if (c.step == Step::kSetValue) {
    EXPECT_TRUE(os.Called("RegCloseKeyHandle()"));
  }
  if (!registryReached) {
    EXPECT_FALSE(os.Called("RegCreateUserKey("));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Deploy, DeployFailure,
    ::testing::Values(FailureCase{"CopyQuiet", Step::kCopy, true},
                      FailureCase{"Copy", Step::kCopy, false},
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
  EXPECT_FALSE(os.Called("CopyToNewFile("));
  EXPECT_FALSE(os.HasFile(target));
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].text,
            MaintenanceErrorText(("Error copying native host to:\r\n" + target).c_str()));
  EXPECT_TRUE(os.registry.empty());
}

}  // namespace
}  // namespace lumiclip::testing
