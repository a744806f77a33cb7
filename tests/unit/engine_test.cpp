#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/host_loop.h"
#include "engine/engine_callback.h"
#include "engine/engine_loader.h"
#include "fake/host_fixture.h"
#include "fake_engine.h"

namespace lumiclip::testing {
namespace {

class Engine : public HostFixture {
 protected:
  Engine() {
    engine.Install(os);
    os.inputClosed = false;
    TakeStandardInput();  // as host mode does first
  }

  // Hands one request to the host as the loop does.
  void Handle(const std::string& request) {
    os.Arrive(FrameOf(request));
    EXPECT_TRUE(HandleNextMessage(state));
  }
  std::vector<std::string> Messages() {
    std::string error;
    std::vector<std::string> messages = DecodeMessages(os.output, &error);
    EXPECT_EQ(error, "");
    return messages;
  }

  FakeEngine engine;
  HostState state;
};

TEST_F(Engine, LoadsOnTheFirstRequestAndCallsInOrder) {
  Handle("{\"JSONCommand\":\"setAddonVersion\",\"v\":\"Opera 1\"}");
  EXPECT_TRUE(engine.trace.empty());
  Handle("{\"f\":1}");
  Handle("{\"f\":2}");
  UnloadEngine(state);
  EXPECT_EQ(engine.trace, (std::vector<std::string>{
                              "init", "start 6",
                              "call JSONFunction 00 {\"JSONCommand\":\"setAddonVersion\",\"v\":\"Opera 1\"}",
                              "call JSONFunction 00 {\"f\":1}", "call JSONFunction 00 {\"f\":2}", "finish"}));
  EXPECT_EQ(engine.sizeOnEntry, static_cast<int32_t>(6 * sizeof(void*)));  // 24 in the product
  EXPECT_EQ(engine.wordsOnEntry[0], 6u);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(engine.wordsOnEntry[i], 0u) << i;
  EXPECT_EQ(os.modules["c:\\host\\raz.dll"].releases, 1);
  EXPECT_FALSE(state.engineLoaded);
  EXPECT_EQ(CurrentHostState(), nullptr);
  EXPECT_NE(os.Log().find("initLibrary, browser id: 6\r\n"), std::string::npos);
}

TEST_F(Engine, ReplaysAnEmptyTextWhenNoSetAddonVersionCame) {
  Handle("{\"f\":1}");
  ASSERT_GE(engine.trace.size(), 3u);
  EXPECT_EQ(engine.trace[1], "start 5");
  EXPECT_EQ(engine.trace[2], "call JSONFunction 00 ");  // length 0, still terminated
}

TEST_F(Engine, AReloadStartsAgainWithAFreshTableAndTheLatestState) {
  Handle("{\"f\":1}");
  UnloadEngine(state);
  engine.trace.clear();
  std::memset(engine.wordsOnEntry, 0xAB, sizeof(engine.wordsOnEntry));
  Handle("{\"JSONCommand\":\"setAddonVersion\",\"v\":\"Opera\"}");
  Handle("{\"f\":2}");
  EXPECT_EQ(engine.wordsOnEntry[0], 6u);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(engine.wordsOnEntry[i], 0u);
  EXPECT_EQ(engine.trace[1], "start 6");
}

TEST_F(Engine, TopicsFromStartAreDroppedFromReplayAndFinishDeliveredButFinishNeverPumps) {
  engine.inStart = [&] { engine.Emit("from-start", u"x"); };
  engine.inCall = [&](const std::string& text) {
    if (text.empty()) engine.Emit("replay", u"r");
  };
  bool stateDuringFinish = true;
  engine.inFinish = [&] {
    stateDuringFinish = CurrentHostState() != nullptr || state.engineLoaded;
    engine.Emit("_internalPumpMessage", nullptr);  // a request here would reach a finishing engine
    engine.Emit("from-finish", u"f");
  };
  Handle("{\"f\":1}");
  os.inputClosed = false;
  os.Arrive(FrameOf("{\"f\":2}"));
  UnloadEngine(state);
  engine.Emit("after-unload", u"late");  // as from the library's detach code
  engine.Emit("_internalPumpMessage", nullptr);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"{\"topic\":\"replay\", \"data\":\"r\"}",
                                                  "{\"topic\":\"from-finish\", \"data\":\"f\"}"}));
  EXPECT_FALSE(stateDuringFinish);
  EXPECT_EQ(os.Untaken(), FrameOf("{\"f\":2}"));
  EXPECT_EQ(engine.trace.back(), "finish");
}

