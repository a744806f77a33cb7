#include "support/log.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "os/os.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

constexpr const char kLogFileName[] = "native-lumiclip.log";
constexpr int64_t kSizeLimit = 102400;
constexpr size_t kLineLimit = 500;

// Built by the first line of the process and kept for its life. A string, not
// the 260-character buffer of old: a deep folder must not overflow it.
std::string g_logPath;
bool g_logPathBuilt = false;

void BuildLogPath() {
  Os& os = TheOs();
  g_logPath = ExecutableFolder(os.ExecutablePath()) + kLogFileName;
  g_logPathBuilt = true;
  // A log that has grown past the limit is discarded once per process, at
  // its first line; within one run it may grow on.
  int64_t length = os.FileLength(g_logPath);
  if (length > kSizeLimit) os.RemoveFile(g_logPath);
}

}  // namespace

std::string ShapeLogLine(const char* text) {
  // Only the head that can be kept is measured: a request's text may be
  // tens of megabytes long.
  size_t n = 0;
  while (n <= kLineLimit && text[n] != '\0') ++n;
  std::string line;
  if (n > kLineLimit) {
    line.assign(text, kLineLimit - 3);
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
    if (!g_logPathBuilt) BuildLogPath();
    TheOs().AppendToFile(g_logPath, ShapeLogLine(text == nullptr ? "" : text));
  } catch (...) {
    // The log never fails towards its caller.
  }
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
void ResetForTests() {
  g_logPath.clear();
  g_logPathBuilt = false;
}
}  // namespace log_internal

}  // namespace lumiclip
