// Measurements of the real host under wine, each beside a reference run in
// the same session: the launcher with a host that does no work, and a
// Node.js host over the same framing. Prints one JSON object per figure.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "big_text.h"
#include "wine_harness.h"

using namespace lumiclip::itest;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Every figure is recorded once per run of the measurements; the rows are
// printed at the end: medians over the runs, and the spread of the ratio.
struct Figure {
  std::string name, unit, refName, note;
  bool lowerIsBetter = true;
  double target = 0;  // the bound of the ratio, 0 for none
  std::vector<double> figures, refs;
};
std::vector<Figure> g_figures;

void Row(const std::string& name, double figure, const std::string& unit, const std::string& refName,
         double ref, bool lowerIsBetter, const std::string& note = "", double target = 0) {
  Figure* f = nullptr;
  for (Figure& g : g_figures) {
    if (g.name == name) f = &g;
  }
  if (f == nullptr) {
    g_figures.push_back(Figure{name, unit, refName, note, lowerIsBetter, target, {}, {}});
    f = &g_figures.back();
  }
  f->figures.push_back(figure);
  f->refs.push_back(ref);
  std::fprintf(stderr, "  %s: %.6g %s against %.6g\n", name.c_str(), figure, unit.c_str(), ref);
}

double MedianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string JsonText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// One JSON line per figure; false when a target was missed.
bool PrintRows() {
  bool allMet = true;
  for (const Figure& f : g_figures) {
    std::vector<double> ratios;
    for (size_t i = 0; i < f.figures.size(); ++i) {
      if (f.refs[i] > 0) ratios.push_back(f.figures[i] / f.refs[i]);
    }
    double ratio = MedianOf(ratios);
    std::string verdict;
    if (f.target > 0 && !ratios.empty()) {
      bool met = f.lowerIsBetter ? ratio <= f.target : ratio >= f.target;
      allMet = allMet && met;
      verdict = (met ? "met" : "MISSED");
    }
    std::string spread;
    if (ratios.size() > 1) {
      char text[64];
      std::snprintf(text, sizeof(text), "%.2f to %.2f", *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()));
      spread = text;
    }
    std::printf(
        "{\"name\":\"%s\",\"figure\":%.6g,\"unit\":\"%s\",\"reference\":\"%s\",\"reference_figure\":%.6g,"
        "\"ratio\":%.4g,\"lower_is_better\":%s,\"note\":\"%s\",\"runs\":%zu,\"spread\":\"%s\","
        "\"target\":%.4g,\"verdict\":\"%s\"}\n",
        JsonText(f.name).c_str(), MedianOf(f.figures), f.unit.c_str(), JsonText(f.refName).c_str(),
        MedianOf(f.refs), ratio, f.lowerIsBetter ? "true" : "false", JsonText(f.note).c_str(), f.figures.size(),
        spread.c_str(), f.target, verdict.c_str());
  }
  std::fflush(stdout);
  return allMet;
}

// A peer process speaking raw frames over its standard streams.
class Peer {
 public:
  Peer(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    signal(SIGPIPE, SIG_IGN);
  }
  ~Peer() {
    CloseInput();
    int status;
    for (int i = 0; i < 300 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    close(out_);
  }
  void Write(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = write(in_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) throw std::runtime_error("peer closed its input");
      at += static_cast<size_t>(n);
    }
  }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  // The next frame's body.
  std::string Frame() {
    while (buffer_.size() < 4 || buffer_.size() < 4 + Length()) Fill();
    size_t n = Length();
    std::string body = buffer_.substr(4, n);
    buffer_.erase(0, 4 + n);
    return body;
  }
  // Frames up to and including the next end frame; for a peer that does not
  // chunk, one frame.
  std::string Message(bool chunked) {
    std::string all;
    for (;;) {
      std::string f = Frame();
      if (!chunked) return f;
      all += f;
      if (f == "{\"data\":\"\"}") return all;
    }
  }
  // The wire bytes (heads included) up to and including the next end frame.
  std::string RawMessage() {
    std::string all;
    for (;;) {
      while (buffer_.size() < 4 || buffer_.size() < 4 + Length()) Fill();
      size_t n = 4 + Length();
      all.append(buffer_, 0, n);
      bool end = buffer_.compare(4, n - 4, "{\"data\":\"\"}") == 0;
      buffer_.erase(0, n);
      if (end) return all;
    }
  }
  pid_t pid() const { return pid_; }

