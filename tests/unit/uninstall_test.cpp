// Removal of the installation ("--uninstall") over the fake: what goes,
// what stays, what is asked and told, and the helper that finishes what the
// running executable cannot remove itself.
#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/entry.h"
#include "fake/host_fixture.h"
#include "install/deploy.h"
#include "install/self_update.h"
#include "install/uninstall.h"

namespace lumiclip::testing {
namespace {

using namespace deployed;
const std::string kLog = kFolder + "\\native-lumiclip.log";
const std::string kOutside = "C:\\Downloads\\setup.exe";
const std::string kTemp = "C:\\Users\\me\\AppData\\Local\\Temp";
const std::string kHelperFolder = kTemp + "\\lumiclip-uninstall.4242.1";
const std::string kHelper = kHelperFolder + "\\lumiclip-uninstall.exe";
const char kKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";
const char kQuestion[] =
    "Remove the Lumiclip native host? The Lumiclip extension will stop working until it is "
    "installed again.";

// A deployment with everything the host ever puts there: engine, log,
// staged host, temporaries of a crash.
void Install(FakeOs& os) {
  os.AddFolder("C:\\Downloads");
  os.AddFile(kOutside, "MZ host");
  ASSERT_TRUE(DeployHost(kOutside.c_str(), true));
  os.AddFile(kEngine, "engine");
  os.AddFile(kLog, "log lines\r\n");
  os.AddFolder(kStaging);
  os.AddFile(kStaging + "\\lumiclip-chrome-plugin.exe", "MZ staged");
  os.AddFile(kStaging + "\\native-lumiclip.log", "staged log\r\n");
  os.AddFile(kExe + ".77.3~", "cut copy");
  os.AddFile(kManifest + ".77.4~", "cut manifest");
  os.files.erase(FakeOs::Lower("C:\\Downloads\\native-lumiclip.log"));
  log_internal::ResetForTests();
  os.calls.clear();
  ASSERT_TRUE(os.KeyExists(kUninstallKey));
}

enum class From { kOutside, kDeployed };

struct Case {
  const char* name;
  From from;
  bool quiet;
  int answer;                   // what the question box returns
  void (*arrange)(FakeOs&);     // after the installation
  int status;
  bool removed;                 // the registration and the host's files are gone
  bool helper;                  // the helper was started
  std::set<std::string> left;   // names left in the folder ({} when it is gone)
  const char* finalBox;         // the start of the last box's text, or null for none
  std::string helperIn = kHelperFolder;  // the helper's folder; one passed over keeps what it held
  void (*after)(FakeOs&) = nullptr;      // what other processes do once the removal has run
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const std::set<std::string> kAll = {"lumiclip-chrome-plugin.exe", "lumiclip-chrome-plugin.exe.77.3~",
                                    "lumiclip-native-manifest.json",
                                    "lumiclip-native-manifest.json.77.4~", "native-lumiclip.log",
                                    "raz.dll"};

const Case kCases[] = {
    {"QuietFromOutside", From::kOutside, true, 0, nullptr, 0, true, false, {}, nullptr},
    {"ConfirmedFromOutside", From::kOutside, false, 6, nullptr, 0, true, false, {},
     "The Lumiclip native host was removed."},
    // IDNO, and what a box that cannot be shown returns: nothing is removed.
    {"DeclinedNo", From::kOutside, false, 7, nullptr, 2, false, false, kAll, nullptr},
    {"DeclinedNoBox", From::kOutside, false, 0, nullptr, 2, false, false, kAll, nullptr},
    // The running executable and its log stay for the helper.
    {"QuietFromTheDeployedHost", From::kDeployed, true, 0, nullptr, 0, true, true,
     {"lumiclip-chrome-plugin.exe", "native-lumiclip.log"}, nullptr},
    // Only the host's files and their temporaries go: not an editor's
    // backup, nor a temporary of another program's file.
    {"StrangerFileKeepsTheFolder", From::kOutside, true, 0,
     [](FakeOs& os) {
       for (const char* name : {"notes.txt", "notes.txt~", "other.dll.77.1~"}) {
         os.AddFile(kFolder + "\\" + name, "mine");
       }
     },
     0, true, false, {"notes.txt", "notes.txt~", "other.dll.77.1~"}, nullptr},
    // An old engine that an update moved aside, still loaded by a host that
    // runs: it waits for the helper.
    {"TemporaryInUse", From::kOutside, false, 6,
     [](FakeOs& os) {
       os.AddFile(kEngine + ".77.9~", "the old engine");
       os.inUseByOthers.insert(kEngine + ".77.9~");
     },
     0, true, true, {"raz.dll.77.9~"}, "The Lumiclip native host was removed. Some of its files are in use"},
    // Another host runs: its files cannot be deleted, only moved aside, and
    // the helper waits for it.
    {"FilesInUse", From::kOutside, false, 6,
     [](FakeOs& os) {
       os.failing.insert("RemoveFile:lumiclip\\lumiclip-chrome-plugin.exe");
       os.failing.insert("RemoveFile:raz.dll");
     },
     0, true, true, {"lumiclip-chrome-plugin.exe.4242~", "lumiclip-chrome-plugin.exe.77.3~",
                     "raz.dll.4242~"},
     "The Lumiclip native host was removed. Some of its files are in use"},
    {"FileThatCannotGo", From::kOutside, false, 6,
     [](FakeOs& os) {
       os.failing.insert("RemoveFile:raz.dll");
       os.failing.insert("RenameFile:raz.dll>");
     },
     1, true, false, {"raz.dll"},
     "The Lumiclip native host could not be removed completely. Left in place:\r\n" },
    // The registration cannot be deleted: every file stays, or the browser
    // would start a host that is gone.
    {"RegistrationStays", From::kOutside, false, 6,
     [](FakeOs& os) { os.failing.insert("RegDeleteUserKey:Chrome"); }, 1, false, false, kAll,
     "The Lumiclip native host could not be removed: its registration cannot be deleted."},
    // The helper's copy goes into a folder made for it: one that is there
    // already, or a link put in the place of the one just made, may hold a
    // planted library; it is passed over and left as it is.
    {"HelperFolderTaken", From::kDeployed, true, 0,
     [](FakeOs& os) {
       os.AddFolder(kHelperFolder);
       os.AddFile(kHelperFolder + "\\version.dll", "planted");
     },
     0, true, true, {"lumiclip-chrome-plugin.exe", "native-lumiclip.log"}, nullptr,
     kTemp + "\\lumiclip-uninstall.4242.2"},
    {"HelperFolderBecomesALink", From::kDeployed, true, 0,
     [](FakeOs& os) {
       os.reparsePoints.insert(FakeOs::Lower(kHelperFolder));
       os.AddFile(kHelperFolder + "\\version.dll", "planted where the link leads");
     },
     0, true, true, {"lumiclip-chrome-plugin.exe", "native-lumiclip.log"}, nullptr,
     kTemp + "\\lumiclip-uninstall.4242.2"},
    // An update child waits in the staging folder for its parent. The
    // removal runs from the deployed host, whose executable stays for the
    // helper. Once the parent has closed, the child finds the installation
    // removed and writes nothing back; the helper then takes the rest.
    {"UpdateChildWaiting", From::kDeployed, true, 0,
     [](FakeOs& os) { os.inUseByOthers = {kStaging + "\\lumiclip-chrome-plugin.exe"}; }, 0, true, true, {},
     nullptr, kHelperFolder,
     [](FakeOs& os) {
       os.inUseByOthers.clear();
       os.executablePath = kStaging + "\\lumiclip-chrome-plugin.exe";
       os.processId = 5151;
       log_internal::ResetForTests();
       RunUpdateMode(4243);
       os.executablePath = kHelper;
       os.processId = 5000;
       log_internal::ResetForTests();
       RunUninstallFinish(4242);
     }},
};

class Uninstall : public HostFixture, public ::testing::WithParamInterface<Case> {};
using UninstallRun = HostFixture;

// The names in a folder, this process's temporaries without their count.
std::set<std::string> NamesIn(const FakeOs& os, const std::string& folder) {
  std::set<std::string> names;
  for (std::string name : os.FileNamesIn(folder)) {
    size_t tag = name.find(".4242.");
    if (tag != std::string::npos && name.back() == '~') name = name.substr(0, tag) + ".4242~";
    names.insert(name);
  }
  return names;
}

TEST_P(Uninstall, RemovesOnlyTheHostsFiles) {
  const Case& c = GetParam();
  Install(os);
  if (c.arrange != nullptr) c.arrange(os);
  os.executablePath = c.from == From::kDeployed ? kExe : kOutside;
  os.boxAnswer = c.answer;
  const std::string running = os.FileText(os.executablePath);
  EXPECT_EQ(RunUninstall(c.quiet), c.status);
  EXPECT_TRUE(os.keptOpen.empty()) << "the log would hold the folder it removes";
  if (c.after != nullptr) c.after(os);

  EXPECT_EQ(os.registry.count(kKey), c.removed ? 0u : 1u);
  EXPECT_EQ(os.KeyExists(kUninstallKey), !c.removed);
  if (c.status != 2) {
    // The registration goes before anything else is touched.
    size_t first = os.IndexOf("RegDeleteUserKey(");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(os.calls[first], std::string("RegDeleteUserKey(") + kKey + ")");
    for (const char* change : {"RemoveFile(", "RenameFile(", "RemoveFolder("}) {
      EXPECT_GT(os.IndexOf(change), first) << change;
    }
  }
  EXPECT_EQ(NamesIn(os, kFolder), c.left);
  EXPECT_EQ(os.folders.count(FakeOs::Lower(kFolder)), c.left.empty() ? 0u : 1u);
  EXPECT_EQ(os.folders.count(FakeOs::Lower(kStaging)), c.removed ? 0u : 1u);

  ASSERT_EQ(os.shellRuns.size(), c.helper ? 1u : 0u);
  if (c.helper) {
    const std::string helper = c.helperIn + "\\lumiclip-uninstall.exe";
    EXPECT_EQ(os.shellRuns[0].file, helper);
    EXPECT_EQ(os.shellRuns[0].parameters, "--uninstall-finish 4242");
    EXPECT_EQ(os.FileText(helper), running);
    std::set<std::string> first = os.FileNamesIn(kHelperFolder);
    first.erase("native-lumiclip.log");  // the helper's, once it has run
    EXPECT_EQ(first, c.helperIn == kHelperFolder ? std::set<std::string>{"lumiclip-uninstall.exe"}
                                                 : std::set<std::string>{"version.dll"});
  }

  size_t boxes = (c.quiet ? 0u : 1u) + (c.finalBox != nullptr ? 1u : 0u);
  ASSERT_EQ(os.boxes.size(), boxes);
  if (!c.quiet) {
    EXPECT_EQ(os.boxes[0].text, kQuestion);
    EXPECT_EQ(os.boxes[0].caption, "Lumiclip");
    EXPECT_EQ(os.boxes[0].flags, 0x4u | 0x20u);  // MB_YESNO | MB_ICONQUESTION
  }
  if (c.finalBox != nullptr) {
    EXPECT_EQ(os.boxes.back().text.rfind(c.finalBox, 0), 0u) << os.boxes.back().text;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Uninstall, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A registration that names another host's manifest is not ours to remove.
TEST_F(UninstallRun, LeavesARegistrationOfAnotherManifest) {
  Install(os);
  os.registry[kKey] = "D:\\Other\\manifest.json";
  os.executablePath = kOutside;
  EXPECT_EQ(RunUninstall(true), 0);
  EXPECT_EQ(os.registry[kKey], "D:\\Other\\manifest.json");
  EXPECT_FALSE(os.KeyExists(kUninstallKey));
  EXPECT_EQ(os.folders.count(FakeOs::Lower(kFolder)), 0u);
}

// Twice, or where nothing was ever installed: nothing to do, nothing asked.
TEST_F(UninstallRun, NothingInstalledIsQuietSuccess) {
  Install(os);
  os.executablePath = kOutside;
  ASSERT_EQ(RunUninstall(true), 0);
  const std::string log = FakeOs::Lower("C:\\Downloads\\native-lumiclip.log");
  for (int run = 0; run < 2; ++run) {
    os.boxes.clear();
    std::map<std::string, std::string> before = os.files;
    EXPECT_EQ(RunUninstall(false), 0);
    EXPECT_TRUE(os.boxes.empty());
    std::map<std::string, std::string> after = os.files;
    before.erase(log);
    after.erase(log);
    EXPECT_EQ(after, before) << "nothing is touched";
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Nothing to remove."}));
  }
}

// The helper waits for its parent and for every other host running from the
// folder, then removes the rest, the folder, and copies of earlier removals.
TEST_F(UninstallRun, HelperWaitsForTheHostsThenFinishes) {
  Install(os);
  os.executablePath = kExe;
  ASSERT_EQ(RunUninstall(true), 0);
  os.calls.clear();
  os.files.erase(FakeOs::Lower(kExe + ".77.3~"));
  os.AddFile(kExe + ".9.1~", "moved aside by the parent");
  // Copies of earlier removals, each in its folder, or all in one from
  // older versions: those that ended go with their logs and folders; one
  // that still runs stays, and so do other files and a link's target.
  const std::string ended = kTemp + "\\lumiclip-uninstall.17.1";
  const std::string running = kTemp + "\\lumiclip-uninstall.18.2";
  const std::string older = kTemp + "\\lumiclip-uninstall";
  const std::string shared = kTemp + "\\lumiclip-uninstall.19.1";
  const std::string link = kTemp + "\\lumiclip-uninstall.20.1";
  const std::string stranger = kTemp + "\\lumiclip-uninstaller";
  for (const std::string& f : {ended, running, older, shared, link, stranger}) {
    os.AddFolder(f);
    os.AddFile(f + "\\native-lumiclip.log", "a helper's log");
  }
  for (const std::string& f : {ended, running, shared, link, stranger}) {
    os.AddFile(f + "\\lumiclip-uninstall.exe", "MZ");
  }
  os.AddFile(older + "\\lumiclip-uninstall.16.exe", "MZ");
  os.AddFile(shared + "\\notes.txt", "the user's");
  os.inUseByOthers.insert(running + "\\lumiclip-uninstall.exe");
  os.reparsePoints.insert(FakeOs::Lower(link));
  os.processes = {{4000, 0}, {77, 0}, {88, 0}};
  os.processImages = {{77, kFolder + "\\LUMICLIP-chrome-plugin.exe"}, {88, "C:\\Other\\x.exe"}};
  os.executablePath = kHelper;
  os.processId = 5000;
  log_internal::ResetForTests();

  EXPECT_EQ(RunUninstallFinish(4000), 0);
  EXPECT_TRUE(os.Called("OpenProcessHandle(" + std::to_string(0x00100000) + ",4000)"));
  EXPECT_TRUE(os.Called("OpenProcessHandle(" + std::to_string(0x00100000) + ",77)"));
  EXPECT_FALSE(os.Called("OpenProcessHandle(" + std::to_string(0x00100000) + ",88)"));
  EXPECT_EQ(os.OpenProcessHandles(), 0u);
  // The order is the promise: nothing goes while a host may still run.
  size_t lastWait = 0;
  for (size_t i = 0; i < os.calls.size(); ++i) {
    if (os.calls[i].rfind("WaitForObject(", 0) == 0) lastWait = i;
  }
  EXPECT_LT(lastWait, os.IndexOf("RemoveFile("));
  EXPECT_EQ(os.folders.count(FakeOs::Lower(kFolder)), 0u);
  EXPECT_TRUE(os.FileNamesIn(kFolder).empty());
  const std::set<std::string> both = {"lumiclip-uninstall.exe", "native-lumiclip.log"};
  EXPECT_EQ(os.FileNamesIn(kHelperFolder), both);
  for (const std::string& f : {ended, older}) EXPECT_EQ(os.folders.count(FakeOs::Lower(f)), 0u) << f;
  EXPECT_EQ(os.FileNamesIn(running), both);
  EXPECT_EQ(os.FileNamesIn(link), both);
  EXPECT_EQ(os.FileNamesIn(stranger), both);
  EXPECT_EQ(os.FileNamesIn(shared), std::set<std::string>{"notes.txt"});
}

// A deployment made while the helper waited has registered its manifest
// again: the files are that installation's, and the helper leaves them.
TEST_F(UninstallRun, HelperLeavesAnInstallationMadeWhileItWaited) {
  Install(os);
  os.executablePath = kExe;
  ASSERT_EQ(RunUninstall(true), 0);
  os.executablePath = kOutside;
  os.processId = 6000;
  ASSERT_TRUE(DeployHost(kOutside.c_str(), true));
  const std::set<std::string> installed = os.FileNamesIn(kFolder);
  os.executablePath = kHelper;
  os.processId = 5000;
  log_internal::ResetForTests();
  EXPECT_EQ(RunUninstallFinish(4242), 0);
  EXPECT_EQ(os.registry[kKey], kManifest);
  EXPECT_TRUE(os.KeyExists(kUninstallKey));
  EXPECT_EQ(os.FileNamesIn(kFolder), installed);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Installed again meanwhile: its files stay."}));
}

// The exit status tells what remained; both command lines choose the mode.
TEST_F(UninstallRun, EntryReturnsTheStatus) {
  Install(os);
  os.executablePath = kOutside;
  os.failing.insert("RemoveFile:raz.dll");
  os.failing.insert("RenameFile:raz.dll>");
  const char* incomplete[] = {kOutside.c_str(), "--uninstall", "--quiet"};
  EXPECT_EQ(RunEntry(3, incomplete), 1);
  EXPECT_TRUE(os.boxes.empty());
  os.failing.clear();
  const char* again[] = {kOutside.c_str(), "--uninstall"};
  os.boxAnswer = 6;
  EXPECT_EQ(RunEntry(2, again), 0);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"With command: 5", "Removal incomplete.", "Exit",
                                       "With command: 5", "Removed.", "Exit"}));
  EXPECT_EQ(os.folders.count(FakeOs::Lower(kFolder)), 0u);
}

}  // namespace
}  // namespace lumiclip::testing
