// UTF-8 to UTF-16 for the sample engine. Portable so it can be checked
// natively. Encoded surrogates (ED A0..BF xx), which the request decoder uses
// for lone \uD8xx escapes, become the lone code unit again; any other
// malformed byte becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>

namespace sample_engine {

inline std::u16string Utf8ToUtf16(const std::string& in) {
  std::u16string out;
  out.reserve(in.size());
  const std::size_t n = in.size();
  std::size_t i = 0;
  auto cont = [&](std::size_t k) {
    return k < n && (static_cast<unsigned char>(in[k]) & 0xC0) == 0x80;
  };
  while (i < n) {
    const unsigned char b = static_cast<unsigned char>(in[i]);
    char32_t cp = 0xFFFD;
    std::size_t used = 1;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF && cont(i + 1)) {
      cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
      used = 2;
    } else if (b >= 0xE0 && b <= 0xEF && cont(i + 1) && cont(i + 2)) {
      const char32_t c = ((b & 0x0Fu) << 12) |
                         ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 6) |
                         (static_cast<unsigned char>(in[i + 2]) & 0x3Fu);
      if (c >= 0x800) {
        cp = c;
        used = 3;
      }
    } else if (b >= 0xF0 && b <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      const char32_t c = ((b & 0x07u) << 18) |
                         ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 12) |
                         ((static_cast<unsigned char>(in[i + 2]) & 0x3Fu) << 6) |
                         (static_cast<unsigned char>(in[i + 3]) & 0x3Fu);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        cp = c;
        used = 4;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += used;
  }
  return out;
}

// Encodes one code point, or one lone surrogate, as (generalised) UTF-8.
inline void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16 code units back to UTF-8, for the trace.
inline std::string Utf16ToUtf8(const char16_t* s) {
  std::string out;
  if (!s) return out;
  for (std::size_t i = 0; s[i]; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace sample_engine
