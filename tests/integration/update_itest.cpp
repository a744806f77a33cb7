// Updates through the channel under wine: a new engine library written in
// place (updateDLL), and the host replacing itself through a staged child
// process (updateNative).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include <nlohmann/json.hpp>

#include "engine_helpers.h"
#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kOperaVersion[] = "{\"JSONCommand\":\"setAddonVersion\",\"version\":\"3.1.4\",\"browser\":\"Opera\"}";
const char kTraceFile[] = "sample-engine-trace.txt";
const char kUpdateFailed[] = "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}";

std::string Echo(const std::string& data) { return "{\"JSONFunction\":\"echo\",\"data\":\"" + data + "\"}"; }
std::string UpdateDll(const std::string& base64) {
  return "{\"JSONCommand\":\"updateDLL\",\"data\":\"" + base64 + "\"}";
}
std::map<std::string, std::string> Behaviour(const std::string& names) {
  return {{"SAMPLE_ENGINE_BEHAVIOUR", names}};
}

std::string BinFile(const std::string& name) { return ReadFile(Wine::Get().bin() + "/" + name); }

// The host's version as it announces it: the text every status 0 carries.
std::string AnnouncedVersion(Conversation& c, bool engineThere) {
  HostMessage hello = NextMessage(c);
  EXPECT_EQ(hello.topic, "hostVersion") << hello.raw;
  HostMessage second = NextMessage(c);
  if (engineThere) {
    EXPECT_EQ(second.raw, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"" + hello.data + "\"}");
  } else {
    EXPECT_EQ(second.raw, "{\"topic\":\"getDLL\"}");
  }
  return hello.data;
}

void ExpectStatus0(Conversation& c, const std::string& version) {
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.raw, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"" + version + "\"}");
}

void ExpectEcho(Conversation& c, const std::string& data) {
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.topic, "echo") << m.raw;
  EXPECT_EQ(m.data, data) << m.raw;
}

// The lines from the first equal to first on, as many as count.
std::vector<std::string> Slice(const std::vector<std::string>& lines, const std::string& first, size_t count) {
  int at = IndexOf(lines, first);
  if (at < 0) return {};
  size_t end = std::min(lines.size(), static_cast<size_t>(at) + count);
  return std::vector<std::string>(lines.begin() + at, lines.begin() + static_cast<long>(end));
}

// Without the empty lines that the error lines' own line feeds leave.
// Deploys a fresh host from its own folder (as the user's first run does)
// into an emptied deployment folder, and returns that folder.
std::string DeployFresh(const std::string& sourceName) {
  Wine& wine = Wine::Get();
  const std::string deployed = wine.AppData() + "/Lumiclip";
  EXPECT_EQ(std::system(("rm -rf '" + deployed + "'").c_str()), 0);
  HostFolder source(sourceName);
  ProcessResult deploy = RunWineToFiles({source.winExe(), "--deploy"}, "");
  EXPECT_FALSE(deploy.timedOut);
  EXPECT_TRUE(FileExists(deployed + "/lumiclip-chrome-plugin.exe")) << source.Log();
  EXPECT_TRUE(FileExists(deployed + "/lumiclip-native-manifest.json")) << source.Log();
  return deployed;
}

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& l : Lines(log)) {
    if (!l.empty()) out.push_back(l);
  }
  return out;
}

// ---------------------------------------------------------------------------
// updateDLL

TEST(UpdateDll, WritesTheDecodedPayloadAndStaysOpen) {
  Wine& wine = Wine::Get();
  HostFolder folder("dll-small");
  Conversation c(folder.winExe(), Behaviour(""));
  std::string version = AnnouncedVersion(c, false);
  EXPECT_EQ(version, "0.98.93");

  c.Send(UpdateDll("YWJj"));
  ExpectStatus0(c, version);
  EXPECT_EQ(folder.Read("RAZ.dll"), "abc");
  c.Send(UpdateDll("YWI="));
  ExpectStatus0(c, version);
  EXPECT_EQ(folder.Read("RAZ.dll"), "ab");
  // A JSON encoder may write the slash as \/.
  c.Send(UpdateDll("\\/\\/\\/\\/"));
  ExpectStatus0(c, version);
  EXPECT_EQ(folder.Read("RAZ.dll"), "\xFF\xFF\xFF");
  c.Send("{\"JSONCommand\":\"ping\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pong\"}");
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");
  EXPECT_EQ(Joined(TemporaryFiles(folder.dir())), "");

  std::vector<std::string> log = LogLines(folder.Log());
  std::string saving = "Saving to file: " + wine.WinPath(folder.Path("RAZ.dll"));
  std::vector<std::string> first = {UpdateDll("YWJj"), "Updating raz.dll...", saving, "Written 3 bytes", "Done"};
  std::vector<std::string> second = {UpdateDll("YWI="), "Updating raz.dll...", saving, "Written 2 bytes", "Done"};
  EXPECT_EQ(Joined(Slice(log, UpdateDll("YWJj"), 5)), Joined(first)) << folder.Log();
  EXPECT_EQ(Joined(Slice(log, UpdateDll("YWI="), 5)), Joined(second)) << folder.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Exit");
}

