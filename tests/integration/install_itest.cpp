// Deployment by the real exe under wine, in this program's own prefix: the
// copy in the user's roaming folder, the host manifest beside it and the
// registry entry the browser looks up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine_helpers.h"
#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";
const char kExe[] = "lumiclip-chrome-plugin.exe";
const char kManifest[] = "lumiclip-native-manifest.json";
const char kPathLine[] = "    \"path\": \"lumiclip-chrome-plugin.exe\",";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.lumiclipapp.api";

std::string Deployed() { return Wine::Get().AppData() + "/Lumiclip"; }
std::string DeployedFile(const std::string& name) { return Deployed() + "/" + name; }
std::string WinDeployed() { return Wine::Get().WinPath(Deployed()); }

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    closedir(d);
  }
  return names;
}

// What the browsers' key held, for the message of a failed check of the
// registered value: a value missing from a key that is there, or no key.
std::string HostsKeyListing() {
  ProcessResult r =
      Wine::Get().Run({"reg", "query", "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts", "/s"});
  return "\nreg query ...\\NativeMessagingHosts /s: exit status " + std::to_string(r.exitCode) + "\n" +
         r.out + r.err;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The values of a HKCU key as `wine reg query` prints them ("REG_SZ text",
// "REG_DWORD 0x..."); empty when the key is missing.
std::map<std::string, std::string> RegValues(const std::string& key) {
  ProcessResult r = Wine::Get().Run({"reg", "query", "HKCU\\" + key});
  std::map<std::string, std::string> values;
  if (r.exitCode != 0) return values;
  for (const std::string& line : Lines(r.out)) {
    std::smatch m;
    static const std::regex shape("^    (\\S+)    (REG_\\w+)    (.*)$");
    if (std::regex_match(line, m, shape)) values[m[1]] = m[2].str() + " " + m[3].str();
  }
  return values;
}

// Every test starts from a user who never deployed.
class Install : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  static void Reset() {
    Wine& wine = Wine::Get();
    ASSERT_FALSE(wine.AppData().empty());
    std::string cmd = "rm -rf '" + Deployed() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    wine.RegDelete(kKey);
    wine.RegDelete(kUninstallKey);
    ASSERT_EQ(wine.RegQueryDefault(kKey), "");
  }

  // started: the program as the first word (its full path by default);
  // cwd: the Unix folder it starts in.
  ProcessResult RunTraced(const HostFolder& folder, const std::vector<std::string>& args = {},
                          const std::map<std::string, std::string>& env = {}, const std::string& started = "",
                          const std::string& cwd = "") {
    Wine& wine = Wine::Get();
    std::vector<std::string> argv = {started.empty() ? folder.winExe() : started};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> full = wine.RelayEnv();
    for (const auto& [k, v] : env) full[k] = v;
    ProcessResult r = wine.Run(argv, "", 60000, full, cwd);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    // The trace is on: an empty box list means no box, not no trace.
    EXPECT_NE(r.err.find("Call PE DLL"), std::string::npos);
    return r;
  }

  static std::vector<std::string> DeployLines(int command) {
    return {"Started",
            "With command: " + std::to_string(command),
            "Using folder for deployment: " + WinDeployed(),
            "Created directory with result: 1",
            "Copying myself...",
            "Extracting manifest...",
            "Written 562 bytes",
            "Done",
            "Deleting raz.dll...",
            "Writing registry...",
            "Successfully registered to HKEY_CURRENT_USER"};
  }

  // What a browser needs to find and trust the deployed host.
  static void ExpectDeployed(const HostFolder& folder, const std::string& startedExe) {
    EXPECT_EQ(Listing(Deployed()), (std::set<std::string>{kExe, kManifest}));
    std::string deployedExe = ReadFile(DeployedFile(kExe));
    EXPECT_FALSE(deployedExe.empty());
    EXPECT_TRUE(deployedExe == folder.Read(startedExe)) << "the deployed exe differs from the started one";
    std::string manifest = ReadFile(DeployedFile(kManifest));
    EXPECT_EQ(manifest.size(), 562u);
    std::vector<std::string> lines = Lines(manifest);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], kPathLine);
    EXPECT_NE(manifest.find(std::string(kPathLine) + "\r\n"), std::string::npos);
    nlohmann::json json = nlohmann::json::parse(manifest, nullptr, false);
    ASSERT_FALSE(json.is_discarded());
    EXPECT_EQ(json.value("name", ""), "com.lumiclipapp.api");
    EXPECT_EQ(json.value("path", ""), kExe);
    EXPECT_EQ(json.value("type", ""), "stdio");
    ASSERT_TRUE(json.contains("allowed_origins") && json["allowed_origins"].is_array());
    const nlohmann::json& origins = json["allowed_origins"];
    EXPECT_EQ(origins.size(), 5u);
    std::set<std::string> distinct;
    const std::regex shape("chrome-extension://[a-p]{32}/");
    for (const auto& o : origins) {
      ASSERT_TRUE(o.is_string());
      std::string s = o.get<std::string>();
      EXPECT_TRUE(std::regex_match(s, shape)) << s;
      distinct.insert(s);
    }
    EXPECT_EQ(distinct.size(), 5u);
    EXPECT_EQ(distinct.count("chrome-extension://ggboicgfhomimadepbllgoiodjhaeipi/"), 1u);
    EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), Wine::Get().WinPath(DeployedFile(kManifest)))
        << HostsKeyListing();
  }
};

