#include "wine_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "channel/wire_format.h"
#include "support/unicode.h"

extern char** environ;

namespace lumiclip::itest {

namespace {

std::string Exe() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return "itest";
  buffer[n] = 0;
  std::string path(buffer);
  return path.substr(path.rfind('/') + 1);
}

struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
};

Child Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, bool withErr,
            const std::string& cwd = std::string()) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> envStrings = Environment(env);
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) ExecChild(argv.data(), envp.data(), cwd, in[0], out[1], withErr ? err[1] : open("/dev/null", O_WRONLY));
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!withErr) {
    close(err[0]);
    err[0] = -1;
  }
  signal(SIGPIPE, SIG_IGN);
  return Child{pid, in[1], out[0], err[0]};
}

std::string WineEnvValue() { return "-all"; }

// scripts/wineprefix of the checkout these tests were built from: CMake
// compiles this file by its absolute path.
std::string PrefixTool() {
  std::string file = __FILE__;
  size_t at = file.rfind("/tests/integration/");
  if (at == std::string::npos) throw std::runtime_error("cannot find scripts/wineprefix from " + file);
  return file.substr(0, at) + "/scripts/wineprefix";
}

}  // namespace

std::vector<std::string> Environment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv(*e);
    size_t eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : extra) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

void ExecChild(char* const* argv, char* const* envp, const std::string& cwd, int in, int out, int err) {
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  setpgid(0, 0);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  execvpe(argv[0], argv, envp);
  _exit(127);
}

#ifndef LUMICLIP_WINE
#define LUMICLIP_WINE "wine"
#endif

const std::string& WineLoader() {
  static const std::string loader = [] {
    const char* chosen = std::getenv("LUMICLIP_WINE");
    return std::string(chosen != nullptr && *chosen != '\0' ? chosen : LUMICLIP_WINE);
  }();
  return loader;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Le32(uint32_t n) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return s;
}

std::string FrameOf(const std::string& body) { return Le32(static_cast<uint32_t>(body.size())) + body; }

std::vector<std::string> Lines(const std::string& log) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(log.substr(at));
      break;
    }
    lines.push_back(log.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

Wine& Wine::Get() {
  static Wine wine;
  return wine;
}

Wine::Wine() {
  const char* root = std::getenv("LUMICLIP_WINE_ROOT");
  const char* bin = std::getenv("LUMICLIP_WIN32_BIN");
  if (root == nullptr || bin == nullptr) throw std::runtime_error("LUMICLIP_WINE_ROOT and LUMICLIP_WIN32_BIN must be set");
  prefix_ = std::string(root) + "/" + Exe();
  bin_ = bin;
  // A fresh copy of the template prefix that every suite of this build
  // copies (scripts/wineprefix); a persistent wineserver keeps starts fast.
  std::string make = "'" + PrefixTool() + "' '" + WineLoader() + "' '" + prefix_ + "'";
  if (std::system(make.c_str()) != 0) throw std::runtime_error("cannot make the wine prefix " + prefix_);
  Child server = Spawn({"wineserver", "-p"}, {{"WINEPREFIX", prefix_}}, false);
  close(server.in);
  close(server.out);
  waitpid(server.pid, nullptr, 0);
  std::string base = DriveC() + "/t";
  std::string clean = "rm -rf '" + base + "' && mkdir -p '" + base + "'";
  if (std::system(clean.c_str()) != 0) throw std::runtime_error("cannot prepare " + base);
  StartSession();
}

Wine::~Wine() {
  Child k = Spawn({"wineserver", "-k"}, {{"WINEPREFIX", prefix_}}, false);
  close(k.in);
  close(k.out);
  waitpid(k.pid, nullptr, 0);
}

std::string Wine::AppData() const {
  glob_t g;
  std::string pattern = DriveC() + "/users/*/AppData/Roaming";
  std::string found;
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i) {
      std::string p = g.gl_pathv[i];
      if (p.find("/users/Public/") == std::string::npos) found = p;
    }
  }
  globfree(&g);
  return found;
}

