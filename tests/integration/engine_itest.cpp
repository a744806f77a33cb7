// The real host with the real sample engine under wine: the order of the
// engine's entry calls, what its callbacks turn into on the channel, the
// x87 control word across load and unload, the pump, and load failures.
#include <gtest/gtest.h>

#include <chrono>

#include <nlohmann/json.hpp>

#include "big_text.h"
#include "engine_helpers.h"
#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kOperaVersion[] = "{\"JSONCommand\":\"setAddonVersion\",\"version\":\"3.1.4\",\"browser\":\"Opera\"}";
const char kChromeVersion[] = "{\"JSONCommand\":\"setAddonVersion\",\"version\":\"2.7.1\",\"browser\":\"Chrome\"}";
const char kTraceFile[] = "sample-engine-trace.txt";
const char kInitLine[] = "initLibrary size=" LUMICLIP_ENGINE_TABLE_SIZE
    " words=6,0,0,0,0,0 load=1 processLoad=1 behaviours=none result=1";

std::string Echo(const std::string& data) { return "{\"JSONFunction\":\"echo\",\"data\":\"" + data + "\"}"; }

std::map<std::string, std::string> Behaviour(const std::string& names) {
  return {{"SAMPLE_ENGINE_BEHAVIOUR", names}};
}

// A folder holding the host and the sample engine.
HostFolder EngineFolder(const std::string& name) {
  HostFolder folder(name);
  folder.CopyFromBin("RAZ.dll");
  return folder;
}

std::string UpdateDllWith(const std::string& bytes) {
  return "{\"JSONCommand\":\"updateDLL\",\"data\":\"" + Base64(bytes) + "\"}";
}

void ExpectEcho(Conversation& c, const std::string& data) {
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.topic, "echo") << m.raw;
  EXPECT_EQ(m.data, data) << m.raw;
}

// A ping answered proves that nothing else was sent before it.
void ExpectNothingBeforePong(Conversation& c) {
  c.Send("{\"JSONCommand\":\"ping\"}");
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.raw, "{\"topic\":\"pong\"}");
}

void CloseAndWait(Conversation& c) {
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");
}

// ---------------------------------------------------------------------------
// The order of the engine's entry calls.

TEST(EngineOrder, ReplaysAddonVersionBeforeRequestsAndFinishesAtClose) {
  HostFolder folder = EngineFolder("order-opera");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send(kOperaVersion);
  c.Send(Echo("one"));
  c.Send(Echo("two"));
  ExpectEcho(c, "one");
  ExpectEcho(c, "two");
  CloseAndWait(c);

  std::vector<std::string> expected = {
      "dllmain attach",
      kInitLine,
      "start browserId=6 callback=nonnull",
      CallLine(1, kOperaVersion),
      CallLine(2, Echo("one")),
      "emit topic=echo",
      "emitted topic=echo",
      CallLine(3, Echo("two")),
      "emit topic=echo",
      "emitted topic=echo",
      "finish",
      "dllmain detach",
  };
  EXPECT_EQ(Joined(TraceLines(folder.Read(kTraceFile))), Joined(expected));
}

TEST(EngineOrder, WithoutAddonVersionTheBrowserIsChromeAndTheReplayEmpty) {
  HostFolder folder = EngineFolder("order-chrome");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send(Echo("solo"));
  ExpectEcho(c, "solo");
  CloseAndWait(c);

  std::vector<std::string> expected = {
      "dllmain attach",
      kInitLine,
      "start browserId=5 callback=nonnull",
      "call n=1 name=JSONFunction zero1=0 zero2=0 depth=1 length=0 terminated=yes text=",
      CallLine(2, Echo("solo")),
      "emit topic=echo",
      "emitted topic=echo",
      "finish",
      "dllmain detach",
  };
  EXPECT_EQ(Joined(TraceLines(folder.Read(kTraceFile))), Joined(expected));
}