// Install mode (no arguments) and deploy mode do the same work; only deploy
// mode ends its log with "Exit". Neither shows a box when all goes well, and
// install mode starts no second process. Started by its bare name, without
// ".exe", as people type it in a console (cmd.exe hands the host that word),
// it still copies itself: its own path is the system's, not the word it was
// started by. And a version.dll
// beside the installer (wine told to prefer such a file, as Windows does) is
// not what the versions are read with: the entry among the installed apps
// names the real one.
TEST_F(Install, DeploysQuietly) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int command;
    bool exitLine;
    bool bareName;
    bool versionPlanted;
  };
  const Case cases[] = {{"install", {}, 2, false, false, false},
                        {"deploy", {"--deploy"}, 3, true, false, false},
                        {"bare-name", {}, 2, false, true, false},
                        {"version-planted", {}, 2, false, false, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (&k != cases) Reset();
    HostFolder folder(std::string("deploy-") + k.name);
    std::map<std::string, std::string> env;
    if (k.versionPlanted) {
      folder.CopyFromBin("lumiclip-plant.dll", "version.dll");
      env["WINEDLLOVERRIDES"] = "version=n,b";
    }
    ProcessResult r = k.bareName
                          ? RunTraced(folder, {"/c", "lumiclip-chrome-plugin"}, env, "cmd", folder.dir())
                          : RunTraced(folder, k.args, env);
    EXPECT_TRUE(Wine::AllBoxesIn(r.err).empty());
    std::vector<std::string> expected = DeployLines(k.command);
    if (k.exitLine) expected.push_back("Exit");
    // cmd.exe may leave before the program it started.
    WaitUntil([&] { return Lines(folder.Log()).size() >= expected.size(); }, 30000);
    EXPECT_EQ(Lines(folder.Log()), expected);
    ExpectDeployed(folder, kExe);
    // Wine's own user32.dll imports version.dll, so under wine the plant is
    // loaded whatever the host does (Windows' user32 does not import it):
    // what counts is that the host reads no version through it.
    std::map<std::string, std::string> entry = RegValues(kUninstallKey);
    EXPECT_EQ(entry["DisplayVersion"], "REG_SZ 0.98.93");
    EXPECT_EQ(entry["DisplayName"], "REG_SZ Lumiclip Native Host");
  }
}

// A second deployment over the first: the folder exists, a stale engine and
// an outdated exe are there; the result is the same as the first time.
TEST_F(Install, SecondRunReplacesWhatIsThere) {
  HostFolder folder("second-run");
  RunTraced(folder);
  std::string manifest = ReadFile(DeployedFile(kManifest));
  std::string registered = Wine::Get().RegQueryDefault(kKey);
  ASSERT_FALSE(registered.empty());

  WriteFile(DeployedFile("raz.dll"), "an old engine");
  WriteFile(DeployedFile(kExe), "an old host");
  folder.Write("native-lumiclip.log", "");
  ProcessResult r = RunTraced(folder);
  EXPECT_TRUE(Wine::AllBoxesIn(r.err).empty());
  std::vector<std::string> expected = DeployLines(2);
  expected[3] = "Created directory with result: 0";
  EXPECT_EQ(Lines(folder.Log()), expected);
  EXPECT_FALSE(FileExists(DeployedFile("raz.dll")));
  EXPECT_TRUE(ReadFile(DeployedFile(kManifest)) == manifest);
  EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), registered) << HostsKeyListing();
  ExpectDeployed(folder, kExe);
}

