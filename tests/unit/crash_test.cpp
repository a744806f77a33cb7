// What a crash leaves of the installation. Each installing or updating run
// is cut off after its 1st, 2nd, ... last call to the system (a power cut:
// nothing after it happens, and file data never flushed is lost; see the
// fake's model), and what survives must still give the browser a complete
// host: the registered manifest exists, parses, and names an executable that
// is whole, either the old one or the new one; the engine library is absent,
// the old one or the new one; and a host started from the deployment folder
// announces itself according to what it finds.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "channel/host_loop.h"
#include "channel/host_state.h"
#include "engine/engine_loader.h"
#include "fake/host_fixture.h"
#include "fake_engine.h"
#include "install/deploy.h"
#include "install/manifest.h"
#include "install/payload.h"
#include "install/self_update.h"
#include "install/uninstall.h"

namespace lumiclip::testing {
namespace {

using namespace deployed;
const std::string kStaged = kStaging + "\\lumiclip-chrome-plugin.exe";
const char kSource[] = "C:\\Downloads\\setup.exe";
const char kKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";
const std::string kOldHost = std::string("MZ old host\0\xff", 13) + std::string(700, 'o');
const std::string kNewHost = std::string("MZ new host\0\xfe", 13) + std::string(900, 'n');
const std::string kOldEngine = std::string("MZ old engine\0", 14) + std::string(500, 'e');
const std::string kNewEngine = std::string("MZ new engine\0", 14) + std::string(600, 'E');

std::string Payload(const std::string& command, const std::string& bytes) {
  return "{\"JSONCommand\":\"" + command + "\",\"data\":\"" + EncodeBase64(bytes) + "\"}";
}

// An installation as an earlier deployment of the old host left it, with an
// engine delivered since.
void Installed(FakeOs& os) {
  os.AddFile(kSource, kOldHost);
  if (!DeployHost(kSource, true)) throw std::logic_error("the old host does not deploy");
  os.files.erase(FakeOs::Lower(kSource));
  os.AddFile(kEngine, kOldEngine);
}

constexpr uint32_t kParentPid = 4242;
constexpr uint32_t kChildPid = 5151;

void RunParent(FakeOs& os) {
  os.executablePath = kExe;
  os.processId = kParentPid;
  HostState state;
  std::string message = Payload("updateNative", kNewHost);
  UpdateNativeHost(state, message.data(), static_cast<int32_t>(message.size()));
}

// The staged child, a process of its own, started by the parent.
void Staged(FakeOs& os) {
  Installed(os);
  RunParent(os);
  os.processId = kChildPid;
  os.executablePath = kStaged;
  ResetTemporaryNamesForTests();
}

void RunChild(FakeOs& os) {
  os.executablePath = kStaged;
  RunUpdateMode(static_cast<int32_t>(kParentPid));
}

void RunEngineUpdate(FakeOs& os) {
  os.executablePath = kExe;
  HostState state;
  std::string message = Payload("updateDLL", kNewEngine);
  UpdateEngineLibrary(state, message.data(), static_cast<int32_t>(message.size()));
}

// The engine loaded in this process, as a host has it when the update comes.
FakeEngine& Engine() {
  static FakeEngine engine;
  return engine;
}
void RunEngineUpdateWithEngineLoaded(FakeOs& os) {
  os.executablePath = kExe;
  HostState state;
  EnsureEngineLoaded(state);
  std::string message = Payload("updateDLL", kNewEngine);
  UpdateEngineLibrary(state, message.data(), static_cast<int32_t>(message.size()));
}

struct Scenario {
  const char* name;
  bool registeredBefore;
  void (*arrange)(FakeOs&);  // the state before the run; its calls do not count
  void (*run)(FakeOs&);
  // What the whole run leaves: the registered host, and the engine (null
  // for none).
  const std::string* host;
  const std::string* engine;
  // Another process holds a file the run replaces: the old file stays aside
  // under a temporary name until that process lets it go.
  bool leavesAside = false;
  // A removal: the registration may go at any point; whole runs leave
  // nothing installed (host is null).
  bool removes = false;
  // No file could be given the deployed name: the manifest names the
  // staged copy, which is host.
  bool namesStaged = false;
};

void Redeploying(FakeOs& os) {
  Installed(os);
  os.AddFile(kSource, kNewHost);
}

const Scenario kScenarios[] = {
    {"FirstDeployment", false, [](FakeOs& os) { os.AddFile(kSource, kNewHost); },
     [](FakeOs&) { DeployHost(kSource, true); }, &kNewHost, nullptr},
    {"Redeployment", true, Redeploying, [](FakeOs&) { DeployHost(kSource, true); }, &kNewHost, nullptr},
    // Temporary names that another writer holds are passed over.
    {"RedeploymentOverATakenName", true,
     [](FakeOs& os) {
       Redeploying(os);
       os.AddFile(kExe + ".4242.1~", "another host's copy");
       os.AddFile(kManifest + ".4242.2~", "another host's manifest");
     },
     [](FakeOs&) { DeployHost(kSource, true); }, &kNewHost, nullptr},
    // The new host cannot take the old one's place: the copy is cleaned up.
    {"RedeploymentThatCannotReplace", true,
     [](FakeOs& os) {
       Redeploying(os);
       os.failing.insert("RenameFile:plugin.exe");
     },
     [](FakeOs&) { DeployHost(kSource, true); }, &kOldHost, &kOldEngine},
    // Another host runs the deployed executable: it is moved aside.
    {"RedeploymentWhileAnotherHostRuns", true,
     [](FakeOs& os) {
       Redeploying(os);
       os.inUseByOthers.insert(kExe);
     },
     [](FakeOs&) { DeployHost(kSource, true); }, &kNewHost, nullptr, true},
    {"DeployedCopyOpened", true, Installed,
     [](FakeOs& os) {
       os.executablePath = kExe;
       DeployHost(kExe.c_str(), true);
     },
     &kOldHost, nullptr},
    {"EngineUpdate", true, Installed, RunEngineUpdate, &kOldHost, &kNewEngine},
    {"EngineUpdateOverATakenName", true,
     [](FakeOs& os) {
       Installed(os);
       os.AddFile(kEngine + ".4242.1~", "another host's engine");
     },
     RunEngineUpdate, &kOldHost, &kNewEngine},
    {"EngineUpdateThatCannotReplace", true,
     [](FakeOs& os) {
       Installed(os);
       os.failing.insert("RenameFile:raz.dll");
     },
     RunEngineUpdate, &kOldHost, &kOldEngine},
    // This host has the engine loaded: it lets it go before replacing it.
    {"EngineUpdateWithTheEngineLoaded", true,
     [](FakeOs& os) {
       Installed(os);
       Engine().Install(os, kEngine);
       os.AddFile(kEngine, kOldEngine);
     },
     RunEngineUpdateWithEngineLoaded, &kOldHost, &kNewEngine},
    {"EngineUpdateWhileAnotherHostHoldsIt", true,
     [](FakeOs& os) {
       Installed(os);
       os.inUseByOthers.insert(kEngine);
     },
     RunEngineUpdate, &kOldHost, &kNewEngine, true},
    // The parent alone: its child may never run.
    {"SelfUpdateParent", true, Installed, RunParent, &kOldHost, &kOldEngine},
    // The child, its parent gone already, still running, or never ending.
    {"SelfUpdateChild", true, Staged, RunChild, &kNewHost, nullptr},
    {"SelfUpdateChildWaits", true,
     [](FakeOs& os) {
       Staged(os);
       os.processes[kParentPid] = win::kWaitObject0;
     },
     RunChild, &kNewHost, nullptr},
    {"SelfUpdateChildTimesOut", true,
     [](FakeOs& os) {
       Staged(os);
       os.processes[kParentPid] = win::kWaitTimeout;
     },
     RunChild, &kOldHost, &kOldEngine},
    {"SelfUpdateChildWhileAnotherHostHoldsTheEngine", true,
     [](FakeOs& os) {
       Staged(os);
       os.inUseByOthers.insert(kEngine);
     },
     RunChild, &kNewHost, nullptr, true},
    {"SelfUpdateChildWhileAnotherHostRuns", true,
     [](FakeOs& os) {
       Staged(os);
       os.inUseByOthers.insert(kExe);
     },
     RunChild, &kNewHost, nullptr, true},
    // The old executable, moved aside, can be neither replaced by the new
    // copy nor moved back.
    {"SelfUpdateChildThatCannotMoveBack", true,
     [](FakeOs& os) {
       Staged(os);
       os.failing.insert("RenameFile:~>" + FakeOs::Lower(kExe));
     },
     [](FakeOs& os) {
       os.inUseByOthers.insert(kExe);  // another host runs it, also after a crash
       RunChild(os);
     },
     &kNewHost, nullptr, true, false, true},
    // Removed by a copy run from elsewhere, which deletes everything itself.
    {"Uninstall", true, Installed,
     [](FakeOs& os) {
       os.executablePath = kSource;
       RunUninstall(true);
     },
     nullptr, nullptr, false, true},
    // Removed by the deployed host: its helper finishes after it.
    {"UninstallHelper", true,
     [](FakeOs& os) {
       Installed(os);
       os.executablePath = kExe;
       RunUninstall(true);
     },
     [](FakeOs& os) {
       os.executablePath =
           "C:\\Users\\me\\AppData\\Local\\Temp\\lumiclip-uninstall.4242.1\\lumiclip-uninstall.exe";
       RunUninstallFinish(4242);
     },
     nullptr, nullptr, false, true},
};

// The temporary files the arranged state holds: what a run must leave alone.
using Stray = std::map<std::string, std::string>;

Stray Arrange(FakeOs& os, const Scenario& s) {
  s.arrange(os);
  os.FlushAll();
  os.calls.clear();
  os.shellRuns.clear();
  Stray stray;
  for (const std::string& name : os.FileNamesIn(kFolder)) {
    if (name.back() == '~') stray[name] = os.FileText(kFolder + "\\" + name);
  }
  return stray;
}

struct CrashPoint {
  const Scenario* scenario;
  size_t afterCalls;
};

void PrintTo(const CrashPoint& p, std::ostream* out) {
  *out << p.scenario->name << " cut after call " << p.afterCalls;
}

// A fresh process and system outside any test, for the dry runs.
class World : public HostFixture {
 public:
  void TestBody() override {}
  using HostFixture::os;
};

// How many calls each run makes, found by running it once to the end.
std::vector<CrashPoint> EveryCrashPoint() {
  std::vector<CrashPoint> points;
  for (const Scenario& s : kScenarios) {
    size_t calls = 0;
    {
      World dry;
      Arrange(dry.os, s);
      s.run(dry.os);
      calls = dry.os.calls.size();
    }
    for (size_t k = 1; k <= calls; ++k) points.push_back({&s, k});
  }
  return points;
}

class Crash : public HostFixture, public ::testing::WithParamInterface<CrashPoint> {
 protected:
  void ExpectWholeInstallation(const Scenario& s) {
    if (os.HasFile(kEngine)) {
      std::string engine = os.FileText(kEngine);
      EXPECT_TRUE(engine == kOldEngine || engine == kNewEngine)
          << "RAZ.dll is neither engine: " << engine.size() << " bytes";
    }
    auto registered = os.registry.find(kKey);
    if (registered == os.registry.end()) {
      EXPECT_FALSE(s.registeredBefore && !s.removes) << "the registration was lost";
      return;
    }
    ASSERT_EQ(registered->second, kManifest);
    ASSERT_TRUE(os.HasFile(kManifest)) << "the registered manifest is gone";
    nlohmann::json manifest = nlohmann::json::parse(os.FileText(kManifest), nullptr, false);
    ASSERT_FALSE(manifest.is_discarded()) << "the manifest is not JSON: " << os.FileText(kManifest);
    ASSERT_TRUE(manifest.contains("path") && manifest["path"].is_string());
    // The browser takes a relative path from the manifest's folder.
    std::string exe = manifest["path"].get<std::string>();
    if (exe.find(':') == std::string::npos) exe = kFolder + "\\" + exe;
    ASSERT_TRUE(os.HasFile(exe)) << "the manifest names a missing host: " << exe;
    std::string host = os.FileText(exe);
    ASSERT_TRUE(host == kOldHost || host == kNewHost)
        << "the host is neither the old nor the new one: " << host.size() << " bytes";
    ExpectHostAnnounces(exe, host == kOldHost ? "0.98.92" : "0.98.93");
  }