TEST(UpdateDll, DeliversAWorkingEngine) {
  HostFolder folder("dll-deliver");
  std::string engine = BinFile("RAZ.dll");
  Conversation c(folder.winExe(), Behaviour(""));
  std::string version = AnnouncedVersion(c, false);
  // One frame of about a mebibyte.
  c.Send(UpdateDll(Base64(engine)));
  ExpectStatus0(c, version);
  EXPECT_TRUE(folder.Read("RAZ.dll") == engine) << "RAZ.dll differs from the payload";
  c.Send(Echo("delivered"));
  ExpectEcho(c, "delivered");
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");
  EXPECT_TRUE(Contains(LogLines(folder.Log()), "Written " + std::to_string(engine.size()) + " bytes"));
}

// The engine in use is finished and freed before its file is replaced, and
// the new one is loaded as the old one was: Opera, with the replay.
TEST(UpdateDll, UnloadsTheLoadedEngineFirst) {
  HostFolder folder("dll-replace-loaded");
  folder.CopyFromBin("RAZ.dll");
  std::string payload = BinFile("RAZ.dll") + "a newer build";
  Conversation c(folder.winExe(), Behaviour("finish-topic"));
  std::string version = AnnouncedVersion(c, true);
  c.Send(kOperaVersion);
  c.Send(Echo("old"));
  ExpectEcho(c, "old");
  c.Send(UpdateDll(Base64(payload)));
  // The old engine's finish ran before the answer.
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"from-finish\", \"data\":\"finish\"}");
  ExpectStatus0(c, version);
  EXPECT_TRUE(folder.Read("RAZ.dll") == payload) << "RAZ.dll differs from the payload";
  c.Send(Echo("new"));
  ExpectEcho(c, "new");
  c.CloseInput();
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"from-finish\", \"data\":\"finish\"}");
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");

  std::vector<std::string> events = TraceEvents(TraceLines(folder.Read(kTraceFile)),
                                                {"dllmain", "initLibrary", "start", "call", "finish"});
  std::vector<std::string> expected = {
      "dllmain attach",
      "initLibrary size=" LUMICLIP_ENGINE_TABLE_SIZE
          " words=6,0,0,0,0,0 load=1 processLoad=1 behaviours=finish-topic result=1",
      "start browserId=6 callback=nonnull",
      CallLine(1, kOperaVersion),
      CallLine(2, Echo("old")),
      "finish",
      "dllmain detach",
      "dllmain attach",
      "initLibrary size=" LUMICLIP_ENGINE_TABLE_SIZE
          " words=6,0,0,0,0,0 load=1 processLoad=2 behaviours=finish-topic result=1",
      "start browserId=6 callback=nonnull",
      CallLine(1, kOperaVersion),
      CallLine(2, Echo("new")),
      "finish",
      "dllmain detach",
  };
  EXPECT_EQ(Joined(events), Joined(expected));
}

struct BadPayload {
  const char* name;
  const char* data;  // as it stands in the JSON text
  const char* logged;
};

class UpdateDllRejected : public ::testing::TestWithParam<BadPayload> {};

