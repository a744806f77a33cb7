#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/entry.h"
#include "fake/host_fixture.h"
#include "support/dialogs.h"

namespace lumiclip::testing {
namespace {

using Entry = HostFixture;

const char kExe[] = "C:\\Host\\lumiclip-chrome-plugin.exe";
const char kFolder[] = "C:\\Users\\me\\AppData\\Roaming\\Lumiclip";
const char kRegistryKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";

// argv as the runtime hands it: the program path, then the words.
struct Argv {
  explicit Argv(std::vector<std::string> w) : words(std::move(w)) {
    for (const std::string& s : words) pointers.push_back(s.c_str());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words.size()); }
  const char* const* argv() const { return pointers.data(); }
  std::vector<std::string> words;
  std::vector<const char*> pointers;
};

TEST_F(Entry, ClassifiesTheCommandLine) {
  struct Case {
    std::vector<std::string> words;  // after the program path
    int32_t mode;
  };
  for (const Case& c : std::vector<Case>{
           {{}, 2},
           {{"--test"}, 0},
           {{"--TEST"}, 1},
           {{"--test", "x"}, 1},
           {{"--deploy"}, 3},
           {{"--DEPLOY"}, 1},
           {{"--deploy", "x"}, 1},
           {{"--update"}, 1},
           {{"--update", "4242"}, 4},
           {{"--update", "x"}, 4},
           {{"--update", "x", "y"}, 1},
           {{"x", "--update"}, 1},
           {{"--uninstall"}, 5},
           {{"--uninstall", "--quiet"}, 5},
           {{"--UNINSTALL"}, 1},
           {{"--uninstall", "--QUIET"}, 1},
           {{"--quiet", "--uninstall"}, 1},
           {{"--uninstall", "--quiet", "x"}, 1},
           {{"--uninstall-finish", "12"}, 6},
           {{"--uninstall-finish"}, 1},
           {{"--check"}, 7},
           {{"--CHECK"}, 1},
           {{"--check", "x"}, 1},
           {{"chrome-extension://id/"}, 1},
           {{"chrome-extension://id/", "--parent-window=0"}, 1},
       }) {
    std::vector<std::string> words{kExe};
    words.insert(words.end(), c.words.begin(), c.words.end());
    Argv a(words);
    std::string shown;
    for (const std::string& w : c.words) shown += "[" + w + "]";
    EXPECT_EQ(static_cast<int32_t>(ClassifyCommandLine(a.argc(), a.argv())), c.mode) << shown;
  }
}

TEST_F(Entry, CanElevateEverywhereButXpAndNonNt) {
  struct Case {
    OsVersion version;
    bool elevates;
  };
  for (const Case& c : std::vector<Case>{
           {{false, 2, 6, 1}, false},
           {{true, 1, 4, 10}, false},  // Windows 98
           {{true, 0, 6, 1}, false},
           {{true, 2, 5, 1}, false},   // XP
           {{true, 2, 5, 0}, true},
           {{true, 2, 5, 2}, true},
           {{true, 2, 6, 0}, true},
           {{true, 2, 6, 1}, true},
           {{true, 2, 10, 0}, true},
           {{true, 2, 6, 2}, true},
       }) {
    os.version = c.version;
    EXPECT_EQ(CanElevate(), c.elevates)
        << c.version.ok << " " << c.version.platformId << " " << c.version.major << "."
        << c.version.minor;
  }
}

TEST_F(Entry, TestModeShowsWhetherItCanElevate) {
  struct Case {
    OsVersion version;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{{{true, 2, 6, 1}, "Yes"},
                                         {{true, 2, 10, 0}, "Yes"},
                                         {{true, 2, 5, 1}, "No"},
                                         {{true, 1, 4, 90}, "No"},
                                         {{false, 0, 0, 0}, "No"}}) {
    SCOPED_TRACE(c.text);
    os.boxes.clear();
    os.calls.clear();
    os.files.clear();
    os.comInits = os.comUninits = 0;
    log_internal::ResetForTests();
    os.version = c.version;
    Argv a({kExe, "--test"});
    EXPECT_EQ(RunEntry(a.argc(), a.argv()), 0);

    ASSERT_EQ(os.boxes.size(), 1u);
    EXPECT_EQ(os.boxes[0].text, c.text);
    EXPECT_FALSE(os.boxes[0].hasCaption);
    EXPECT_EQ(os.boxes[0].flags, 0u);  // MB_OK
    // The order is the promise: the box is shown inside the COM session.
    size_t init = os.IndexOf("ComInitialize(2)");
    size_t box = os.IndexOf("ShowMessageBox(");
    size_t uninit = os.IndexOf("ComUninitialize()");
    ASSERT_NE(init, std::string::npos);
    ASSERT_NE(uninit, std::string::npos);
    EXPECT_LT(init, box);
    EXPECT_LT(box, uninit);
    EXPECT_EQ(os.comInits, 1);
    EXPECT_EQ(os.comUninits, 1);
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Started", "With command: 0", "Exit"}));
  }
}

// Started by its bare name, as typed in a console: the copy comes from the
// program's own path as the system knows it.
TEST_F(Entry, InstallModeDeploysQuietly) {
  os.AddFile(kExe, "new exe");
  Argv a({"lumiclip-chrome-plugin"});
  EXPECT_EQ(RunEntry(a.argc(), a.argv()), 0);

  EXPECT_TRUE(os.shellRuns.empty());
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_EQ(os.FileText(std::string(kFolder) + "\\lumiclip-chrome-plugin.exe"), "new exe");
  EXPECT_EQ(os.registry[kRegistryKey], std::string(kFolder) + "\\lumiclip-native-manifest.json");
  std::string log = os.Log();
  EXPECT_TRUE(LogHasInOrder(log, {"Started", "With command: 2", "Using folder for deployment: " +
                                  std::string(kFolder),
                                  "Successfully registered to HKEY_CURRENT_USER"}));
  // Install mode leaves without the closing line.
  EXPECT_EQ(log.substr(log.size() - StoredLogLine("Successfully registered to HKEY_CURRENT_USER").size()),
            StoredLogLine("Successfully registered to HKEY_CURRENT_USER"));
}

TEST_F(Entry, InstallModeRetriesElevatedWhenTheQuietDeploymentFails) {
  struct Case {
    OsVersion version;
    const char* verb;
  };
  for (const Case& c : std::vector<Case>{{{true, 2, 6, 1}, "runas"},
                                         {{true, 2, 10, 0}, "runas"},
                                         {{true, 2, 5, 1}, "open"},
                                         {{true, 1, 4, 10}, "open"}}) {
    SCOPED_TRACE(c.verb);
    os.shellRuns.clear();
    os.boxes.clear();
    os.version = c.version;
    os.failing = {"CopyToNew"};
    const std::string setup = "C:\\Downloads\\lumiclip-setup.exe";
    os.AddFile(setup, "setup");
    RunInstallMode(setup.c_str());

    ASSERT_EQ(os.shellRuns.size(), 1u);
    EXPECT_EQ(os.shellRuns[0].verb, c.verb);
    EXPECT_EQ(os.shellRuns[0].file, setup);
    EXPECT_EQ(os.shellRuns[0].parameters, "--deploy");
    EXPECT_EQ(os.shellRuns[0].show, 0);  // SW_HIDE
    // The quiet attempt shows nothing, and a started process is success.
    EXPECT_TRUE(os.boxes.empty());
  }
}

TEST_F(Entry, InstallModeAfterAStartedElevatedProcess) {
  for (intptr_t result : {42, 33}) {
    SCOPED_TRACE(result);
    os.files.clear();
    os.boxes.clear();
    log_internal::ResetForTests();
    os.failing = {"CopyToNew"};
    os.shellResult = result;
    os.shellRuns.clear();
    Argv a({"lumiclip-chrome-plugin"});
    RunEntry(a.argc(), a.argv());
    // Restarted by its full path: the shell would search for a bare name.
    ASSERT_EQ(os.shellRuns.size(), 1u);
    EXPECT_EQ(os.shellRuns[0].file, kExe);

    std::string code = "Execution code is: " + std::to_string(result);
    std::string log = os.Log();
    EXPECT_TRUE(LogHasInOrder(
        log, {"Started", "With command: 2",
              "\n**** Error: Failed to copy new executable to the deployment folder.\n",
              "Failed to deploy with default permissions, trying to execute as admin.", code}));
    // Nothing more: no box, no closing line.
    EXPECT_EQ(log.substr(log.size() - StoredLogLine(code).size()), StoredLogLine(code));
    EXPECT_TRUE(os.boxes.empty());
  }
}

TEST_F(Entry, InstallModeWhenTheElevatedProcessCannotStart) {
  for (intptr_t result : {5, 0, 32}) {
    SCOPED_TRACE(result);
    os.files.clear();
    os.boxes.clear();
    log_internal::ResetForTests();
    os.failing = {"CopyToNew"};
    os.shellResult = result;
    Argv a({kExe});
    RunEntry(a.argc(), a.argv());

    std::string n = std::to_string(result);
    std::string log = os.Log();
    EXPECT_TRUE(LogHasInOrder(
        log, {"Failed to deploy with default permissions, trying to execute as admin.",
              "Execution code is: " + n,
              "\n**** Error: Error during the execution the elevated process: " + n + "\n"}));
    std::string last =
        StoredLogLine("\n**** Error: Error during the execution the elevated process: " + n + "\n");
    EXPECT_EQ(log.substr(log.size() - last.size()), last) << "no closing line";
    ASSERT_EQ(os.boxes.size(), 1u) << "only the final box, none from the quiet deployment";
    EXPECT_EQ(os.boxes[0].text,
              "The installation of the advanced functions for Lumiclip was not complete. Please "
              "try again.");
    EXPECT_TRUE(os.boxes[0].hasCaption);
    EXPECT_EQ(os.boxes[0].caption, "Error");
    EXPECT_EQ(os.boxes[0].flags, 0x10u | 0x1000u | 0x10000u);
  }
}

TEST_F(Entry, DeployModeIsNotQuietAndExits) {
  os.failing = {"CopyToNew"};
  os.AddFile(kExe, "exe");
  Argv a({kExe, "--deploy"});
  EXPECT_EQ(RunEntry(a.argc(), a.argv()), 0);
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].text, MaintenanceErrorText(("Error copying native host to:\r\n" +
                                                    std::string(kFolder) +
                                                    "\\lumiclip-chrome-plugin.exe")
                                                       .c_str()));
  EXPECT_TRUE(os.shellRuns.empty());
  std::string log = os.Log();
  EXPECT_TRUE(LogHasInOrder(log, {"Started", "With command: 3", "Copying myself..."}));
  EXPECT_EQ(log.substr(log.size() - 6), "Exit\r\n");
}

