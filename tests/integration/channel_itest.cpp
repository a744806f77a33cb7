// Host mode of the real exe, started through the launcher as a browser
// starts it: the announcement, the built-in commands and the inbound framing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kHello[] = "{\"topic\":\"hostVersion\", \"data\":\"0.98.93\"}";
const char kGetDll[] = "{\"topic\":\"getDLL\"}";
const char kStatus0[] = "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}";
const char kPong[] = "{\"topic\":\"pong\"}";
const char kPing[] = "{\"JSONCommand\":\"ping\"}";

// The exact bytes of one pong message: its data frame and the end frame.
const std::string kPongBytes = std::string("\x1F\x00\x00\x00", 4) + "{\"data\":\"{\\\"topic\\\":\\\"pong\\\"}\"}" +
                               std::string("\x0B\x00\x00\x00", 4) + "{\"data\":\"\"}";

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Reads the two announcement messages; the second one is returned.
std::string Announcement(Conversation& c) {
  std::string hello, second;
  EXPECT_TRUE(c.Next(&hello));
  EXPECT_EQ(hello, kHello);
  EXPECT_TRUE(c.Next(&second));
  return second;
}

void ExpectPong(Conversation& c, const std::string& context) {
  std::string m;
  ASSERT_TRUE(c.Next(&m, 10000)) << context;
  EXPECT_EQ(m, kPong) << context;
}

TEST(Channel, AnnouncesGetDllWithoutTheEngine) {
  HostFolder folder("announce-missing");
  Conversation c(folder.winExe());
  std::string m;
  ASSERT_TRUE(c.Next(&m));
  EXPECT_EQ(m, kHello);
  ASSERT_TRUE(c.Next(&m));
  EXPECT_EQ(m, kGetDll);
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");
  std::string log = folder.Log();
  EXPECT_EQ(log, "Started\r\nWith command: 1\r\nExit\r\n");
}

// What beside the exe decides the second announcement message.
TEST(Channel, AnnouncementFollowsWhatLiesBesideTheExe) {
  struct Case {
    const char* name;
    void (*prepare)(const HostFolder&);
    const char* second;
  };
  const Case cases[] = {
      {"engine-file", [](const HostFolder& f) { f.CopyFromBin("RAZ.dll"); }, kStatus0},
      {"engine-dir", [](const HostFolder& f) { mkdir(f.Path("RAZ.dll").c_str(), 0755); }, kGetDll},
      {"other-dll", [](const HostFolder& f) { f.CopyFromBin("RAZ.dll", "RAZ2.dll"); }, kGetDll},
  };
  for (const Case& k : cases) {
    HostFolder folder(std::string("announce-") + k.name);
    k.prepare(folder);
    Conversation c(folder.winExe());
    EXPECT_EQ(Announcement(c), k.second) << k.name;
    c.CloseInput();
    EXPECT_EQ(c.Wait(), 0) << k.name;
    EXPECT_EQ(c.FrameErrors(), "") << k.name;
  }
}

TEST(Channel, PingIsAnsweredWithExactBytes) {
  HostFolder folder("ping-bytes");
  Conversation c(folder.winExe());
  Announcement(c);
  size_t announced = c.RawOutput().size();
  for (const char* request : {kPing, "{\"JSONCommand\":\"PING\"}"}) {
    c.Send(request);
    ExpectPong(c, request);
    std::string raw = c.RawOutput();
    ASSERT_GE(raw.size(), announced);
    EXPECT_EQ(raw.substr(announced), kPongBytes) << request;
    announced = raw.size();
  }
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
}

// Requests that are not a built-in command go to the engine; without one
// nothing answers them, and the host carries on. The ping after each one
// proves both: its pong is the very next message.
TEST(Channel, RequestsThatAreNotBuiltInGetNoReply) {
  HostFolder folder("not-builtin");
  Conversation c(folder.winExe());
  EXPECT_EQ(Announcement(c), kGetDll);
  const std::string word259(259, 'w');
  const std::string word260(260, 'w');
  const std::vector<std::string> requests = {
      "{\"JSONCommand\": \"ping\"}",  // a blank after the colon hides the word
      "{\"JSONCommand\":\"pingx\"}",
      "{\"JSONCommand\":\"" + word259 + "\"}",
      "{\"JSONCommand\":\"" + word260 + "\"}",
      "{\"command\":\"ping\"}",
  };
  for (const std::string& r : requests) {
    c.Send(r);
    c.Send(kPing);
    ExpectPong(c, r.substr(0, 40));
  }
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  std::vector<std::string> lines = Lines(folder.Log());
  for (const std::string& r : requests) {
    if (r.size() <= 500) {
      EXPECT_TRUE(Has(lines, r)) << r.substr(0, 40);
    }
  }
  EXPECT_EQ(Count(lines, "initLibrary, browser id: 5"), requests.size());
  EXPECT_EQ(Count(lines, kPing), requests.size());
  EXPECT_EQ(lines.back(), "Exit");
}