// The user opens the deployed copy itself: it is not copied onto itself, no
// box and no elevated retry follow, and the manifest and the registration are
// written again.
TEST_F(Install, DeployedCopyOpenedWithoutArguments) {
  HostFolder folder("deployed-opened");
  RunTraced(folder);
  std::string exe = ReadFile(DeployedFile(kExe));
  WriteFile(DeployedFile(kManifest), "stale");
  Wine::Get().RegDelete(kKey);

  Wine& wine = Wine::Get();
  ProcessResult r = wine.Run({wine.WinPath(DeployedFile(kExe))}, "", 60000, wine.RelayEnv());
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("Call PE DLL"), std::string::npos);
  EXPECT_TRUE(Wine::AllBoxesIn(r.err).empty());
  std::string log = ReadFile(DeployedFile("native-lumiclip.log"));
  std::vector<std::string> expected = DeployLines(2);
  expected[3] = "Created directory with result: 0";
  expected.insert(expected.begin() + 5, "The deployed executable is the running one: nothing to copy.");
  EXPECT_EQ(Lines(log), expected);
  EXPECT_TRUE(ReadFile(DeployedFile(kExe)) == exe) << "the deployed exe changed";
  EXPECT_EQ(Listing(Deployed()), (std::set<std::string>{kExe, kManifest, "native-lumiclip.log"}));
  EXPECT_EQ(ReadFile(DeployedFile(kManifest)).size(), 562u);
  EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), Wine::Get().WinPath(DeployedFile(kManifest)))
      << HostsKeyListing();
}

// The deployed name is fixed, whatever the started file is called.
TEST_F(Install, DeployedNameDoesNotFollowTheStartedName) {
  HostFolder folder("other-name", "other-name.exe");
  RunTraced(folder);
  EXPECT_EQ(Lines(folder.Log()), DeployLines(2));
  ExpectDeployed(folder, "other-name.exe");
  EXPECT_FALSE(FileExists(DeployedFile("other-name.exe")));
}

// An older, longer manifest is replaced whole, not overwritten in place.
TEST_F(Install, LongerOldManifestIsReplacedWhole) {
  HostFolder folder("long-manifest");
  mkdir(Deployed().c_str(), 0755);
  std::string old = "{\r\n    \"name\": \"old\",\r\n    \"pad\": \"" + std::string(5000 - 40, 'p') + "\"\r\n}\r\n";
  WriteFile(DeployedFile(kManifest), old);
  RunTraced(folder);
  std::vector<std::string> expected = DeployLines(2);
  expected[3] = "Created directory with result: 0";
  EXPECT_EQ(Lines(folder.Log()), expected);
  ExpectDeployed(folder, kExe);
}

// A file where the deployment folder belongs: nothing can be deployed.
// Deploy mode says so in a box; install mode stays quiet and hands over to
// deploy mode through the shell's elevation verb, whose box is the only one.
TEST_F(Install, BlockedFolderIsReportedOnce) {
  struct Case {
    std::vector<std::string> args;
    int command;
  };
  const Case cases[] = {{{"--deploy"}, 3}, {{}, 2}};
  const std::string copyError = "**** Error: Failed to copy new executable to the deployment folder.";
  for (const Case& k : cases) {
    SCOPED_TRACE("command " + std::to_string(k.command));
    if (&k != cases) Reset();
    WriteFile(Deployed(), "not a folder");
    HostFolder folder("blocked-" + std::to_string(k.command));
    ProcessResult r = RunTraced(folder, k.args);
    std::vector<Wine::Box> boxes = Wine::AllBoxesIn(r.err);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Lumiclip Error");
    EXPECT_EQ(boxes[0].flags, 0x10u);
    EXPECT_EQ(boxes[0].text.rfind("There was error during Lumiclip maintenance:\r\n", 0), 0u)
        << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("\"Error copying native host to:\r\n" + WinDeployed() + "\\" + kExe + "\""),
              std::string::npos)
        << boxes[0].text;
    EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), "");
    EXPECT_EQ(ReadFile(Deployed()), "not a folder");

    std::vector<std::string> lines = Lines(folder.Log());
    std::vector<std::string> deployLines = {"Started",
                                            "With command: 3",
                                            "Using folder for deployment: " + WinDeployed(),
                                            "Created directory with result: 0",
                                            "Copying myself...",
                                            "",
                                            copyError,
                                            "",
                                            "Exit"};
    if (k.command == 3) {
      EXPECT_EQ(lines, deployLines);
      continue;
    }
    // Two processes share the log: the started one, then the deploy-mode
    // one it launched; their last lines may interleave.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Started"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), copyError), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Exit"), 1);
    EXPECT_TRUE(Has(lines, "With command: 2"));
    EXPECT_TRUE(Has(lines, "With command: 3"));
    EXPECT_TRUE(Has(lines, "Failed to deploy with default permissions, trying to execute as admin."));
    auto code = std::find_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("Execution code is: ", 0) == 0; });
    ASSERT_NE(code, lines.end());
    EXPECT_GT(std::atoi(code->c_str() + 19), 32) << *code;
  }
}