// A payload that is not clean base64 leaves the engine file as it was,
// answers status 1 and closes the host.
TEST_P(UpdateDllRejected, KeepsTheEngineAndClosesTheHost) {
  const BadPayload& k = GetParam();
  HostFolder folder(std::string("dll-rejected-") + k.name);
  folder.CopyFromBin("RAZ.dll");
  std::string before = folder.Read("RAZ.dll");
  {
    Conversation c(folder.winExe(), Behaviour(""));
    AnnouncedVersion(c, true);
    c.Send(Echo("loaded"));
    ExpectEcho(c, "loaded");
    c.Send(UpdateDll(k.data));
    EXPECT_EQ(NextMessage(c).raw, kUpdateFailed);
    // Nothing more, and the host ends without its input being closed.
    EXPECT_EQ(NextMessage(c, 10000).topic, "<none>");
    EXPECT_EQ(c.Wait(10000), 0);
    EXPECT_EQ(c.FrameErrors(), "");
  }
  EXPECT_TRUE(folder.Read("RAZ.dll") == before) << "RAZ.dll changed";
  EXPECT_EQ(Joined(TemporaryFiles(folder.dir())), "");
  std::vector<std::string> log = LogLines(folder.Log());
  std::vector<std::string> tail = {
      "Updating raz.dll...",
      "Saving to file: " + Wine::Get().WinPath(folder.Path("RAZ.dll")),
  };
  if (k.logged[0] != '\0') tail.push_back(k.logged);
  for (const char* l : {"**** Error: RAZ.dll not saved.", "**** Error: updateDLL failed", "Closing...",
                        "Got 'terminate' command.", "Exit"}) {
    tail.push_back(l);
  }
  EXPECT_EQ(Joined(Slice(log, "Updating raz.dll...", tail.size() + 1)), Joined(tail)) << folder.Log();

  // Still a working engine.
  Conversation again(folder.winExe(), Behaviour(""));
  AnnouncedVersion(again, true);
  again.Send(Echo("still"));
  ExpectEcho(again, "still");
  again.CloseInput();
  EXPECT_EQ(again.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, UpdateDllRejected,
    ::testing::Values(
        BadPayload{"escape", "YW\\\\nJj", "**** Error: Payload is not valid base64: an escape sequence at offset 2"},
        BadPayload{"alphabet", "YW*J", "**** Error: Payload is not valid base64: a byte outside the alphabet at offset 2"},
        BadPayload{"padding", "YW=J", "**** Error: Payload is not valid base64: a misplaced '=' at offset 3"},
        BadPayload{"empty", "", ""}),
    [](const ::testing::TestParamInfo<BadPayload>& info) { return std::string(info.param.name); });

// Two hosts from one folder receive updateDLL at the same moment, each with
// its own payload. Their temporary files never mix: RAZ.dll ends as one
// payload exactly, and a host that answered status 0 had its whole payload
// in place (the other one may have replaced it since).
TEST(UpdateDll, TwoHostsAtTheSameMoment) {
  HostFolder folder("dll-two-hosts");
  std::mt19937 rng(13);
  std::string payloads[2];
  for (std::string& p : payloads) {
    p.resize(6 << 20);
    for (char& c : p) c = static_cast<char>(rng());
  }
  std::string requests[2] = {UpdateDll(Base64(payloads[0])), UpdateDll(Base64(payloads[1]))};
  Conversation first(folder.winExe(), Behaviour(""));
  Conversation second(folder.winExe(), Behaviour(""));
  Conversation* hosts[2] = {&first, &second};
  std::string version = AnnouncedVersion(first, false);
  AnnouncedVersion(second, false);

  std::thread other([&] { second.Send(requests[1]); });
  first.Send(requests[0]);
  other.join();
  bool saved[2];
  for (int i = 0; i < 2; ++i) {
    HostMessage m = NextMessage(*hosts[i], 60000);
    saved[i] = m.raw == "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"" + version + "\"}";
    EXPECT_TRUE(saved[i] || m.raw == kUpdateFailed) << m.raw;
  }
  for (Conversation* c : hosts) {
    c->CloseInput();
    EXPECT_EQ(c->Wait(60000), 0);
    EXPECT_EQ(c->FrameErrors(), "");
  }

  std::string engine = folder.Read("RAZ.dll");
  int winner = engine == payloads[0] ? 0 : engine == payloads[1] ? 1 : -1;
  ASSERT_NE(winner, -1) << "RAZ.dll is neither payload: " << engine.size() << " bytes";
  EXPECT_TRUE(saved[winner]) << "the payload in place belongs to a host that reported failure";
  EXPECT_TRUE(saved[0] || saved[1]);
  EXPECT_EQ(Joined(TemporaryFiles(folder.dir())), "");
  std::vector<std::string> log = LogLines(folder.Log());
  for (int i = 0; i < 2; ++i) {
    if (saved[i]) {
      EXPECT_TRUE(Contains(log, "Written " + std::to_string(payloads[i].size()) + " bytes"));
    }
  }
}

// ---------------------------------------------------------------------------
// updateNative: the deployed host writes the payload into .staged, starts it
// with --update and its process id and closes, leaving the manifest in place;
// the child waits for it, removes the engine, replaces the deployed exe with
// a copy of itself and writes the manifest again.

TEST(UpdateNative, HandsOverToTheStagedChild) {
  Wine& wine = Wine::Get();
  const std::string exeName = "lumiclip-chrome-plugin.exe";
  const std::string manifestName = "lumiclip-native-manifest.json";
  const std::string deployed = DeployFresh("native-source");
  if (::testing::Test::HasFailure()) return;
  const std::string manifest = ReadFile(deployed + "/" + manifestName);
  // A stale manifest shows that the child writes it afresh.
  WriteFile(deployed + "/" + manifestName, "stale");
  WriteFile(deployed + "/raz.dll", BinFile("RAZ.dll"));

  // Trailing bytes keep it a working program but tell it from the old one.
  const std::string payload = BinFile(exeName) + std::string(1000, 'N');
  ASSERT_NE(payload, ReadFile(deployed + "/" + exeName));
  const std::string winDeployed = wine.WinPath(deployed);
  {
    Conversation parent(winDeployed + "\\" + exeName, Behaviour(""));
    AnnouncedVersion(parent, true);
    // The engine in use must be let go of before the child deletes it.
    parent.Send(Echo("parent"));
    ExpectEcho(parent, "parent");
    parent.Send("{\"JSONCommand\":\"updateNative\",\"data\":\"" + Base64(payload) + "\"}");
    // The parent answers nothing on success and ends by itself.
    HostMessage m = NextMessage(parent, 30000);
    EXPECT_EQ(m.topic, "<none>") << m.raw;
    EXPECT_EQ(parent.Wait(30000), 0);
    EXPECT_EQ(parent.FrameErrors(), "");
  }

  const std::string childLogPath = deployed + "/.staged/native-lumiclip.log";
  bool done = WaitUntil(
      [&] {
        std::vector<std::string> l = LogLines(ReadFile(childLogPath));
        return !l.empty() && l.back() == "Exit";
      },
      20000);
  std::string childLog = ReadFile(childLogPath);
  ASSERT_TRUE(done) << childLog;

  std::vector<std::string> child = LogLines(childLog);
  ASSERT_GE(child.size(), 3u) << childLog;
  const std::string pidLine = child[2];
  ASSERT_TRUE(StartsWith(pidLine, "Parent PID: ")) << childLog;
  const std::string pid = pidLine.substr(12);
  EXPECT_GT(std::atoi(pid.c_str()), 0) << childLog;
  std::vector<std::string> expected = {"Started", "With command: 4", pidLine};
  // The parent may be gone before the child looks for it.
  if (child.size() > 3 && StartsWith(child[3], "Waiting parent process ")) {
    expected.push_back("Waiting parent process " + pid + " to close...");
    expected.push_back("The parent process has closed!");
  }
  for (const std::string& l :
       {std::string("Deleting raz.dll..."), std::string("Copying myself..."), winDeployed + "\\" + exeName,
        std::string("Extracting manifest..."), "Written " + std::to_string(manifest.size()) + " bytes",
        std::string("Done"), std::string("Exit")}) {
    expected.push_back(l);
  }
  EXPECT_EQ(Joined(child), Joined(expected));

  std::vector<std::string> trace = TraceLines(ReadFile(deployed + "/" + kTraceFile));
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[trace.size() - 2], "finish") << Joined(trace);
  EXPECT_EQ(trace.back(), "dllmain detach") << Joined(trace);
  EXPECT_FALSE(FileExists(deployed + "/raz.dll"));
  EXPECT_FALSE(FileExists(deployed + "/RAZ.dll"));
  EXPECT_TRUE(ReadFile(deployed + "/" + exeName) == payload) << "the deployed exe is not the payload";
  EXPECT_EQ(Joined(TemporaryFiles(deployed)), "");
  EXPECT_TRUE(ReadFile(deployed + "/.staged/" + exeName) == payload) << "the staged exe is not the payload";
  EXPECT_EQ(manifest.size(), 562u);
  EXPECT_EQ(ReadFile(deployed + "/" + manifestName), manifest);
  EXPECT_EQ(nlohmann::json::parse(manifest)["path"], exeName);

  std::vector<std::string> parentLog = LogLines(ReadFile(deployed + "/native-lumiclip.log"));
  std::vector<std::string> handOver = Slice(parentLog, "Updating myself...", 9);
  ASSERT_EQ(handOver.size(), 9u) << Joined(parentLog);
  const std::string staged = winDeployed + "\\.staged\\" + exeName;
  std::vector<std::string> parentExpected = {
      "Updating myself...",
      "Writing staged file...",
      "Saving to file: " + staged,
      "Written " + std::to_string(payload.size()) + " bytes",
      "Executing child process " + staged + "...",
      handOver[5],
      "Closing...",
      "Got 'terminate' command.",
      "Exit",
  };
  ASSERT_TRUE(StartsWith(handOver[5], "Exec result: ")) << Joined(parentLog);
  EXPECT_GT(std::atoi(handOver[5].c_str() + 13), 32);
  EXPECT_EQ(Joined(handOver), Joined(parentExpected));
  EXPECT_EQ(parentLog.back(), "Exit");

  // The browser starts the new host, which has no engine yet.
  Conversation next(winDeployed + "\\" + exeName, Behaviour(""));
  AnnouncedVersion(next, false);
  next.CloseInput();
  EXPECT_EQ(next.Wait(), 0);
}

