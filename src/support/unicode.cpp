#include "support/unicode.h"

#include <cstdint>

namespace lumiclip {

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// One character of valid UTF-8 at text[at]: its code point and length.
// False for anything else: a stray continuation byte, a cut or overlong
// sequence, a surrogate, a value past U+10FFFF.
bool DecodeOne(std::string_view text, size_t at, uint32_t* code, size_t* length) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    *code = lead;
    *length = 1;
    return true;
  }
  size_t n = 0;
  uint32_t value = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, value = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, value = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (text.size() - at < n) return false;
  for (size_t i = 1; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[at + i]);
    if (!IsContinuation(c)) return false;
    value = value << 6 | (c & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  *length = n;
  return true;
}

void Encode(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool InRange(uint32_t c, uint32_t first, uint32_t last) { return c >= first && c <= last; }

// Pairs laid out as capital, small, capital, small...: capitalParity tells
// whether the capitals stand at even code points.
uint32_t Paired(uint32_t c, bool capitalsEven) { return (c % 2 == 0) == capitalsEven ? c + 1 : c; }

// The small letter of a capital, and the one small form of letters with
// two (final sigma), as the system's case mapping pairs them. Letters whose
// mapping leaves its script (dotted and dotless i, long s, micro sign) stay.
uint32_t FoldLetter(uint32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 0x20 : c;
  if (InRange(c, 0xC0, 0xDE) && c != 0xD7) return c + 0x20;
  if (c == 0x178) return 0xFF;
  if (InRange(c, 0x100, 0x12F) || InRange(c, 0x132, 0x137) || InRange(c, 0x14A, 0x177))
    return Paired(c, true);
  if (InRange(c, 0x139, 0x148) || InRange(c, 0x179, 0x17E)) return Paired(c, false);
  // Greek.
  if (c == 0x386) return 0x3AC;
  if (InRange(c, 0x388, 0x38A)) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (InRange(c, 0x38E, 0x38F)) return c + 0x3F;
  if (InRange(c, 0x391, 0x3AB) && c != 0x3A2) return c + 0x20;
  if (c == 0x3C2) return 0x3C3;
  if (InRange(c, 0x3D8, 0x3EF)) return Paired(c, true);
  // Cyrillic and its supplement.
  if (InRange(c, 0x400, 0x40F)) return c + 0x50;
  if (InRange(c, 0x410, 0x42F)) return c + 0x20;
  if (InRange(c, 0x460, 0x481) || InRange(c, 0x48A, 0x4BF) || InRange(c, 0x4D0, 0x52F))
    return Paired(c, true);
  if (c == 0x4C0) return 0x4CF;
  if (InRange(c, 0x4C1, 0x4CE)) return Paired(c, false);
  return c;
}

}  // namespace

bool Utf8ToUtf16(std::string_view text, std::u16string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t c = 0;
    size_t n = 0;
    if (!DecodeOne(text, at, &c, &n)) return false;
    if (c < 0x10000) {
      *out += static_cast<char16_t>(c);
    } else {
      *out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      *out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
    at += n;
  }
  return true;
}

bool Utf16ToUtf8(std::u16string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    uint32_t c = text[at];
    if (InRange(c, 0xDC00, 0xDFFF)) return false;
    if (InRange(c, 0xD800, 0xDBFF)) {
      if (at + 1 >= text.size() || !InRange(text[at + 1], 0xDC00, 0xDFFF)) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++at] - 0xDC00u);
    }
    Encode(c, out);
  }
  return true;
}

size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    // A lead byte of four counts two units (a surrogate pair); continuation
    // bytes count none.
    if (!IsContinuation(byte)) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

size_t Utf8PrefixWithin(std::string_view text, size_t maxUnits) {
  size_t at = 0, units = 0;
  while (at < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t n = 1;
    while (at + n < text.size() && IsContinuation(static_cast<unsigned char>(text[at + n]))) ++n;
    size_t take = lead >= 0xF0 ? 2 : 1;
    if (units + take > maxUnits) break;
    units += take;
    at += n;
  }
  return at;
}

size_t Utf8BoundaryAtOrBefore(std::string_view text, size_t bytes) {
  if (bytes >= text.size()) return text.size();
  size_t at = bytes;
  // At most three continuation bytes belong to one character.
  for (int i = 0; i < 3 && at > 0 && IsContinuation(static_cast<unsigned char>(text[at])); ++i) --at;
  return IsContinuation(static_cast<unsigned char>(text[at])) ? bytes : at;
}

std::string CaseFolded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t c = 0;
    size_t n = 0;
    if (DecodeOne(text, at, &c, &n)) {
      Encode(FoldLetter(c), &out);
      at += n;
    } else {
      out += text[at++];
    }
  }
  return out;
}

}  // namespace lumiclip