TEST_F(Engine, AMissingEngineShowsItsBoxOnEveryRequest) {
  os.modules.erase("c:\\host\\raz.dll");
  Handle("{\"f\":1}");
  Handle("{\"f\":2}");
  ASSERT_EQ(os.boxes.size(), 2u);
  for (const FakeBox& box : os.boxes) {
    EXPECT_EQ(box.text, "Failed to load RAZ.dll.\nPossibly reinstall should help.");
    EXPECT_EQ(box.caption, "C:\\Host\\RAZ.dll");
    EXPECT_EQ(box.flags, 0x10u);
  }
  EXPECT_TRUE(os.Called("LoadApplicationModule(RAZ.dll)"));
  EXPECT_EQ(os.output, "");
  EXPECT_FALSE(state.engineLoaded);
  std::string log = os.Log();
  EXPECT_NE(log.find("initLibrary, browser id: 5\r\n{\"f\":2}\r\ninitLibrary, browser id: 5"), std::string::npos);
}

// The second chance is the host's own folder, never the system's search
// order: a RAZ.DLL in the current directory or on PATH (a bare name to the
// fake) or anywhere else is never loaded.
TEST_F(Engine, TheSecondChanceIsTheHostsFolderOnly) {
  os.failing = {"LoadModule:raz.dll"};
  Handle("{\"f\":1}");
  EXPECT_TRUE(state.engineLoaded);
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_TRUE(os.Called("LoadApplicationModule(RAZ.dll)"));
  UnloadEngine(state);

  FakeModule module = os.modules["c:\\host\\raz.dll"];
  module.loads = module.releases = 0;
  os.modules.erase("c:\\host\\raz.dll");
  os.failing.clear();
  os.modules["raz.dll"] = module;
  os.modules["c:\\plant\\raz.dll"] = module;
  Handle("{\"f\":2}");
  EXPECT_FALSE(state.engineLoaded);
  EXPECT_EQ(os.modules["raz.dll"].loads + os.modules["c:\\plant\\raz.dll"].loads, 0);
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].text, "Failed to load RAZ.dll.\nPossibly reinstall should help.");

  // Nor is a path that names no folder: the system would search for it.
  os.executablePath = "lumiclip-chrome-plugin.exe";
  Handle("{\"f\":3}");
  EXPECT_FALSE(os.Called("LoadModule(RAZ.dll)"));
  EXPECT_EQ(os.modules["raz.dll"].loads, 0);
}

TEST_F(Engine, InitFailureOrAMissingExportShowsTheLocatingBox) {
  engine.initFails = true;
  Handle("{\"f\":1}");
  engine.initFails = false;
  // Initialised, but without start or call: released without finish,
  // which may count on start having run.
  engine.noStart = true;
  Handle("{\"f\":2}");
  engine.noStart = false;
  engine.noCall = true;
  Handle("{\"f\":3}");
  os.modules["c:\\host\\raz.dll"].exports.clear();
  Handle("{\"f\":4}");
  ASSERT_EQ(os.boxes.size(), 4u);
  for (const FakeBox& box : os.boxes) {
    EXPECT_EQ(box.text, "Error locating Functions in RAZ.dll");
    EXPECT_EQ(box.caption, "Library not loaded");
    EXPECT_EQ(box.flags, 0x10u);
  }
  EXPECT_FALSE(state.engineLoaded);
  EXPECT_EQ(engine.trace, (std::vector<std::string>{"init", "init", "init"}));  // start, finish never called
  // Released each time, so that an update can replace the file.
  EXPECT_EQ(os.modules["c:\\host\\raz.dll"].releases, os.modules["c:\\host\\raz.dll"].loads);
}

