// The double escaping of UTF-16 text into a frame, 16 units at a time with
// 32-byte registers, on x86-64 processors that have them.
#pragma once

#include <cstddef>

// The double escaping has a path for 32-byte registers on x86-64, taken
// where the processor has them.
#if defined(__x86_64__) && defined(__GNUC__)
#define LUMICLIP_WIDE_ESCAPES 1
#endif

namespace lumiclip {

#if defined(LUMICLIP_WIDE_ESCAPES)
namespace escaping {
// Whether the processor has the registers, and the wide path is allowed.
bool WideEscapes();
// escaping::EscapeUtf16ForFrame's unit loop with 32-byte registers: the same
// units taken, the same bytes and sizes. Writes up to 32 bytes past the end
// of what it produces.
size_t EscapeUtf16Wide(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                       size_t* outBytes, bool* ended);
}  // namespace escaping
#endif

namespace framing_internal {
// Whether large messages may take the wide escaping path where the processor
// has one (they do by default); returns what was allowed before.
bool AllowWideEscapes(bool allowed);
}  // namespace framing_internal

}  // namespace lumiclip
