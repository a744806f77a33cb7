// Talks to the host as the browser would, for people and tests: sends one
// request per input line and prints each reassembled message on its own line.
// Also a pure stdin-to-stdout encoder/decoder of frames.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "browser_process.h"
#include "frame_reader.h"

using namespace lumiclip_tools;

namespace {

constexpr DWORD kBufferSize = 64 * 1024;
constexpr int kExitUsage = 2;
constexpr int kExitBadFrames = 3;

const char kUsage[] =
    "usage:\n"
    "  lumiclip-client.exe [--raw] [--hold MS] [--requests FILE] [--wait-messages N]\n"
    "                      [--timeout MS] [--origin ID] HOST.exe [host args...]\n"
    "  lumiclip-client.exe --encode\n"
    "  lumiclip-client.exe --decode [--raw]\n"
    "\n"
    "Starts HOST as the browser does and sends it one request frame per line of FILE\n"
    "(or of stdin; blank lines skipped, CR dropped). Prints each message the host\n"
    "sends, its data frames joined, on its own line; with --raw, every frame as\n"
    "'<length> <frame bytes>'. Closes the host's stdin after the last request, once\n"
    "--hold MS has passed and, with --wait-messages N, N messages have been printed\n"
    "(at most --timeout MS, default 30000, after the last request).\n"
    "Exit code: the host's, or 3 when a frame was bad (reported on stderr).\n"
    "--encode: stdin lines to frames on stdout. --decode: frames on stdin to messages.\n";

[[noreturn]] void UsageError(const std::string& message) {
  WriteStderr("lumiclip-client: " + message + "\n" + kUsage);
  ExitProcess(kExitUsage);
}

struct Options {
  bool raw = false;
  bool encode = false;
  bool decode = false;
  unsigned long long holdMs = 0;
  unsigned long long waitMessages = 0;
  unsigned long long timeoutMs = 30000;
  bool haveRequests = false;
  std::string requestsFile;
  HostCommand command;
};

// Counts printed messages for the request writer, which may be waiting on
// them before it lets go of the host's stdin.
struct MessageCounter {
  volatile LONG printed = 0;
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  void Add() {
    InterlockedIncrement(&printed);
    SetEvent(event);
  }
  LONG Get() { return InterlockedCompareExchange(&printed, 0, 0); }
};

class PrintingSink : public DecoderSink {
 public:
  PrintingSink(MessageCounter* counter, bool countRawMessages)
      : out_(GetStdHandle(STD_OUTPUT_HANDLE)), counter_(counter),
        countRawMessages_(countRawMessages) {}

  void OnRawFrame(const std::string& body) override {
    Print(FormatRawFrame(body));
    if (counter_ && countRawMessages_ && ParseDataFrame(body, nullptr) == FrameKind::End)
      counter_->Add();
  }
  void OnMessage(const std::string& text) override {
    // Two writes rather than a copy of what may be a very long message.
    Print(text);
    Print("\n");
    if (counter_) counter_->Add();
  }
  void OnInvalidFrame(const std::string& body) override {
    WriteStderr(FormatInvalidFrame(body));
  }
  void OnOversizedFrame(uint32_t length) override { WriteStderr(FormatOversizedFrame(length)); }
  void OnUnreadableStream(uint32_t length) override {
    WriteStderr("!unreadable stream: frame length " + std::to_string(length) +
                " is past any sane size; ignoring the rest\n");
  }
  void OnTruncatedFrame(uint32_t length, size_t received) override {
    WriteStderr(FormatTruncatedFrame(length, received));
  }
  void OnUnterminatedMessage(const std::string& partial) override {
    WriteStderr(FormatUnterminatedMessage(partial));
  }

 private:
  void Print(const std::string& text) {
    // A reader that went away must not stop the draining of the host.
    if (!broken_ && !WriteAll(out_, text.data(), text.size())) broken_ = true;
  }