 private:
  size_t Length() const {
    return static_cast<unsigned char>(buffer_[0]) | static_cast<unsigned char>(buffer_[1]) << 8 |
           static_cast<unsigned char>(buffer_[2]) << 16 | static_cast<size_t>(static_cast<unsigned char>(buffer_[3])) << 24;
  }
  void Fill() {
    char chunk[65536];
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) throw std::runtime_error("peer silent for 60 s");
    ssize_t n = read(out_, chunk, sizeof(chunk));
    if (n <= 0) throw std::runtime_error("peer closed its output");
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
};

std::vector<std::string> WineEnv() {
  return {"WINEPREFIX=" + Wine::Get().prefix(), "WINEDEBUG=-all"};
}

Peer* StartThroughLauncher(const std::string& winExe, const std::string& arg = "",
                           const std::vector<std::string>& env = {}) {
  std::vector<std::string> args{WineLoader(), Wine::Get().bin() + "/lumiclip-launcher.exe", winExe};
  if (!arg.empty()) args.push_back(arg);
  std::vector<std::string> all = WineEnv();
  all.insert(all.end(), env.begin(), env.end());
  return new Peer(args, all);
}

long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}
long PrivateKiB(pid_t pid) { return StatusKiB(pid, "RssAnon"); }

// Starts the process's peak of resident memory (VmHWM) again from what it
// holds now.
void ResetPeak(pid_t pid) {
  std::ofstream f("/proc/" + std::to_string(pid) + "/clear_refs");
  f << "5";
}

const std::string kPing = FrameOf("{\"JSONCommand\":\"ping\"}");
const std::string kPongFrames = "{\"data\":\"{\\\"topic\\\":\\\"pong\\\"}\"}{\"data\":\"\"}";

struct Latency {
  double median, p99;
};

std::vector<double> PingSamples(Peer& peer, bool chunked, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    peer.Write(kPing);
    peer.Message(chunked);
    samples.push_back(Ms(Clock::now() - start));
  }
  return samples;
}

Latency Percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

Latency PingLatency(Peer& peer, bool chunked, int count) { return Percentiles(PingSamples(peer, chunked, count)); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The machine is shared: a figure and its reference are measured in turns,
// block after block, so that a change of load falls on both alike.
struct Paired {
  std::vector<double> mine, theirs;
};
template <typename Measure>
Paired InTurns(int rounds, Measure&& measure) {
  Paired p;
  for (int i = 0; i < rounds; ++i) {
    p.mine.push_back(measure(true));
    p.theirs.push_back(measure(false));
  }
  return p;
}

double PipelinedPerSecond(Peer& peer, bool chunked, int count) {
  std::string batch;
  for (int i = 0; i < count; ++i) batch += kPing;
  auto start = Clock::now();
  std::thread writer([&] { peer.Write(batch); });
  for (int i = 0; i < count; ++i) peer.Message(chunked);
  writer.join();
  return count / (Ms(Clock::now() - start) / 1000.0);
}

void SkipAnnouncement(Peer& host) {
  host.Message(true);  // hostVersion
  host.Message(true);  // getDLL or status
}

// The host and the no-work host beside it, both started through the
// launcher from one folder.
struct HostAndReference {
  explicit HostAndReference(const std::string& name) : name(name), folder(name) {
    folder.CopyFromBin("bench-echo-host.exe");
    host.reset(StartThroughLauncher(folder.winExe()));
    SkipAnnouncement(*host);
    echo.reset(StartThroughLauncher(Wine::Get().WinPath(folder.Path("bench-echo-host.exe"))));
  }
  pid_t HostPid() const { return Found(FindHostProcess(name + "\\lumiclip")); }
  pid_t EchoPid() const { return Found(FindHostProcess(name + "\\bench-echo-host")); }
  static pid_t Found(pid_t pid) {
    if (pid < 0) throw std::runtime_error("host process not found");
    return pid;
  }
  std::string name;
  HostFolder folder;
  std::unique_ptr<Peer> host, echo;
};

std::string Base64(const std::string& bytes) {
  static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += a[v & 63];
  }
  return out;  // the benchmark payload is a multiple of three bytes long
}

