// What a crash leaves of the installation. Each installing or updating run
// is cut off after its 1st, 2nd, ... last call to the system (a power cut:
// nothing after it happens, and file data never flushed is lost; see the
// fake's model), and what survives must still give the browser a complete
// host: the registered manifest exists, parses, and names an executable that
// is whole, either the old one or the new one; the engine library is absent,
// the old one or the new one; and a host started from the deployment folder
// announces itself according to what it finds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "channel/host_loop.h"
#include "channel/host_state.h"
#include "fake/host_fixture.h"
#include "install/deploy.h"
#include "install/manifest.h"
#include "install/payload.h"
#include "install/self_update.h"
#include "install/uninstall.h"

namespace lumiclip::testing {
namespace {

const std::string kFolder = "C:\\Users\\me\\AppData\\Roaming\\Lumiclip";
const std::string kExe = kFolder + "\\lumiclip-chrome-plugin.exe";
const std::string kManifest = kFolder + "\\lumiclip-native-manifest.json";
const std::string kEngine = kFolder + "\\RAZ.dll";
const std::string kStaged = kFolder + "\\.staged\\lumiclip-chrome-plugin.exe";
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

void RunParent(FakeOs& os) {
  os.executablePath = kExe;
  HostState state;
  std::string message = Payload("updateNative", kNewHost);
  UpdateNativeHost(state, message.c_str(), static_cast<int32_t>(message.size()));
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
  // A removal: the registration may go at any point; whole runs leave
  // nothing installed (host is null).
  bool removes = false;
};

const Scenario kScenarios[] = {
    {"FirstDeployment", false, [](FakeOs& os) { os.AddFile(kSource, kNewHost); },
     [](FakeOs&) { DeployHost(kSource, true); }, &kNewHost, nullptr},
    {"Redeployment", true,
     [](FakeOs& os) {
       Installed(os);
       os.AddFile(kSource, kNewHost);
     },
     [](FakeOs&) { DeployHost(kSource, true); }, &kNewHost, nullptr},
    {"DeployedCopyOpened", true, Installed,
     [](FakeOs& os) {
       os.executablePath = kExe;
       DeployHost(kExe.c_str(), true);
     },
     &kOldHost, nullptr},
    {"EngineUpdate", true, Installed,
     [](FakeOs& os) {
       os.executablePath = kExe;
       HostState state;
       std::string message = Payload("updateDLL", kNewEngine);
       UpdateEngineLibrary(state, message.c_str(), static_cast<int32_t>(message.size()));
     },
     &kOldHost, &kNewEngine},
    // The parent alone: its child may never run.
    {"SelfUpdateParent", true, Installed, RunParent, &kOldHost, &kOldEngine},
    {"SelfUpdateChild", true,
     [](FakeOs& os) {
       Installed(os);
       RunParent(os);
     },
     [](FakeOs& os) {
       os.executablePath = kStaged;
       RunUpdateMode(4242);
     },
     &kNewHost, nullptr},
    // Removed by a copy run from elsewhere, which deletes everything itself.
    {"Uninstall", true, Installed,
     [](FakeOs& os) {
       os.executablePath = kSource;
       RunUninstall(true);
     },
     nullptr, nullptr, true},
    // Removed by the deployed host: its helper finishes after it.
    {"UninstallHelper", true,
     [](FakeOs& os) {
       Installed(os);
       os.executablePath = kExe;
       RunUninstall(true);
     },
     [](FakeOs& os) {
       os.executablePath = "C:\\Users\\me\\AppData\\Local\\Temp\\lumiclip-uninstall\\lumiclip-uninstall.4242.exe";
       RunUninstallFinish(4242);
     },
     nullptr, nullptr, true},
};

void Arrange(FakeOs& os, const Scenario& s) {
  s.arrange(os);
  os.FlushAll();
  os.calls.clear();
  os.shellRuns.clear();
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
    std::string exe = kFolder + "\\" + manifest["path"].get<std::string>();
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
    framing_internal::ResetForTests();
    os.output.clear();
    AnnounceHost();
    std::string error;
    std::vector<std::string> messages = DecodeMessages(os.output, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "{\"topic\":\"hostVersion\", \"data\":\"" + version + "\"}");
    if (os.HasFile(kEngine)) {
      EXPECT_EQ(messages[1], "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"" + version + "\"}");
    } else {
      EXPECT_EQ(messages[1], "{\"topic\":\"getDLL\"}");
    }
  }
};

// What the whole run leaves, on the disk. Temporary files left by an
// earlier crash may stay beside it.
void ExpectNewState(FakeOs& os, const Scenario& s, bool strayTemporaries) {
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
  EXPECT_EQ(manifest.value("path", ""), "lumiclip-chrome-plugin.exe");
  EXPECT_TRUE(os.FileText(kExe) == *s.host);
  EXPECT_EQ(os.HasFile(kEngine), s.engine != nullptr);
  if (s.engine != nullptr) {
    EXPECT_TRUE(os.FileText(kEngine) == *s.engine);
  }
  std::set<std::string> expected = {"lumiclip-chrome-plugin.exe", "lumiclip-native-manifest.json"};
  if (s.engine != nullptr) expected.insert("raz.dll");
  std::set<std::string> names = os.FileNamesIn(kFolder);
  names.erase("native-lumiclip.log");  // a host run from the folder logs there
  if (strayTemporaries) {
    for (auto it = names.begin(); it != names.end();) {
      it = it->back() == '~' ? names.erase(it) : std::next(it);
    }
  }
  EXPECT_EQ(names, expected) << "a temporary file was left";
}

TEST_P(Crash, LeavesACompleteInstallation) {
  const Scenario& s = *GetParam().scenario;
  Arrange(os, s);
  os.crashAfterCalls = GetParam().afterCalls;
  s.run(os);
  ASSERT_TRUE(os.Crashed() || GetParam().afterCalls == os.calls.size());
  os.Reboot();
  std::string runningFrom = os.executablePath;
  ExpectWholeInstallation(s);

  // Nothing a crash leaves stands in the way of the next run.
  os.executablePath = runningFrom;
  log_internal::ResetForTests();
  s.run(os);
  os.Reboot();
  ExpectNewState(os, s, true);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, Crash, ::testing::ValuesIn(EveryCrashPoint()),
                         [](const ::testing::TestParamInfo<CrashPoint>& info) {
                           return std::string(info.param.scenario->name) + "_" +
                                  std::to_string(info.param.afterCalls);
                         });

// Each run, not cut, reaches its new state, and that state is on the disk:
// the crash points above are points of runs that do their work.
TEST(CrashScenarios, CompleteRunsLeaveTheirNewState) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    World world;
    Arrange(world.os, s);
    s.run(world.os);
    world.os.Reboot();
    ExpectNewState(world.os, s, false);
  }
}

}  // namespace
}  // namespace lumiclip::testing