// Update mode writes the manifest with its own file name, as UTF-8, and the
// log has it as UTF-8 too, whatever the code page (1252 here).
TEST_F(Install, UpdateModeWritesItsOwnNameAsUtf8) {
  const std::string name = "caf\xC3\xA9.exe";
  HostFolder folder("accented", name);
  // Update mode runs from inside an earlier deployment's folder, which is
  // registered.
  mkdir(Deployed().c_str(), 0755);
  const std::string registered = Wine::Get().WinPath(DeployedFile(kManifest));
  ASSERT_EQ(
      Wine::Get().Run({"reg", "add", std::string("HKCU\\") + kKey, "/ve", "/d", registered, "/f"}).exitCode,
      0);
  ProcessResult r = Wine::Get().Run({folder.winExe(), "--update", "0"}, "", 60000,
                                    {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  std::vector<std::string> lines = Lines(folder.Log());
  EXPECT_TRUE(Has(lines, "With command: 4"));
  EXPECT_TRUE(Has(lines, "Parent PID: 0"));
  EXPECT_FALSE(Has(lines, "Waiting parent process 0 to close..."));
  EXPECT_TRUE(Has(lines, WinDeployed() + "\\" + name)) << folder.Log();
  EXPECT_TRUE(Has(lines, "Written 545 bytes"));
  EXPECT_EQ(lines.empty() ? "" : lines.back(), "Exit");

  std::string manifest = ReadFile(DeployedFile(kManifest));
  EXPECT_EQ(manifest.size(), 545u);
  std::vector<std::string> manifestLines = Lines(manifest);
  ASSERT_GE(manifestLines.size(), 4u);
  EXPECT_EQ(manifestLines[3], "    \"path\": \"" + name + "\",");
  nlohmann::json json = nlohmann::json::parse(manifest, nullptr, false);
  ASSERT_FALSE(json.is_discarded());
  EXPECT_EQ(json.value("path", ""), name);
  EXPECT_TRUE(ReadFile(DeployedFile(name)) == folder.Read(name));
  // Update mode leaves the registry to the deployment before it.
  EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), registered);
}

// The user opens a newer copy while a host runs the deployed executable with
// its engine loaded (files that can only be renamed): the installation
// succeeds at once, with no elevated retry; the running host keeps answering
// with its engine; the next host is the new copy and asks for an engine; and
// once the running host has closed, a later start leaves no temporary file.
TEST_F(Install, SucceedsWhileTheDeployedHostRuns) {
  Wine& wine = Wine::Get();
  HostFolder old("busy-old");
  RunTraced(old);
  WriteFile(DeployedFile("RAZ.dll"), ReadFile(wine.bin() + "/RAZ.dll"));
  const std::string winExe = wine.WinPath(DeployedFile(kExe));
  const std::map<std::string, std::string> env = {{"SAMPLE_ENGINE_BEHAVIOUR", ""}};
  auto answers = [](Conversation& c, const std::string& tag) {
    c.Send("{\"JSONCommand\":\"ping\"}");
    EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pong\"}");
    c.Send("{\"JSONFunction\":\"echo\",\"data\":\"" + tag + "\"}");
    HostMessage m = NextMessage(c);
    EXPECT_EQ(m.topic, "echo") << m.raw;
    EXPECT_EQ(m.data, tag) << m.raw;
  };
  Conversation running(winExe, env);
  ExpectAnnouncement(running, true);
  answers(running, "loaded");

  HostFolder newer("busy-newer");
  newer.Write(kExe, newer.Read(kExe) + std::string(1000, 'N'));
  ProcessResult r = RunTraced(newer);
  EXPECT_TRUE(Wine::AllBoxesIn(r.err).empty());
  std::vector<std::string> expected = DeployLines(2);
  expected[3] = "Created directory with result: 0";
  // While the old one is moved aside, the manifest names the staged copy.
  expected.insert(expected.begin() + 5, {"The deployed executable is in use: moving it aside.",
                                         "Extracting manifest...", "Written 616 bytes", "Done"});
  EXPECT_EQ(Lines(newer.Log()), expected) << "not deployed at once";
  EXPECT_TRUE(ReadFile(DeployedFile(kExe)) == newer.Read(kExe)) << "the deployed exe is not the newer copy";
  EXPECT_EQ(ReadFile(DeployedFile(kManifest)).size(), 562u);
  EXPECT_EQ(wine.RegQueryDefault(kKey), wine.WinPath(DeployedFile(kManifest))) << HostsKeyListing();
  answers(running, "other");

  {
    Conversation next(winExe, env);
    ExpectAnnouncement(next, false);
    next.CloseInput();
    EXPECT_EQ(next.Wait(), 0);
  }
  answers(running, "still");
  running.CloseInput();
  EXPECT_EQ(running.Wait(), 0);
  EXPECT_EQ(running.FrameErrors(), "");
  // The old host and engine, moved aside while in use, are left to it.
  EXPECT_NE(Joined(TemporaryFiles(Deployed())), "");
  {
    Conversation later(winExe, env);
    ExpectAnnouncement(later, false);
    later.Send("{\"JSONCommand\":\"ping\"}");
    EXPECT_EQ(NextMessage(later).raw, "{\"topic\":\"pong\"}");
    later.CloseInput();
    EXPECT_EQ(later.Wait(), 0);
  }
  EXPECT_EQ(Joined(TemporaryFiles(Deployed())), "");
  EXPECT_TRUE(Has(Lines(ReadFile(DeployedFile("native-lumiclip.log"))), "Leftover temporary files removed: 2"));
  EXPECT_TRUE(ReadFile(DeployedFile(kExe)) == newer.Read(kExe)) << "the deployed exe is not the newer copy";
}