TEST(Channel, InboundFramingEdgeCases) {
  struct Case {
    const char* name;
    std::string bytes;  // sent after the announcement, before a ping
  };
  const Case cases[] = {
      {"zero-length", Le32(0)},
      // A length of 0 or less reads nothing more: the next four bytes are
      // the following frame's length.
      {"negative-length", Le32(0xFFFFFFFFu)},
      {"most-negative-length", Le32(0x80000000u)},
  };
  for (const Case& k : cases) {
    HostFolder folder(std::string("frames-") + k.name);
    Conversation c(folder.winExe());
    Announcement(c);
    c.SendRaw(k.bytes + FrameOf(kPing));
    ExpectPong(c, k.name);
    c.CloseInput();
    EXPECT_EQ(c.Wait(), 0) << k.name;
    std::vector<std::string> lines = Lines(folder.Log());
    EXPECT_EQ(lines, (std::vector<std::string>{"Started", "With command: 1", kPing, "Exit"})) << k.name;
  }
}

// The input ends: inside a length, inside a body, or between frames. The host
// exits on its own with code 0, answers nothing and never claims a
// terminate command.
TEST(Channel, EndOfInputEndsTheHost) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> expectedLog;
  };
  const std::string cut = Le32(100) + std::string(10, 'a');
  const Case cases[] = {
      {"in-length", std::string("\x05\x00", 2), {"Started", "With command: 1", "Exit"}},
      {"in-body",
       cut,
       {"Started", "With command: 1", "",
        "**** Error: Request cut short by the end of input, dropped: 10 bytes", "", "Exit"}},
      {"between-frames", std::string(), {"Started", "With command: 1", "Exit"}},
  };
  for (const Case& k : cases) {
    HostFolder folder(std::string("eof-") + k.name);
    Conversation c(folder.winExe());
    Announcement(c);
    size_t announced = c.RawOutput().size();
    c.SendRaw(k.bytes);
    // Let the host take the partial bytes and wait for the rest.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.CloseInput();
    EXPECT_EQ(c.Wait(), 0) << k.name;
    EXPECT_EQ(c.RawOutput().size(), announced) << k.name;
    EXPECT_EQ(Lines(folder.Log()), k.expectedLog) << k.name;
  }
}

TEST(Channel, SeveralFramesInOneWriteAreAllAnswered) {
  HostFolder folder("one-write");
  Conversation c(folder.winExe());
  Announcement(c);
  c.SendRaw(FrameOf(kPing) + FrameOf("{\"JSONCommand\":\"Ping\"}") + FrameOf(kPing));
  // The input stays open: the host must find the second and third frame
  // without any further bytes arriving.
  for (int i = 0; i < 3; ++i) ExpectPong(c, "pong " + std::to_string(i));
  EXPECT_FALSE(c.Exited());
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(Count(Lines(folder.Log()), kPing), 2u);
}

// An idle host sleeps: it costs next to no CPU and wakes next to never, and
// the request that ends a long silence is answered at once.
TEST(Channel, AnIdleHostSleepsAndAnswersAtOnce) {
  HostFolder folder("idle-sleeps");
  Conversation c(folder.winExe());
  Announcement(c);
  int pid = FindHostProcess("idle-sleeps");
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // start-up settles
  double cpu = CpuSecondsOf(pid);
  long wakeUps = WakeUpsOf(pid);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  // A host polling every millisecond costs some 150 ms and thousands of
  // wake-ups here; the bounds are loose for a busy machine.
  double cpuUsed = CpuSecondsOf(pid) - cpu;
  long woken = WakeUpsOf(pid) - wakeUps;
  EXPECT_LT(cpuUsed, 0.06);
  EXPECT_LT(woken, 30);
  auto start = std::chrono::steady_clock::now();
  c.Send(kPing);
  ExpectPong(c, "after the silence");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
}

TEST(Channel, FailedEngineUpdateClosesTheHost) {
  HostFolder folder("update-fails");
  Conversation c(folder.winExe());
  Announcement(c);
  c.Send("{\"JSONCommand\":\"updateDLL\"}");
  std::string m;
  ASSERT_TRUE(c.Next(&m));
  EXPECT_EQ(m, "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}");
  // No CloseInput: the host leaves by itself.
  EXPECT_EQ(c.Wait(15000), 0);
  EXPECT_FALSE(c.Next(&m, 100));
  EXPECT_FALSE(folder.Exists("RAZ.dll"));
  std::vector<std::string> lines = Lines(folder.Log());
  auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  ASSERT_TRUE(Has(lines, "Closing..."));
  ASSERT_TRUE(Has(lines, "Got 'terminate' command."));
  EXPECT_LT(at("{\"JSONCommand\":\"updateDLL\"}"), at("Closing..."));
  EXPECT_LT(at("Closing..."), at("Got 'terminate' command."));
  EXPECT_EQ(lines.back(), "Exit");
}

}  // namespace
}  // namespace lumiclip::itest
