// The references of the benchmarks under wine: hosts that do no work of
// their own, started through the launcher like the real host, so that what
// the launcher and the pipes cost is measured on its own.
//
// With no argument it answers every frame with the pong message's frames.
// It reads whatever the pipe holds in one call into its buffer, takes every
// whole frame from there and writes each reply in one call: the least that
// any host over these pipes must do.
//
// With --wire=FILE it answers every frame with the wire bytes in that file,
// ready made (the frames of one large topic, taken from the real host),
// written a frame at a time as the host writes a large message.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t LengthAt(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return u[0] | u[1] << 8 | u[2] << 16 | static_cast<uint32_t>(u[3]) << 24;
}

bool WriteAll(HANDLE out, const char* p, size_t size) {
  while (size > 0) {
    DWORD done = 0;
    if (!WriteFile(out, p, static_cast<DWORD>(size), &done, nullptr) || done == 0) return false;
    p += done;
    size -= done;
  }
  return true;
}

// The ready-made reply: the file's bytes, cut where its frames end.
bool LoadReply(const char* path, std::string* bytes, std::vector<size_t>* frameEnds) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = bytes->empty() ||
         (ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size());
  }
  CloseHandle(file);
  for (size_t at = 0; ok && at < bytes->size();) {
    if (bytes->size() - at < 4) return false;
    at += 4 + LengthAt(bytes->data() + at);
    if (at > bytes->size()) return false;
    frameEnds->push_back(at);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  static const char kPong[] =
      "\x1f\x00\x00\x00{\"data\":\"{\\\"topic\\\":\\\"pong\\\"}\"}\x0b\x00\x00\x00{\"data\":\"\"}";
  std::string reply(kPong, sizeof(kPong) - 1);
  std::vector<size_t> frameEnds{reply.size()};
  // The launcher passes the browser's arguments too (origin, parent window).
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--wire=", 7) != 0) continue;
    reply.clear();
    frameEnds.clear();
    if (!LoadReply(argv[i] + 7, &reply, &frameEnds)) return 2;
  }

  std::vector<char> buffer(1 << 16);
  size_t held = 0;
  for (;;) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);
    DWORD n = 0;
    // Closed, broken, or at its end.
    // At most 1 MiB a call, as the host's reader takes it: wine's server
    // sets aside room for all that a read asks for.
    DWORD want = static_cast<DWORD>(std::min<size_t>(buffer.size() - held, size_t{1} << 20));
    if (!ReadFile(in, buffer.data() + held, want, &n, nullptr) || n == 0) {
      return 0;
    }
    held += n;
    size_t at = 0;
    while (held - at >= 4) {
      size_t end = at + 4 + LengthAt(buffer.data() + at);
      if (end > held) {
        // A frame larger than the buffer: room for all of it.
        if (end - at > buffer.size()) buffer.resize(end - at);
        break;
      }
      at = end;
      size_t from = 0;
      for (size_t frameEnd : frameEnds) {
        if (!WriteAll(out, reply.data() + from, frameEnd - from)) return 0;
        from = frameEnd;
      }
    }
    if (at > 0) {
      std::memmove(buffer.data(), buffer.data() + at, held - at);
      held -= at;
    }
  }
}