TEST_F(Entry, DeployModeSucceeds) {
  os.AddFile(kExe, "exe");
  Argv a({kExe, "--deploy"});
  RunEntry(a.argc(), a.argv());
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Started", "With command: 3",
                                       "Successfully registered to HKEY_CURRENT_USER", "Exit"}));
  // A mode that may remove its folder never keeps the log open.
  EXPECT_TRUE(os.keptOpen.empty());
}

TEST_F(Entry, UpdateModeHandsOverTheParentPid) {
  struct Case {
    std::string word;
    std::string pidLine;
  };
  for (const Case& c : std::vector<Case>{{"4242", "Parent PID: 4242"}, {"x", "Parent PID: 0"}}) {
    SCOPED_TRACE(c.word);
    os.files.clear();
    log_internal::ResetForTests();
    Argv a({kExe, "--update", c.word});
    EXPECT_EQ(RunEntry(a.argc(), a.argv()), 0);
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Started", "With command: 4", c.pidLine, "Exit"}));
  }
}

TEST_F(Entry, HostModeRunsAndExits) {
  Argv a({kExe, "chrome-extension://id/", "--parent-window=0"});
  EXPECT_EQ(RunEntry(a.argc(), a.argv()), 0);
  std::string log = os.Log();
  EXPECT_TRUE(LogHasInOrder(log, {"Started", "With command: 1"}));
  EXPECT_EQ(log.substr(log.size() - 6), "Exit\r\n");
  // A line for every request: the host keeps its log open.
  EXPECT_EQ(os.keptOpen.size(), 1u);
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_TRUE(os.shellRuns.empty());
}