// An update of the engine mid-run unloads it; the next request loads it
// again with a cleared table, the browser id of now and the latest
// setAddonVersion text.
TEST(EngineOrder, ReloadAfterUpdateStartsWithAFreshTableAndTheCurrentBrowser) {
  HostFolder folder = EngineFolder("order-reload");
  std::string engine = folder.Read("RAZ.dll");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send(Echo("before"));
  ExpectEcho(c, "before");
  c.Send(kOperaVersion);
  c.Send(UpdateDllWith(engine));
  HostMessage status = NextMessage(c);
  EXPECT_EQ(status.topic, "status") << status.raw;
  EXPECT_EQ(status.code, "0") << status.raw;
  c.Send(Echo("after"));
  ExpectEcho(c, "after");
  c.Send("{\"JSONFunction\":\"state\"}");
  HostMessage state = NextMessage(c);
  ASSERT_EQ(state.topic, "state") << state.raw;
  nlohmann::json s = nlohmann::json::parse(state.data);
  EXPECT_EQ(s["browserId"], 6);
  EXPECT_EQ(s["addonVersion"], kOperaVersion);
  EXPECT_EQ(s["loads"], 1) << "the library was freed and mapped again";
  EXPECT_EQ(s["processLoads"], 2);
  CloseAndWait(c);
  EXPECT_EQ(folder.Read("RAZ.dll"), engine);

  std::vector<std::string> events = TraceEvents(
      TraceLines(folder.Read(kTraceFile)), {"dllmain", "initLibrary", "start", "call", "finish"});
  std::vector<std::string> expected = {
      "dllmain attach",
      kInitLine,
      "start browserId=5 callback=nonnull",
      "call n=1 name=JSONFunction zero1=0 zero2=0 depth=1 length=0 terminated=yes text=",
      CallLine(2, Echo("before")),
      "finish",
      "dllmain detach",
      "dllmain attach",
      "initLibrary size=" LUMICLIP_ENGINE_TABLE_SIZE
          " words=6,0,0,0,0,0 load=1 processLoad=2 behaviours=none result=1",
      "start browserId=6 callback=nonnull",
      CallLine(1, kOperaVersion),
      CallLine(2, Echo("after")),
      CallLine(3, "{\"JSONFunction\":\"state\"}"),
      "finish",
      "dllmain detach",
  };
  EXPECT_EQ(Joined(events), Joined(expected));
}

// ---------------------------------------------------------------------------
// The engine's view of the browser.

TEST(EngineState, ReflectsTheBrowserAndTheAddonText) {
  struct Case {
    const char* name;
    const char* version;
    int browserId;
  };
  for (const Case& k : {Case{"state-opera", kOperaVersion, 6}, Case{"state-chrome", kChromeVersion, 5}}) {
    SCOPED_TRACE(k.name);
    HostFolder folder = EngineFolder(k.name);
    Conversation c(folder.winExe(), Behaviour(""));
    ExpectAnnouncement(c, true);
    c.Send(k.version);
    c.Send("{\"JSONFunction\":\"state\"}");
    HostMessage m = NextMessage(c);
    ASSERT_EQ(m.topic, "state") << m.raw;
    nlohmann::json s = nlohmann::json::parse(m.data);
    EXPECT_EQ(s["browserId"], k.browserId);
    EXPECT_EQ(s["addonVersion"], k.version);
    EXPECT_EQ(s["loads"], 1);
    EXPECT_EQ(s["calls"], 2) << "the replay is the first call";
    EXPECT_EQ(s["depth"], 1);
    CloseAndWait(c);
  }
}

// Standard input is the host's alone: the engine finds the NUL device there,
// never the browser's pipe (a query of which would wait, on Windows, for the
// browser's next bytes), as it loads and in its calls, and so does the C
// runtime's descriptor 0.
TEST(EngineState, FindsNoPipeAsStandardInput) {
  HostFolder folder = EngineFolder("stdin");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send("{\"JSONFunction\":\"stdin\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"stdin\", \"data\":\"init=char call=char crt=char\"}");
  ExpectNothingBeforePong(c);
  CloseAndWait(c);
}

// ---------------------------------------------------------------------------
// Topics the engine sends from its start, replay and finish.

TEST(EngineTopics, FromStartNeverReachesTheBrowser) {
  HostFolder folder = EngineFolder("topic-start");
  Conversation c(folder.winExe(), Behaviour("start-topic"));
  ExpectAnnouncement(c, true);
  c.Send(Echo("x"));
  ExpectEcho(c, "x");
  ExpectNothingBeforePong(c);
  CloseAndWait(c);
  EXPECT_EQ(c.RawOutput().find("from-start"), std::string::npos);
  // The engine did emit it: the host dropped it.
  std::vector<std::string> trace = TraceLines(folder.Read(kTraceFile));
  EXPECT_TRUE(Contains(trace, "emit topic=from-start")) << Joined(trace);
}

TEST(EngineTopics, ReplayArrivesBeforeTheFirstReply) {
  HostFolder folder = EngineFolder("topic-replay");
  Conversation c(folder.winExe(), Behaviour("replay-topic"));
  ExpectAnnouncement(c, true);
  c.Send(kOperaVersion);
  c.Send(Echo("first"));
  HostMessage replay = NextMessage(c);
  EXPECT_EQ(replay.topic, "replay") << replay.raw;
  EXPECT_EQ(replay.data, kOperaVersion);
  ExpectEcho(c, "first");
  // Later requests are no replay.
  c.Send(Echo("second"));
  ExpectEcho(c, "second");
  CloseAndWait(c);
}