// The system's copy first, then one beside the engine; never one that the
// system's search order would find elsewhere (a bare name to the fake).
TEST_F(Engine, XmlLiteIsProbedInTheSystemFolderThenBesideTheEngine) {
  os.AddModule("xmllite.dll");  // in the current directory, say
  os.AddModule("C:\\Host\\xmllite.dll");
  Handle("{\"f\":1}");
  EXPECT_EQ(os.modules["c:\\windows\\system32\\xmllite.dll"].releases, 1);  // found and released at once
  EXPECT_EQ(os.modules["c:\\host\\xmllite.dll"].loads, 0);
  UnloadEngine(state);

  os.modules.erase("c:\\windows\\system32\\xmllite.dll");
  Handle("{\"f\":2}");
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_EQ(os.modules["c:\\host\\xmllite.dll"].releases, 0);  // stays loaded
  UnloadEngine(state);

  os.modules.erase("c:\\host\\xmllite.dll");
  Handle("{\"f\":3}");
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].text, "Lumiclip needs XMLLITE.DLL for execution, please install it first.");
  EXPECT_EQ(os.boxes[0].caption, "Library not loaded");
  EXPECT_TRUE(state.engineLoaded);  // loading goes on all the same
  EXPECT_EQ(os.modules["xmllite.dll"].loads, 0);
}

TEST_F(Engine, AnEngineWithoutFinishIsNotReleasedButLoadsAgain) {
  engine.noFinish = true;
  Handle("{\"f\":1}");
  UnloadEngine(state);
  EXPECT_FALSE(state.engineLoaded);
  EXPECT_EQ(os.modules["c:\\host\\raz.dll"].releases, 0);
  Handle("{\"f\":2}");
  EXPECT_EQ(std::count(engine.trace.begin(), engine.trace.end(), "init"), 2);
}

// An engine still mapped after its unload (one without finish, or one that
// holds a reference to itself) is what every later load of its path gets
// back, whatever file has the name by then. An update puts the new file in
// place for the next host, and this one answers the failure and closes.
struct MappedCase {
  const char* name;
  bool noFinish, pinned;
};
class EngineUpdate : public Engine, public ::testing::WithParamInterface<MappedCase> {};

TEST_P(EngineUpdate, ClosesTheHostWhileTheOldEngineStaysMapped) {
  const MappedCase& c = GetParam();
  const bool staysMapped = c.noFinish || c.pinned;
  engine.noFinish = c.noFinish;
  os.modules["c:\\host\\raz.dll"].pinned = c.pinned;
  Handle("{\"f\":1}");
  Handle("{\"JSONCommand\":\"updateDLL\",\"data\":\"YWJj\"}");
  EXPECT_EQ(os.FileText("C:\\Host\\RAZ.dll"), "abc");
  EXPECT_EQ(Messages(),
            std::vector<std::string>{
                staysMapped ? "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}"
                            : "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"\"}"});
  EXPECT_EQ(state.terminate, staysMapped);
  EXPECT_FALSE(state.engineLoaded);
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineUpdate,
                         ::testing::Values(MappedCase{"Released", false, false},
                                           MappedCase{"WithoutFinish", true, false},
                                           MappedCase{"Pinned", false, true}),
                         [](const ::testing::TestParamInfo<MappedCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Engine, UnloadingWhatWasNeverLoadedDoesNothing) {
  UnloadEngine(state);
  EXPECT_TRUE(engine.trace.empty());
  EXPECT_FALSE(os.Called("ReleaseModule"));
}

TEST_F(Engine, TheFpuWordIsRestoredAroundLoadAndUnloadOnly) {
  os.fpuWord = 0x027F;
  engine.inInit = [&] { os.fpuWord = 0x0E7F; };
  engine.inStart = [&] { os.fpuWord = 0x0C7F; };
  Handle("{\"JSONCommand\":\"ping\"}");
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"fpu\":1}") os.fpuWord = 0x0A7F;
  };
  Handle("{\"f\":0}");
  EXPECT_EQ(os.fpuWord, 0x027F);
  Handle("{\"fpu\":1}");
  EXPECT_EQ(os.fpuWord, 0x0A7F);  // a change made during call stays
  engine.inFinish = [&] { os.fpuWord = 0x0E7F; };
  UnloadEngine(state);
  EXPECT_EQ(os.fpuWord, 0x0A7F);
  EXPECT_GE(os.fpuClears, 2);
}

