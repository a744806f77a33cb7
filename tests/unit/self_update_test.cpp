#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "install/deploy.h"
#include "install/self_update.h"
#include "install/uninstall.h"

namespace lumiclip::testing {
namespace {

const std::string kFolder = "C:\\Users\\me\\AppData\\Roaming\\Lumiclip";
const std::string kStaging = kFolder + "\\.staged";
const std::string kManifest = kFolder + "\\lumiclip-native-manifest.json";
const std::string kEngine = kFolder + "\\raz.dll";
const std::string kNewExe = std::string("MZ new host\0\r\n\xff", 15);
const std::string kOldExe = "MZ old host";

std::string UpdateRequest(const std::string& payload) {
  return "{\"JSONCommand\":\"updateNativeHost\",\"data\":\"" + payload + "\"}";
}

// The running host, deployed, asked to replace itself.
class SelfUpdateParent : public HostFixture {
 protected:
  SelfUpdateParent() {
    os.executablePath = kFolder + "\\my-host.exe";
    os.AddFolder(kFolder);
    os.AddFile(os.executablePath, kOldExe);
    os.AddFile(kManifest, "manifest");
  }
  int32_t Update(std::string message) {
    return UpdateNativeHost(state, message.data(), static_cast<int32_t>(message.size()));
  }
  const std::string staged = kStaging + "\\my-host.exe";
  HostState state;
};

TEST_F(SelfUpdateParent, StagesAndStartsTheNewHost) {
  EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 0);

  EXPECT_TRUE(os.folders.count(FakeOs::Lower(kStaging)));
  EXPECT_EQ(os.FileText(staged), kNewExe);
  EXPECT_EQ(os.FileNamesIn(kStaging), std::set<std::string>{"my-host.exe"});
  EXPECT_EQ(os.FileText(os.executablePath), kOldExe) << "the running file stays";
  ASSERT_EQ(os.shellRuns.size(), 1u);
  EXPECT_EQ(os.shellRuns[0].verb, "open");
  EXPECT_EQ(os.shellRuns[0].file, staged);
  EXPECT_EQ(os.shellRuns[0].parameters, "--update 4242");
  EXPECT_EQ(os.shellRuns[0].show, 0);
  // The manifest stays for the old host until the child has replaced it:
  // whatever becomes of the child, the browser can still start a host.
  EXPECT_EQ(os.FileText(kManifest), "manifest");
  EXPECT_EQ(os.FileNamesIn(kFolder),
            (std::set<std::string>{"lumiclip-native-manifest.json", "my-host.exe", "native-lumiclip.log"}));

  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Updating myself...", "Saving to file: " + staged,
                                       "Executing child process " + staged + "...", "Exec result: 42"}));
}

TEST_F(SelfUpdateParent, ChildIsToldThisProcessId) {
  os.processId = 7;
  EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 0);
  ASSERT_EQ(os.shellRuns.size(), 1u);
  EXPECT_EQ(os.shellRuns[0].parameters, "--update 7");
}

TEST_F(SelfUpdateParent, StagingFolderLeftFromBefore) {
  os.AddFolder(kStaging);
  os.AddFile(staged, "an older staged file");
  EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 0);
  EXPECT_EQ(os.FileText(staged), kNewExe);
}

TEST_F(SelfUpdateParent, StagedUnderTheOwnFileName) {
  os.executablePath = "C:\\Host\\lumiclip-chrome-plugin.exe";
  EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 0);
  EXPECT_EQ(os.FileText(kStaging + "\\lumiclip-chrome-plugin.exe"), kNewExe);
  ASSERT_EQ(os.shellRuns.size(), 1u);
  EXPECT_EQ(os.shellRuns[0].file, kStaging + "\\lumiclip-chrome-plugin.exe");
}

TEST_F(SelfUpdateParent, NotSavedWhenTheDeploymentFolderIsMissing) {
  os.appData = "C:\\Nowhere";
  EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 1);
  EXPECT_TRUE(os.shellRuns.empty());
  EXPECT_TRUE(os.HasFile(kManifest));
  std::string log = os.Log();
  std::string last = StoredLogLine("\n**** Error: Exe not saved.\n");
  EXPECT_TRUE(LogHasInOrder(log, {"Updating myself...", "Writing staged file..."}));
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

TEST_F(SelfUpdateParent, NotSavedWhenThePayloadIsCorrupt) {
  for (const std::string& message :
       {UpdateRequest("TVo\nK"), UpdateRequest(""), std::string("{\"JSONCommand\":\"updateNativeHost\"}")}) {
    SCOPED_TRACE(message);
    EXPECT_EQ(Update(message), 1);
    EXPECT_TRUE(os.shellRuns.empty());
    EXPECT_FALSE(os.HasFile(staged));
    EXPECT_TRUE(os.HasFile(kManifest));
  }
}

