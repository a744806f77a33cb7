// Text inside the host is UTF-8 (paths, log lines, requests, the manifest);
// the system speaks UTF-16. Plain functions over bytes, shared by the seam
// and the logic above it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumiclip {

// Strict conversions: a text that is not valid in its own form (a lone
// surrogate; an overlong, cut or stray UTF-8 sequence) is refused, never
// guessed at, so a path can only ever name the file it names.
bool Utf8ToUtf16(std::string_view text, std::u16string* out);
bool Utf16ToUtf8(std::u16string_view text, std::string* out);

// The UTF-16 units that the UTF-8 text takes: what the system's path limit
// counts.
size_t Utf16Length(std::string_view text);
// The bytes of the longest start of the text that takes at most maxUnits
// UTF-16 units and ends on a character boundary.
size_t Utf8PrefixWithin(std::string_view text, size_t maxUnits);
// The largest size of at most bytes that ends on a character boundary.
size_t Utf8BoundaryAtOrBefore(std::string_view text, size_t bytes);

// The text with its letters folded to one case, as Windows compares file
// names: simple case mapping of ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic ("Ł" and "ł" are one letter; "ß" and "ss" are not). Bytes that are
// not valid UTF-8 stay as they are.
std::string CaseFolded(std::string_view text);

}  // namespace lumiclip