// A payload that cannot be staged: status 1, the host closes, no child is
// started and the manifest stays.
TEST(UpdateNative, RejectedPayloadKeepsTheManifestAndClosesTheHost) {
  Wine& wine = Wine::Get();
  const std::string deployed = wine.AppData() + "/Lumiclip";
  const std::string manifestPath = deployed + "/lumiclip-native-manifest.json";
  ASSERT_EQ(std::system(("rm -rf '" + deployed + "' && mkdir -p '" + deployed + "'").c_str()), 0);
  WriteFile(manifestPath, "the manifest in place");
  HostFolder folder("native-rejected");
  {
    Conversation c(folder.winExe(), Behaviour(""));
    AnnouncedVersion(c, false);
    c.Send("{\"JSONCommand\":\"updateNative\",\"data\":\"TVq*\"}");
    EXPECT_EQ(NextMessage(c).raw,
              "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error writing staged native file\"}");
    EXPECT_EQ(NextMessage(c, 10000).topic, "<none>");
    EXPECT_EQ(c.Wait(10000), 0);
    EXPECT_EQ(c.FrameErrors(), "");
  }
  EXPECT_EQ(ReadFile(manifestPath), "the manifest in place");
  EXPECT_FALSE(FileExists(deployed + "/.staged/lumiclip-chrome-plugin.exe"));
  EXPECT_FALSE(FileExists(deployed + "/.staged/native-lumiclip.log"));
  std::vector<std::string> log = LogLines(folder.Log());
  std::vector<std::string> expected = {
      "Updating myself...",
      "Writing staged file...",
      "Saving to file: " + wine.WinPath(deployed) + "\\.staged\\lumiclip-chrome-plugin.exe",
      "**** Error: Payload is not valid base64: a byte outside the alphabet at offset 3",
      "**** Error: Exe not saved.",
      "Closing...",
      "Got 'terminate' command.",
      "Exit",
  };
  EXPECT_EQ(Joined(Slice(log, "Updating myself...", expected.size() + 1)), Joined(expected)) << folder.Log();
}

