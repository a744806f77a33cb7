#include "support/log.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "os/os.h"
#include "os/shared_word_lock.h"
#include "support/paths.h"
#include "support/unicode.h"

namespace lumiclip {

namespace {

constexpr int64_t kSizeLimit = 102400;
constexpr size_t kLineLimit = 500;
// A host may run for days, so the limit is checked again after every this
// many bytes of the process's own lines: one size query per some hundreds of
// lines, which a ping does not feel. The file may pass the limit by this
// much per writing process before a check empties it.
constexpr int64_t kCheckEveryBytes = 16384;

// Kept lines are appended once this much is kept.
constexpr size_t kHeldLinesLimit = 8192;

log_internal::ProcessState g_state;
// Lines come from the host thread and from the input's reader thread.
std::mutex g_mutex;

void BuildLogPath() {
  // Built by the first line of the process and kept for its life. A string,
  // not the 260-character buffer of old: a deep folder must not overflow it.
  g_state.path = ExecutableFolder(TheOs().ExecutablePath()) + kLogFileName;
}

// Appends from every process that writes the file are serialised by a word
// they all map, named after the file's index: a free word costs no call to
// the system, where the lock byte of the file costs two (under wine, two
// trips to its server) for every line. Looked for once the file exists; the
// lock byte serves until then, or when the word cannot be had.
std::atomic<int32_t>* SharedWordOfLog() {
  if (g_state.wordTried) return g_state.word;
  Os& os = TheOs();
  uint64_t index = 0;
  if (!os.FileIndex(g_state.path, &index)) return nullptr;
  char name[64];
  std::snprintf(name, sizeof(name), "Local\\lumiclip-append-%016llx", static_cast<unsigned long long>(index));
  g_state.word = os.SharedWord(name);
  g_state.wordTried = true;
  return g_state.word;
}

uint32_t Now() { return TheOs().TickCount(); }
void PauseForWord(unsigned spins) {
  if (spins < 128) {
    TheOs().YieldThread();
  } else {
    TheOs().SleepMs(1);
  }
}

// The line through the file kept open, or through an open of its own.
bool Append(const std::string& line, int64_t emptyAbove) {
  Os& os = TheOs();
  std::atomic<int32_t>* word = SharedWordOfLog();
  std::optional<SharedWordLock> lock;
  if (word != nullptr) {
    lock.emplace(*word, static_cast<int32_t>(os.CurrentProcessId()), SharedWordLock::Clock{&Now, &PauseForWord});
  }
  const bool lockByte = word == nullptr;
  if (!g_state.keepOpen) return os.AppendToFile(g_state.path, line, emptyAbove, lockByte);
  if (g_state.file == nullptr) g_state.file = os.OpenToAppend(g_state.path);
  if (g_state.file == nullptr) return false;
  if (os.AppendToOpenFile(g_state.file, line, emptyAbove, lockByte)) return true;
  // Opened afresh by the next line.
  os.CloseFile(g_state.file);
  g_state.file = nullptr;
  return false;
}

// Appends the lines; the mutex is held.
void AppendLines(const std::string& lines) {
  if (g_state.path.empty()) BuildLogPath();
  // A log past the limit is discarded: emptied within the open that
  // appends the line, so that the lines other hosts append meanwhile are
  // never lost to a deleted file that they still hold open.
  bool check = g_state.untilCheck <= 0;
  if (Append(lines, check ? kSizeLimit : -1) && check) {
    g_state.untilCheck = kCheckEveryBytes;
  }
  g_state.untilCheck -= static_cast<int64_t>(lines.size());
}

// Appends the lines kept; the mutex is held. Taken from the state first, so
// that even an append that throws never writes a line twice.
void AppendHeldLines() {
  if (g_state.held.empty()) return;
  std::string lines = std::move(g_state.held);
  g_state.held.clear();
  AppendLines(lines);
}

}  // namespace

std::string ShapeLogLine(const char* text) {
  // Only the head that can be kept is measured: a request's text may be
  // tens of megabytes long.
  size_t n = 0;
  while (n <= kLineLimit && text[n] != '\0') ++n;
  std::string line;
  if (n > kLineLimit) {
    // The file is UTF-8: a character is never cut in half.
    line.assign(text, Utf8BoundaryAtOrBefore(std::string_view(text, n), kLineLimit - 3));
    line += "...";
  } else {
    line.assign(text, n);
  }
  line += '\n';
  // The file is a text-mode file: every line feed is stored as CR LF.
  std::string stored;
  stored.reserve(line.size() + 8);
  for (char c : line) {
    if (c == '\n') stored += '\r';
    stored += c;
  }
  return stored;
}

void LogLine(const char* text) {
  try {
    std::string line = ShapeLogLine(text == nullptr ? "" : text);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_state.hold) {
      AppendLines(line);
      return;
    }
    g_state.held += line;
    if (g_state.held.size() >= kHeldLinesLimit) AppendHeldLines();
  } catch (...) {
    // The log never fails towards its caller.
  }
}

void HoldLines() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.hold = true;
}

void WriteHeldLines() {
  try {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.hold = false;
    AppendHeldLines();
  } catch (...) {
  }
}

void KeepLogOpen() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.keepOpen = true;
}

void LogFormatInt(const char* format, int32_t value) {
  size_t size = std::strlen(format) + 100;
  std::unique_ptr<char[]> buffer(new char[size]);
  std::snprintf(buffer.get(), size, format, static_cast<int>(value));
  LogLine(buffer.get());
}

void LogFormatStr(const char* format, const char* text) {
  size_t size = std::strlen(format) + std::strlen(text) + 1;
  std::unique_ptr<char[]> buffer(new char[size]);
  std::snprintf(buffer.get(), size, format, text);
  LogLine(buffer.get());
}

namespace log_internal {
ProcessState& CurrentProcessState() { return g_state; }
void ResetForTests() { g_state = ProcessState(); }
}  // namespace log_internal

}  // namespace lumiclip
