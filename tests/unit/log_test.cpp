#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "os/shared_word_lock.h"
#include "support/log.h"

namespace lumiclip::testing {
namespace {

using Log = HostFixture;

const char kLogPath[] = "C:\\Host\\native-lumiclip.log";

// A text whose every byte tells its position, so a cut at the wrong place
// shows.
std::string Numbered(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

struct ShapeCase {
  const char* name;
  std::string text;
  std::string stored;
};

std::vector<ShapeCase> ShapeCases() {
  return {
      {"empty", "", "\r\n"},
      {"plain", "Started", "Started\r\n"},
      {"inner line feed", "a\nb", "a\r\nb\r\n"},
      {"error line", "\n**** Error: Exe not saved.\n", "\r\n**** Error: Exe not saved.\r\n\r\n"},
      {"carriage return kept", "a\r\nb", "a\r\r\nb\r\n"},
      {"format characters literal", "100%s %d %n done", "100%s %d %n done\r\n"},
      {"exactly 500 bytes", Numbered(500), Numbered(500) + "\r\n"},
      {"501 bytes", Numbered(501), Numbered(497) + "...\r\n"},
      {"far over the limit", Numbered(5000), Numbered(497) + "...\r\n"},
      // UTF-8: a character across the cut is left out whole.
      {"cut before a character", Numbered(496) + "\xE6\x97\xA5" + Numbered(9), Numbered(496) + "...\r\n"},
      {"character ending at the cut", Numbered(494) + "\xE6\x97\xA5" + Numbered(9),
       Numbered(494) + "\xE6\x97\xA5...\r\n"},
  };
}

TEST_F(Log, LinesAreStoredWithCrLfAndCutAt500Bytes) {
  for (const ShapeCase& c : ShapeCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShapeLogLine(c.text.c_str()), c.stored);

    os.files.erase(FakeOs::Lower(kLogPath));
    LogLine(c.text);
    EXPECT_EQ(os.FileText(kLogPath), c.stored);
  }
}

TEST_F(Log, LinesAccumulateInOrder) {
  LogLine("one");
  LogLine(std::string("two"));
  LogLine("");
  LogLine("three");
  EXPECT_EQ(os.Log(), "one\r\ntwo\r\n\r\nthree\r\n");
}

TEST_F(Log, FormatIntWritesTheNumber) {
  struct Case {
    int32_t value;
    std::string line;
  };
  for (const Case& c : std::vector<Case>{{0, "With command: 0"},
                                         {4, "With command: 4"},
                                         {-12, "With command: -12"},
                                         {INT32_MAX, "With command: 2147483647"},
                                         {INT32_MIN, "With command: -2147483648"}}) {
    os.files.erase(FakeOs::Lower(kLogPath));
    LogFormatInt("With command: %d", c.value);
    EXPECT_EQ(os.Log(), c.line + "\r\n");
  }
}

TEST_F(Log, FormatStrInsertsTheTextLiterally) {
  LogFormatStr("Saving to file: %s", "C:\\Host\\RAZ.dll");
  LogFormatStr("\n**** Error: Path too long: %s\n", "C:\\x");
  // A text holding format directives is inserted, not formatted again.
  LogFormatStr("Got: %s", "%d %s %n");
  LogFormatStr("%s", "");
  EXPECT_EQ(os.Log(),
            "Saving to file: C:\\Host\\RAZ.dll\r\n"
            "\r\n**** Error: Path too long: C:\\x\r\n\r\n"
            "Got: %d %s %n\r\n"
            "\r\n");
}

TEST_F(Log, FormatStrWithALongTextIsCutLikeAnyLine) {
  std::string text = Numbered(3000);
  LogFormatStr("Folder: %s", text.c_str());
  EXPECT_EQ(os.Log(), ("Folder: " + text).substr(0, 497) + "...\r\n");
}

TEST_F(Log, FileIsBesideTheExecutable) {
  os.executablePath = "D:\\Tools\\Sub\\host.exe";
  os.AddFolder("D:\\Tools\\Sub");
  LogLine("Started");
  EXPECT_EQ(os.FileText("D:\\Tools\\Sub\\native-lumiclip.log"), "Started\r\n");
  EXPECT_FALSE(os.HasFile(kLogPath));
}

TEST_F(Log, ExecutableWithoutFolderLogsToARelativeName) {
  os.executablePath = "host.exe";
  LogLine("Started");
  EXPECT_EQ(os.FileText("native-lumiclip.log"), "Started\r\n");
  EXPECT_EQ(os.files.size(), 1u);
}

TEST_F(Log, DeepFolderDoesNotOverflow) {
  std::string folder = "C:\\" + std::string(300, 'd') + "\\" + std::string(200, 'e');
  os.executablePath = folder + "\\host.exe";
  os.AddFolder(folder);
  LogLine("Started");
  EXPECT_EQ(os.FileText(folder + "\\native-lumiclip.log"), "Started\r\n");
}

TEST_F(Log, SizeLimitAtTheFirstLineOfAProcess) {
  struct Case {
    size_t existing;
    bool kept;
  };
  for (const Case& c : std::vector<Case>{{0, true}, {102399, true}, {102400, true},
                                         {102401, false}, {500000, false}}) {
    SCOPED_TRACE(c.existing);
    log_internal::ResetForTests();
    std::string old(c.existing, 'o');
    os.AddFile(kLogPath, old);
    LogLine("Started");
    EXPECT_EQ(os.Log(), (c.kept ? old : std::string()) + "Started\r\n");
  }
}

// A host may run for days, and several hosts append to one log. However
// long they run, the file stays near the limit: each process checks it again
// after every 16 KiB of its own lines, within the open that appends a line.
// What the file holds is always the tail of all lines appended, in order and
// whole: nothing is lost but what the rule discards at once.
TEST_F(Log, StaysBoundedInALongRunOfSeveralWriters) {
  constexpr size_t kLimit = 102400, kCheckEvery = 16384, kLongestLine = 502;
  for (int writers : {1, 2, 3}) {
    SCOPED_TRACE(std::to_string(writers) + " writers");
    os.files.erase(FakeOs::Lower(kLogPath));
    os.sizeChecks = 0;
    std::vector<log_internal::ProcessState> states(writers);
    std::string all;                  // every stored line, in the order appended
    std::vector<size_t> lineStarts;   // where each one starts in all
    size_t largest = 0;
    uint32_t seed = 7;
    for (int n = 0; n < 4000; ++n) {
      seed = seed * 1103515245u + 12345u;
      int writer = static_cast<int>((seed >> 16) % writers);
      std::swap(log_internal::CurrentProcessState(), states[writer]);
      // 20 to 700 bytes: some are cut to 500.
      std::string text = "writer " + std::to_string(writer) + " line " + std::to_string(n) + " ";
      text += Numbered(20 + (seed >> 8) % 680);
      LogLine(text);
      std::swap(log_internal::CurrentProcessState(), states[writer]);
      lineStarts.push_back(all.size());
      all += ShapeLogLine(text.c_str());
      largest = std::max(largest, os.files[FakeOs::Lower(kLogPath)].size());
    }
    EXPECT_LE(largest, kLimit + writers * (kCheckEvery + kLongestLine));
    ASSERT_GT(all.size(), 5 * kLimit);
    std::string log = os.Log();
    ASSERT_LT(log.size(), all.size());
    // The tail of all lines, starting at a line.
    size_t from = all.size() - log.size();
    EXPECT_TRUE(std::binary_search(lineStarts.begin(), lineStarts.end(), from)) << from;
    EXPECT_TRUE(all.compare(from, std::string::npos, log) == 0);
    // The check is rare: about one per 16 KiB that a process appends.
    EXPECT_LE(static_cast<size_t>(os.sizeChecks), all.size() / kCheckEvery + writers);
  }
}

TEST_F(Log, MissingFileIsNotAnError) {
  LogLine("Started");
  EXPECT_EQ(os.Log(), "Started\r\n");
}

TEST_F(Log, FailedAppendIsSilentAndTheNextLineTriesAgain) {
  // Opened for every line, and kept open as host mode keeps it: a kept file
  // that fails is closed, and the next line opens it afresh.
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept open" : "opened for every line");
    log_internal::ResetForTests();
    os.files.erase(FakeOs::Lower(kLogPath));
    if (keep) KeepLogOpen();
    os.failing.insert("AppendToFile");
    EXPECT_NO_THROW(LogLine("lost"));
    EXPECT_NO_THROW(LogFormatInt("lost %d", 1));
    EXPECT_NO_THROW(LogFormatStr("lost %s", "too"));
    EXPECT_FALSE(os.HasFile(kLogPath));
    EXPECT_EQ(os.OpenFileHandles(), 0u) << "a failed kept file stays open";

    os.failing.clear();
    LogLine("kept");
    EXPECT_EQ(os.Log(), "kept\r\n");
  }
}

// Another process may make the log's shared word first with its page only
// reserved, which would fault at the first touch: the seam refuses such a
// word, and the lines go under the lock byte of the file (the fake fails
// an append under neither), each whole and in order.
TEST_F(Log, ARefusedSharedWordLeavesTheLockByte) {
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "usable");
    log_internal::ResetForTests();
    os.files.clear();
    os.fileIndexes.clear();
    os.sharedWords.clear();
    os.reservedWords.clear();
    if (refused) os.reservedWords.insert("Local\\lumiclip-append-0000000000000001");
    for (const char* line : {"one", "two", "three"}) LogLine(line);
    EXPECT_EQ(os.Log(), StoredLog({"one", "two", "three"}));
    EXPECT_EQ(os.sharedWords.size(), refused ? 0u : 1u);
  }
}

