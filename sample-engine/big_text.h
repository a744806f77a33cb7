// The deterministic text that the sample engine's "big" function emits. Kept
// portable (no windows.h) so that tests can rebuild the expected bytes.
//
// SampleBigTextUtf8(bytes, pattern) returns exactly `bytes` bytes of valid
// UTF-8; the engine converts them to UTF-16 and hands that to the host, so a
// host that converts back must produce these very bytes.
//
// "ascii": byte i is kSampleBigTextLetters[i % 52].
// "mixed": the units below, in order, then the decimal number of the round
//   followed by ';' (round 0, 1, 2, ...), repeated round after round:
//     '"'  '\\'  '\n'  '\t'  0x01  '\r'  0x1F  '/'  0x7F
//     U+00E9 (2 bytes)  U+20AC (3 bytes)  U+2028 (3 bytes)  U+1F600 (4 bytes)
//   A unit is appended only while it fits whole; at the first one that does
//   not, the rest is filled with '.' so the length is exact and no character
//   is ever cut.
// Any other pattern name is unknown (SampleBigTextPatternKnown is false) and
// yields an empty text.
#pragma once

#include <cstddef>
#include <string>

static const char kSampleBigTextLetters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

static inline bool SampleBigTextPatternKnown(const std::string& pattern) {
  return pattern == "mixed" || pattern == "ascii";
}

static inline std::string SampleBigTextUtf8(std::size_t bytes, const std::string& pattern) {
  std::string out;
  if (!SampleBigTextPatternKnown(pattern)) return out;
  out.reserve(bytes);
  if (pattern == "ascii") {
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(kSampleBigTextLetters[i % 52]);
    return out;
  }
  static const char* const kUnits[] = {
      "\"", "\\", "\n", "\t", "\x01", "\r", "\x1f", "/", "\x7f",
      "\xC3\xA9",          // U+00E9
      "\xE2\x82\xAC",      // U+20AC
      "\xE2\x80\xA8",      // U+2028
      "\xF0\x9F\x98\x80",  // U+1F600, a surrogate pair in UTF-16
  };
  const std::size_t unitCount = sizeof(kUnits) / sizeof(kUnits[0]);
  for (std::size_t round = 0; out.size() < bytes; ++round) {
    bool fits = true;
    for (std::size_t u = 0; u <= unitCount && fits; ++u) {
      const std::string unit = u < unitCount ? std::string(kUnits[u])
                                             : std::to_string(round) + ";";
      if (out.size() + unit.size() > bytes) {
        fits = false;
      } else {
        out += unit;
      }
    }
    if (!fits) out.append(bytes - out.size(), '.');
  }
  return out;
}