std::string Wine::WinPath(const std::string& unixPath) const {
  std::string base = DriveC();
  std::string rest = unixPath.compare(0, base.size(), base) == 0 ? unixPath.substr(base.size()) : unixPath;
  std::string out = "C:";
  for (char c : rest) out += c == '/' ? '\\' : c;
  return out;
}

ProcessResult Wine::Run(const std::vector<std::string>& args, const std::string& input, int timeoutMs,
                        const std::map<std::string, std::string>& env, const std::string& cwd) {
  ProcessResult r = RunOnce(args, input, timeoutMs, env, cwd);
  // Under load wine now and then ends a new process as violently dead (exit
  // code 1) before any of its code has run. Of our programs only an
  // uninstallation ends with 1 (something was left), and `reg` says why when
  // it does.
  const std::string& program = args[0];
  auto uninstalls = [](const std::string& a) { return a.rfind("--uninstall", 0) == 0; };
  bool ours = program.size() > 4 && strcasecmp(program.c_str() + program.size() - 4, ".exe") == 0 &&
              std::none_of(args.begin(), args.end(), uninstalls);
  bool reg = program == "reg";
  if (r.exitCode == 1 && !r.timedOut && r.out.empty() && (ours || (reg && r.err.empty()))) {
    std::fprintf(stderr, "[wine] %s ended with exit status 1 and printed nothing: run once more\n",
                 program.c_str());
    r = RunOnce(args, input, timeoutMs, env, cwd);
  }
  return r;
}