// Before any mode can load a library, the search is restricted; a failure
// to do so is logged and the mode runs all the same.
TEST_F(Entry, EveryModeRestrictsTheLibrarySearchFirst) {
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{kExe},
                                             {kExe, "--test"},
                                             {kExe, "--deploy"},
                                             {kExe, "--update", "1"},
                                             {kExe, "--uninstall", "--quiet"},
                                             {kExe, "--uninstall-finish", "1"},
                                             {kExe, "--check"},
                                             {kExe, "chrome-extension://id/", "--parent-window=0"}}) {
    for (bool fails : {false, true}) {
      SCOPED_TRACE(words[words.size() - 1] + (fails ? ", restriction fails" : ""));
      os.calls.clear();
      os.files.clear();
      os.failing.clear();
      if (fails) os.failing.insert("RestrictLibrarySearch");
      log_internal::ResetForTests();
      Argv a(words);
      RunEntry(a.argc(), a.argv());
      ASSERT_FALSE(os.calls.empty());
      EXPECT_EQ(os.calls[0], "RestrictLibrarySearch()");
      EXPECT_EQ(os.Log().find("Failed to restrict the library search") != std::string::npos, fails);
      EXPECT_TRUE(LogHasInOrder(os.Log(), {"Started"}));
    }
  }
}