TEST_F(Engine, AFailedLoadRestoresTheFpuWordToo) {
  os.fpuWord = 0x027F;
  engine.initFails = true;
  engine.inInit = [&] { os.fpuWord = 0x0E7F; };
  Handle("{\"f\":0}");
  EXPECT_EQ(os.fpuWord, 0x027F);
}

TEST_F(Engine, DataAndTopicsAreEscapedForJson) {
  engine.inCall = [&](const std::string& text) {
    if (text.empty()) return;
    engine.Emit("t\\\"", u"\\\"");
    engine.Emit("plain", nullptr);
    engine.Emit("caf\xc3\xa9", u"\u00e9\u20ac\U0001F600");
    engine.Emit("ctl", u"a\nb\tc\x01");
  };
  Handle("{\"f\":1}");
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0], "{\"topic\":\"t\\\\\\\"\", \"data\":\"\\\\\\\"\"}");
  EXPECT_EQ(messages[1], "{\"topic\":\"plain\", \"data\":\"\"}");
  EXPECT_EQ(messages[2], "{\"topic\":\"caf\xc3\xa9\", \"data\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}");
  EXPECT_EQ(messages[3], "{\"topic\":\"ctl\", \"data\":\"a\\nb\\tc\\u0001\"}");
  for (const std::string& m : messages) EXPECT_TRUE(nlohmann::json::accept(m)) << m;
  EXPECT_EQ(nlohmann::json::parse(messages[0])["data"], "\\\"");
}

TEST_F(Engine, ATopicThatIsNotUtf8StillMakesAValidMessage) {
  engine.inCall = [&](const std::string& text) {
    if (!text.empty()) engine.Emit("t\xff", u"d");
  };
  Handle("{\"f\":1}");
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(messages[0])["topic"], "t\xef\xbf\xbd");
}

TEST_F(Engine, ATopicFullOfQuotesDoesNotOverflow) {
  std::string topic(5000, '"');
  engine.inCall = [&](const std::string& text) {
    if (!text.empty()) engine.Emit(topic.c_str(), u"d");
  };
  Handle("{\"f\":1}");
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(messages[0])["topic"], topic);
}

TEST_F(Engine, ALargeTopicMessageArrivesWhole) {
  std::u16string data;
  std::u16string pieces[] = {u"\"", u"\\", u"\n", u"\u00e9", u"\u20ac", u"\U0001F600", u"abc"};
  for (int i = 0; data.size() < 1800000; ++i) data += pieces[i % 7];
  engine.inCall = [&](const std::string& text) {
    if (!text.empty()) engine.Emit("big", data.c_str());
  };
  Handle("{\"f\":1}");
  std::vector<std::string> messages = Messages();  // checks every frame's size and JSON
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_GT(messages[0].size(), 3u * 1024 * 1024);
  nlohmann::json json = nlohmann::json::parse(messages[0]);
  EXPECT_EQ(json["data"].get<std::string>(), os.WideToUtf8(data));
}