ProcessResult Wine::RunOnce(const std::vector<std::string>& args, const std::string& input, int timeoutMs,
                            const std::map<std::string, std::string>& env, const std::string& cwd) {
  std::map<std::string, std::string> full = {{"WINEPREFIX", prefix_}, {"WINEDEBUG", WineEnvValue()}};
  for (const auto& [k, v] : env) full[k] = v;
  std::vector<std::string> argv = args;
  // wineboot too: Debian's wineboot command starts it with the 32-bit loader.
  if (argv[0] != "wineserver") argv.insert(argv.begin(), WineLoader());
  Child c = Spawn(argv, full, true, cwd);
  ProcessResult r;
  std::thread writer([&] {
    size_t at = 0;
    while (at < input.size()) {
      ssize_t n = write(c.in, input.data() + at, input.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(c.in);
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) {
      r.timedOut = true;
      kill(-c.pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, left) <= 0) continue;
    for (pollfd& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(f.fd, buffer, sizeof(buffer));
      if (n <= 0) {
        close(f.fd);
        f.fd = -1;
        --open;
        continue;
      }
      (&f == &fds[0] ? r.out : r.err).append(buffer, static_cast<size_t>(n));
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  writer.join();
  int status = 0;
  waitpid(c.pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (WIFSIGNALED(status) && !r.timedOut) {
    std::fprintf(stderr, "[wine] %s: killed by signal %d; stderr:\n%s\n", args[0].c_str(), WTERMSIG(status),
                 r.err.c_str());
  }
  return r;
}

std::string Wine::RegQueryDefault(const std::string& key) {
  ProcessResult r = Run({"reg", "query", "HKCU\\" + key, "/ve"});
  size_t at = r.out.find("REG_SZ");
  if (at == std::string::npos) {
    // 1 is a missing key; anything else is a failure of the query itself.
    if (r.exitCode != 1) {
      std::fprintf(stderr, "reg query %s: exit code %d\n%s%s\n", key.c_str(), r.exitCode, r.out.c_str(),
                   r.err.c_str());
    }
    return std::string();
  }
  std::string value = r.out.substr(at + 6);
  size_t start = value.find_first_not_of(" \t");
  size_t end = value.find_first_of("\r\n", start);
  return start == std::string::npos ? std::string() : value.substr(start, end - start);
}

void Wine::RegDelete(const std::string& key) { Run({"reg", "delete", "HKCU\\" + key, "/f"}); }

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  if (!lumiclip::Utf16ToUtf8(text, &out)) out = "<not valid UTF-16>";
  return out;
}

std::string Wine::RegExportDefault(const std::string& key) {
  const std::string file = DriveC() + "/t/export.reg";
  std::remove(file.c_str());
  Run({"regedit", "/E", WinPath(file), "HKEY_CURRENT_USER\\" + key});
  // UTF-16 with a byte-order mark; the value as @="...", backslashes doubled.
  std::string bytes = ReadFile(file);
  std::u16string units;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                   static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  std::string text = Utf16ToUtf8(units);
  size_t at = text.find("\n@=\"");
  if (at == std::string::npos) return std::string();
  std::string value;
  for (at += 4; at < text.size() && text[at] != '"'; ++at) {
    if (text[at] == '\\' && at + 1 < text.size()) ++at;
    value += text[at];
  }
  return value;
}

void Wine::StartSession() {
  if (sessionStarted_) return;
  sessionStarted_ = true;
  std::vector<std::string> envStrings = Environment({{"WINEPREFIX", prefix_}, {"WINEDEBUG", "-all"}});
  std::vector<char*> envp;
  for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const char* argv[] = {WineLoader().c_str(), "cmd", "/c", "exit", nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    setpgid(0, 0);
    execvpe(argv[0], const_cast<char**>(argv), envp.data());
    _exit(127);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
}

std::map<std::string, std::string> Wine::RelayEnv() {
  if (!relayConfigured_) {
    Run({"reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d",
         "user32.MessageBoxW", "/f"});
    relayConfigured_ = true;
  }
  return {{"WINEDEBUG", "+relay"}};
}

namespace {

bool HexUnit(const std::string& line, size_t at, char16_t* unit) {
  if (line.size() - at < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(line[at + i]))) return false;
  }
  *unit = static_cast<char16_t>(std::stoul(line.substr(at, 4), nullptr, 16));
  return true;
}

// One argument of a relay line: a hex word, optionally followed by a quoted
// string as wine prints it (L"..." for UTF-16, its other characters as a
// backslash and four hex digits), as UTF-8.
bool ParseArg(const std::string& line, size_t& at, unsigned* word, std::string* text, bool* hasText,
              bool* cut) {
  size_t start = at;
  while (at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at]))) ++at;
  if (at == start) return false;
  *word = static_cast<unsigned>(std::stoul(line.substr(start, at - start), nullptr, 16));
  *hasText = false;
  text->clear();
  bool wide = line.compare(at, 3, " L\"") == 0;
  if (wide || line.compare(at, 2, " \"") == 0) {
    at += wide ? 3 : 2;
    *hasText = true;
    std::u16string units;
    while (at < line.size() && line[at] != '"') {
      char16_t unit = 0;
      if (line[at] == '\\' && wide && HexUnit(line, at + 1, &unit)) {
        units += unit;
        at += 4;
      } else if (line[at] == '\\' && at + 1 < line.size()) {
        char e = line[++at];
        units += static_cast<char16_t>(e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e);
      } else {
        units += static_cast<char16_t>(static_cast<unsigned char>(line[at]));
      }
      ++at;
    }
    if (wide) {
      *text = Utf16ToUtf8(units);
    } else {
      for (char16_t c : units) *text += static_cast<char>(c);
    }
    ++at;
    if (line.compare(at, 3, "...") == 0) {
      *cut = true;
      at += 3;
    }
  }
  return true;
}

}  // namespace

std::vector<Wine::Box> Wine::AllBoxesIn(const std::string& relayTrace) {
  std::vector<Box> boxes;
  std::istringstream lines(relayTrace);
  std::string line;
  while (std::getline(lines, line)) {
    size_t call = line.find(":Call user32.MessageBoxW(");
    if (call == std::string::npos) continue;
    size_t at = call + std::strlen(":Call user32.MessageBoxW(");
    unsigned words[4];
    std::string texts[4];
    bool has[4];
    bool cut = false;
    bool ok = true;
    for (int i = 0; i < 4 && ok; ++i) {
      ok = ParseArg(line, at, &words[i], &texts[i], &has[i], &cut);
      if (i < 3 && ok) ok = at < line.size() && line[at++] == ',';
    }
    if (!ok) continue;
    Box box;
    box.text = texts[1];
    box.caption = has[2] ? texts[2] : (words[2] == 0 ? "(null)" : "?");
    box.flags = words[3];
    box.cut = cut;
    boxes.push_back(box);
  }
  return boxes;
}