TEST_F(SelfUpdateParent, ChildThatCannotStart) {
  for (intptr_t result : {2, 0, 32}) {
    SCOPED_TRACE(result);
    os.files.erase(FakeOs::Lower(kFolder + "\\native-lumiclip.log"));
    os.shellResult = result;
    EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 2);
    EXPECT_TRUE(os.HasFile(kManifest)) << "the old host must stay reachable";
    std::string log = os.Log();
    std::string last = StoredLogLine("\n**** Error: Error executing child process\n");
    EXPECT_TRUE(LogHasInOrder(log, {"Exec result: " + std::to_string(result)}));
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
  }
}

TEST_F(SelfUpdateParent, ChildStartedAtTheBoundary) {
  os.shellResult = 33;
  EXPECT_EQ(Update(UpdateRequest(EncodeBase64(kNewExe))), 0);
  EXPECT_TRUE(os.HasFile(kManifest));
}

// The staged child, started with the parent's process id.
class SelfUpdateChild : public HostFixture {
 protected:
  SelfUpdateChild() {
    os.AddFolder(kStaging);
    os.executablePath = kStaging + "\\my-host.exe";
    os.AddFile(os.executablePath, kNewExe);
    os.AddFile(target, kOldExe);
    os.AddFile(kEngine, "engine");
    os.AddFile(kManifest, "the old host's manifest");
    os.registry[kRegistryKey] = kManifest;
  }
  void ExpectRedeployed() {
    EXPECT_EQ(os.FileText(target), kNewExe);
    EXPECT_FALSE(os.HasFile(kEngine));
    EXPECT_NE(os.FileText(kManifest).find("    \"path\": \"my-host.exe\",\r\n"), std::string::npos);
  }
  const std::string target = kFolder + "\\my-host.exe";
};

TEST_F(SelfUpdateChild, WaitsForTheParentThenRedeploys) {
  os.processes[77] = 0;  // WAIT_OBJECT_0
  os.versions[FakeOs::Lower(target)] = {
      {"\\StringFileInfo\\041904b0\\LumiclipInternalVersion", std::string("0.98.94\0", 8)}};
  RunUpdateMode(77);
  // The list of installed apps shows the new version and size.
  EXPECT_EQ(os.RegText(kUninstallKey, "DisplayVersion"), "0.98.94");
  EXPECT_EQ(os.RegDword(kUninstallKey, "EstimatedSize"), 1);

  // Waiting is all the child does with its parent.
  EXPECT_TRUE(os.Called("OpenProcessHandle(" + std::to_string(0x00100000) + ",77)"));
  EXPECT_EQ(os.waits, std::vector<uint32_t>{60000});
  EXPECT_EQ(os.OpenProcessHandles(), 0u);
  // The order is the promise: nothing is touched while the parent may still
  // hold the files.
  size_t wait = os.IndexOf("WaitForObject(");
  EXPECT_LT(wait, os.IndexOf("RemoveFile("));
  EXPECT_LT(wait, os.IndexOf("CopyToNew("));

  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Parent PID: 77", "Waiting parent process 77 to close...",
                                       "The parent process has closed!", "Deleting raz.dll...",
                                       "Copying myself...", "Done"}));
  ExpectRedeployed();
  EXPECT_EQ(os.FileText(kManifest).size(), 544u - 8u + 11u);
}

TEST_F(SelfUpdateChild, ParentAlreadyGone) {
  RunUpdateMode(77);
  EXPECT_TRUE(os.waits.empty());
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Parent PID: 77", "Deleting raz.dll...", "Copying myself...", "Done"}));
  EXPECT_EQ(os.Log().find("Waiting parent"), std::string::npos);
  ExpectRedeployed();
}

TEST_F(SelfUpdateChild, FailedWaitCountsAsClosed) {
  os.processes[77] = 0xFFFFFFFFu;  // WAIT_FAILED
  RunUpdateMode(77);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Waiting parent process 77 to close...",
                                       "The parent process has closed!", "Deleting raz.dll...",
                                       "Copying myself...", "Done"}));
  EXPECT_EQ(os.OpenProcessHandles(), 0u);
  ExpectRedeployed();
}

