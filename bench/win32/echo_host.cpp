// A host that does no work: it answers every frame it reads with the pong
// message's frames. Started through the launcher, it measures what the
// launcher and the pipes cost on their own.
#include <windows.h>

#include <string>

namespace {

bool ReadAll(HANDLE in, char* buffer, DWORD size) {
  DWORD got = 0;
  while (got < size) {
    DWORD n = 0;
    if (!ReadFile(in, buffer + got, size - got, &n, nullptr) || n == 0) return false;
    got += n;
  }
  return true;
}

}  // namespace

int main() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  static const char kPong[] =
      "\x1f\x00\x00\x00{\"data\":\"{\\\"topic\\\":\\\"pong\\\"}\"}\x0b\x00\x00\x00{\"data\":\"\"}";
  const DWORD pongSize = sizeof(kPong) - 1;
  std::string body;
  for (;;) {
    unsigned char head[4];
    if (!ReadAll(in, reinterpret_cast<char*>(head), 4)) return 0;
    DWORD n = head[0] | head[1] << 8 | head[2] << 16 | static_cast<DWORD>(head[3]) << 24;
    body.resize(n);
    if (n > 0 && !ReadAll(in, &body[0], n)) return 0;
    DWORD written = 0;
    if (!WriteFile(out, kPong, pongSize, &written, nullptr)) return 0;
  }
}
