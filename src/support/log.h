// The log file "native-lumiclip.log" beside the running executable, in
// UTF-8 whatever the system's code page (a line of ASCII is its bytes): one
// line per notable step, each written to the file at once (nothing is held
// in the process, but for the moment a burst of requests is answered, see
// HoldLines) so nothing is lost when the process is ended abruptly.
#pragma once

#include <cstdint>
#include <string>

#include "os/os.h"

namespace lumiclip {

constexpr const char kLogFileName[] = "native-lumiclip.log";

// Appends the text and a line end. Never throws, never reports a failure.
void LogLine(const char* text);
inline void LogLine(const std::string& text) { LogLine(text.c_str()); }

// From here on the file stays open between lines: for host mode, which logs
// every request and never removes its folder. Other modes open and close it
// for every line, as they may go on to remove the file or its folder.
void KeepLogOpen();

// The lines of a burst of requests go to the file together, in one append:
// while held, lines are kept in order and appended at WriteHeldLines (or once
// 8 KiB are kept). For the host's loop, which writes them before anything
// that may take time, fail or wait, so a line is in the file before the host
// calls the engine or sleeps.
void HoldLines();
void WriteHeldLines();  // appends what is kept and holds no more

// Format with exactly one "%d" / one "%s".
void LogFormatInt(const char* format, int32_t value);
void LogFormatStr(const char* format, const char* text);

// The lines of the file as they are stored: the text's UTF-8 bytes, every
// line feed as CR LF; a text over 500 bytes is cut to its first 497 bytes (or
// fewer, not to split a character) and "...". Exposed for tests.
std::string ShapeLogLine(const char* text);

namespace log_internal {
// What a process keeps between its lines. Tests swap it to play several
// processes appending to one file.
struct ProcessState {
  std::string path;  // built by the process's first line; never empty after it
  int64_t untilCheck = 0;  // bytes to append before the next size check
  bool keepOpen = false;
  OsHandle file = nullptr;  // the file kept open, once a line has opened it
  std::atomic<int32_t>* word = nullptr;  // the word that serialises appends to the file
  bool wordTried = false;                // looked for once the file existed
  bool hold = false;
  std::string held;  // lines kept while held
};
ProcessState& CurrentProcessState();
// Forgets the log path so that the next line builds it again, with the size
// check of a fresh process. Tests only.
void ResetForTests();
}  // namespace log_internal

}  // namespace lumiclip
