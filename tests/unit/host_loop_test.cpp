#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <new>
#include <set>
#include <string>
#include <vector>

#include "app/entry.h"
#include "channel/builtin_commands.h"
#include "channel/host_loop.h"
#include "fake/host_fixture.h"
#include "fake_engine.h"

namespace lumiclip::testing {
namespace {

#if defined(__i386__)
#define TEST_WINAPI __attribute__((stdcall))
#else
#define TEST_WINAPI
#endif

int g_dpiAwareness = -1;
int g_dpiAwareCalls = 0;
long TEST_WINAPI FakeSetProcessDpiAwareness(int value) {
  g_dpiAwareness = value;
  return 0;
}
int TEST_WINAPI FakeSetProcessDpiAware() {
  ++g_dpiAwareCalls;
  return 1;
}

class HostLoop : public HostFixture {
 protected:
  HostLoop() {
    os.versions["c:\\host\\lumiclip-chrome-plugin.exe"] = {
        {"\\VarFileInfo\\Translation", std::string("\0\0\xb0\x04", 4)},
        {"\\StringFileInfo\\000004b0\\LumiclipInternalVersion", std::string("0.98.93\0", 8)}};
    g_dpiAwareness = -1;
    g_dpiAwareCalls = 0;
  }

  std::vector<std::string> Run(const std::vector<std::string>& requests) {
    std::string input;
    for (const std::string& r : requests) input += FrameOf(r);
    os.Arrive(input);
    RunHostMode();
    std::string error;
    std::vector<std::string> messages = DecodeMessages(os.output, &error);
    EXPECT_EQ(error, "");
    return messages;
  }