// updateNative pumped by the engine from a window timer, with no engine call
// running: the parent closes only after the timer procedure has returned,
// and the staged child completes the hand-over.
TEST(UpdateNative, PumpedFromAnEngineTimerHandsOverAfterTheTimerReturns) {
  Wine& wine = Wine::Get();
  const std::string exeName = "lumiclip-chrome-plugin.exe";
  const std::string deployed = DeployFresh("native-timer-source");
  if (::testing::Test::HasFailure()) return;
  WriteFile(deployed + "/raz.dll", BinFile("RAZ.dll"));
  const std::string payload = BinFile(exeName) + std::string(1000, 'T');
  const std::string winDeployed = wine.WinPath(deployed);
  const std::string tracePath = deployed + "/" + kTraceFile;
  {
    Conversation parent(winDeployed + "\\" + exeName, Behaviour(""));
    AnnouncedVersion(parent, true);
    parent.Send("{\"JSONFunction\":\"timerpump\"}");
    EXPECT_EQ(NextMessage(parent).raw, "{\"topic\":\"timer-armed\", \"data\":\"1\"}");
    ASSERT_TRUE(WaitUntil([&] { return Contains(TraceLines(ReadFile(tracePath)), "timer fired"); }, 20000))
        << ReadFile(tracePath);
    parent.Send("{\"JSONCommand\":\"updateNative\",\"data\":\"" + Base64(payload) + "\"}");
    EXPECT_EQ(NextMessage(parent).raw, "{\"topic\":\"timer-pumped\", \"data\":\"0\"}");
    HostMessage m = NextMessage(parent, 30000);
    EXPECT_EQ(m.topic, "<none>") << m.raw;
    EXPECT_EQ(parent.Wait(30000), 0);
    EXPECT_EQ(parent.FrameErrors(), "");
  }
  const std::string childLogPath = deployed + "/.staged/native-lumiclip.log";
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::vector<std::string> l = LogLines(ReadFile(childLogPath));
        return !l.empty() && l.back() == "Exit";
      },
      20000))
      << ReadFile(childLogPath);
  EXPECT_TRUE(ReadFile(deployed + "/" + exeName) == payload) << "the deployed exe is not the payload";
  EXPECT_FALSE(FileExists(deployed + "/raz.dll"));
  std::vector<std::string> events =
      TraceEvents(TraceLines(ReadFile(tracePath)), {"timer", "finish", "dllmain detach"});
  EXPECT_EQ(Joined(events), Joined({"timer fired", "timer returns", "finish", "dllmain detach"}));
  std::vector<std::string> parentLog = LogLines(ReadFile(deployed + "/native-lumiclip.log"));
  EXPECT_TRUE(Contains(parentLog, "Holding 'updateNative' until the engine call returns")) << Joined(parentLog);
  EXPECT_EQ(parentLog.back(), "Exit");
}