ProcessResult RunDeployed(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& extraEnv = {}) {
  Wine& wine = Wine::Get();
  std::vector<std::string> argv = {wine.WinPath(DeployedFile(kExe))};
  argv.insert(argv.end(), args.begin(), args.end());
  // Through files: the helper it starts holds inherited pipes open while it
  // waits for other hosts.
  std::map<std::string, std::string> env = RelayBoxEnv();
  for (const auto& [k, v] : extraEnv) env[k] = v;
  ProcessResult r = RunWineToFiles(argv, "", env);
  EXPECT_FALSE(r.timedOut);
  EXPECT_NE(r.err.find("Call PE DLL"), std::string::npos);
  return r;
}

// The helper that finishes the removal runs after the removing process.
bool DeploymentFolderGoes(int timeoutMs = 30000) {
  return WaitUntil([] { return !FileExists(Deployed()); }, timeoutMs);
}

// The folders of the removal helpers' copies in the user's temporary folder
// (%TEMP%, beside the roaming folder's AppData in wine's prefix).
std::string TempDir() {
  std::string appData = Wine::Get().AppData();
  return appData.substr(0, appData.rfind("/AppData/")) + "/Temp";
}
std::set<std::string> HelperFolders() {
  std::set<std::string> folders;
  for (const std::string& name : Listing(TempDir())) {
    if (name.rfind("lumiclip-uninstall", 0) == 0) folders.insert(name);
  }
  return folders;
}

// Listed among the installed apps; asked first without --quiet (a box that
// is not answered Yes removes nothing); removed whole with --quiet, from the
// deployed host itself; nothing to do the second time; installable again.
TEST_F(Install, UninstallRemovesEverythingAndInstallsAgain) {
  HostFolder folder("uninstall");
  RunTraced(folder);
  std::map<std::string, std::string> entry = RegValues(kUninstallKey);
  const std::string exe = WinDeployed() + "\\" + kExe;
  const size_t bytes = ReadFile(DeployedFile(kExe)).size() + ReadFile(DeployedFile(kManifest)).size();
  char size[32];
  std::snprintf(size, sizeof(size), "REG_DWORD 0x%zx", (bytes + 1023) / 1024);
  EXPECT_EQ(entry, (std::map<std::string, std::string>{
                       {"DisplayName", "REG_SZ Lumiclip Native Host"},
                       {"DisplayVersion", "REG_SZ 0.98.93"},
                       {"Publisher", "REG_SZ Lumiclip"},
                       {"InstallLocation", "REG_SZ " + WinDeployed()},
                       {"DisplayIcon", "REG_SZ " + exe},
                       {"UninstallString", "REG_SZ \"" + exe + "\" --uninstall"},
                       {"QuietUninstallString", "REG_SZ \"" + exe + "\" --uninstall --quiet"},
                       {"NoModify", "REG_DWORD 0x1"},
                       {"NoRepair", "REG_DWORD 0x1"},
                       {"EstimatedSize", size}}));

  // Everything the host may leave there, and a file of the user's elsewhere.
  WriteFile(DeployedFile("raz.dll"), ReadFile(Wine::Get().bin() + "/RAZ.dll"));
  mkdir(DeployedFile(".staged").c_str(), 0755);
  WriteFile(DeployedFile(".staged/lumiclip-chrome-plugin.exe"), "staged");
  WriteFile(DeployedFile("lumiclip-native-manifest.json.12.1~"), "cut");

  ProcessResult asked = RunDeployed({"--uninstall"});
  std::vector<Wine::Box> boxes = Wine::BoxesIn(asked.err);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Remove the Lumiclip native host? The Lumiclip extension will stop working until it "
            "is installed again.");
  EXPECT_EQ(boxes[0].flags, 0x24u);
  EXPECT_EQ(asked.exitCode, 2);
  EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), Wine::Get().WinPath(DeployedFile(kManifest)))
      << HostsKeyListing();
  EXPECT_FALSE(RegValues(kUninstallKey).empty());
  EXPECT_TRUE(FileExists(DeployedFile("raz.dll")));

  // The one folder that every removal once reused, with a library planted
  // in it (wine told to prefer such a file, as Windows does): a helper
  // copy started there would load it.
  const std::string reused = TempDir() + "/lumiclip-uninstall";
  mkdir(reused.c_str(), 0755);
  WriteFile(reused + "/version.dll", ReadFile(Wine::Get().bin() + "/lumiclip-plant.dll"));
  const std::set<std::string> helpersBefore = HelperFolders();
  ProcessResult quiet = RunDeployed({"--uninstall", "--quiet"}, {{"WINEDLLOVERRIDES", "version=n,b"}});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_TRUE(Wine::AllBoxesIn(quiet.err).empty());
  EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), "");
  EXPECT_TRUE(RegValues(kUninstallKey).empty());
  EXPECT_TRUE(DeploymentFolderGoes()) << "left: " << ::testing::PrintToString(Listing(Deployed()));
  // The helper's copy ran from a folder made for it.
  std::set<std::string> firstHelper;
  for (const std::string& name : HelperFolders()) {
    if (!helpersBefore.count(name)) firstHelper.insert(name);
  }
  ASSERT_EQ(firstHelper.size(), 1u) << ::testing::PrintToString(HelperFolders());
  const std::string firstLog = TempDir() + "/" + *firstHelper.begin() + "/native-lumiclip.log";
  EXPECT_TRUE(WaitUntil([&] { return Has(Lines(ReadFile(firstLog)), "Exit"); }, 30000)) << ReadFile(firstLog);
  EXPECT_FALSE(FileExists(reused + "/version.dll.ran")) << "the planted library ran";

  // Nothing installed: nothing asked, success.
  ProcessResult again = Wine::Get().Run({folder.winExe(), "--uninstall"}, "", 60000, Wine::Get().RelayEnv());
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_TRUE(Wine::AllBoxesIn(again.err).empty());
  EXPECT_TRUE(Has(Lines(folder.Log()), "Nothing to remove."));

  RunTraced(folder);
  ExpectDeployed(folder, kExe);
  EXPECT_EQ(RegValues(kUninstallKey).size(), 10u);

  // A second removal: a new folder for its helper, which deletes the first
  // one's copy, log and folder.
  EXPECT_EQ(RunDeployed({"--uninstall", "--quiet"}).exitCode, 0);
  EXPECT_TRUE(DeploymentFolderGoes()) << "left: " << ::testing::PrintToString(Listing(Deployed()));
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(TempDir() + "/" + *firstHelper.begin()); }, 30000))
      << ::testing::PrintToString(Listing(TempDir() + "/" + *firstHelper.begin()));
  std::set<std::string> secondHelper;
  for (const std::string& name : HelperFolders()) {
    if (!helpersBefore.count(name)) secondHelper.insert(name);
  }
  EXPECT_EQ(secondHelper.size(), 1u) << ::testing::PrintToString(HelperFolders());
}