  static constexpr const char* kHello = "{\"topic\":\"hostVersion\", \"data\":\"0.98.93\"}";
  static constexpr const char* kGetDll = "{\"topic\":\"getDLL\"}";
  static constexpr const char* kPong = "{\"topic\":\"pong\"}";
};

TEST_F(HostLoop, AnnouncesGetDllWhenTheEngineIsMissingOrAFolder) {
  EXPECT_EQ(Run({}), (std::vector<std::string>{kHello, kGetDll}));
  os.output.clear();
  os.AddFolder("C:\\Host\\RAZ.dll");
  NewChannel();
  EXPECT_EQ(Run({}), (std::vector<std::string>{kHello, kGetDll}));
}

TEST_F(HostLoop, AnnouncesStatusZeroWhenTheEngineIsThere) {
  os.AddFile("C:\\Host\\RAZ.dll", "MZ");
  EXPECT_EQ(Run({}), (std::vector<std::string>{
                         kHello, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}"}));
  EXPECT_FALSE(os.Called("LoadModule(C:\\Host\\RAZ.dll)"));  // announcing loads nothing
}

TEST_F(HostLoop, ALongVersionTextIsSentWhole) {
  std::string version(3000, '7');
  os.versions["c:\\host\\lumiclip-chrome-plugin.exe"]["\\StringFileInfo\\000004b0\\LumiclipInternalVersion"] =
      version + '\0';
  std::vector<std::string> messages = Run({});
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "{\"topic\":\"hostVersion\", \"data\":\"" + version + "\"}");
}

TEST_F(HostLoop, PrepareThreadAndStreamsAndReleaseComAtTheEnd) {
  os.AddSystemModule("shcore.dll").exports["SetProcessDpiAwareness"] =
      reinterpret_cast<void*>(&FakeSetProcessDpiAwareness);
  os.AddSystemModule("user32.dll").exports["SetProcessDPIAware"] =
      reinterpret_cast<void*>(&FakeSetProcessDpiAware);
  Run({});
  EXPECT_EQ(g_dpiAwareness, 2);
  EXPECT_EQ(g_dpiAwareCalls, 0);
  EXPECT_EQ(os.IndexOf("TakeInput()"), 0u);  // before COM or any library can look at it
  EXPECT_LT(os.IndexOf("ComInitialize(2)"), os.IndexOf("SetStdStreamsBinary()"));
  EXPECT_EQ(os.comUninits, 1);
  EXPECT_EQ(os.Log().find("Got 'terminate' command."), std::string::npos);
}

TEST_F(HostLoop, FallsBackToUser32ForDpiAwareness) {
  os.AddSystemModule("user32.dll").exports["SetProcessDPIAware"] =
      reinterpret_cast<void*>(&FakeSetProcessDpiAware);
  os.AddSystemModule("shcore.dll");  // loads, but without the newer call
  Run({});
  EXPECT_EQ(g_dpiAwareness, -1);
  EXPECT_EQ(g_dpiAwareCalls, 1);
}

TEST_F(HostLoop, PingInAnyCaseIsAnsweredWithoutTheEngine) {
  FakeEngine engine;
  engine.Install(os);
  EXPECT_EQ(Run({"{\"JSONCommand\":\"ping\"}", "{\"JSONCommand\":\"PING\"}", "{\"JSONCommand\":\"Ping\",\"x\":1}"}),
            (std::vector<std::string>{kHello, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}", kPong,
                                      kPong, kPong}));
  EXPECT_TRUE(engine.trace.empty());
  EXPECT_NE(os.Log().find("{\"JSONCommand\":\"PING\"}\r\n"), std::string::npos);  // every body logged
}

// While idle the host sleeps until a request, a window message or the end of
// input comes, in any order or together. A parameter names what happens
// during each wait: groups split by '|', B a ping arriving (or the rest of
// it), h its first 2 bytes, H its first 6 (the length and 2 bytes of the
// body), D two whole pings in one write, M a window message, E the end of
// input. A frame in progress holds
// no window message up. A whole ping that comes while the host sleeps (the
// reader has woken it for nothing else yet; a window message does not keep
// the reader from taking it) is answered by the reader and wakes nothing.
class HostLoopWaits : public HostLoop, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostLoopWaits, WakesOnlyForWhatComesAndHandlesItInOrder) {
  std::string script = GetParam();
  os.inputClosed = false;
  os.whileWaiting.emplace_back();
  int group = 0, pingGroup = -1, messageGroup = -1, endGroup = -1;
  const std::string ping = FrameOf("{\"JSONCommand\":\"ping\"}");
  size_t sent = 0;
  // Groups that wake the host: all but one that only brings a whole ping.
  std::vector<bool> wakes(1, false);
  bool readerWoke = false;  // in this group
  bool answeredAsleep = false;
  int pings = 0;  // whole pings before or with the end
  for (char c : script) {
    if (c == '|') {
      os.whileWaiting.emplace_back();
      wakes.push_back(false);
      readerWoke = false;
      ++group;
    } else if (c == 'h' || c == 'H') {
      os.whileWaiting.back().push_back({FakeOs::InputEvent::kBytes, ping.substr(0, c == 'h' ? 2 : 6)});
      sent = c == 'h' ? 2 : 6;
      wakes.back() = readerWoke = true;
    } else if (c == 'D') {
      os.whileWaiting.back().push_back({FakeOs::InputEvent::kBytes, ping + ping});
      pings += endGroup < 0 ? 2 : 0;
      wakes.back() = readerWoke = true;
    } else if (c == 'B') {
      os.whileWaiting.back().push_back({FakeOs::InputEvent::kBytes, ping.substr(sent)});
      pingGroup = group;
      pings += endGroup < 0 ? 1 : 0;
      if (sent == 0 && !readerWoke && endGroup < 0) {
        answeredAsleep = true;
      } else {
        wakes.back() = readerWoke = true;
      }
    } else if (c == 'M') {
      os.whileWaiting.back().push_back({FakeOs::InputEvent::kWindowMessage, ""});
      messageGroup = group;
      wakes.back() = true;
    } else {
      os.whileWaiting.back().push_back({FakeOs::InputEvent::kEnd, ""});
      endGroup = group;
      wakes.back() = readerWoke = true;
    }
  }
  std::vector<std::string> messages = Run({});
  // Bytes that came before or with the end of input are still answered;
  // nothing comes after it, and a message that came with it is left.
  EXPECT_EQ(std::count(messages.begin(), messages.end(), kPong), pings);
  EXPECT_EQ(os.dispatchedMessages, messageGroup >= 0 && messageGroup < endGroup ? 1 : 0);
  // One wake-up per waking group up to the end: no turn without a cause.
  EXPECT_EQ(os.inputWaits, std::count(wakes.begin(), wakes.begin() + endGroup + 1, true));
  EXPECT_EQ(os.answeredWhileAsleep, answeredAsleep ? 1 : 0);
  if (pingGroup <= endGroup) {
    EXPECT_NE(os.Log().find("{\"JSONCommand\":\"ping\"}\r\n"), std::string::npos);
  }
  EXPECT_EQ(os.pumps, os.inputWaits);  // the queue is emptied before every wait
  EXPECT_EQ(os.comUninits, 1);
  EXPECT_EQ(os.Log().find("Got 'terminate' command."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, HostLoopWaits,
                         ::testing::Values("B|M|E", "B|E|M", "M|B|E", "M|E|B", "E|B|M", "E|M|B", "BM|E",
                                           "B|ME", "M|BE", "BE|M", "ME|B", "E|BM", "BME", "h|M|B|E",
                                           "H|M|B|E", "HM|B|E", "H|B|M|E", "D|B|E", "B|D|M|E"));

// While the host has taken part of a frame, what the reader holds next is the
// rest of that frame, however much it looks like a whole ping.
TEST_F(HostLoop, TheRestOfAFrameIsNeverTakenForAPing) {
  FakeEngine engine;
  engine.Install(os);
  const std::string ping = FrameOf("{\"JSONCommand\":\"ping\"}");
  const std::string frame = FrameOf("xx" + ping);
  os.inputClosed = false;
  os.whileWaiting = {{{FakeOs::InputEvent::kBytes, frame.substr(0, 6)}},
                     {{FakeOs::InputEvent::kBytes, frame.substr(6)}},
                     {{FakeOs::InputEvent::kEnd, ""}}};
  std::vector<std::string> messages = Run({});
  EXPECT_EQ(std::count(messages.begin(), messages.end(), kPong), 0);
  EXPECT_EQ(os.answeredWhileAsleep, 0);
  // The whole frame went to the engine.
  EXPECT_EQ(std::count(engine.trace.begin(), engine.trace.end(), "call JSONFunction 00 xx" + ping), 1);
}

// Frames that arrive in one write are all read without waiting for more. The
// replies and log lines of those answered at once go out together, in one
// write and one append, and all of them before anything that may take time:
// an engine call sees the earlier replies sent and its own request logged.
TEST_F(HostLoop, FramesThatArriveTogetherAreAnsweredTogether) {
  FakeEngine engine;
  engine.Install(os);
  const std::vector<std::string> requests{"{\"JSONCommand\":\"ping\"}",
                                          "{\"JSONCommand\":\"setAddonVersion\",\"v\":\"Opera\"}",
                                          "{\"JSONCommand\":\"ping\"}", "{\"f\":\"x\"}",
                                          "{\"JSONCommand\":\"ping\"}"};
  std::string beforeCall;  // the lines of the requests up to the engine's
  for (size_t i = 0; i < 4; ++i) beforeCall += requests[i] + "\r\n";
  os.inputClosed = false;
  os.onIdle = [&] { os.inputClosed = true; };
  std::vector<std::string> sentAtCall;
  std::string loggedAtCall;
  engine.inCall = [&](const std::string& text) {
    if (text != requests[3]) return;
    sentAtCall = DecodeMessages(os.output);
    loggedAtCall = os.Log();
    WriteMessage("{\"topic\":\"fromEngine\"}");
  };
  std::vector<std::string> messages = Run(requests);
  EXPECT_EQ(messages, (std::vector<std::string>{kHello, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}",
                                                kPong, kPong, "{\"topic\":\"fromEngine\"}", kPong}));
  EXPECT_EQ(sentAtCall.size(), 4u);  // the announcement and two pongs
  EXPECT_NE(loggedAtCall.find(beforeCall), std::string::npos);
  EXPECT_NE(os.Log().find(beforeCall + "initLibrary, browser id: 6\r\n" + requests[4] + "\r\n"),
            std::string::npos);
  // The announcement (2), two pongs, the engine's message, the last pong.
  EXPECT_EQ(os.outputWrites, 5);
  EXPECT_EQ(os.inputWaits, 1);  // no idle turn before all were answered
}

// Under a continuous stream of requests the window messages are pumped every
// 32 requests, or sooner once 10 ms have passed since the last pump.
TEST_F(HostLoop, AStreamOfRequestsPumpsWindowMessagesAsItGoes) {
  FakeEngine engine;
  engine.Install(os);
  std::vector<std::string> pings(100, "{\"JSONCommand\":\"ping\"}");
  Run(pings);
  EXPECT_EQ(os.pumps, 3);  // after the 32nd, 64th and 96th

  // Requests that take 4 ms each: a pump after every third.
  os.pumps = 0;
  os.output.clear();
  NewChannel();
  engine.inCall = [&](const std::string& text) {
    if (!text.empty()) os.ticks += 4;
  };
  std::vector<uint32_t> pumpedAt;
  os.onPumpMessages = [&] { pumpedAt.push_back(os.ticks); };
  Run(std::vector<std::string>(10, "{\"f\":1}"));
  EXPECT_EQ(pumpedAt, (std::vector<uint32_t>{12, 24, 36}));
}

TEST_F(HostLoop, EmptyAndNegativeFramesAreSkipped) {
  os.Arrive(std::string(4, '\0') + std::string("\xff\xff\xff\xff", 4));
  std::vector<std::string> messages = Run({"{\"JSONCommand\":\"ping\"}"});
  EXPECT_EQ(messages.back(), kPong);
}

TEST_F(HostLoop, EndOfInputInsideAFrameEndsTheLoop) {
  os.Arrive(FrameOf("{\"JSONCommand\":\"ping\"}") + std::string("\x40\x00\x00\x00{\"JSONCo", 12));
  RunHostMode();
  std::vector<std::string> messages = DecodeMessages(os.output);
  EXPECT_EQ(messages.back(), kPong);
  EXPECT_EQ(os.comUninits, 1);
  EXPECT_EQ(os.Log().find("Got 'terminate' command."), std::string::npos);
}

// A body that cannot be read whole (its buffer cannot grow): at the loop's
// own turn, or in a pump that the engine asked for. Either way the rest of
// the body, which here holds a whole ping frame, is never read as a request,
// and host mode ends as at the end of input.
class HostLoopLostBody : public HostLoop, public ::testing::WithParamInterface<bool> {};

TEST_P(HostLoopLostBody, EndsHostModeQuietlyAndInOrder) {
  const bool inPump = GetParam();
  FakeEngine engine;
  engine.Install(os);
  engine.inCall = [&](const std::string& text) {
    if (text == "{\"pump\":1}") engine.Emit("_internalPumpMessage", nullptr);
  };
  const std::string body = FrameOf("{\"JSONCommand\":\"ping\"}");
  TheChannel().reader.beforeBodyBuffer = [&](size_t size) {
    if (size == body.size()) throw std::bad_alloc();
  };
  os.Arrive(FrameOf(inPump ? "{\"pump\":1}" : "{\"f\":1}") + FrameOf(body));
  const char* argv[] = {"C:\\Host\\lumiclip-chrome-plugin.exe", "chrome-extension://id/", "--parent-window=0",
                        nullptr};
  EXPECT_EQ(RunEntry(3, argv), 0);

  std::string error;
  EXPECT_EQ(DecodeMessages(os.output, &error),
            (std::vector<std::string>{kHello, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}"}));
  EXPECT_EQ(error, "");
  EXPECT_TRUE(InputAtEnd());
  EXPECT_EQ(os.comUninits, 1);
  EXPECT_LT(os.IndexOf("ComUninitialize()"), os.IndexOf("ReleaseModule(c:\\\\host\\\\raz.dll)"));
  EXPECT_EQ(engine.trace.back(), "finish");
  EXPECT_EQ(os.modules["c:\\host\\raz.dll"].releases, 1);
  std::string log = os.Log();
  EXPECT_EQ(log.find("{\"JSONCommand\":\"ping\"}"), std::string::npos) << log;
  EXPECT_EQ(log.find("Got 'terminate' command."), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 6), "Exit\r\n");
}

INSTANTIATE_TEST_SUITE_P(Where, HostLoopLostBody, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "InAPump" : "AtTheLoopsTurn");
                         });

TEST_F(HostLoop, StandardInputThatIsNoPipeEndsHostModeAfterTheAnnouncement) {
  os.stdinIsPipe = false;
  EXPECT_EQ(Run({"{\"JSONCommand\":\"ping\"}"}), (std::vector<std::string>{kHello, kGetDll}));
  EXPECT_EQ(os.Untaken(), FrameOf("{\"JSONCommand\":\"ping\"}"));  // nothing read
  EXPECT_EQ(os.comUninits, 1);
}

// Standard input is the host's alone: whatever else runs in the process (COM,
// libraries as they load, the engine's entries, window and timer procedures)
// finds no pipe there while the reader's read waits on it. A pipe left in
// sight is polled, and no read ever waits on it; a seam that says it hid the
// pipe without doing so fails the fake's rule at each of those points.
class HostLoopInput : public HostLoop, public ::testing::WithParamInterface<FakeOs::Hiding> {};

TEST_P(HostLoopInput, NothingElseFindsThePipeWhileAReadWaitsOnIt) {
  os.takeInputHides = GetParam();
  FakeEngine engine;
  engine.Install(os);
  os.inputClosed = false;
  os.whileWaiting = {
      {{FakeOs::InputEvent::kBytes, FrameOf("{\"f\":1}")}, {FakeOs::InputEvent::kWindowMessage, ""}},
      {{FakeOs::InputEvent::kEnd, ""}}};
  ::testing::TestPartResultArray failures;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    Run({});
  }
  std::set<std::string> who;
  for (int i = 0; i < failures.size(); ++i) {
    std::string message = failures.GetTestPartResult(i).message();
    size_t end = message.find(" queried standard input, the browser's pipe");
    ASSERT_NE(end, std::string::npos) << message;
    size_t begin = message.rfind('\n', end);  // after gtest's "Failed"
    begin = begin == std::string::npos ? 0 : begin + 1;
    who.insert(message.substr(begin, end - begin));
  }
  std::set<std::string> expected;
  if (GetParam() == FakeOs::Hiding::kSaysHiddenButIsNot) {
    expected = {"COM, starting",
                "LoadSystemModule(user32.dll)",
                "LoadSystemModule(Shcore.dll)",
                "a window procedure",
                "LoadSystemModule(xmllite.dll)",
                "LoadModule(C:\\Host\\RAZ.dll)",
                "the engine's _initLibrary",
                "the engine's start",
                "the engine's call"};
  }
  EXPECT_EQ(who, expected);
  EXPECT_EQ(engine.trace.size(), 5u);  // init, start, replay, the request, finish
}