TEST_F(Engine, PumpTakesExactlyOneWaitingRequest) {
  int pumped = 0;
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"pump\":1}") {
      engine.Emit("_internalPumpMessage", u"ignored");
      ++pumped;
      engine.Emit("pumped", nullptr);
    }
  };
  os.inputClosed = false;
  Handle("{\"pump\":1}");  // nothing waiting: nothing read, nothing written
  EXPECT_EQ(Messages(), std::vector<std::string>{"{\"topic\":\"pumped\", \"data\":\"\"}"});
  os.output.clear();

  os.Arrive(FrameOf("{\"pump\":1}") + FrameOf("{\"JSONCommand\":\"ping\"}") + FrameOf("{\"JSONCommand\":\"ping\"}"));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_EQ(Messages(), (std::vector<std::string>{"{\"topic\":\"pong\"}", "{\"topic\":\"pumped\", \"data\":\"\"}"}));
  EXPECT_EQ(os.Untaken(), FrameOf("{\"JSONCommand\":\"ping\"}"));

  // A request still arriving: the pump takes what has come and returns, and
  // the call goes on without waiting for the rest.
  os.DropUntaken();
  os.output.clear();
  const std::string ping = FrameOf("{\"JSONCommand\":\"ping\"}");
  os.Arrive(FrameOf("{\"pump\":1}") + ping.substr(0, 6));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_EQ(Messages(), std::vector<std::string>{"{\"topic\":\"pumped\", \"data\":\"\"}"});
  EXPECT_EQ(os.Untaken(), "");
  os.Arrive(ping.substr(6));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"{\"topic\":\"pumped\", \"data\":\"\"}", "{\"topic\":\"pong\"}"}));
}

// A request longer than the input holds at once is taken on by the call that
// finds its first MiB in, a pump's as any other: the rest is waited for
// with window messages pumped, and a pump asked for from one of them reads
// nothing. One byte short of that, nothing is taken on.
TEST_F(Engine, ALongRequestIsTakenOnOnceItsFirstMebibyteIsIn) {
  const std::string big = "{\"big\":\"" + std::string(1536 * 1024, 'b') + "\"}";
  const std::string frame = FrameOf(big);
  const std::string ping = FrameOf("{\"JSONCommand\":\"ping\"}");
  const size_t first = 1048576;  // the reader's ring
  std::vector<int> bigDepths;
  engine.inCall = [&](const std::string& text) {
    if (text.size() > first) bigDepths.push_back(engine.depth);
    if (text == "{\"pump\":1}") {
      engine.Emit("_internalPumpMessage", nullptr);
      engine.Emit("pumped", nullptr);
    }
  };
  std::string rest;
  os.onPumpMessages = [&] {
    if (rest.empty()) return;
    os.Arrive(rest);
    rest.clear();
    engine.Emit("_internalPumpMessage", nullptr);  // as a timer might
  };
  os.inputClosed = false;
  for (size_t in : {first, first - 1}) {
    SCOPED_TRACE(in);
    bigDepths.clear();
    os.output.clear();
    os.pumps = 0;
    rest = frame.substr(in) + ping;
    os.Arrive(FrameOf("{\"pump\":1}") + frame.substr(0, in));
    EXPECT_TRUE(HandleNextMessage(state));
    if (in == first) {
      EXPECT_EQ(bigDepths, std::vector<int>{2});  // inside the pumping call
      EXPECT_EQ(os.pumps, 1);
    } else {
      EXPECT_TRUE(bigDepths.empty());
      EXPECT_EQ(os.pumps, 0);
      EXPECT_EQ(os.Untaken(), "");
      os.Arrive(rest.substr(0, 1));  // the last byte of the MiB
      rest.erase(0, 1);
      EXPECT_TRUE(HandleNextMessage(state));  // the loop's turn
      EXPECT_EQ(bigDepths, std::vector<int>{1});
    }
    EXPECT_EQ(os.Untaken(), ping);  // the nested pump read nothing
    EXPECT_EQ(Messages(), std::vector<std::string>{"{\"topic\":\"pumped\", \"data\":\"\"}"});
    os.DropUntaken();
  }
}