// "--check" reads the installation where the browsers read it: the prefix's
// own registry and files, the real engine's headers. Its report goes to the
// standard output a script redirected.
TEST_F(Install, CheckSeesTheInstallationAsTheBrowsersDo) {
  HostFolder folder("check");
  RunTraced(folder);
  Wine& wine = Wine::Get();
  const std::string policy = "HKCU\\Software\\Policies\\Google\\Chrome";
  wine.Run({"reg", "delete", policy, "/f"});
  WriteFile(DeployedFile("RAZ.dll"), ReadFile(wine.bin() + "/RAZ.dll"));
  auto problems = [](const std::vector<std::string>& lines) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
      if (line.rfind("problem: ", 0) == 0) found.push_back(line);
    }
    return found;
  };

  ProcessResult fine = RunDeployed({"--check"});
  std::vector<std::string> lines = Lines(fine.out);
  EXPECT_EQ(fine.exitCode, 0) << fine.out;
  EXPECT_TRUE(problems(lines).empty()) << fine.out;
  // The real engine, judged by its headers: of the host's machine, with the export.
  const std::string engine = "ok: RAZ.dll: " + WinDeployed() + "\\RAZ.dll, a library for ";
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind(engine, 0) == 0 && line.size() > engine.size() + 26 &&
           line.compare(line.size() - 26, 26, " that exports _initLibrary") == 0;
  })) << fine.out;
  EXPECT_TRUE(Has(lines, "Chrome, Chromium and Edge will start the host.")) << fine.out;
  EXPECT_TRUE(Wine::BoxesIn(fine.err).empty());

  ASSERT_EQ(wine.Run({"reg", "add", policy, "/v", "NativeMessagingUserLevelHosts", "/t", "REG_DWORD", "/d", "0",
                      "/f"}).exitCode, 0);
  ProcessResult off = RunDeployed({"--check"});
  wine.Run({"reg", "delete", policy, "/f"});
  EXPECT_EQ(off.exitCode, 1);
  EXPECT_EQ(problems(Lines(off.out)),
            (std::vector<std::string>{
                "problem: Chrome: the policy NativeMessagingUserLevelHosts is 0 in HKEY_CURRENT_USER\\SOFTWARE\\"
                "Policies\\Google\\Chrome, so it starts no host installed for the user, as this one is; ask your "
                "administrator to allow such hosts",
                "problem: Chrome: finds no registration of com.lumiclipapp.api for the machine, and the policy keeps "
                "it from looking for the user's; see the policy above"}))
      << off.out;
  EXPECT_TRUE(Has(Lines(off.out), "Chrome will not start the host (see the lines that begin with \"problem\"); "
                                  "Chromium and Edge will."))
      << off.out;

  ASSERT_EQ(std::remove(DeployedFile(kManifest).c_str()), 0);
  ProcessResult missing = RunDeployed({"--check"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(problems(Lines(missing.out)),
            (std::vector<std::string>{"problem: the manifest " + WinDeployed() + "\\" + kManifest +
                                      " is missing; run lumiclip-chrome-plugin.exe once, without arguments, to "
                                      "install it again"}))
      << missing.out;
  // It changed nothing.
  EXPECT_EQ(Listing(Deployed()), (std::set<std::string>{kExe, "RAZ.dll", "native-lumiclip.log"}));
  EXPECT_EQ(wine.RegQueryDefault(kKey), WinDeployed() + "\\" + kManifest);
}

// Another host runs from the folder during the removal: it keeps answering,
// and its files go once it has closed.
TEST_F(Install, UninstallWhileAnotherHostRuns) {
  HostFolder folder("uninstall-busy");
  RunTraced(folder);
  WriteFile(DeployedFile("raz.dll"), ReadFile(Wine::Get().bin() + "/RAZ.dll"));
  Conversation other(WinDeployed() + "\\" + kExe, {{"SAMPLE_ENGINE_TRACE", "off"}});
  ExpectAnnouncement(other, true);
  other.Send("{\"JSONFunction\":\"echo\",\"data\":\"before\"}");
  EXPECT_EQ(NextMessage(other).data, "before");

  ProcessResult r = RunDeployed({"--uninstall", "--quiet"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Wine::Get().RegQueryDefault(kKey), "");
  EXPECT_TRUE(RegValues(kUninstallKey).empty());
  EXPECT_FALSE(FileExists(DeployedFile(kManifest)));

  other.Send("{\"JSONFunction\":\"echo\",\"data\":\"after\"}");
  EXPECT_EQ(NextMessage(other).data, "after");
  other.Send("{\"JSONCommand\":\"ping\"}");
  EXPECT_EQ(NextMessage(other).topic, "pong");
  EXPECT_TRUE(FileExists(Deployed())) << "removed under a running host";
  other.CloseInput();
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_TRUE(DeploymentFolderGoes()) << "left: " << ::testing::PrintToString(Listing(Deployed()));
}

// The user's profile lies in a folder whose name is outside the system's code
// page (1252 here): a Polish and Japanese name. Its roaming folder and its
// temporary folder are moved there for one test, as the prefix's registry
// names them, and put back after it.
class ProfileOutsideTheCodePage {
 public:
  static constexpr const char* kUser = "\xC5\x81ukasz \xE6\x97\xA5\xE6\x9C\xAC";  // Łukasz 日本
  ProfileOutsideTheCodePage() {
    Wine& wine = Wine::Get();
    root_ = wine.DriveC() + "/users/" + kUser;
    EXPECT_EQ(std::system(("mkdir -p '" + root_ + "/AppData/Roaming' '" + root_ + "/Temp'").c_str()), 0);
    for (const Value& v : values_) {
      saved_.push_back(RegValues(v.key)[v.name]);
      Set(v, wine.WinPath(root_ + v.folder));
    }
  }
  ~ProfileOutsideTheCodePage() {
    for (size_t i = 0; i < values_.size(); ++i) {
      size_t space = saved_[i].find(' ');
      if (space != std::string::npos) {
        Set(values_[i], saved_[i].substr(space + 1), saved_[i].substr(0, space));
      } else {
        Wine::Get().Run(
            {"reg", "delete", std::string("HKCU\\") + values_[i].key, "/v", values_[i].name, "/f"});
      }
    }
    std::system(("rm -rf '" + root_ + "'").c_str());
  }
  std::string RoamingFolder() const { return root_ + "/AppData/Roaming"; }
  // Wine maps the Unix names of these folders as UTF-8 under this locale.
  static std::map<std::string, std::string> Env() { return {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}}; }

 private:
  struct Value {
    const char* key;
    const char* name;
    const char* folder;
  };
  static void Set(const Value& v, const std::string& data, const std::string& type = "REG_SZ") {
    ProcessResult r = Wine::Get().Run(
        {"reg", "add", std::string("HKCU\\") + v.key, "/v", v.name, "/t", type, "/d", data, "/f"}, "", 60000,
        Env());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  const std::vector<Value> values_ = {
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", "AppData",
       "/AppData/Roaming"},
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "AppData",
       "/AppData/Roaming"},
      {"Environment", "TEMP", "/Temp"},
      {"Environment", "TMP", "/Temp"}};
  std::string root_;
  std::vector<std::string> saved_;
};