  HANDLE out_;
  MessageCounter* counter_;
  bool countRawMessages_;
  bool broken_ = false;
};

void SetBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool ReadSome(HANDLE in, std::vector<char>& buffer, DWORD& got) {
  got = 0;
  if (!in || in == INVALID_HANDLE_VALUE) return false;
  return ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0;
}

// Reads the next piece of request lines from in and frames every line it
// completed (the last, unterminated one once input ends). *more turns false
// at the end of input; *count gets the number of lines.
class RequestReader {
 public:
  explicit RequestReader(HANDLE in) : in_(in), buffer_(kBufferSize) {}
  std::string NextFrames(bool* more, size_t* count) {
    DWORD got = 0;
    *more = ReadSome(in_, buffer_, got);
    lines_.clear();
    if (*more) {
      splitter_.Feed(buffer_.data(), got, lines_);
    } else {
      splitter_.Finish(lines_);
    }
    std::string frames;
    for (const auto& line : lines_) frames += EncodeFrame(line);
    *count = lines_.size();
    return frames;
  }

 private:
  HANDLE in_;
  LineSplitter splitter_;
  std::vector<char> buffer_;
  std::vector<std::string> lines_;
};

int RunEncode() {
  SetBinaryStdio();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  RequestReader reader(in);
  bool more = true;
  while (more) {
    size_t count = 0;
    std::string frames = reader.NextFrames(&more, &count);
    if (!frames.empty() && !WriteAll(out, frames.data(), frames.size())) {
      WriteStderr("lumiclip-client: cannot write to stdout: " + ErrorText(GetLastError()) +
                  "\n");
      return 1;
    }
  }
  return 0;
}

int RunDecode(bool raw) {
  SetBinaryStdio();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  PrintingSink sink(nullptr, false);
  FrameDecoder decoder(raw ? DecodeMode::Raw : DecodeMode::Messages, sink);
  std::vector<char> buffer(kBufferSize);
  DWORD got = 0;
  while (ReadSome(in, buffer, got)) decoder.Feed(buffer.data(), got);
  decoder.Finish();
  return decoder.faults() ? kExitBadFrames : 0;
}

struct WriterContext {
  HANDLE source = nullptr;  // request lines
  bool ownSource = false;
  HANDLE toHost = nullptr;
  const Options* options = nullptr;
  MessageCounter* counter = nullptr;
};

DWORD WINAPI WriteRequests(void* param) {
  auto& ctx = *static_cast<WriterContext*>(param);
  const Options& opt = *ctx.options;
  RequestReader reader(ctx.source);
  size_t sent = 0;
  bool hostTakesInput = true;
  bool more = true;
  while (more && hostTakesInput) {
    // One write per batch of lines, each line still its own frame.
    size_t count = 0;
    std::string frames = reader.NextFrames(&more, &count);
    if (frames.empty()) continue;
    if (WriteAll(ctx.toHost, frames.data(), frames.size())) {
      sent += count;
    } else {
      hostTakesInput = false;
      WriteStderr("lumiclip-client: the host stopped taking input; " + std::to_string(sent) +
                  " request(s) were written before that\n");
    }
  }
  if (ctx.ownSource) CloseHandle(ctx.source);

  const ULONGLONG start = GetTickCount64();
  if (hostTakesInput && opt.waitMessages > 0) {
    for (;;) {
      if (static_cast<unsigned long long>(ctx.counter->Get()) >= opt.waitMessages) break;
      ULONGLONG elapsed = GetTickCount64() - start;
      if (elapsed >= opt.timeoutMs) {
        WriteStderr("lumiclip-client: timed out after " + std::to_string(opt.timeoutMs) +
                    " ms with " + std::to_string(ctx.counter->Get()) + " of " +
                    std::to_string(opt.waitMessages) +
                    " message(s); closing the host's stdin anyway\n");
        break;
      }
      ULONGLONG left = opt.timeoutMs - elapsed;
      WaitForSingleObject(ctx.counter->event, left > 0x7fffffff ? 0x7fffffff : DWORD(left));
    }
  }
  for (;;) {
    ULONGLONG elapsed = GetTickCount64() - start;
    if (elapsed >= opt.holdMs) break;
    ULONGLONG left = opt.holdMs - elapsed;
    Sleep(left > 0x7fffffff ? 0x7fffffff : DWORD(left));
  }
  CloseHandle(ctx.toHost);
  return 0;
}

int RunHost(const Options& opt) {
  HANDLE source = nullptr;
  bool ownSource = false;
  if (opt.haveRequests) {
    source = CreateFileA(opt.requestsFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE) {
      WriteStderr("lumiclip-client: cannot open " + opt.requestsFile + ": " +
                  ErrorText(GetLastError()) + "\n");
      return kExitUsage;
    }
    ownSource = true;
  } else {
    source = GetStdHandle(STD_INPUT_HANDLE);
  }

  MakeStdHandlesPrivate();
  HostProcess host;
  std::string error;
  if (!StartHost(opt.command, host, error)) {
    WriteStderr("lumiclip-client: " + error + "\n");
    return kExitUsage;
  }

  static MessageCounter counter;
  static WriterContext ctx;
  ctx.source = source;
  ctx.ownSource = ownSource;
  ctx.toHost = host.toHost;
  ctx.options = &opt;
  ctx.counter = &counter;
  HANDLE writer = CreateThread(nullptr, 0, WriteRequests, &ctx, 0, nullptr);
  if (!writer) {
    WriteStderr("lumiclip-client: CreateThread failed: " + ErrorText(GetLastError()) + "\n");
    TerminateProcess(host.process, kExitUsage);
    return kExitUsage;
  }
  CloseHandle(writer);

  PrintingSink sink(&counter, opt.waitMessages > 0);
  FrameDecoder decoder(opt.raw ? DecodeMode::Raw : DecodeMode::Messages, sink);
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(host.fromHost, buffer.data(), kBufferSize, &got, nullptr)) break;
    decoder.Feed(buffer.data(), got);
  }
  decoder.Finish();
  DWORD code = WaitHost(host);
  if (decoder.faults()) return kExitBadFrames;
  return static_cast<int>(code);
}