// The words come from the system's command line; one that cannot be read
// leaves none, which is host mode: it touches no file of the installation.
TEST_F(Entry, RunsWithTheSystemsCommandLine) {
  os.commandLine = {kExe, "--test"};
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Started", "With command: 0", "Exit"}));

  os.files.clear();
  log_internal::ResetForTests();
  os.commandLineFails = true;
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_TRUE(LogHasInOrder(
      os.Log(), {"Started", "\n**** Error: The command line cannot be read.\n", "With command: 1", "Exit"}));
}

TEST_F(Entry, ParseProcessIdFollowsAtoi) {
  struct Case {
    const char* text;
    int32_t value;
  };
  for (const Case& c : std::vector<Case>{
           {"4242", 4242},
           {"0", 0},
           {"  -12x", -12},
           {"+7", 7},
           {"\t\n\v\f\r 9", 9},
           {"007", 7},
           {"12 34", 12},
           {"abc", 0},
           {"", 0},
           {"-", 0},
           {"- 5", 0},
           {"--5", 0},
           {"+-5", 0},
           {"0x1F", 0},
           {"2147483647", 2147483647},
           {"-2147483648", INT32_MIN},
       }) {
    EXPECT_EQ(ParseProcessId(c.text), c.value) << "\"" << c.text << "\"";
  }
}

TEST_F(Entry, ParseProcessIdOverflowIsDefined) {
  // An overlong number wraps modulo 2^32 (under the sanitizers an overflow in
  // the accumulation would abort here).
  struct Case {
    std::string text;
    int32_t value;
  };
  for (const Case& c : std::vector<Case>{
           {"2147483648", INT32_MIN},
           {"-2147483649", INT32_MAX},
           {"4294967296", 0},
           {"4294967295", -1},
           {"99999999999999999999", 1661992959},
           {"-99999999999999999999999999999999", 1},
           {std::string(5000, '9'), -1},
       }) {
    EXPECT_EQ(ParseProcessId(c.text.c_str()), c.value) << c.text.substr(0, 40);
  }
}

}  // namespace
}  // namespace lumiclip::testing