TEST_F(SelfUpdateChild, TimeoutLeavesTheOldHostAndRestoresItsManifest) {
  os.processes[77] = 0x102;  // WAIT_TIMEOUT
  RunUpdateMode(77);

  EXPECT_EQ(os.FileText(target), kOldExe);
  EXPECT_EQ(os.FileText(kEngine), "engine");
  EXPECT_EQ(os.OpenProcessHandles(), 0u);
  ASSERT_TRUE(os.HasFile(kManifest));
  EXPECT_NE(os.FileText(kManifest).find("    \"path\": \"my-host.exe\",\r\n"), std::string::npos);

  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Waiting parent process 77 to close...", "Timeout!",
                                       "Restoring the manifest for the host still in place...", "Done"}));
}

// A copy that fails, or cannot take the old file's place, leaves the old
// executable whole, and the manifest names it.
TEST_F(SelfUpdateChild, FailedCopyKeepsTheOldHostAndWritesItsManifest) {
  for (const char* failure : {"CopyToNew", "RenameFile:my-host.exe"}) {
    SCOPED_TRACE(failure);
    os.failing = {failure};
    os.AddFile(kManifest, "the old host's manifest");
    os.files.erase(FakeOs::Lower(kStaging + "\\native-lumiclip.log"));
    RunUpdateMode(77);
    EXPECT_EQ(os.FileText(target), kOldExe);
    EXPECT_NE(os.FileText(kManifest).find("    \"path\": \"my-host.exe\",\r\n"), std::string::npos);
    EXPECT_EQ(os.FileNamesIn(kFolder),
              (std::set<std::string>{"my-host.exe", "lumiclip-native-manifest.json"}));
    EXPECT_TRUE(LogHasInOrder(
        os.Log(), {"Copying myself...", target,
                   "\n**** Error: Failed to copy new executable to the deployment folder.\n",
                   "Extracting manifest...", "Written 547 bytes", "Done"}));
  }
}

// Another host still runs the old engine: the file cannot be deleted, so it
// is moved aside and the next host finds none and asks for the one that fits
// it. A name that cannot be freed at all is reported.
TEST_F(SelfUpdateChild, EngineHeldByAnotherHostIsMovedAside) {
  const std::string deleteFailed = "\n**** Error: Failed to delete raz.dll.\n";
  os.inUseByOthers.insert(kEngine);
  RunUpdateMode(0);
  ExpectRedeployed();
  std::set<std::string> names = os.FileNamesIn(kFolder);
  ASSERT_EQ(names.size(), 3u);
  names.erase("my-host.exe");
  names.erase("lumiclip-native-manifest.json");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names.begin()->back(), '~');
  EXPECT_EQ(os.FileText(kFolder + "\\" + *names.begin()), "engine");
  EXPECT_EQ(os.Log().find(StoredLogLine(deleteFailed)), std::string::npos);

  os.files.erase(FakeOs::Lower(kFolder + "\\" + *names.begin()));
  os.AddFile(kEngine, "engine");
  os.inUseByOthers = {kEngine};
  os.failing = {"RenameFile:raz.dll"};
  RunUpdateMode(0);
  EXPECT_EQ(os.FileText(kEngine), "engine");
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Deleting raz.dll...", deleteFailed, "Copying myself..."}));
  EXPECT_EQ(os.FileText(target), kNewExe);
}

TEST_F(SelfUpdateChild, DeployedUnderTheOwnFileName) {
  os.executablePath = kStaging + "\\lumiclip-chrome-plugin.exe";
  os.AddFile(os.executablePath, kNewExe);
  RunUpdateMode(0);
  EXPECT_EQ(os.FileText(kFolder + "\\lumiclip-chrome-plugin.exe"), kNewExe);
  EXPECT_EQ(os.FileText(target), kOldExe);
  EXPECT_NE(os.FileText(kManifest).find("\"path\": \"lumiclip-chrome-plugin.exe\","),
            std::string::npos);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Parent PID: 0", "Written 562 bytes"}));
}

// A name outside the code page (U+8868): the child deploys, and the
// manifest names, the very file that runs.
TEST_F(SelfUpdateChild, OwnNameOutsideTheCodePage) {
  const std::string name = "\xE8\xA1\xA8.exe";
  os.executablePath = kStaging + "\\" + name;
  os.AddFile(os.executablePath, kNewExe);
  RunUpdateMode(0);
  EXPECT_EQ(os.FileText(kFolder + "\\" + name), kNewExe);
  EXPECT_FALSE(os.HasFile(kFolder + "\\.exe"));
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Copying myself...", kFolder + "\\" + name}));
  EXPECT_NE(os.FileText(kManifest).find("    \"path\": \"\xe8\xa1\xa8.exe\",\r\n"), std::string::npos);
}

}  // namespace
}  // namespace lumiclip::testing
