#include "install/payload.h"

#include <cstring>
#include <string>

#include "engine/engine_loader.h"
#include "install/file_replace.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

constexpr uint32_t kInvalid = 0x01000000u;
constexpr char kDataKey[] = "\"data\":\"";

int Base64Value(int c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Four tables whose entries, or-ed together for the four characters of a
// group, give the group's three bytes in little-endian order; any character
// outside the alphabet sets bit 24.
struct DecodeTables {
  uint32_t d0[256], d1[256], d2[256], d3[256];
  DecodeTables() {
    for (int c = 0; c < 256; ++c) {
      int v = Base64Value(c);
      if (v < 0) {
        d0[c] = d1[c] = d2[c] = d3[c] = kInvalid;
        continue;
      }
      uint32_t u = static_cast<uint32_t>(v);
      d0[c] = u << 2;
      d1[c] = (u >> 4) | ((u & 0xF) << 12);
      d2[c] = ((u >> 2) << 8) | ((u & 0x3) << 22);
      d3[c] = u << 16;
    }
  }
};

const DecodeTables& Tables() {
  static const DecodeTables tables;
  return tables;
}

inline void Store4(unsigned char* out, uint32_t x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(out, &x, 4);
#else
  out[0] = static_cast<unsigned char>(x);
  out[1] = static_cast<unsigned char>(x >> 8);
  out[2] = static_cast<unsigned char>(x >> 16);
  out[3] = 0;
#endif
}

}  // namespace

Base64Result DecodeBase64(const char* text, const char* end, unsigned char* out) {
  const DecodeTables& t = Tables();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* e = reinterpret_cast<const unsigned char*>(end);
  unsigned char* o = out;
  Base64Result r;
  int quad[4];
  int filled = 0;
  int pads = 0;
  for (;;) {
    // Whole groups of plain alphabet characters, the common case.
    if (filled == 0 && pads == 0) {
      while (e - p >= 16) {
        uint32_t x0 = t.d0[p[0]] | t.d1[p[1]] | t.d2[p[2]] | t.d3[p[3]];
        uint32_t x1 = t.d0[p[4]] | t.d1[p[5]] | t.d2[p[6]] | t.d3[p[7]];
        uint32_t x2 = t.d0[p[8]] | t.d1[p[9]] | t.d2[p[10]] | t.d3[p[11]];
        uint32_t x3 = t.d0[p[12]] | t.d1[p[13]] | t.d2[p[14]] | t.d3[p[15]];
        if ((x0 | x1 | x2 | x3) & kInvalid) break;
        // Four-byte stores, each overlapping the next group's first byte:
        // the output area has room for the last one's spare byte.
        Store4(o, x0);
        Store4(o + 3, x1);
        Store4(o + 6, x2);
        Store4(o + 9, x3);
        o += 12;
        p += 16;
      }
      while (e - p >= 4) {
        uint32_t x = t.d0[p[0]] | t.d1[p[1]] | t.d2[p[2]] | t.d3[p[3]];
        if (x & kInvalid) break;
        Store4(o, x);
        o += 3;
        p += 4;
      }
    }
    if (p >= e || *p == '"') break;
    int c = *p;
    int v;
    if (c == '\\' && e - p >= 2 && p[1] == '/') {
      v = 63;  // a JSON encoder may escape the slash
      p += 2;
    } else if (c == '=') {
      ++pads;
      ++p;
      continue;
    } else {
      v = Base64Value(c);
      if (v < 0) {
        r.error = c == '\\' ? "an escape sequence" : (c == '\r' || c == '\n') ? "a line end"
                                                                              : "a byte outside the alphabet";
        r.stop = reinterpret_cast<const char*>(p);
        return r;
      }
      ++p;
    }
    if (pads > 0) {
      r.error = "a misplaced '='";
      r.stop = reinterpret_cast<const char*>(p - 1);
      return r;
    }
    quad[filled++] = v;
    if (filled == 4) {
      o[0] = static_cast<unsigned char>(quad[0] << 2 | quad[1] >> 4);
      o[1] = static_cast<unsigned char>((quad[1] & 0xF) << 4 | quad[2] >> 2);
      o[2] = static_cast<unsigned char>((quad[2] & 0x3) << 6 | quad[3]);
      o += 3;
      filled = 0;
    }
  }
  r.stop = reinterpret_cast<const char*>(p);
  r.closed = p < e && *p == '"';
  // The last, short group: with padding it must be two or three characters
  // and exactly fill the group; without, a single character is dropped.
  if (pads > 0 && (pads > 2 || filled < 2 || filled + pads != 4)) {
    r.error = "a misplaced '='";
    return r;
  }
  if (filled >= 2) *o++ = static_cast<unsigned char>(quad[0] << 2 | quad[1] >> 4);
  if (filled == 3) *o++ = static_cast<unsigned char>((quad[1] & 0xF) << 4 | quad[2] >> 2);
  r.size = static_cast<size_t>(o - out);
  return r;
}

bool SavePayloadFile(char* message, int32_t length, const char* path, HostState& state) {
  LogFormatStr("Saving to file: %s", path);
  char* key = std::strstr(message, kDataKey);
  if (key == nullptr) return false;
  char* start = key + (sizeof(kDataKey) - 1);
  if (length <= 0 || start - message >= length) return false;

  // One pass over the request, decoded where it stands: no output area
  // whose every page is new memory (at 24 MiB, first touching them took
  // longer than the decoding). The payload ends at the quote that closes the
  // data string, not at the message's last quote.
  const char* end = message + length;
  unsigned char* output = reinterpret_cast<unsigned char*>(start);
  Base64Result decoded = DecodeBase64(start, end, output);
  if (decoded.error == nullptr && (!decoded.closed || decoded.stop == start)) return false;
  if (decoded.error != nullptr) {
    std::string line = "\n**** Error: Payload is not valid base64: " + std::string(decoded.error) +
                       " at offset " + std::to_string(decoded.stop - start) + "\n";
    LogLine(line);
    return false;
  }

  if (state.engineLoaded) UnloadEngine(state);

  int64_t written = 0;
  ReplaceResult result = PathFitsOrLog(path)
                             ? WriteFileReplacing(path, output, decoded.size, &written)
                             : ReplaceResult::kCannotOpen;
  if (result == ReplaceResult::kCannotOpen) {
    LogLine("\n**** Error: Failed to open file for saving\n");
    return false;
  }
  LogFormatInt("Written %d bytes", static_cast<int32_t>(written));
  if (result == ReplaceResult::kCannotMove) {
    LogFormatStr("\n**** Error: Failed to replace %s\n", path);
  }
  return result == ReplaceResult::kDone;
}

bool UpdateEngineLibrary(HostState& state, char* message, int32_t length) {
  LogLine("Updating raz.dll...");
  std::string path = GetEngineLibraryPath();
  bool saved = SavePayloadFile(message, length, path.c_str(), state);
  LogLine(saved ? "Done" : "\n**** Error: RAZ.dll not saved.\n");
  // The old code, still mapped, is what this host would load again: the new
  // file is there for the next host.
  if (saved && EngineStillMapped()) {
    LogLine("\n**** Error: The old RAZ.dll stays loaded in this host; the next host loads the new one.\n");
    return false;
  }
  return saved;
}

}  // namespace lumiclip
