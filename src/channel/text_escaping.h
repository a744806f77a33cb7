// Text made fit for a JSON string that the browser accepts: UTF-8 checked
// (bytes that are not well-formed become U+FFFD, since the browser refuses a
// frame holding them), and backslash, quote and every control character
// escaped; UTF-16 converted as the system converts it on the way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumiclip {

// Escapes text for a JSON string. Appends to out.
void AppendJsonEscaped(std::string_view text, std::string& out);

namespace escaping {

// Copies src to dst, escaping, until inLimit bytes are taken or the next
// character's escaped form would pass outLimit. A UTF-8 character is taken
// whole or not at all; bytes that are not well-formed UTF-8 become "\ufffd".
// textSize is where the text really ends (at or after inLimit). Returns the
// bytes produced; *consumed gets the bytes taken.
size_t EscapeInto(const char* src, size_t inLimit, size_t textSize, char* dst, size_t outLimit,
                  size_t* consumed);

// Converts zero-terminated UTF-16 text (a surrogate that is not half of a
// pair becomes U+FFFD) and escapes it, up to maxUnits units (one more to keep
// a pair whole) or to its end, into dst. Returns the units taken;
// *messageBytes and *outBytes get their sizes in the message and as written;
// *ended is set at the terminating zero. Each may read up to 32 bytes past
// the zero, never into the next page.
//
// Escaped once, as the message holds it: dst has room for 6 bytes a unit and
// 8 more.
size_t EscapeUtf16Once(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                       size_t* outBytes, bool* ended);
// Escaped twice, as a frame holds the message: dst has room for 7 bytes a
// unit and 32 more.
size_t EscapeUtf16ForFrame(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                           size_t* outBytes, bool* ended);

}  // namespace escaping
}  // namespace lumiclip
