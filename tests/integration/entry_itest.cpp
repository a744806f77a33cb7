// The real exe's entry under wine: how its command line picks a mode, and
// how its log file behaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kPing[] = "{\"JSONCommand\":\"ping\"}";
const char kPong[] = "{\"topic\":\"pong\"}";

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

void ReadAnnouncement(Conversation& c) {
  std::string m;
  EXPECT_TRUE(c.Next(&m));
  EXPECT_TRUE(c.Next(&m));
}

TEST(Entry, TestModeShowsOneBoxAndLogsThreeLines) {
  Wine& wine = Wine::Get();
  HostFolder folder("test-mode");
  ProcessResult r = wine.Run({folder.winExe(), "--test"}, "", 60000, wine.RelayEnv());
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(folder.Log(), "Started\r\nWith command: 0\r\nExit\r\n");
  std::vector<Wine::Box> boxes = Wine::BoxesIn(r.err);
  ASSERT_EQ(boxes.size(), 1u) << r.err.substr(0, 2000);
  EXPECT_EQ(boxes[0].text, "Yes");
  EXPECT_EQ(boxes[0].caption, "(null)");
  EXPECT_EQ(boxes[0].flags, 0u);
}

// Each command line is run in a folder of its own; the log tells the mode.
// Host mode here has a stdin that is no pipe, so it ends at once.
TEST(Entry, CommandLineSelectsTheMode) {
  const std::string kNotRegistered =
      "The installation is not registered (removed meanwhile): nothing is rewritten.";
  struct Case {
    std::vector<std::string> args;
    int command;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {{"--TEST"}, 1, {}, {}},
      {{"--Deploy"}, 1, {}, {"Copying myself..."}},
      {{"--test", "x"}, 1, {}, {}},
      {{"--deploy", "x"}, 1, {}, {"Copying myself..."}},
      {{"--update"}, 1, {}, {"Parent PID: 0"}},
      // Nothing is installed here: update mode rewrites nothing.
      {{"--update", "4242"},
       4,
       {"Parent PID: 4242", kNotRegistered},
       {"Waiting parent process 4242 to close..."}},
      {{"--update", "x"},
       4,
       {"Parent PID: 0", kNotRegistered},
       {"Waiting parent process 0 to close...", "Deleting raz.dll..."}},
      {{"--update", "  -17abc"}, 4, {"Parent PID: -17"}, {}},
      {{"--UPDATE", "5"}, 1, {}, {"Parent PID: 5"}},
      {{"--update", "x", "y"}, 1, {}, {"Parent PID: 0"}},
      {{"a", "b", "c", "d"}, 1, {}, {}},
  };
  Wine& wine = Wine::Get();
  int index = 0;
  for (const Case& k : cases) {
    std::string label;
    for (const std::string& a : k.args) label += "[" + a + "]";
    HostFolder folder("mode-" + std::to_string(index++));
    std::vector<std::string> argv = {folder.winExe()};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    ProcessResult r = wine.Run(argv, "", 30000);
    EXPECT_FALSE(r.timedOut) << label;
    EXPECT_EQ(r.exitCode, 0) << label;
    std::vector<std::string> lines = Lines(folder.Log());
    ASSERT_GE(lines.size(), 3u) << label;
    EXPECT_EQ(lines[0], "Started") << label;
    EXPECT_EQ(lines[1], "With command: " + std::to_string(k.command)) << label;
    EXPECT_EQ(lines.back(), "Exit") << label;
    EXPECT_EQ(Count(lines, "Exit"), 1u) << label;
    if (k.command == 1) {
      // Host mode with no input has nothing more to say.
      EXPECT_EQ(lines.size(), 3u) << label;
    }
    for (const std::string& p : k.present) EXPECT_TRUE(Has(lines, p)) << label << " lacks " << p;
    for (const std::string& a : k.absent) EXPECT_FALSE(Has(lines, a)) << label << " has " << a;
  }
}

// A log above 100 KiB is discarded at the first line of a process; one of
// exactly that size is kept and grows on.
TEST(Entry, OversizedLogIsDiscardedAtStart) {
  const std::string fresh = "Started\r\nWith command: 0\r\nExit\r\n";
  struct Case {
    size_t size;
    bool kept;
  };
  const Case cases[] = {{102399, true}, {102400, true}, {102401, false}, {400000, false}};
  Wine& wine = Wine::Get();
  for (const Case& k : cases) {
    HostFolder folder("log-size-" + std::to_string(k.size));
    std::string old;
    while (old.size() < k.size) old += "an older line of the log\r\n";
    old.resize(k.size);
    folder.Write("native-lumiclip.log", old);
    ProcessResult r = wine.Run({folder.winExe(), "--test"}, "", 30000);
    EXPECT_EQ(r.exitCode, 0) << k.size << r.err;
    std::string log = folder.Log();
    if (k.kept) {
      EXPECT_EQ(log.size(), k.size + fresh.size()) << k.size;
      EXPECT_TRUE(log.compare(0, k.size, old) == 0) << k.size;
      EXPECT_EQ(log.substr(std::min(log.size(), k.size)), fresh) << k.size;
    } else {
      EXPECT_EQ(log, fresh) << k.size;
    }
  }
}

