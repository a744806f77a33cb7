#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "install/deploy.h"
#include "install/file_replace.h"
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
    os.calls.clear();
    log_internal::ResetForTests();

    EXPECT_TRUE(DeployHost(spelling.c_str(), false));
    EXPECT_EQ(os.Log(), StoredLog({"Using folder for deployment: " + kFolder,
                                   "Created directory with result: 0", "Copying myself...",
                                   "The deployed executable is the running one: nothing to copy.",
                                   "Extracting manifest...", "Written 562 bytes", "Done",
                                   "Deleting raz.dll...", "Writing registry...",
                                   "Successfully registered to HKEY_CURRENT_USER"}));
    EXPECT_FALSE(os.Called("CopyToNew("));
    EXPECT_FALSE(os.Called("CopyFileTo("));
    EXPECT_EQ(os.FileText(kTarget), kExeBytes);
    EXPECT_EQ(os.FileNamesIn(kFolder),
              (std::set<std::string>{"lumiclip-chrome-plugin.exe", "lumiclip-native-manifest.json",
                                     "native-lumiclip.log"}));
    EXPECT_EQ(os.registry[kKey], kManifest);
    EXPECT_TRUE(os.boxes.empty());
  }
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
  // Copied under the next name, flushed, then moved over the target with
  // write-through.
  size_t tried = os.IndexOf("CopyToNew(" + std::string(kSource) + "," + taken + ")");
  ASSERT_NE(tried, std::string::npos);
  ASSERT_GT(os.calls.size(), tried + 5);
  EXPECT_EQ(os.calls[tried + 1], "CopyToNew(" + std::string(kSource) + "," + next + ")");
  EXPECT_EQ(os.calls[tried + 2], "OpenForFlush(" + next + ")");
  EXPECT_EQ(os.calls[tried + 3], "FlushFile(" + FakeOs::Lower(next) + ")");
  EXPECT_EQ(os.calls[tried + 4], "CloseFile(" + FakeOs::Lower(next) + ")");
  EXPECT_EQ(os.calls[tried + 5], "RenameFile(" + next + "," + kTarget + ",9)");
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
  EXPECT_FALSE(os.Called("CopyToNew("));
  EXPECT_FALSE(os.HasFile(target));
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].text,
            MaintenanceErrorText(("Error copying native host to:\r\n" + target).c_str()));
  EXPECT_TRUE(os.registry.empty());
}

}  // namespace
}  // namespace lumiclip::testing