INSTANTIATE_TEST_SUITE_P(Pipe, HostLoopInput,
                         ::testing::Values(FakeOs::Hiding::kHides, FakeOs::Hiding::kLeavesInSight,
                                           FakeOs::Hiding::kSaysHiddenButIsNot),
                         [](const ::testing::TestParamInfo<FakeOs::Hiding>& info) {
                           return std::string(info.param == FakeOs::Hiding::kHides          ? "Hidden"
                                              : info.param == FakeOs::Hiding::kLeavesInSight ? "LeftInSightAndPolled"
                                                                                               : "SaidHiddenButInSight");
                         });

TEST_F(HostLoop, AClosingCommandIsTheLastOneHandled) {
  // updateDLL without a payload fails, answers status 1 and closes.
  std::vector<std::string> messages =
      Run({"{\"JSONCommand\":\"updateDLL\"}", "{\"JSONCommand\":\"ping\"}"});
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2], "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}");
  std::string log = os.Log();
  EXPECT_NE(log.find("\r\n**** Error: updateDLL failed\r\n\r\nClosing...\r\nGot 'terminate' command.\r\n"),
            std::string::npos);
  EXPECT_EQ(log.find("{\"JSONCommand\":\"ping\"}"), std::string::npos);
}

TEST_F(HostLoop, MessagesWithoutABuiltinCommandGoToTheEngine) {
  FakeEngine engine;
  engine.Install(os);
  Run({"{\"JSONCommand\": \"ping\"}", std::string("{\"JSONCommand\":\"") + std::string(260, 'p') + "\"}"});
  ASSERT_EQ(engine.trace.size(), 6u);
  EXPECT_EQ(engine.trace[5], "finish");
  EXPECT_EQ(engine.trace[3], "call JSONFunction 00 {\"JSONCommand\": \"ping\"}");
  EXPECT_EQ(engine.trace[4].substr(0, 34), "call JSONFunction 00 {\"JSONCommand");
}