unsigned long long NumberArg(int& i, int argc, char** argv, unsigned long long max) {
  const char* name = argv[i];
  if (i + 1 >= argc) UsageError(std::string(name) + " needs a value");
  unsigned long long value = 0;
  if (!ParseNumber(argv[i + 1], max, value))
    UsageError(std::string(name) + " needs a whole number, not '" + argv[i + 1] + "'");
  ++i;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  Utf8Arguments(argc, argv);
  Options opt;
  int i = 1;
  bool hostOptions = false;  // an option that only makes sense with a host
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), kUsage, sizeof(kUsage) - 1);
      return 0;
    } else if (std::strcmp(arg, "--raw") == 0) {
      opt.raw = true;
    } else if (std::strcmp(arg, "--encode") == 0) {
      opt.encode = true;
    } else if (std::strcmp(arg, "--decode") == 0) {
      opt.decode = true;
    } else if (std::strcmp(arg, "--hold") == 0) {
      opt.holdMs = NumberArg(i, argc, argv, 0xffffffffull);
      hostOptions = true;
    } else if (std::strcmp(arg, "--wait-messages") == 0) {
      opt.waitMessages = NumberArg(i, argc, argv, 0xffffffffull);
      hostOptions = true;
    } else if (std::strcmp(arg, "--timeout") == 0) {
      opt.timeoutMs = NumberArg(i, argc, argv, 0xffffffffull);
      hostOptions = true;
    } else if (std::strcmp(arg, "--requests") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') UsageError("--requests needs a file");
      opt.haveRequests = true;
      opt.requestsFile = argv[++i];
      hostOptions = true;
    } else if (std::strcmp(arg, "--origin") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') UsageError("--origin needs an id");
      opt.command.origin = argv[++i];
      hostOptions = true;
    } else if (std::strcmp(arg, "--") == 0) {
      ++i;
      break;
    } else if (arg[0] == '-' && arg[1] == '-') {
      UsageError(std::string("unknown option ") + arg);
    } else {
      break;
    }
  }

  if (opt.encode || opt.decode) {
    if (opt.encode && opt.decode) UsageError("--encode and --decode exclude each other");
    if (opt.encode && opt.raw) UsageError("--raw goes with --decode, not --encode");
    if (hostOptions || i < argc) UsageError("--encode and --decode start no host");
    ExitProcess(static_cast<UINT>(opt.encode ? RunEncode() : RunDecode(opt.raw)));
  }

  if (i >= argc || argv[i][0] == '\0') UsageError("no host program given");
  opt.command.exe = argv[i++];
  for (; i < argc; ++i) {
    opt.command.customArgs = true;
    opt.command.args.push_back(argv[i]);
  }
  std::string error;
  if (!PipeSizeFromEnvironment(opt.command.pipeSize, error)) UsageError(error);
  // ExitProcess rather than return: the writer thread may still be blocked
  // reading requests, and nothing it holds needs tidying.
  ExitProcess(static_cast<UINT>(RunHost(opt)));
}
