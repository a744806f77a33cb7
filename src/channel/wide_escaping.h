// The double escaping of UTF-16 text into a frame, 16 units at a time with
// 32-byte registers (AVX2), on x86 processors of either word size that have
// them (escape_path.h decides).
#pragma once

#include <cstddef>

#if defined(__i386__) || defined(__x86_64__)
#define LUMICLIP_WIDE_KERNEL 1

namespace lumiclip::escaping::wide {

// escaping::EscapeUtf16ForFrame: the same units taken, the same bytes and
// sizes as the unit loop. Writes up to 32 bytes past the end of what it
// produces.
size_t EscapeUtf16Twice(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                        size_t* outBytes, bool* ended);

}  // namespace lumiclip::escaping::wide

#endif