TEST(EngineTopics, FromFinishArrivesAfterTheInputCloses) {
  HostFolder folder = EngineFolder("topic-finish");
  Conversation c(folder.winExe(), Behaviour("finish-topic"));
  ExpectAnnouncement(c, true);
  c.Send(Echo("x"));
  ExpectEcho(c, "x");
  ExpectNothingBeforePong(c);
  c.CloseInput();
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.raw, "{\"topic\":\"from-finish\", \"data\":\"finish\"}");
  EXPECT_EQ(NextMessage(c, 5000).topic, "<none>");
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");
}

// ---------------------------------------------------------------------------
// An engine that cannot be loaded or driven: a box per request, nothing on
// the channel.

// The second chance is the host's own folder only: a RAZ.DLL in a folder on
// PATH or in the current directory (anyone may own such a folder) is never
// loaded.
TEST(EngineLoadFailure, MissingEngineShowsABoxOnEveryRequest) {
  Wine& wine = Wine::Get();
  HostFolder folder("fail-missing");
  HostFolder onPath("fail-missing-on-path");
  HostFolder current("fail-missing-current");
  onPath.CopyFromBin("lumiclip-plant.dll", "RAZ.DLL");
  current.CopyFromBin("lumiclip-plant.dll", "RAZ.DLL");
  std::map<std::string, std::string> env = RelayBoxEnv();
  env["WINEPATH"] = wine.WinPath(onPath.dir());
  ProcessResult r = RunHostOnce(folder.winExe(), FrameOf(Echo("a")) + FrameOf(Echo("b")), env, current.dir());
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  std::string errors;
  std::vector<std::string> messages = MessagesIn(r.out, &errors);
  EXPECT_EQ(errors, "");
  ASSERT_EQ(messages.size(), 2u) << r.out;
  EXPECT_EQ(ParseMessage(messages[0]).topic, "hostVersion");
  EXPECT_EQ(messages[1], "{\"topic\":\"getDLL\"}");

  std::vector<Wine::Box> boxes = Wine::BoxesIn(r.err);
  ASSERT_EQ(boxes.size(), 2u) << r.err.substr(0, 4000);
  for (const Wine::Box& box : boxes) {
    EXPECT_EQ(box.text, "Failed to load RAZ.dll.\nPossibly reinstall should help.");
    EXPECT_EQ(box.caption, wine.WinPath(folder.Path("RAZ.dll")));
    EXPECT_EQ(box.flags, 0x10u);
  }
  EXPECT_EQ(Joined(PlantsThatRan(onPath.dir())) + Joined(PlantsThatRan(current.dir())), "");
}

// The XML library comes from the system's folder first, although a copy
// lies beside the host (where the Part has it looked for second) and others
// in the current directory; no library there runs, and the engine works.
TEST(EngineLoadFailure, SystemLibrariesComeFromTheSystemFolder) {
  HostFolder folder = EngineFolder("plants-beside");
  HostFolder current("plants-current");
  folder.CopyFromBin("lumiclip-plant.dll", "xmllite.dll");
  current.CopyFromBin("lumiclip-plant.dll", "xmllite.dll");
  current.CopyFromBin("lumiclip-plant.dll", "Shcore.dll");
  std::map<std::string, std::string> env = RelayBoxEnv();
  env["WINEDLLOVERRIDES"] = "xmllite,shcore=n,b";
  ProcessResult r = RunHostOnce(folder.winExe(), FrameOf(Echo("a")), env, current.dir());
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  std::string errors;
  std::vector<std::string> messages = MessagesIn(r.out, &errors);
  EXPECT_EQ(errors, "");
  ASSERT_EQ(messages.size(), 3u) << r.out;
  EXPECT_EQ(ParseMessage(messages[2]).data, "a") << messages[2];
  EXPECT_TRUE(Wine::AllBoxesIn(r.err).empty());
  EXPECT_EQ(Joined(PlantsThatRan(folder.dir())) + Joined(PlantsThatRan(current.dir())), "");
}

struct Undrivable {
  const char* name;
  const char* behaviour;
  const char* library;  // copied as RAZ.dll
  const char* initEnd;  // how the engine's initLibrary line ends; empty: no line
};

class EngineUndrivable : public ::testing::TestWithParam<Undrivable> {};