std::vector<Wine::Box> Wine::BoxesIn(const std::string& relayTrace) {
  // Only the boxes whose texts wine printed whole.
  std::vector<Box> boxes = AllBoxesIn(relayTrace);
  boxes.erase(std::remove_if(boxes.begin(), boxes.end(), [](const Box& b) { return b.cut; }), boxes.end());
  return boxes;
}

HostFolder::HostFolder(const std::string& name, const std::string& exeName) : exeName_(exeName) {
  Wine& wine = Wine::Get();
  dir_ = wine.DriveC() + "/t/" + name;
  std::string cmd = "rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create " + dir_);
  CopyFromBin("lumiclip-chrome-plugin.exe", exeName);
}

void HostFolder::CopyFromBin(const std::string& binName, const std::string& as) const {
  WriteFile(dir_ + "/" + (as.empty() ? binName : as), ReadFile(Wine::Get().bin() + "/" + binName));
}
void HostFolder::Write(const std::string& name, const std::string& bytes) const { WriteFile(dir_ + "/" + name, bytes); }
std::string HostFolder::Read(const std::string& name) const { return ReadFile(dir_ + "/" + name); }
bool HostFolder::Exists(const std::string& name) const { return FileExists(dir_ + "/" + name); }

Conversation::Conversation(const std::string& winExe, const std::map<std::string, std::string>& env,
                           const std::vector<std::string>& hostArgs)
    : exe_(winExe) {
  Wine& wine = Wine::Get();
  env_ = {{"WINEPREFIX", wine.prefix()}, {"WINEDEBUG", "-all"}};
  for (const auto& [k, v] : env) env_[k] = v;
  args_ = {WineLoader(), wine.bin() + "/lumiclip-launcher.exe", winExe};
  for (const std::string& a : hostArgs) args_.push_back(a);
  Start();
}

void Conversation::Start() {
  Child c = Spawn(args_, env_, true);
  pid_ = c.pid;
  in_ = c.in;
  out_ = c.out;
  err_ = c.err;
  reader_ = std::thread([this] { ReadLoop(); });
  // Drained always: a relay trace would otherwise fill the pipe and stall wine.
  // It stops at the end of stderr, or once the conversation is over and
  // nothing more comes: a process wine started may hold stderr for good.
  errReader_ = std::thread([this] {
    char buffer[65536];
    for (;;) {
      pollfd p = {err_, POLLIN, 0};
      int ready = poll(&p, 1, 100);
      if (ready == 0) {
        if (over_) return;
        continue;
      }
      ssize_t n = ready > 0 ? read(err_, buffer, sizeof(buffer)) : -1;
      if (n <= 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      errors_.append(buffer, static_cast<size_t>(n));
      if (errors_.size() > 131072) errors_.erase(0, errors_.size() - 65536);
    }
  });
}

void Conversation::Stop() {
  CloseInput();
  if (WaitForExit(30000) < 0 && !reaped_) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  if (reader_.joinable()) reader_.join();
  over_ = true;
  if (errReader_.joinable()) errReader_.join();
  // A host that said nothing, or ended badly: what wine and the launcher
  // printed is the only trace of why.
  if (raw_.empty() || status_ != 0) {
    std::fprintf(stderr, "[conversation] %s: exit status %d (signal %d), %zu bytes of output; stderr:\n%s\n",
                 exe_.c_str(), status_, signal_, raw_.size(), errors_.c_str());
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
  out_ = err_ = -1;
}

Conversation::~Conversation() { Stop(); }

// Under load, wine now and then loses a process before any of its code has
// run: the server ends it as violently dead (exit code 1), or CreateProcess
// fails (the launcher's 2). A host that never said a byte and ended so is
// started once more, with all that was sent to the first one; anything else
// stays the test's to judge.
bool Conversation::StartedAgain() {
  if (retried_ || !raw_.empty()) return false;
  WaitForExit(5000);
  if (!reaped_ || !raw_.empty() || (status_ != 1 && status_ != 2)) return false;
  retried_ = true;
  bool inputClosed = in_ < 0;
  Stop();
  std::fprintf(stderr, "[conversation] %s never started (exit status %d): starting it once more\n",
               exe_.c_str(), status_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.clear();
    eof_ = false;
  }
  over_ = false;
  reaped_ = false;
  status_ = -1;
  signal_ = 0;
  Start();
  std::string sent = std::move(sent_);
  sent_.clear();
  SendRaw(sent);
  if (inputClosed) CloseInput();
  return true;
}

void Conversation::SendRaw(const std::string& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Kept until the host has said something: a start lost by wine is
    // repeated with them.
    if (raw_.empty() && !retried_) sent_ += bytes;
  }
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = write(in_, bytes.data() + at, bytes.size() - at);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

void Conversation::Send(const std::string& json) { SendRaw(FrameOf(json)); }

void Conversation::CloseInput() {
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
}

void Conversation::ReadLoop() {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(out_, buffer, sizeof(buffer));
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      eof_ = true;
      changed_.notify_all();
      return;
    }
    raw_.append(buffer, static_cast<size_t>(n));
    joined_.TakeFrames(raw_, &parsed_);
    changed_.notify_all();
  }
}

