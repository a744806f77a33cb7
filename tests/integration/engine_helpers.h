// Helpers for the integration tests that drive the real host with the sample
// engine: base64, outbound frame parsing for one-shot runs, the engine's
// trace, and waiting for files another process writes.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "wine_harness.h"

extern char** environ;

namespace lumiclip::itest {

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs = 50) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

inline std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// One outbound message, parsed; topic/data/code empty when absent.
struct HostMessage {
  std::string raw;
  bool json = false;
  std::string topic;
  std::string data;
  std::string code;
};

inline HostMessage ParseMessage(const std::string& raw) {
  HostMessage m;
  m.raw = raw;
  try {
    nlohmann::json j = nlohmann::json::parse(raw);
    m.json = j.is_object();
    if (j.contains("topic") && j["topic"].is_string()) m.topic = j["topic"].get<std::string>();
    if (j.contains("data") && j["data"].is_string()) m.data = j["data"].get<std::string>();
    if (j.contains("code") && j["code"].is_string()) m.code = j["code"].get<std::string>();
  } catch (const std::exception&) {
  }
  return m;
}

// The messages in a whole captured output (frames of {"data":...} closed
// by an empty one). *errors collects what is wrong with the framing.
inline std::vector<std::string> MessagesIn(const std::string& raw, std::string* errors) {
  MessageJoiner joined;
  size_t at = 0;
  joined.TakeFrames(raw, &at);
  *errors += joined.errors;
  if (at != raw.size()) *errors += "trailing " + std::to_string(raw.size() - at) + " bytes; ";
  if (!joined.current.empty()) *errors += "unterminated message; ";
  return joined.messages;
}

// Runs a program under wine (args without "wine") with input already
// written and closed, stdout and stderr captured through files, not pipes:
// a process that wine starts on the side (services, the desktop) inherits
// them and may outlive the program by a minute, so only the program's own
// end is waited for.
inline ProcessResult RunWineToFiles(const std::vector<std::string>& programArgs, const std::string& input,
                                    const std::map<std::string, std::string>& env = {}, int timeoutMs = 60000,
                                    const std::string& cwd = std::string()) {
  Wine& wine = Wine::Get();
  char dirTemplate[] = "/tmp/lumiclip-run-XXXXXX";
  ProcessResult r;
  if (mkdtemp(dirTemplate) == nullptr) return r;
  const std::string dir = dirTemplate;
  const std::string inPath = dir + "/in", outPath = dir + "/out", errPath = dir + "/err";
  WriteFile(inPath, input);
  std::map<std::string, std::string> full = {{"WINEPREFIX", wine.prefix()}, {"WINEDEBUG", "-all"}};
  for (const auto& [k, v] : env) full[k] = v;
  std::vector<std::string> envStrings = Environment(full);
  std::vector<std::string> args = {WineLoader()};
  args.insert(args.end(), programArgs.begin(), programArgs.end());
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  // Nothing may allocate between fork and exec.
  pid_t pid = fork();
  if (pid == 0) {
    ExecChild(argv.data(), envp.data(), cwd, open(inPath.c_str(), O_RDONLY),
              open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
              open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  }
  int status = 0;
  bool exited = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs, 10);
  if (!exited) {
    r.timedOut = true;
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFile(outPath);
  r.err = ReadFile(errPath);
  std::system(("rm -rf '" + dir + "'").c_str());
  return r;
}

// A whole conversation at once: the host started through the launcher with
// all of input already written and then closed.
inline ProcessResult RunHostOnce(const std::string& winExe, const std::string& input,
                                 const std::map<std::string, std::string>& env = {},
                                 const std::string& cwd = std::string()) {
  return RunWineToFiles({Wine::Get().bin() + "/lumiclip-launcher.exe", winExe}, input, env, 60000, cwd);
}

// Wine's relay trace limited to MessageBoxW, as Wine::RelayEnv sets it up,
// but without waiting on pipes that wine's side processes may hold.
inline std::map<std::string, std::string> RelayBoxEnv() {
  static bool configured = false;
  if (!configured) {
    ProcessResult r = RunWineToFiles({"reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t",
                                      "REG_SZ", "/d", "user32.MessageBoxW", "/f"},
                                     "");
    configured = !r.timedOut && r.exitCode == 0;
    EXPECT_TRUE(configured) << r.out << r.err;
  }
  return {{"WINEDEBUG", "+relay"}};
}

// The next message of a live conversation, parsed; topic "<none>" when
// nothing came in time.
inline HostMessage NextMessage(Conversation& c, int timeoutMs = 30000) {
  std::string m;
  if (!c.Next(&m, timeoutMs)) {
    HostMessage none;
    none.topic = "<none>";
    return none;
  }
  return ParseMessage(m);
}

// Reads the announcement: hostVersion, then status 0 or getDLL.
inline void ExpectAnnouncement(Conversation& c, bool engineThere) {
  HostMessage hello = NextMessage(c);
  EXPECT_EQ(hello.topic, "hostVersion") << hello.raw;
  EXPECT_FALSE(hello.data.empty()) << hello.raw;
  HostMessage second = NextMessage(c);
  if (engineThere) {
    EXPECT_EQ(second.topic, "status") << second.raw;
    EXPECT_EQ(second.code, "0") << second.raw;
    EXPECT_EQ(second.data, hello.data) << second.raw;
  } else {
    EXPECT_EQ(second.raw, "{\"topic\":\"getDLL\"}");
  }
}

// Lines of the sample engine's trace (ends in LF).
inline std::vector<std::string> TraceLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// The trace lines that start with one of the prefixes, in order: the events
// that matter without the emit/emitted noise.
inline std::vector<std::string> TraceEvents(const std::vector<std::string>& lines,
                                            const std::vector<std::string>& prefixes) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    for (const std::string& p : prefixes) {
      if (l.compare(0, p.size(), p) == 0) {
        out.push_back(l);
        break;
      }
    }
  }
  return out;
}

inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Temporary files (their names end in "~") left in a folder.
inline std::vector<std::string> TemporaryFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (!n.empty() && n.back() == '~') names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

// The libraries planted in a folder (tests/win32/plant) that were loaded:
// each leaves "<its name>.ran" beside itself.
inline std::vector<std::string> PlantsThatRan(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".ran") == 0) names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

// Index of the first line equal to line at or after from; -1 if none.
inline int IndexOf(const std::vector<std::string>& lines, const std::string& line, int from = 0) {
  for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<int>(i);
  }
  return -1;
}

// The exact trace line the sample engine writes for a call.
inline std::string CallLine(int n, const std::string& text, int depth = 1) {
  std::string shown;
  for (char ch : text) {
    if (ch == '\n') shown += "\\n";
    else if (ch == '\r') shown += "\\r";
    else if (ch == '\\') shown += "\\\\";
    else shown += ch;
  }
  return "call n=" + std::to_string(n) + " name=JSONFunction zero1=0 zero2=0 depth=" + std::to_string(depth) +
         " length=" + std::to_string(text.size()) + " terminated=yes text=" + shown;
}

}  // namespace lumiclip::itest