TEST_P(EngineUndrivable, ShowsTheLocatingBoxAndNeverStartsNorFinishes) {
  const Undrivable& k = GetParam();
  HostFolder folder(std::string("undrivable-") + k.name);
  folder.CopyFromBin(k.library, "RAZ.dll");
  std::map<std::string, std::string> env = RelayBoxEnv();
  env["SAMPLE_ENGINE_BEHAVIOUR"] = k.behaviour;
  ProcessResult r = RunHostOnce(folder.winExe(), FrameOf(Echo("a")) + FrameOf(Echo("b")), env);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  std::string errors;
  std::vector<std::string> messages = MessagesIn(r.out, &errors);
  EXPECT_EQ(errors, "");
  ASSERT_EQ(messages.size(), 2u) << r.out;
  EXPECT_EQ(ParseMessage(messages[0]).topic, "hostVersion");
  EXPECT_EQ(ParseMessage(messages[1]).topic, "status");

  std::vector<Wine::Box> boxes = Wine::BoxesIn(r.err);
  ASSERT_EQ(boxes.size(), 2u) << r.err.substr(0, 4000);
  for (const Wine::Box& box : boxes) {
    EXPECT_EQ(box.text, "Error locating Functions in RAZ.dll");
    EXPECT_EQ(box.caption, "Library not loaded");
    EXPECT_EQ(box.flags, 0x10u);
  }
  std::string trace = folder.Read(kTraceFile);
  EXPECT_EQ(trace.find("\nstart "), std::string::npos) << trace;
  EXPECT_EQ(trace.find("\ncall "), std::string::npos) << trace;
  EXPECT_EQ(trace.find("\nfinish"), std::string::npos) << trace;  // never started, so never finished
  if (k.initEnd[0] == '\0') {
    EXPECT_EQ(trace, "");
  } else {
    std::vector<std::string> lines = TraceLines(trace);
    ASSERT_GE(lines.size(), 2u) << trace;
    EXPECT_EQ(lines[0], "dllmain attach");
    EXPECT_TRUE(StartsWith(lines[1], "initLibrary size=" LUMICLIP_ENGINE_TABLE_SIZE
        " words=6,0,0,0,0,0 load=1 ")) << trace;
    EXPECT_NE(lines[1].find(std::string(" behaviours=") + k.behaviour + " " + k.initEnd), std::string::npos)
        << trace;
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, EngineUndrivable,
                         ::testing::Values(Undrivable{"initfails", "init-fails", "RAZ.dll", "result=0 reason=init-fails"},
                                           Undrivable{"nostart", "no-start", "RAZ.dll", "result=1"},
                                           Undrivable{"nocall", "no-call", "RAZ.dll", "result=1"},
                                           Undrivable{"noinit", "", "RAZ-noinit.dll", ""}),
                         [](const ::testing::TestParamInfo<Undrivable>& info) { return std::string(info.param.name); });

// An engine that failed to load is of no use to the host, and the browser's
// remedy is to send a working one: the failed library must not stay mapped
// and block that update.
TEST(EngineLoadFailure, AnUndrivableEngineCanBeReplacedByAnUpdate) {
  HostFolder folder("fail-replace");
  folder.CopyFromBin("RAZ-noinit.dll", "RAZ.dll");
  std::string engine = ReadFile(Wine::Get().bin() + "/RAZ.dll");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send(Echo("lost"));  // the locating box; nothing on the channel
  c.Send(UpdateDllWith(engine));
  HostMessage status = NextMessage(c);
  EXPECT_EQ(status.topic, "status") << status.raw;
  EXPECT_EQ(status.code, "0") << status.raw << "\n" << folder.Log();
  c.Send(Echo("found"));
  ExpectEcho(c, "found");
  CloseAndWait(c);
  EXPECT_TRUE(folder.Read("RAZ.dll") == engine) << "RAZ.dll was not replaced";
}

// ---------------------------------------------------------------------------
// An engine without a finish entry is never freed: it stays mapped when the
// host unloads it, so its file cannot be replaced (wine, as Windows, refuses
// to move a file over a mapped library), only renamed, and every later load
// of its path in that process gets the old mapping back (a mapped module
// keeps its name). The update moves the mapped file aside, puts the new one
// in place, answers the failure and closes the host; the next host loads the
// new file, and its start removes the old one, which no process maps any
// more.

TEST(EngineNoFinish, StaysMappedSoTheUpdateClosesTheHostForTheNextOne) {
  HostFolder folder = EngineFolder("nofinish");
  std::string engine = folder.Read("RAZ.dll");
  {
    Conversation c(folder.winExe(), Behaviour("no-finish"));
    ExpectAnnouncement(c, true);
    c.Send(Echo("one"));
    ExpectEcho(c, "one");
    // A payload that differs from the file, so that the replacement shows.
    c.Send(UpdateDllWith(engine + "appended bytes"));
    HostMessage status = NextMessage(c);
    EXPECT_EQ(status.raw, "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}");
    // It closes by itself, its input still open.
    EXPECT_EQ(c.Wait(), 0);
    EXPECT_EQ(c.FrameErrors(), "");
  }
  EXPECT_TRUE(folder.Read("RAZ.dll") == engine + "appended bytes") << "RAZ.dll was not replaced";
  // The old file, moved aside while mapped, waits for a later start.
  EXPECT_EQ(TemporaryFiles(folder.dir()).size(), 1u) << Joined(TemporaryFiles(folder.dir()));
  std::vector<std::string> log = Lines(folder.Log());
  int done = IndexOf(log, "Done");
  EXPECT_GE(done, 0) << folder.Log();
  EXPECT_GT(
      IndexOf(log, "**** Error: The old RAZ.dll stays loaded in this host; the next host loads the new one.",
              done),
      done)
      << folder.Log();
  EXPECT_TRUE(Contains(log, "Got 'terminate' command.")) << folder.Log();

  std::vector<std::string> trace = TraceLines(folder.Read(kTraceFile));
  std::vector<std::string> events = TraceEvents(trace, {"dllmain", "initLibrary", "start", "finish"});
  std::vector<std::string> expected = {
      "dllmain attach",
      "initLibrary size=" LUMICLIP_ENGINE_TABLE_SIZE
          " words=6,0,0,0,0,0 load=1 processLoad=1 behaviours=no-finish result=1",
      "start browserId=5 callback=nonnull",
      // No finish and no detach at the update: only the process end detaches.
      "dllmain detach",
  };
  EXPECT_EQ(Joined(events), Joined(expected)) << Joined(trace);
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), "dllmain detach");

  // The new file is a working engine, and the old one is gone.
  Conversation again(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(again, true);
  again.Send(Echo("again"));
  ExpectEcho(again, "again");
  CloseAndWait(again);
  EXPECT_EQ(Joined(TemporaryFiles(folder.dir())), "");
  std::vector<std::string> later = TraceLines(folder.Read(kTraceFile));
  EXPECT_EQ(later.size() > trace.size() + 1 ? later[trace.size() + 1] : "", kInitLine);
}