TEST_F(Engine, PumpedEngineRequestsNestInsideTheCallUpToABound) {
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"pump\":1}") engine.Emit("_internalPumpMessage", nullptr);
  };
  // Every request pumps: without a bound each one would nest a level deeper.
  const int requests = kMaxPumpDepth + 8;
  std::string input;
  for (int i = 0; i < requests; ++i) input += FrameOf("{\"pump\":1}");
  os.inputClosed = true;
  os.Arrive(input + FrameOf("{\"JSONCommand\":\"ping\"}"));
  RunMessageLoop(state);
  EXPECT_EQ(engine.maxDepth, kMaxPumpDepth + 1);
  EXPECT_EQ(std::count(engine.trace.begin(), engine.trace.end(), "call JSONFunction 00 {\"pump\":1}"), requests);
  EXPECT_EQ(Messages(), std::vector<std::string>{"{\"topic\":\"pong\"}"});  // the rest was read afterwards
  std::string line = StoredLogLine("\n**** Error: Pump requests nested 32 deep, further ones ignored\n");
  std::string log = os.Log();
  size_t at = log.find(line);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "logged more than once";
}

TEST_F(Engine, NoPumpAfterTerminateOrWithADifferentTopic) {
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"pump\":1}") {
      state.terminate = true;
      engine.Emit("_internalPumpMessage", nullptr);
      engine.Emit("_InternalPumpMessage", nullptr);
      engine.Emit("_internalPumpMessage ", nullptr);
    }
  };
  os.inputClosed = false;
  os.Arrive(FrameOf("{\"pump\":1}") + FrameOf("{\"JSONCommand\":\"ping\"}"));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_EQ(Messages(), (std::vector<std::string>{"{\"topic\":\"_InternalPumpMessage\", \"data\":\"\"}",
                                                  "{\"topic\":\"_internalPumpMessage \", \"data\":\"\"}"}));
}

// Where the engine's code that pumps runs: inside its call, or in a window
// procedure that the loop dispatches while idle, with no call running.
class EnginePumpedUpdate : public Engine, public ::testing::WithParamInterface<bool> {};

TEST_P(EnginePumpedUpdate, RunsOnceTheEngineCodeThatPumpedHasReturned) {
  const bool fromWindow = GetParam();
  FakeModule& module = os.modules["c:\\host\\raz.dll"];
  bool unloadedUnderItsCode = false;
  // The engine's code asks for three pumps: the update is read and held, and
  // nothing after it is read before it has run.
  auto engineCode = [&] {
    for (int i = 0; i < 3; ++i) engine.Emit("_internalPumpMessage", nullptr);
    unloadedUnderItsCode = unloadedUnderItsCode || !state.engineLoaded || module.releases >= module.loads;
    engine.Emit("pumped", nullptr);
  };
  const std::string waiting = FrameOf("{\"JSONCommand\":\"updateDLL\",\"data\":\"YWJj\"}") +
                              FrameOf("{\"JSONCommand\":\"ping\"}") + FrameOf("{\"f\":2}");
  int timers = 0;
  engine.inCall = [&](const std::string& text) {
    if (text != "{\"arm\":1}") return;
    if (fromWindow) {
      ++timers;
    } else {
      engineCode();
    }
  };
  os.onPumpMessages = [&] {
    if (timers == 0) return;
    --timers;
    os.Arrive(waiting);  // arrived just after the loop found the pipe empty
    os.inputClosed = true;
    engineCode();
  };
  os.inputClosed = !fromWindow;
  os.Arrive(FrameOf("{\"arm\":1}") + (fromWindow ? std::string() : waiting));
  RunMessageLoop(state);
  UnloadEngine(state);

  EXPECT_FALSE(unloadedUnderItsCode);
  EXPECT_EQ(HeldCommandCount(), 0u);
  EXPECT_EQ(os.FileText("C:\\Host\\RAZ.dll"), "abc");
  EXPECT_EQ(Messages(), (std::vector<std::string>{"{\"topic\":\"pumped\", \"data\":\"\"}",
                                                  "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"\"}",
                                                  "{\"topic\":\"pong\"}"}));
  // The engine was finished after the code returned, then loaded afresh for
  // the request after the update.
  EXPECT_EQ(engine.trace, (std::vector<std::string>{"init", "start 5", "call JSONFunction 00 ",
                                                    "call JSONFunction 00 {\"arm\":1}", "finish", "init",
                                                    "start 5", "call JSONFunction 00 ",
                                                    "call JSONFunction 00 {\"f\":2}", "finish"}));
  EXPECT_EQ(module.releases, 2);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Holding 'updateDLL' until the engine call returns", "Done",
                                       "{\"JSONCommand\":\"ping\"}"}));
}