// ---------------------------------------------------------------------------
// Another host runs all along, as the hosts of other ports, profiles and
// browsers do: it holds the engine loaded, or runs the deployed executable,
// files that Windows will not replace or delete but lets be renamed. The
// update still succeeds, the other host keeps answering with its engine, the
// next host gets the new file, and once the other host has closed, a later
// host's start leaves no temporary file behind.

const char kPing[] = "{\"JSONCommand\":\"ping\"}";
const char kPong[] = "{\"topic\":\"pong\"}";

void ExpectAnswers(Conversation& c, const std::string& tag) {
  c.Send(kPing);
  EXPECT_EQ(NextMessage(c).raw, kPong);
  c.Send(Echo(tag));
  ExpectEcho(c, tag);
}

// A host started once every other one has closed; its start removes what is
// left (the old files, moved aside while in use), before it answers the ping.
void ExpectCleanStart(const std::string& winExe, const std::string& dir, bool engineThere, int left) {
  EXPECT_EQ(TemporaryFiles(dir).size(), static_cast<size_t>(left)) << Joined(TemporaryFiles(dir));
  Conversation later(winExe, Behaviour(""));
  AnnouncedVersion(later, engineThere);
  later.Send(kPing);
  EXPECT_EQ(NextMessage(later).raw, kPong);
  later.CloseInput();
  EXPECT_EQ(later.Wait(), 0);
  EXPECT_EQ(Joined(TemporaryFiles(dir)), "");
  std::vector<std::string> log = LogLines(ReadFile(dir + "/native-lumiclip.log"));
  EXPECT_TRUE(Contains(log, "Leftover temporary files removed: " + std::to_string(left))) << Joined(log);
}