// ---------------------------------------------------------------------------
// The x87 control word.

int FpuWordIn(Conversation& c) {
  c.Send("{\"JSONFunction\":\"fpuword\"}");
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.topic, "fpuword") << m.raw;
  return m.topic == "fpuword" ? std::stoi(m.data) : -1;
}

// The word a plain host runs its requests with.
int BaselineFpuWord() {
  static int word = [] {
    HostFolder folder = EngineFolder("fpu-baseline");
    Conversation c(folder.winExe(), Behaviour(""));
    ExpectAnnouncement(c, true);
    int w = FpuWordIn(c);
    CloseAndWait(c);
    return w;
  }();
  return word;
}

constexpr int kForeignWord = 0x0E7F;

TEST(EngineFpu, LoadKeepsTheHostWord) {
  int baseline = BaselineFpuWord();
  ASSERT_GT(baseline, 0);
  ASSERT_NE(baseline, kForeignWord);
  for (const char* behaviour : {"fpu-init", "fpu-start"}) {
    SCOPED_TRACE(behaviour);
    HostFolder folder = EngineFolder(std::string("fpu-load-") + behaviour);
    Conversation c(folder.winExe(), Behaviour(behaviour));
    ExpectAnnouncement(c, true);
    EXPECT_EQ(FpuWordIn(c), baseline);
    CloseAndWait(c);
    // The engine did change it while loading.
    EXPECT_NE(folder.Read(kTraceFile).find(std::string("behaviours=") + behaviour), std::string::npos);
  }
}

// A word left by finish would be what the next load saves and restores.
TEST(EngineFpu, UnloadKeepsTheHostWord) {
  int baseline = BaselineFpuWord();
  ASSERT_NE(baseline, kForeignWord);
  HostFolder folder = EngineFolder("fpu-finish");
  std::string engine = folder.Read("RAZ.dll");
  Conversation c(folder.winExe(), Behaviour("fpu-finish"));
  ExpectAnnouncement(c, true);
  EXPECT_EQ(FpuWordIn(c), baseline);
  c.Send(UpdateDllWith(engine));
  HostMessage status = NextMessage(c);
  EXPECT_EQ(status.code, "0") << status.raw;
  EXPECT_EQ(FpuWordIn(c), baseline);
  CloseAndWait(c);
  std::vector<std::string> trace = TraceLines(folder.Read(kTraceFile));
  EXPECT_TRUE(Contains(trace, "finish")) << Joined(trace);
}

