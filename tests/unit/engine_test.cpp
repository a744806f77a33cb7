#include <gtest/gtest.h>

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
  Engine() { engine.Install(os); }

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

TEST_F(Engine, TopicsFromStartAreDroppedFromReplayAndFinishDelivered) {
  engine.inStart = [&] { engine.Emit("from-start", u"x"); };
  engine.inCall = [&](const std::string& text) {
    if (text.empty()) engine.Emit("replay", u"r");
  };
  engine.inFinish = [&] { engine.Emit("from-finish", u"f"); };
  Handle("{\"f\":1}");
  UnloadEngine(state);
  engine.Emit("after-unload", u"late");
  EXPECT_EQ(Messages(), (std::vector<std::string>{"{\"topic\":\"replay\", \"data\":\"r\"}",
                                                  "{\"topic\":\"from-finish\", \"data\":\"f\"}"}));
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
  EXPECT_TRUE(os.Called("LoadModule(RAZ.DLL)"));
  EXPECT_EQ(os.output, "");
  EXPECT_FALSE(state.engineLoaded);
  std::string log = os.Log();
  EXPECT_NE(log.find("initLibrary, browser id: 5\r\n{\"f\":2}\r\ninitLibrary, browser id: 5"), std::string::npos);
}

TEST_F(Engine, TheBareNameIsTheSecondChance) {
  FakeModule module = os.modules["c:\\host\\raz.dll"];
  os.modules.erase("c:\\host\\raz.dll");
  os.modules["raz.dll"] = module;
  Handle("{\"f\":1}");
  EXPECT_TRUE(state.engineLoaded);
  EXPECT_TRUE(os.boxes.empty());
}

TEST_F(Engine, InitFailureOrAMissingExportShowsTheLocatingBox) {
  engine.initFails = true;
  Handle("{\"f\":1}");
  engine.initFails = false;
  os.modules["c:\\host\\raz.dll"].exports.clear();
  Handle("{\"f\":2}");
  ASSERT_EQ(os.boxes.size(), 2u);
  for (const FakeBox& box : os.boxes) {
    EXPECT_EQ(box.text, "Error locating Functions in RAZ.dll");
    EXPECT_EQ(box.caption, "Library not loaded");
    EXPECT_EQ(box.flags, 0x10u);
  }
  EXPECT_EQ(engine.trace, std::vector<std::string>{"init"});  // start never called
  // Released each time, so that an update can replace the file.
  EXPECT_EQ(os.modules["c:\\host\\raz.dll"].releases, os.modules["c:\\host\\raz.dll"].loads);
}

TEST_F(Engine, XmlLiteIsProbedByNameThenBesideTheEngine) {
  Handle("{\"f\":1}");
  EXPECT_EQ(os.modules["xmllite.dll"].releases, 1);  // found and released at once
  UnloadEngine(state);

  os.modules.erase("xmllite.dll");
  os.AddModule("C:\\Host\\xmllite.dll");
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
  EXPECT_EQ(std::string(os.pending.front()), FrameOf("{\"JSONCommand\":\"ping\"}"));
}

TEST_F(Engine, PumpedEngineRequestsNestInsideTheCall) {
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"pump\":1}") engine.Emit("_internalPumpMessage", nullptr);
  };
  os.inputClosed = false;
  os.Arrive(FrameOf("{\"pump\":1}") + FrameOf("{\"pump\":1}") + FrameOf("{\"f\":2}"));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_EQ(engine.maxDepth, 3);
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

TEST_F(Engine, AnUpdateTakenByThePumpWaitsForTheEngineCallToReturn) {
  bool unloadedDuringCall = false;
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"pump\":1}") {
      engine.Emit("_internalPumpMessage", nullptr);
      unloadedDuringCall = !state.engineLoaded;
      engine.Emit("pumped", nullptr);
    }
  };
  os.inputClosed = false;
  os.Arrive(FrameOf("{\"pump\":1}") + FrameOf("{\"JSONCommand\":\"updateDLL\",\"data\":\"YWJj\"}"));
  EXPECT_TRUE(HandleNextMessage(state));
  EXPECT_FALSE(unloadedDuringCall);
  EXPECT_EQ(HeldCommandCount(), 0u);
  EXPECT_EQ(engine.trace.back(), "finish");  // unloaded only after the call returned
  EXPECT_EQ(os.FileText("C:\\Host\\RAZ.dll"), "abc");
  EXPECT_EQ(Messages(), (std::vector<std::string>{"{\"topic\":\"pumped\", \"data\":\"\"}",
                                                  "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"\"}"}));
  EXPECT_NE(os.Log().find("Holding 'updateDLL' until the engine call returns"), std::string::npos);
}

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
  EXPECT_FALSE(os.pending.empty());  // the ping was not taken by another thread
}

}  // namespace
}  // namespace lumiclip::testing