// Two hosts of one folder share one log; every line of both must arrive
// whole.
TEST(Entry, TwoHostsAtOnceShareTheLogIntact) {
  HostFolder folder("log-shared");
  const int kPings = 100;
  Conversation a(folder.winExe());
  Conversation b(folder.winExe());
  ReadAnnouncement(a);
  ReadAnnouncement(b);
  for (int i = 0; i < kPings; ++i) {
    a.Send(kPing);
    b.Send(kPing);
  }
  std::string m;
  for (int i = 0; i < kPings; ++i) {
    ASSERT_TRUE(a.Next(&m, 10000)) << i;
    EXPECT_EQ(m, kPong);
    ASSERT_TRUE(b.Next(&m, 10000)) << i;
    EXPECT_EQ(m, kPong);
  }
  a.CloseInput();
  b.CloseInput();
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  std::string log = folder.Log();
  std::vector<std::string> lines = Lines(log);
  EXPECT_EQ(Count(lines, kPing), 2u * kPings);
  EXPECT_EQ(Count(lines, "Started"), 2u);
  EXPECT_EQ(Count(lines, "With command: 1"), 2u);
  EXPECT_EQ(Count(lines, "Exit"), 2u);
  EXPECT_EQ(lines.size(), 2u * kPings + 6u);
  size_t expectedSize = 2 * (kPings * (sizeof(kPing) - 1 + 2) + std::string("Started\r\nWith command: 1\r\nExit\r\n").size());
  EXPECT_EQ(log.size(), expectedSize);
}

// Two hosts fill a log that starts just under its limit with long lines.
// Each empties it, once past the limit, within the open that appends a line,
// so the file stays near the limit and holds, of each host, an unbroken run
// of its last lines: nothing lost but what was discarded at once.
TEST(Entry, TwoHostsAtOnceKeepTheSharedLogBounded) {
  HostFolder folder("log-shared-full");
  std::string old;
  while (old.size() < 100000) old += "an older line of the log\r\n";
  folder.Write("native-lumiclip.log", old);
  const int kPings = 150;
  auto ping = [](char host, int n) {
    std::string number = std::to_string(1000 + n);
    return "{\"JSONCommand\":\"ping\",\"n\":\"" + std::string(1, host) + number + "\",\"pad\":\"" +
           std::string(600, 'p') + "\"}";
  };
  Conversation a(folder.winExe());
  Conversation b(folder.winExe());
  ReadAnnouncement(a);
  ReadAnnouncement(b);
  std::string m;
  for (int i = 0; i < kPings; ++i) {
    a.Send(ping('a', i));
    b.Send(ping('b', i));
    ASSERT_TRUE(a.Next(&m, 10000)) << i;
    EXPECT_EQ(m, kPong);
    ASSERT_TRUE(b.Next(&m, 10000)) << i;
    EXPECT_EQ(m, kPong);
  }
  a.CloseInput();
  b.CloseInput();
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  std::string log = folder.Log();
  EXPECT_LE(log.size(), 102400u + 2 * (16384u + 502u));
  std::vector<std::string> lines = Lines(log);
  EXPECT_EQ(Count(lines, "an older line of the log"), 0u) << "never emptied";
  EXPECT_EQ(Count(lines, "Exit"), 2u);
  for (char host : {'a', 'b'}) {
    std::vector<int> numbers;
    for (const std::string& line : lines) {
      std::string head = "{\"JSONCommand\":\"ping\",\"n\":\"" + std::string(1, host);
      if (line.compare(0, head.size(), head) == 0) {
        EXPECT_EQ(line, ping(host, std::atoi(line.c_str() + head.size()) - 1000).substr(0, 497) + "...");
        numbers.push_back(std::atoi(line.c_str() + head.size()) - 1000);
      }
    }
    ASSERT_FALSE(numbers.empty()) << host;
    EXPECT_EQ(numbers.back(), kPings - 1) << host;
    for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << host;
  }
  for (const std::string& line : lines) {
    EXPECT_TRUE(line == "Started" || line == "With command: 1" || line == "Exit" ||
                line.rfind("{\"JSONCommand\":\"ping\",\"n\":\"", 0) == 0)
        << line;
  }
}

// Each request is logged; one above 500 bytes is cut to 497 bytes and "...".
TEST(Entry, LongRequestLinesAreShortened) {
  HostFolder folder("log-long-line");
  Conversation c(folder.winExe());
  ReadAnnouncement(c);
  const size_t sizes[] = {499, 500, 501, 600};
  std::vector<std::string> requests;
  for (size_t size : sizes) {
    std::string head = "{\"JSONCommand\":\"ping\",\"pad\":\"";
    std::string r = head + std::string(size - head.size() - 2, 'x') + "\"}";
    // Mark the bytes around the cut, so that a cut one byte off shows.
    r[496] = 'L';
    r[497] = 'N';
    ASSERT_EQ(r.size(), size);
    requests.push_back(r);
    c.Send(r);
    std::string m;
    ASSERT_TRUE(c.Next(&m, 10000)) << size;
    EXPECT_EQ(m, kPong) << size;
  }
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  std::vector<std::string> lines = Lines(folder.Log());
  ASSERT_EQ(lines.size(), 3u + requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    const std::string& r = requests[i];
    std::string expected = r.size() <= 500 ? r : r.substr(0, 497) + "...";
    EXPECT_EQ(lines[2 + i], expected) << r.size();
  }
}

}  // namespace
}  // namespace lumiclip::itest