TEST(EngineFpu, WordChangedDuringACallStaysChanged) {
  int baseline = BaselineFpuWord();
  HostFolder folder = EngineFolder("fpu-call");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send("{\"JSONFunction\":\"fpu\",\"word\":" + std::to_string(kForeignWord) + "}");
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.topic, "fpu") << m.raw;
  EXPECT_EQ(m.data, std::to_string(baseline));
  EXPECT_EQ(FpuWordIn(c), kForeignWord);
  CloseAndWait(c);
}

// ---------------------------------------------------------------------------
// The pump: the engine asks the host to handle waiting requests while its
// own call runs.

TEST(EnginePump, WithNothingWaitingOnlyPumpedArrives) {
  HostFolder folder = EngineFolder("pump-idle");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send("{\"JSONFunction\":\"pump\"}");
  HostMessage m = NextMessage(c);
  EXPECT_EQ(m.raw, "{\"topic\":\"pumped\", \"data\":\"2\"}");
  ExpectNothingBeforePong(c);
  CloseAndWait(c);
  EXPECT_EQ(c.RawOutput().find("_internalPumpMessage"), std::string::npos);
}

TEST(EnginePump, HandlesExactlyOneWaitingRequestPerPump) {
  HostFolder folder = EngineFolder("pump-two");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.SendRaw(FrameOf("{\"JSONFunction\":\"pump\"}") + FrameOf("{\"JSONCommand\":\"ping\"}") +
            FrameOf("{\"JSONCommand\":\"ping\"}"));
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pong\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pumped\", \"data\":\"2\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pong\"}");
  // A request pumped in runs nested inside the pumping call.
  c.SendRaw(FrameOf("{\"JSONFunction\":\"pump\"}") + FrameOf("{\"JSONFunction\":\"state\"}"));
  HostMessage state = NextMessage(c);
  ASSERT_EQ(state.topic, "state") << state.raw;
  EXPECT_EQ(nlohmann::json::parse(state.data)["depth"], 2);
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pumped\", \"data\":\"3\"}");
  CloseAndWait(c);
}

// An update pumped in is held until the call returns; its failure then
// closes the host, and what waits after it is never read.
TEST(EnginePump, FailedUpdateHeldDuringTheCallClosesTheHostAfterIt) {
  HostFolder folder = EngineFolder("pump-update");
  std::string engine = folder.Read("RAZ.dll");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.SendRaw(FrameOf("{\"JSONFunction\":\"pump\",\"count\":1}") +
            FrameOf("{\"JSONCommand\":\"updateDLL\",\"data\":\"YW\\\\nJj\"}") +
            FrameOf("{\"JSONCommand\":\"ping\"}"));
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pumped\", \"data\":\"2\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}");
  EXPECT_EQ(NextMessage(c, 10000).topic, "<none>");
  EXPECT_EQ(c.Wait(), 0) << "the host closes by itself";
  EXPECT_EQ(c.FrameErrors(), "");
  EXPECT_EQ(folder.Read("RAZ.dll"), engine);
  std::vector<std::string> log = Lines(folder.Log());
  EXPECT_TRUE(Contains(log, "Holding 'updateDLL' until the engine call returns")) << folder.Log();
  EXPECT_TRUE(Contains(log, "Got 'terminate' command.")) << folder.Log();
}

// A working update pumped in waits too: the engine is finished and freed
// only after the call that pumped has returned, never under it.
TEST(EnginePump, UpdateHeldDuringTheCallReplacesTheEngineAfterIt) {
  HostFolder folder = EngineFolder("pump-update-ok");
  std::string engine = folder.Read("RAZ.dll");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  // The pump waits a second for the update (longer than the host's ring) to
  // come; a pump takes a request only once it has arrived.
  c.SendRaw(FrameOf("{\"JSONFunction\":\"pump\",\"count\":1,\"delay\":1000}") +
            FrameOf(UpdateDllWith(engine)));
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pumped\", \"data\":\"2\"}");
  HostMessage status = NextMessage(c);
  EXPECT_EQ(status.topic, "status") << status.raw;
  EXPECT_EQ(status.code, "0") << status.raw;
  c.Send(Echo("reloaded"));
  ExpectEcho(c, "reloaded");
  CloseAndWait(c);
  std::vector<std::string> trace = TraceLines(folder.Read(kTraceFile));
  int pumped = IndexOf(trace, "emitted topic=pumped");
  int finish = IndexOf(trace, "finish");
  ASSERT_GE(pumped, 0) << Joined(trace);
  EXPECT_GT(finish, pumped) << Joined(trace);
  EXPECT_EQ(IndexOf(trace, "dllmain detach"), finish + 1) << Joined(trace);
  EXPECT_TRUE(Contains(Lines(folder.Log()), "Holding 'updateDLL' until the engine call returns")) << folder.Log();
}