// The word that hosts appending to one log share. Each case: who holds the
// word when the lock is asked for, and what happens while this process
// waits (a pause is 1 ms of the clock).
struct WordCase {
  const char* name;
  int32_t holder;  // 0: free
  // At the pause counted first, the word becomes the second: 0 when the
  // holder lets go, another id when another waiter takes it over.
  std::vector<std::pair<int, int32_t>> changes;
  int32_t self;
  int pauses;  // pauses before the word is this process's
  bool tookOver;
  // Another waiter that takes the word over first, at the instant this
  // process's patience runs out: between its look at the word and its
  // takeover. 0: none.
  int32_t takenFirst = 0;
};

uint32_t g_wordClock = 0;
int g_wordPauses = 0;
std::atomic<int32_t>* g_word = nullptr;
const WordCase* g_wordCase = nullptr;

TEST(SharedWordLock, WaitsForTheHolderAndTakesOverFromOneThatEnded) {
  const int patience = static_cast<int>(SharedWordLock::kPatienceMs);
  const WordCase cases[] = {
      {"free", 0, {}, 7, 0, false},
      {"held, let go after 5 ms", 42, {{5, 0}}, 7, 5, false},
      {"holder ended", 42, {}, 7, patience + 1, true},
      {"an earlier process with this id ended holding it", 7, {}, 7, patience + 1, true},
      // Pid 42 ended holding the word; waiter 7 took it over from it just
      // before this waiter's patience with 42 ran out. 7 is live: this
      // waiter waits for it to let go.
      {"another waiter took over from the one that ended", 42, {{195, 7}, {250, 0}}, 9, 250, false},
      {"and then ended too", 42, {{195, 7}}, 9, 195 + patience + 1, true},
      {"another waiter takes it over first", 42, {{300, 0}}, 9, 300, false, 7},
  };
  const SharedWordLock::Clock clock{
      [] {
        if (g_wordCase->takenFirst != 0 && g_wordClock == 1000 + SharedWordLock::kPatienceMs + 1) {
          g_word->store(g_wordCase->takenFirst);
        }
        return g_wordClock;
      },
      [](unsigned) {
        ++g_wordClock;
        ++g_wordPauses;
        for (const auto& [at, value] : g_wordCase->changes) {
          if (at == g_wordPauses) g_word->store(value);
        }
      }};
  for (const WordCase& c : cases) {
    std::atomic<int32_t> word{c.holder};
    g_word = &word;
    g_wordCase = &c;
    g_wordClock = 1000;
    g_wordPauses = 0;
    {
      SharedWordLock lock(word, c.self, clock);
      EXPECT_EQ(word.load(), c.self) << c.name;
      EXPECT_EQ(g_wordPauses, c.pauses) << c.name;
      EXPECT_EQ(lock.tookOver(), c.tookOver) << c.name;
    }
    EXPECT_EQ(word.load(), 0) << c.name << ": let go";
  }
  // Passed by (another process took the word over): letting go leaves the
  // word with its new holder.
  std::atomic<int32_t> word{0};
  {
    SharedWordLock lock(word, 7, clock);
    word.store(99);
  }
  EXPECT_EQ(word.load(), 99);
}

}  // namespace
}  // namespace lumiclip::testing