// Everything works there, by the true path: deployment, the registry value
// (read back exactly), a host started from the folder (ping, updateDLL, the
// engine loaded from it), a self-update, and the removal with its helper.
TEST_F(Install, EverythingWorksInAProfileOutsideTheCodePage) {
  Wine& wine = Wine::Get();
  ProfileOutsideTheCodePage profile;
  std::map<std::string, std::string> env = ProfileOutsideTheCodePage::Env();
  // No file of the engine's own: the removal keeps files it does not know.
  env["SAMPLE_ENGINE_TRACE"] = "off";
  const std::string deployed = profile.RoamingFolder() + "/Lumiclip";
  const std::string winDeployed = wine.WinPath(deployed);
  const std::string winExe = winDeployed + "\\" + kExe;

  HostFolder setup("profile-setup");
  ProcessResult install = RunTraced(setup, {}, env);
  EXPECT_TRUE(Wine::AllBoxesIn(install.err).empty());
  std::vector<std::string> expected = DeployLines(2);
  expected[2] = "Using folder for deployment: " + winDeployed;
  EXPECT_EQ(Lines(setup.Log()), expected);
  EXPECT_EQ(Listing(deployed), (std::set<std::string>{kExe, kManifest}));
  EXPECT_EQ(wine.RegExportDefault(kKey), winDeployed + "\\" + kManifest);
  EXPECT_EQ(RegValues(kUninstallKey)["DisplayVersion"], "REG_SZ 0.98.93");

  {
    Conversation host(winExe, env);
    ExpectAnnouncement(host, false);
    host.Send("{\"JSONCommand\":\"ping\"}");
    EXPECT_EQ(NextMessage(host).raw, "{\"topic\":\"pong\"}");
    host.Send("{\"JSONCommand\":\"updateDLL\",\"data\":\"" + Base64(ReadFile(wine.bin() + "/RAZ.dll")) +
              "\"}");
    EXPECT_EQ(NextMessage(host).raw, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}");
    host.Send("{\"JSONFunction\":\"echo\",\"data\":\"\xC5\x82\"}");
    HostMessage echo = NextMessage(host);
    EXPECT_EQ(echo.topic, "echo") << echo.raw;
    EXPECT_EQ(echo.data, "\xC5\x82") << echo.raw;
    host.CloseInput();
    EXPECT_EQ(host.Wait(), 0);
  }
  std::vector<std::string> hostLog = Lines(ReadFile(deployed + "/native-lumiclip.log"));
  EXPECT_TRUE(Has(hostLog, "Saving to file: " + winDeployed + "\\RAZ.dll")) << Joined(hostLog);

  // A self-update: the child runs from the staging folder and puts itself in
  // place; the browser then starts the new host.
  const std::string payload = ReadFile(deployed + "/" + kExe) + std::string(1000, 'N');
  {
    Conversation parent(winExe, env);
    ExpectAnnouncement(parent, true);
    parent.Send("{\"JSONCommand\":\"updateNative\",\"data\":\"" + Base64(payload) + "\"}");
    EXPECT_EQ(parent.Wait(30000), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(deployed + "/" + kExe) == payload; }, 30000))
      << ReadFile(deployed + "/.staged/native-lumiclip.log");
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::vector<std::string> l = Lines(ReadFile(deployed + "/.staged/native-lumiclip.log"));
        return !l.empty() && l.back() == "Exit";
      },
      30000));
  EXPECT_EQ(ReadFile(deployed + "/" + kManifest).size(), 562u);
  EXPECT_EQ(wine.RegExportDefault(kKey), winDeployed + "\\" + kManifest);
  {
    Conversation next(winExe, env);
    ExpectAnnouncement(next, false);
    next.CloseInput();
    EXPECT_EQ(next.Wait(), 0);
  }

  // Through files: the helper it starts holds inherited pipes open.
  std::map<std::string, std::string> quietEnv = RelayBoxEnv();
  for (const auto& [k, v] : env) quietEnv[k] = v;
  ProcessResult removal = RunWineToFiles({winExe, "--uninstall", "--quiet"}, "", quietEnv);
  EXPECT_FALSE(removal.timedOut);
  EXPECT_EQ(removal.exitCode, 0);
  EXPECT_TRUE(Wine::AllBoxesIn(removal.err).empty());
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(deployed); }, 30000))
      << "left: " << ::testing::PrintToString(Listing(deployed));
  EXPECT_EQ(wine.RegExportDefault(kKey), "");
  EXPECT_TRUE(RegValues(kUninstallKey).empty());
}

}  // namespace
}  // namespace lumiclip::itest