// The engine asks for pumps from a window timer's procedure, which the host's
// idle loop dispatches with no engine call running: it pumps until a request
// has reached it, then once more. The update read there is carried out only
// after the procedure has returned: the old engine is finished and freed
// then.
TEST(EnginePump, UpdatePumpedFromAWindowTimerRunsAfterTheTimerReturns) {
  HostFolder folder = EngineFolder("pump-timer");
  const std::string payload = "MZ a newer build";
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.Send("{\"JSONFunction\":\"timerpump\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"timer-armed\", \"data\":\"1\"}");
  // Sent once the procedure runs, so that it is its pumps that read them.
  ASSERT_TRUE(WaitUntil([&] { return Contains(TraceLines(folder.Read(kTraceFile)), "timer fired"); }, 20000))
      << folder.Read(kTraceFile);
  c.SendRaw(FrameOf(Echo("in the timer")) + FrameOf(UpdateDllWith(payload)) +
            FrameOf("{\"JSONCommand\":\"ping\"}"));
  ExpectEcho(c, "in the timer");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"timer-pumped\", \"data\":\"0\"}");
  HostMessage status = NextMessage(c);
  EXPECT_EQ(status.topic, "status") << status.raw;
  EXPECT_EQ(status.code, "0") << status.raw;
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pong\"}");
  CloseAndWait(c);
  EXPECT_EQ(folder.Read("RAZ.dll"), payload);

  std::vector<std::string> events =
      TraceEvents(TraceLines(folder.Read(kTraceFile)), {"dllmain", "timer", "finish", "initLibrary", "call"});
  std::vector<std::string> expected = {
      "dllmain attach",
      kInitLine,
      "call n=1 name=JSONFunction zero1=0 zero2=0 depth=1 length=0 terminated=yes text=",
      CallLine(2, "{\"JSONFunction\":\"timerpump\"}"),
      "timer fired",
      CallLine(3, Echo("in the timer")),
      "timer returns",
      "finish",
      "dllmain detach"};
  EXPECT_EQ(Joined(events), Joined(expected));
  EXPECT_TRUE(Contains(Lines(folder.Log()), "Holding 'updateDLL' until the engine call returns")) << folder.Log();
}

// The engine's window timers are dispatched while a request is still
// arriving and during a long burst of requests: a 10 ms timer reports how
// long after arming it ran. And a pump asked for while a request is half
// sent takes what has come and returns at once.
TEST(EnginePump, WindowTimersFireWhileARequestIsHalfSentAndDuringABurst) {
  HostFolder folder = EngineFolder("timers");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  const std::string ping = FrameOf("{\"JSONCommand\":\"ping\"}");  // 26 bytes
  const std::string timer = FrameOf("{\"JSONFunction\":\"timer\"}");
  const std::string pong = "{\"topic\":\"pong\"}";
  auto expectFired = [&](const HostMessage& fired, const std::string& context) {
    EXPECT_EQ(fired.topic, "timer-fired") << context << ": " << fired.raw;
    if (fired.topic == "timer-fired") {
      EXPECT_LT(std::stoi(fired.data), 100) << context;
    }
  };
  // Half a request: 2 bytes of its length, or its length and 2 of its 22
  // bytes of body.
  for (size_t cut : {size_t{2}, size_t{6}}) {
    const std::string context = "cut after " + std::to_string(cut) + " bytes";
    c.SendRaw(timer + ping.substr(0, cut));
    EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"timer-armed\", \"data\":\"1\"}") << context;
    expectFired(NextMessage(c, 5000), context);
    c.SendRaw(ping.substr(cut));
    EXPECT_EQ(NextMessage(c).raw, pong) << context;
  }
  auto start = std::chrono::steady_clock::now();
  c.SendRaw(FrameOf("{\"JSONFunction\":\"pump\"}") + ping.substr(0, 6));
  EXPECT_EQ(NextMessage(c, 5000).raw, "{\"topic\":\"pumped\", \"data\":\"4\"}");  // the fourth call
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  c.SendRaw(ping.substr(6));
  EXPECT_EQ(NextMessage(c).raw, pong);

  // 10,000 pipelined pings right behind the request that arms the timer.
  constexpr int kBurst = 10000;
  std::string burst = timer;
  for (int i = 0; i < kBurst; ++i) burst += ping;
  c.SendRaw(burst);
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"timer-armed\", \"data\":\"1\"}");
  int pongs = 0;
  bool fired = false;
  while (pongs < kBurst || !fired) {
    HostMessage m = NextMessage(c);
    if (m.raw == pong) {
      ++pongs;
    } else {
      ASSERT_FALSE(fired) << m.raw;
      expectFired(m, "burst");
      fired = true;
      EXPECT_LT(pongs, kBurst) << "the timer waited for the whole burst";
    }
  }
  CloseAndWait(c);
}