TEST(AnotherHostRuns, UpdateDllReplacesTheEngineItHasLoaded) {
  HostFolder folder("busy-dll");
  folder.CopyFromBin("RAZ.dll");
  // What crashes left, removed at the next start, and a name that is not one
  // of the host's own, which stays.
  folder.Write("RAZ.dll.4000000000.1~", "cut off");
  folder.Write("lumiclip-chrome-plugin.exe.4000000000.2~", "cut off");
  folder.Write("RAZ.dll.4000000000.1", "not a temporary name");
  const std::string payload = BinFile("RAZ.dll") + "a newer build";
  Conversation other(folder.winExe(), Behaviour(""));
  std::string version = AnnouncedVersion(other, true);
  other.Send(Echo("loaded"));
  ExpectEcho(other, "loaded");
  EXPECT_EQ(Joined(TemporaryFiles(folder.dir())), "");
  EXPECT_TRUE(folder.Exists("RAZ.dll.4000000000.1"));
  EXPECT_TRUE(Contains(LogLines(folder.Log()), "Leftover temporary files removed: 2")) << folder.Log();
  {
    Conversation updater(folder.winExe(), Behaviour(""));
    AnnouncedVersion(updater, true);
    updater.Send(UpdateDll(Base64(payload)));
    ExpectStatus0(updater, version);
    EXPECT_TRUE(folder.Read("RAZ.dll") == payload) << "RAZ.dll differs from the payload";
    ExpectAnswers(updater, "updater");
    ExpectAnswers(other, "other");
    Conversation next(folder.winExe(), Behaviour(""));
    AnnouncedVersion(next, true);
    ExpectAnswers(next, "next");
    for (Conversation* c : {&next, &updater}) {
      c->CloseInput();
      EXPECT_EQ(c->Wait(), 0);
      EXPECT_EQ(c->FrameErrors(), "");
    }
  }
  ExpectAnswers(other, "still");
  other.CloseInput();
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(other.FrameErrors(), "");
  ExpectCleanStart(folder.winExe(), folder.dir(), true, 1);
  EXPECT_TRUE(folder.Read("RAZ.dll") == payload) << "RAZ.dll differs from the payload";
  for (const std::string& line : LogLines(folder.Log())) {
    EXPECT_FALSE(StartsWith(line, "**** Error")) << folder.Log();
  }
}

TEST(AnotherHostRuns, UpdateNativeReplacesTheRunningExecutable) {
  Wine& wine = Wine::Get();
  const std::string exeName = "lumiclip-chrome-plugin.exe";
  const std::string deployed = DeployFresh("busy-native-source");
  if (::testing::Test::HasFailure()) return;
  WriteFile(deployed + "/raz.dll", BinFile("RAZ.dll"));
  const std::string payload = BinFile(exeName) + std::string(1000, 'B');
  const std::string winExe = wine.WinPath(deployed) + "\\" + exeName;
  Conversation other(winExe, Behaviour(""));
  AnnouncedVersion(other, true);
  other.Send(Echo("loaded"));
  ExpectEcho(other, "loaded");
  {
    Conversation updater(winExe, Behaviour(""));
    AnnouncedVersion(updater, true);
    updater.Send("{\"JSONCommand\":\"updateNative\",\"data\":\"" + Base64(payload) + "\"}");
    HostMessage m = NextMessage(updater, 30000);
    EXPECT_EQ(m.topic, "<none>") << m.raw;
    EXPECT_EQ(updater.Wait(30000), 0);
  }
  const std::string childLogPath = deployed + "/.staged/native-lumiclip.log";
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::vector<std::string> l = LogLines(ReadFile(childLogPath));
        return !l.empty() && l.back() == "Exit";
      },
      30000))
      << ReadFile(childLogPath);
  std::vector<std::string> child = LogLines(ReadFile(childLogPath));
  EXPECT_TRUE(Contains(child, "Copying myself...")) << Joined(child);
  for (const std::string& line : child) EXPECT_FALSE(StartsWith(line, "**** Error")) << Joined(child);
  EXPECT_TRUE(ReadFile(deployed + "/" + exeName) == payload) << "the deployed exe is not the payload";
  ExpectAnswers(other, "other");
  // The next host is the new one, and asks for an engine.
  Conversation next(winExe, Behaviour(""));
  AnnouncedVersion(next, false);
  next.Send(kPing);
  EXPECT_EQ(NextMessage(next).raw, kPong);
  next.CloseInput();
  EXPECT_EQ(next.Wait(), 0);

  ExpectAnswers(other, "still");
  other.CloseInput();
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(other.FrameErrors(), "");
  ExpectCleanStart(winExe, deployed, false, 2);
  EXPECT_EQ(Joined(TemporaryFiles(deployed + "/.staged")), "");
  EXPECT_TRUE(ReadFile(deployed + "/" + exeName) == payload) << "the deployed exe is not the payload";
}

}  // namespace
}  // namespace lumiclip::itest