void LatencyAndThroughput(const std::string& nodeHost, bool withNode) {
  HostAndReference pair("bench-ping");
  Peer* host = pair.host.get();
  Peer* echo = pair.echo.get();
  PingLatency(*host, true, 50);  // warm-up
  PingLatency(*echo, true, 50);
  // Two peers in turns: the latency of each, over all rounds.
  auto inTurns = [](Peer& mine, Peer& theirs, int rounds, int pings) {
    std::vector<double> mySamples, theirSamples;
    for (int round = 0; round < rounds; ++round) {
      for (double ms : PingSamples(mine, true, pings)) mySamples.push_back(ms);
      for (double ms : PingSamples(theirs, true, pings)) theirSamples.push_back(ms);
    }
    return std::make_pair(Percentiles(mySamples), Percentiles(theirSamples));
  };
  auto [h, e] = inTurns(*host, *echo, 9, 100);
  Row("ping round trip, median (wine, launcher)", h.median, "ms", "launcher + floor host", e.median, true,
      "9 x 100 pings in turns", 1.25);
  // The tail from turns of 10 pings, 3,000 of each: a spell of load falls on
  // both alike, and the 30th slowest decides, not the 9th. The floor measured
  // against a second floor shows what each way of measuring can tell apart:
  // in turns of 100, identical programs came out 0.55 to 3.6 x apart.
  auto [fineHost, fineEcho] = inTurns(*host, *echo, 300, 10);
  Row("ping round trip, p99 (wine, launcher)", fineHost.p99, "ms", "launcher + floor host", fineEcho.p99, true,
      "300 x 10 pings in turns", 1.5);
  Row("ping round trip, p99, in 9 turns of 100 pings", h.p99, "ms", "launcher + floor host", e.p99, true,
      "no target: see the floor against itself");
  std::unique_ptr<Peer> second(StartThroughLauncher(Wine::Get().WinPath(pair.folder.Path("bench-echo-host.exe"))));
  PingLatency(*second, true, 50);
  auto [coarseSelf, coarseOther] = inTurns(*second, *echo, 9, 100);
  auto [fineSelf, fineOther] = inTurns(*second, *echo, 300, 10);
  Row("ping p99, a second floor against the floor, 300 x 10 in turns", fineSelf.p99, "ms", "launcher + floor host",
      fineOther.p99, true, "the error of the p99 above; 1 if exact");
  Row("ping p99, a second floor against the floor, 9 x 100 in turns", coarseSelf.p99, "ms",
      "launcher + floor host", coarseOther.p99, true, "the error of the 9 x 100 p99; 1 if exact");
  if (withNode && !nodeHost.empty()) {
    Peer node({"node", nodeHost}, {});
    PingLatency(node, false, 50);
    Latency n = PingLatency(node, false, 1000);
    Row("ping round trip, median, vs Node.js peer", h.median, "ms", "Node.js host (chrome-native-messaging, native)",
        n.median, true);
    double nodeRate = PipelinedPerSecond(node, false, 10000);
    double hostRate = PipelinedPerSecond(*host, true, 10000);
    Row("pipelined pings, vs Node.js peer", hostRate, "per s", "Node.js host (chrome-native-messaging, native)",
        nodeRate, false);
  }
  Paired rates = InTurns(5, [&](bool mine) { return PipelinedPerSecond(mine ? *host : *echo, true, 2000); });
  Row("pipelined pings (5 x 2,000, median)", Median(rates.mine), "per s", "launcher + floor host",
      Median(rates.theirs), false, "", 0.9);
}

// CPU time and wake-ups of a host that hears nothing for 10 s, beside the
// no-work host, which sits in ReadFile, over the same 10 s. Wake-ups are the
// context switches of all the process's threads: the host is not changed to
// count them.
void IdleHost() {
  HostAndReference pair("bench-idle");
  pid_t pid = pair.HostPid();
  pid_t echoPid = pair.EchoPid();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double before = CpuSecondsOf(pid);
  long wakeUps = WakeUpsOf(pid), echoWakeUps = WakeUpsOf(echoPid);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  double used = CpuSecondsOf(pid) - before;
  wakeUps = WakeUpsOf(pid) - wakeUps;
  echoWakeUps = WakeUpsOf(echoPid) - echoWakeUps;
  Row("CPU time of a silent host over 10 s", used * 1000.0, "ms", "10 s of wall time", 10000.0, true,
      "target <= 50 ms");
  Row("wake-ups of a silent host over 10 s", static_cast<double>(wakeUps), "", "no-work host, same 10 s",
      static_cast<double>(echoWakeUps), true, "context switches of all its threads; target 0");
}