TEST(EnginePump, TopicDifferingInCaseIsAnOrdinaryTopic) {
  HostFolder folder = EngineFolder("pump-case");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  c.SendRaw(FrameOf("{\"JSONFunction\":\"emit\",\"topic\":\"_InternalPumpMessage\",\"data\":\"d\"}") +
            FrameOf("{\"JSONCommand\":\"ping\"}"));
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"_InternalPumpMessage\", \"data\":\"d\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"pong\"}");
  CloseAndWait(c);
}

// ---------------------------------------------------------------------------
// Topic data on its way from UTF-16 to the browser.

TEST(EngineData, ArrivesEscapedAsValidJsonAndDecodesBack) {
  HostFolder folder = EngineFolder("data");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);

  // One backslash and one quote.
  c.Send("{\"JSONFunction\":\"emit\",\"topic\":\"t\",\"data\":\"\\\\\\\"\"}");
  HostMessage bq = NextMessage(c);
  EXPECT_EQ(bq.raw, "{\"topic\":\"t\", \"data\":\"\\\\\\\"\"}");
  EXPECT_TRUE(bq.json);
  EXPECT_EQ(bq.data, "\\\"");

  c.Send("{\"JSONFunction\":\"emit\",\"topic\":\"n\",\"nulldata\":true}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"n\", \"data\":\"\"}");

  const std::string wide = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € 😀
  c.Send(Echo(wide));
  HostMessage w = NextMessage(c);
  EXPECT_EQ(w.raw, "{\"topic\":\"echo\", \"data\":\"" + wide + "\"}");

  c.Send(Echo("a\\nb\\tc\\u0001d\\u001fe\\rf"));
  HostMessage ctl = NextMessage(c);
  EXPECT_TRUE(ctl.json) << ctl.raw;
  EXPECT_EQ(ctl.data, "a\nb\tc\x01" "d\x1f" "e\rf");
  for (char ch : ctl.raw) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << ctl.raw;

  c.Send("{\"JSONFunction\":\"emit\",\"topic\":\"caf\xC3\xA9\",\"data\":\"x\"}");
  EXPECT_EQ(NextMessage(c).raw, "{\"topic\":\"caf\xC3\xA9\", \"data\":\"x\"}");

  // A topic name that needs escaping stays valid JSON too.
  c.Send("{\"JSONFunction\":\"emit\",\"topic\":\"q\\\"t\",\"data\":\"x\"}");
  HostMessage qt = NextMessage(c);
  EXPECT_TRUE(qt.json) << qt.raw;
  EXPECT_EQ(qt.topic, "q\"t");
  CloseAndWait(c);
}

TEST(EngineData, BigTopicIsSplitIntoValidFramesAndArrivesWhole) {
  HostFolder folder = EngineFolder("big");
  Conversation c(folder.winExe(), Behaviour(""));
  ExpectAnnouncement(c, true);
  const size_t size = 3145728;
  c.Send("{\"JSONFunction\":\"big\",\"size\":" + std::to_string(size) + ",\"pattern\":\"mixed\"}");
  std::string message;
  ASSERT_TRUE(c.Next(&message, 60000));
  HostMessage m = ParseMessage(message);
  ASSERT_TRUE(m.json) << message.substr(0, 200);
  EXPECT_EQ(m.topic, "big");
  std::string expected = SampleBigTextUtf8(size, "mixed");
  EXPECT_EQ(m.data.size(), expected.size());
  EXPECT_TRUE(m.data == expected) << "the text differs";
  EXPECT_EQ(c.FrameErrors(), "");
  // More than one frame was needed.
  EXPECT_GT(c.RawOutput().size(), size + 3 * 15);
  ExpectNothingBeforePong(c);
  CloseAndWait(c);
}

}  // namespace
}  // namespace lumiclip::itest
