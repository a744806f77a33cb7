// The JSON escapes of single characters, once (as a message holds them) and
// twice (as a frame holds a message), shared by every way of escaping.
#pragma once

namespace lumiclip::escaping {

constexpr char kHex[] = "0123456789abcdef";

// Escaped size of each byte value: 1, 2 for the short escapes, 6 for \u00XX.
struct EscapeTable {
  unsigned char size[256];
  char shortForm[256];
  constexpr EscapeTable() : size(), shortForm() {
    for (int c = 0; c < 256; ++c) {
      size[c] = 1;
      shortForm[c] = 0;
    }
    for (int c = 0; c < 0x20; ++c) size[c] = 6;
    const char pairs[][2] = {{'\\', '\\'}, {'"', '"'}, {'\b', 'b'}, {'\f', 'f'},
                             {'\n', 'n'},  {'\r', 'r'}, {'\t', 't'}};
    for (const auto& p : pairs) {
      size[static_cast<unsigned char>(p[0])] = 2;
      shortForm[static_cast<unsigned char>(p[0])] = p[1];
    }
  }
};
constexpr EscapeTable kEscape;

// Each ASCII unit escaped once, as the message holds it, and twice, as a
// frame holds it ("\"" becomes \" and then \\\"), with both sizes. The second
// escape doubles the backslashes and escapes the quotes of the first.
struct DoubleEscapeTable {
  char once[128][8];
  char wire[128][8];
  unsigned char wireSize[128];
  unsigned char messageSize[128];
  constexpr DoubleEscapeTable() : once(), wire(), wireSize(), messageSize() {
    for (int c = 0; c < 128; ++c) {
      int n = kEscape.size[c];
      if (n == 1) {
        once[c][0] = static_cast<char>(c);
      } else if (n == 2) {
        once[c][0] = '\\';
        once[c][1] = kEscape.shortForm[c];
      } else {
        once[c][0] = '\\';
        once[c][1] = 'u';
        once[c][2] = '0';
        once[c][3] = '0';
        once[c][4] = kHex[c >> 4];
        once[c][5] = kHex[c & 0xF];
      }
      int w = 0;
      for (int i = 0; i < n; ++i) {
        if (once[c][i] == '\\' || once[c][i] == '"') wire[c][w++] = '\\';
        wire[c][w++] = once[c][i];
      }
      wireSize[c] = static_cast<unsigned char>(w);
      messageSize[c] = static_cast<unsigned char>(n);
    }
  }
};
constexpr DoubleEscapeTable kDoubleEscape;

}  // namespace lumiclip::escaping
