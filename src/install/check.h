// "--check": the installation as the browsers see it. Reads and reports,
// changes nothing (no registry value, no file but the log's own lines), and
// loads no foreign code: the engine is judged by its file's headers.
#pragma once

namespace lumiclip {

// Exit statuses of the check.
constexpr int kCheckAllStart = 0;      // Chrome, Chromium and Edge would each start the host
constexpr int kCheckSomeWillNot = 1;   // at least one of them would not

// One line a finding, each with what to do about it, to the log and to
// standard output when a script redirected it, else to the console of the
// program that started this one, else in a message box.
int RunCheck();

}  // namespace lumiclip