bool MessageJoiner::TakeFrames(const std::string& stream, size_t* at) {
  bool took = false;
  std::string_view body;
  // Any length: one past the browser's limit is the host's fault, reported.
  while (lumiclip::NextFrame(stream, at, &body, UINT32_MAX) == lumiclip::FrameAt::kWhole) {
    took = true;
    if (body.size() > lumiclip::kFrameLimit) errors += "frame of " + std::to_string(body.size()) + " bytes; ";
    try {
      std::string data = nlohmann::json::parse(body).at("data").get<std::string>();
      if (data.empty()) {
        messages.push_back(current);
        current.clear();
      } else {
        current += data;
      }
    } catch (const std::exception& e) {
      errors += std::string("invalid frame: ") + e.what() + "; ";
    }
  }
  return took;
}

bool Conversation::Next(std::string* message, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return taken_ < joined_.messages.size() || eof_; });
  if (taken_ < joined_.messages.size()) {
    *message = joined_.messages[taken_++];
    return true;
  }
  if (eof_ && raw_.empty() && !retried_) {
    lock.unlock();
    if (StartedAgain()) return Next(message, timeoutMs);
  }
  return false;
}

std::string Conversation::RawOutput() {
  std::lock_guard<std::mutex> lock(mutex_);
  return raw_;
}

std::string Conversation::FrameErrors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return joined_.errors;
}

bool Conversation::Exited() {
  if (reaped_) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  return reaped_;
}

int Conversation::WaitForExit(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Exited()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (reader_.joinable()) reader_.join();
  return status_;
}

int Conversation::Wait(int timeoutMs) {
  int status = WaitForExit(timeoutMs);
  if (status >= 0 && StartedAgain()) return WaitForExit(timeoutMs);
  return status;
}

int FindHostProcess(const std::string& needle) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    DIR* d = opendir("/proc");
    while (dirent* e = readdir(d)) {
      int pid = std::atoi(e->d_name);
      if (pid <= 0) continue;
      std::string cmd = ReadFile("/proc/" + std::string(e->d_name) + "/cmdline");
      if (cmd.find(needle) != std::string::npos && cmd.find("lumiclip-launcher") == std::string::npos) {
        closedir(d);
        return pid;
      }
    }
    closedir(d);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

double CpuSecondsOf(int pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream s(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15; ++i) {
    s >> field;
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long WakeUpsOf(int pid) {
  long total = 0;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(tasks.c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::istringstream status(ReadFile(tasks + "/" + e->d_name + "/status"));
    std::string line;
    while (std::getline(status, line)) {
      if (line.find("ctxt_switches:") != std::string::npos) total += std::atol(line.c_str() + line.find(':') + 1);
    }
  }
  closedir(d);
  return total;
}

}  // namespace lumiclip::itest