  // Starts the registered host as the browser would and checks what it
  // announces: its own version, then getDLL without an engine or status 0
  // with one.
  void ExpectHostAnnounces(const std::string& exe, const std::string& version) {
    os.executablePath = exe;
    os.versions[FakeOs::Lower(exe)] = {
        {"\\StringFileInfo\\041904b0\\LumiclipInternalVersion", version + std::string(1, '\0')}};
    log_internal::ResetForTests();
    ScopedChannel channel;  // the announcing host is a new process
    os.output.clear();
    AnnounceHost();
    std::string error;
    std::vector<std::string> messages = DecodeMessages(os.output, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "{\"topic\":\"hostVersion\", \"data\":\"" + version + "\"}");
    // The engine it looks for lies beside it.
    if (os.HasFile(exe.substr(0, exe.rfind('\\')) + "\\RAZ.dll")) {
      EXPECT_EQ(messages[1], "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"" + version + "\"}");
    } else {
      EXPECT_EQ(messages[1], "{\"topic\":\"getDLL\"}");
    }
  }
};

// What the whole run leaves, on the disk. Temporary files left by an
// earlier crash may stay beside it; those that were there before stay as
// they were.
void ExpectNewState(FakeOs& os, const Scenario& s, const Stray& before, bool strayTemporaries) {
  if (s.host == nullptr) {
    EXPECT_FALSE(os.KeyExists(kKey));
    EXPECT_FALSE(os.KeyExists(kUninstallKey));
    EXPECT_EQ(os.FileNamesIn(kFolder), std::set<std::string>());
    EXPECT_EQ(os.folders.count(FakeOs::Lower(kFolder)), 0u);
    return;
  }
  EXPECT_TRUE(os.KeyExists(kUninstallKey));
  EXPECT_EQ(os.registry[kKey], kManifest);
  nlohmann::json manifest = nlohmann::json::parse(os.FileText(kManifest), nullptr, false);
  ASSERT_FALSE(manifest.is_discarded());
  EXPECT_EQ(manifest.value("path", ""), s.namesStaged ? kStaged : "lumiclip-chrome-plugin.exe");
  EXPECT_TRUE(os.FileText(s.namesStaged ? kStaged : kExe) == *s.host);
  EXPECT_EQ(os.HasFile(kEngine), s.engine != nullptr);
  if (s.engine != nullptr) {
    EXPECT_TRUE(os.FileText(kEngine) == *s.engine);
  }
  std::set<std::string> expected = {"lumiclip-native-manifest.json"};
  if (!s.namesStaged) expected.insert("lumiclip-chrome-plugin.exe");
  if (s.engine != nullptr) expected.insert("raz.dll");
  std::set<std::string> names = os.FileNamesIn(kFolder);
  names.erase("native-lumiclip.log");  // a host run from the folder logs there
  for (const auto& [name, bytes] : before) {
    EXPECT_EQ(os.FileText(kFolder + "\\" + name), bytes) << "another writer's file changed: " << name;
    names.erase(name);
  }
  size_t aside = 0;
  for (auto it = names.begin(); it != names.end();) {
    bool temporary = it->back() == '~';
    aside += temporary;
    it = temporary && (strayTemporaries || s.leavesAside) ? names.erase(it) : std::next(it);
  }
  EXPECT_EQ(names, expected) << "a temporary file was left";
  // The old file that another process holds, and nothing else.
  if (s.leavesAside && !strayTemporaries) {
    EXPECT_EQ(aside, 1u);
  }
}

TEST_P(Crash, LeavesACompleteInstallation) {
  const Scenario& s = *GetParam().scenario;
  Stray before = Arrange(os, s);
  os.crashAfterCalls = GetParam().afterCalls;
  s.run(os);
  ASSERT_TRUE(os.Crashed() || GetParam().afterCalls == os.calls.size());
  os.Reboot();
  std::string runningFrom = os.executablePath;
  ExpectWholeInstallation(s);

  // Nothing a crash leaves stands in the way of the next run, a new process.
  os.executablePath = runningFrom;
  log_internal::ResetForTests();
  ResetEngineForTests();
  ResetTemporaryNamesForTests();
  s.run(os);
  os.Reboot();
  ExpectNewState(os, s, before, true);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, Crash, ::testing::ValuesIn(EveryCrashPoint()),
                         [](const ::testing::TestParamInfo<CrashPoint>& info) {
                           return std::string(info.param.scenario->name) + "_" +
                                  std::to_string(info.param.afterCalls);
                         });

// Each run, not cut, reaches its new state, and that state is on the disk:
// the crash points above are points of runs that do their work. Nothing is
// left behind unless another process holds it.
TEST(CrashScenarios, CompleteRunsLeaveTheirNewState) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    World world;
    Stray before = Arrange(world.os, s);
    s.run(world.os);
    world.os.Reboot();
    ExpectNewState(world.os, s, before, false);
  }
}

}  // namespace
}  // namespace lumiclip::testing