// System calls of the host process per ping, counted by strace over 500
// pings one at a time, beside the floor host: where the time of a round
// trip goes. The note lists the host's calls by name.
std::map<std::string, double> SyscallsPerPing(Peer& peer, pid_t pid, int count) {
  std::string out = Wine::Get().prefix() + "/../strace-" + std::to_string(pid) + ".txt";
  pid_t tracer = fork();
  if (tracer == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execlp("strace", "strace", "-f", "-c", "-q", "-o", out.c_str(), "-p", std::to_string(pid).c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // attached to every thread
  // Paced, as the extension's requests come: each ping finds the host and
  // the floor waiting. Back to back, a floor slowed by the tracer would find
  // the next ping already there and skip its wait, and the count would
  // measure the tracer.
  for (int i = 0; i < count; ++i) {
    PingLatency(peer, true, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(tracer, SIGINT);
  int status = 0;
  waitpid(tracer, &status, 0);
  std::map<std::string, double> calls;
  std::istringstream table(ReadFile(out));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    if (f.size() < 5 || f[0] == "%" || f[0][0] == '-') continue;
    calls[f.back()] = std::atof(f[3].c_str()) / count;
  }
  return calls;
}

void Syscalls() {
  HostAndReference pair("bench-syscalls");
  PingLatency(*pair.host, true, 50);
  PingLatency(*pair.echo, true, 50);
  auto mine = SyscallsPerPing(*pair.host, pair.HostPid(), 500);
  auto theirs = SyscallsPerPing(*pair.echo, pair.EchoPid(), 500);
  Row("system calls per ping (strace, host process)", mine["total"], "", "launcher + floor host",
      theirs["total"], true, "by name in the table below", 1.5);
  static bool tabled = false;  // the first run's table
  if (tabled) return;
  tabled = true;
  std::set<std::string> names;
  for (const auto& [name, n] : mine) names.insert(name);
  for (const auto& [name, n] : theirs) names.insert(name);
  for (const std::string& name : names) {
    if (name == "total" || (mine[name] < 0.05 && theirs[name] < 0.05)) continue;
    std::printf("{\"table\":\"syscalls\",\"name\":\"%s\",\"host\":%.2f,\"reference\":%.2f}\n", name.c_str(),
                mine[name], theirs[name]);
  }
  std::fflush(stdout);
}

// The UTF-8 size of the sample engine's text that is `units` UTF-16 units
// long, or just above.
size_t BytesForUnits(size_t units, const std::string& pattern) {
  auto unitsOf = [&](size_t bytes) {
    std::string text = SampleBigTextUtf8(bytes, pattern);
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80 ? ((c & 0xF8) == 0xF0 ? 2 : 1) : 0;
    return n;
  };
  size_t low = units, high = units * 4;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (unitsOf(mid) < units) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// A topic of 3 Mi UTF-16 units from an engine that built its text before,
// request to end frame, beside a host that writes the same wire bytes ready
// made, in frames of the same size. The host's memory is watched while it
// writes the escape-heavy one.
void LargeTopics() {
  HostFolder folder("bench-topic");
  folder.CopyFromBin("RAZ.dll");
  folder.CopyFromBin("bench-echo-host.exe");
  // The sample engine traces every call to a file, each line opened and
  // closed: off, so that only the host's work is timed.
  std::unique_ptr<Peer> host(StartThroughLauncher(folder.winExe(), "", {"SAMPLE_ENGINE_TRACE=off"}));
  SkipAnnouncement(*host);
  pid_t pid = FindHostProcess("bench-topic\\lumiclip");
  if (pid < 0) throw std::runtime_error("host process not found");
  const size_t units = size_t{3} << 20;
  for (const char* pattern : {"mixed", "ascii"}) {
    size_t bytes = BytesForUnits(units, pattern);
    std::string request = FrameOf("{\"JSONFunction\":\"big\",\"size\":" + std::to_string(bytes) +
                                  ",\"pattern\":\"" + pattern + "\",\"keep\":true}");
    host->Write(request);  // the engine builds its text; the reply gives the wire bytes
    const std::string wire = host->RawMessage();
    std::string wireName = std::string("topic-") + pattern + ".bin";
    folder.Write(wireName, wire);
    std::unique_ptr<Peer> reference(
        StartThroughLauncher(Wine::Get().WinPath(folder.Path("bench-echo-host.exe")), "--wire=" + Wine::Get().WinPath(folder.Path(wireName))));
    auto timeOne = [&](Peer& peer, bool isHost) {
      long before = 0;
      if (isHost) {
        before = StatusKiB(pid, "VmRSS");
        ResetPeak(pid);
      }
      auto start = Clock::now();
      peer.Write(request);
      std::string reply = peer.RawMessage();
      double ms = Ms(Clock::now() - start);
      if (reply != wire) throw std::runtime_error(std::string("the ") + pattern + " topic's wire bytes changed");
      if (isHost && std::string(pattern) == "mixed") {
        Row("large topic: rise of the host's memory while it writes", StatusKiB(pid, "VmHWM") - before, "KiB",
            "the topic's wire size", wire.size() / 1024.0, true, "peak resident memory over what it held before",
            2.0);
      }
      return ms;
    };
    timeOne(*reference, false);  // warm-up
    long privateBefore = PrivateKiB(pid);
    Paired times = InTurns(7, [&](bool mine) { return timeOne(mine ? *host : *reference, mine); });
    char name[160];
    std::snprintf(name, sizeof(name), "topic of 3 Mi UTF-16 units, %s (%.1f MB on the wire), request to end frame",
                  std::string(pattern) == "mixed" ? "escape-heavy" : "plain ASCII", wire.size() / 1e6);
    Row(name, Median(times.mine), "ms", "launcher + ready-made reply", Median(times.theirs), true,
        "7 rounds in turns", 1.25);
    if (std::string(pattern) == "mixed") {
      Row("large topic: host's private memory after the topics", static_cast<double>(PrivateKiB(pid)), "KiB",
          "before them", static_cast<double>(privateBefore), true, "comes back down", 1.1);
    }
  }
}

void LargeUpdate() {
  HostFolder folder("bench-update");
  folder.CopyFromBin("bench-echo-host.exe");
  std::string bytes(24u << 20, '\0');  // 32 MiB of base64
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::string frame = FrameOf("{\"JSONCommand\":\"updateDLL\",\"data\":\"" + Base64(bytes) + "\"}");
  auto timeOne = [&](const std::string& exe) {
    std::unique_ptr<Peer> peer(StartThroughLauncher(exe));
    if (exe == folder.winExe()) SkipAnnouncement(*peer);
    peer->Write(kPing);
    peer->Message(true);
    auto start = Clock::now();
    std::thread writer([&] { peer->Write(frame); });
    std::string reply = peer->Message(true);
    double ms = Ms(Clock::now() - start);
    writer.join();
    return std::make_pair(ms, reply);
  };
  Paired times = InTurns(7, [&](bool mine) {
    if (!mine) return timeOne(Wine::Get().WinPath(folder.Path("bench-echo-host.exe"))).first;
    auto [ms, reply] = timeOne(folder.winExe());
    if (reply.find("status") == std::string::npos || reply.find("\\\"code\\\":\\\"0\\\"") == std::string::npos) {
      throw std::runtime_error("updateDLL did not succeed: " + reply.substr(0, 200));
    }
    if (folder.Read("RAZ.dll") != bytes) throw std::runtime_error("RAZ.dll differs from the payload");
    return ms;
  });
  Row("updateDLL of 32 MiB, first byte to status (median of 7)", Median(times.mine), "ms",
      "launcher carrying the frame to a reading host", Median(times.theirs), true, "", 1.3);
}

// 100,000 mixed requests through the launcher to the host and the sample
// engine; every reply checked, memory compared after the first 1,000.
void Soak(int total) {
  HostFolder folder("bench-soak");
  folder.CopyFromBin("RAZ.dll");
  std::unique_ptr<Peer> host(StartThroughLauncher(folder.winExe()));
  SkipAnnouncement(*host);
  pid_t pid = FindHostProcess("bench-soak");
  const std::string big = SampleBigTextUtf8(512000, "ascii");
  const std::string bigMessage = "{\"topic\":\"big\", \"data\":\"" + big + "\"}";
  long memoryAfterFirst = 0;
  long lost = 0, altered = 0;
  auto start = Clock::now();
  const int batchSize = 1000;
  for (int base = 0; base < total; base += batchSize) {
    std::string batch;
    std::vector<std::string> expected;  // in order, pongs and pumped counted apart
    int pongs = 0, pumps = 0;
    for (int i = base; i < base + batchSize && i < total; ++i) {
      int kind = i % 100;
      if (kind == 0) {
        batch += FrameOf("{\"JSONFunction\":\"big\",\"size\":512000,\"pattern\":\"ascii\"}");
        expected.push_back(bigMessage);
      } else if (kind < 5) {
        batch += FrameOf("{\"JSONFunction\":\"pump\"}");
        ++pumps;
      } else if (kind < 20) {
        batch += FrameOf("{\"JSONCommand\":\"setAddonVersion\",\"data\":\"soak " + std::to_string(i) + "\"}");
      } else if (kind < 60) {
        batch += kPing;
        ++pongs;
      } else {
        batch += FrameOf("{\"JSONFunction\":\"echo\",\"data\":\"m" + std::to_string(i) + "\"}");
        expected.push_back("{\"topic\":\"echo\", \"data\":\"m" + std::to_string(i) + "\"}");
      }
    }
    std::thread writer([&] { host->Write(batch); });
    size_t next = 0;
    int seenPongs = 0, seenPumped = 0;
    size_t want = expected.size() + pongs + pumps;
    for (size_t got = 0; got < want; ++got) {
      std::string frames = host->Message(true);
      std::string message;
      size_t at = 0;
      // The frames of one message, back to back: {"data":"..."}...
      while (at < frames.size()) {
        size_t close = frames.find("\"}", at);
        while (close != std::string::npos && !nlohmann::json::accept(frames.substr(at, close + 2 - at))) {
          close = frames.find("\"}", close + 1);
        }
        if (close == std::string::npos) break;
        message += nlohmann::json::parse(frames.substr(at, close + 2 - at))["data"].get<std::string>();
        at = close + 2;
      }
      if (message == "{\"topic\":\"pong\"}") {
        ++seenPongs;
      } else if (message.rfind("{\"topic\":\"pumped\"", 0) == 0) {
        ++seenPumped;
      } else if (next < expected.size() && message == expected[next]) {
        ++next;
      } else {
        ++altered;
        if (next < expected.size()) ++next;
      }
    }
    writer.join();
    lost += static_cast<long>(expected.size() - next) + (pongs - seenPongs) + (pumps - seenPumped);
    if (base == 0) memoryAfterFirst = PrivateKiB(pid);
  }
  double seconds = Ms(Clock::now() - start) / 1000.0;
  long memoryAtEnd = PrivateKiB(pid);
  Row("soak: requests per second (100,000 mixed, sample engine)", total / seconds, "per s", "", 0, false,
      "lost " + std::to_string(lost) + ", altered " + std::to_string(altered));
  Row("soak: host private memory at the end", static_cast<double>(memoryAtEnd), "KiB",
      "after the first 1,000 requests", static_cast<double>(memoryAfterFirst), true, "", 1.1);
  if (lost != 0 || altered != 0) throw std::runtime_error("soak lost or altered messages");
}

}  // namespace

int main(int argc, char** argv) {
  std::string nodeHost = argc > 1 ? argv[1] : "";
  int soak = argc > 2 ? std::atoi(argv[2]) : 100000;
  // The targets are measured in several runs, each with new processes.
  const char* runsText = std::getenv("LUMICLIP_BENCH_RUNS");
  int runs = runsText != nullptr ? std::max(1, std::atoi(runsText)) : 5;
  // LUMICLIP_BENCH_PARTS picks some of the parts by name, for a quick look.
  const char* parts = std::getenv("LUMICLIP_BENCH_PARTS");
  auto part = [&](const char* name) { return parts == nullptr || std::strstr(parts, name) != nullptr; };
  bool met = true;
  try {
    for (int run = 0; run < runs; ++run) {
      std::fprintf(stderr, "run %d of %d\n", run + 1, runs);
      if (part("latency")) LatencyAndThroughput(nodeHost, run == 0);
      if (part("syscalls")) Syscalls();
      if (part("topic")) LargeTopics();
    }
    if (part("idle")) IdleHost();
    if (part("update")) LargeUpdate();
    if (soak > 0 && part("soak")) Soak(soak);
    met = PrintRows();
  } catch (const std::exception& e) {
    PrintRows();
    std::fprintf(stderr, "wine benchmark failed: %s\n", e.what());
    return 1;
  }
  if (!met) std::fprintf(stderr, "wine benchmark: a target was missed (see MISSED)\n");
  return 0;
}