INSTANTIATE_TEST_SUITE_P(From, EnginePumpedUpdate, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "AWindowProcedure" : "TheCall");
                         });

// Both update commands are held while engine code is on the stack; one
// held when the host closes meanwhile is dropped.
class EngineHeldUpdate : public Engine, public ::testing::WithParamInterface<const char*> {};

TEST_P(EngineHeldUpdate, IsDroppedWhenTheHostClosedMeanwhile) {
  const std::string command = GetParam();
  engine.inCall = [&](const std::string& text) {
    if (text != "{\"pump\":1}") return;
    engine.Emit("_internalPumpMessage", nullptr);
    state.terminate = true;
  };
  os.inputClosed = false;
  os.Arrive(FrameOf("{\"pump\":1}") + FrameOf("{\"JSONCommand\":\"" + command + "\",\"data\":\"YWJj\"}"));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_EQ(HeldCommandCount(), 0u);
  EXPECT_EQ(os.FileText("C:\\Host\\RAZ.dll"), "MZ fake engine");
  EXPECT_TRUE(os.FileNamesIn("C:\\Users\\me\\AppData\\Roaming\\Lumiclip\\.staged").empty());
  EXPECT_TRUE(os.shellRuns.empty());
  EXPECT_EQ(os.output, "");
  EXPECT_TRUE(state.engineLoaded);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Holding '" + command + "' until the engine call returns",
                                       "\n**** Error: Held command dropped, the host is closing\n"}));
}

INSTANTIATE_TEST_SUITE_P(Commands, EngineHeldUpdate, ::testing::Values("updateDLL", "updateNative"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST_F(Engine, CallbacksFromOtherThreadsNeverInterleaveFrames) {
  engine.inCall = [&](const std::string& text) {
    if (text != "{\"threads\":1}") return;
    std::vector<std::thread> threads;
    std::u16string data(700000, u'x');  // each message spans frames
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        std::string topic = "thread" + std::to_string(t);
        for (int i = 0; i < 5; ++i) EngineCallback(topic.c_str(), data.c_str());
        EngineCallback("_internalPumpMessage", nullptr);  // ignored off the host thread
      });
    }
    for (std::thread& th : threads) th.join();
  };
  os.inputClosed = false;
  os.Arrive(FrameOf("{\"threads\":1}") + FrameOf("{\"JSONCommand\":\"ping\"}"));
  EXPECT_TRUE(HandleNextMessage(state));
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 20u);
  for (const std::string& m : messages) {
    nlohmann::json json = nlohmann::json::parse(m);
    EXPECT_EQ(json["data"].get<std::string>().size(), 700000u);
  }
  EXPECT_NE(os.Untaken(), "");  // the ping was not taken by another thread
}

}  // namespace
}  // namespace lumiclip::testing