TEST_F(HostLoop, ExtractCommandFindsTheWordAfterTheFirstKey) {
  struct Case {
    std::string text;
    std::string word;
  } cases[] = {
      {"{\"JSONCommand\":\"ping\"}", "ping"},
      {"{\"JSONCommand\": \"ping\"}", ""},
      {"{\"JSONCommand\": \"ping\",\"a\":\"b\"}", "b"},  // the next :" wherever it is
      {"{\"x\":\"JSONCommand\",\"y\":\"ping\"}", "ping"},
      {"{\"JSONCommand\":\"ping", ""},
      {"{\"JSONCommand\":\"", ""},
      {"{\"jsoncommand\":\"ping\"}", ""},
      {"{\"JSONCommand\":\"" + std::string(259, 'w') + "\"}", std::string(259, 'w')},
      {"{\"JSONCommand\":\"" + std::string(260, 'w') + "\"}", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExtractCommand(c.text.c_str(), static_cast<int32_t>(c.text.size())), c.word) << c.text;
  }
  // The word must start inside the message's length.
  std::string text = "{\"JSONCommand\":\"ping\"}";
  EXPECT_EQ(ExtractCommand(text.c_str(), 16), "");
  EXPECT_EQ(ExtractCommand(text.c_str(), 17), "ping");
}

TEST_F(HostLoop, SetAddonVersionSetsTheBrowserAndIsStored) {
  HostState state;
  std::string opera = "{\"JSONCommand\":\"setAddonVersion\",\"data\":\"1.2 Opera\"}";
  EXPECT_TRUE(HandleBuiltinCommand(static_cast<int32_t>(opera.size()), opera.data(), state));
  EXPECT_EQ(state.browserId, 6);
  EXPECT_EQ(StoredSetAddonVersionMessage(), opera);
  std::string chrome = "{\"JSONCommand\":\"SETADDONVERSION\",\"data\":\"1.3 opera\"}";
  EXPECT_TRUE(HandleBuiltinCommand(static_cast<int32_t>(chrome.size()), chrome.data(), state));
  EXPECT_EQ(state.browserId, 5);
  EXPECT_EQ(StoredSetAddonVersionMessage(), chrome);
  EXPECT_EQ(os.output, "");  // no reply
}

}  // namespace
}  // namespace lumiclip::testing
