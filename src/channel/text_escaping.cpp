#include "channel/text_escaping.h"

// Every header the kernels use comes before LUMICLIP_KERNEL_TARGET below, so
// that no library function is compiled for wider registers than the
// processor may have (the linker keeps one copy of an inline function).
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#define LUMICLIP_SSE2_KERNELS 1
#endif

#include "channel/escape_kernel.h"
#include "channel/escape_path.h"
#include "channel/escape_tables.h"
#include "channel/wide_escaping.h"

namespace lumiclip {
namespace escaping {

// The unit loop: what a processor without SSE2 runs, and the reference the
// others are held to.
namespace unit_loop {
#define LUMICLIP_SSE2_BLOCKS 0
#define LUMICLIP_UTF16_ENTRIES 1
#include "channel/utf8_escape_kernel.inc"
#include "channel/utf16_escape_kernel.inc"
#undef LUMICLIP_SSE2_BLOCKS
#undef LUMICLIP_UTF16_ENTRIES
}  // namespace unit_loop

#if defined(LUMICLIP_SSE2_KERNELS)
// SSE2 is not the 32-bit product's baseline (it runs on processors without
// it), so this code alone is compiled for it.
LUMICLIP_KERNEL_TARGET("sse2")
namespace sse2 {
#define LUMICLIP_SSE2_BLOCKS 1
#define LUMICLIP_UTF16_ENTRIES 1
#include "channel/utf8_escape_kernel.inc"
#include "channel/utf16_escape_kernel.inc"
#undef LUMICLIP_SSE2_BLOCKS
#undef LUMICLIP_UTF16_ENTRIES
}  // namespace sse2
LUMICLIP_KERNEL_TARGET_END
#endif

namespace {

// The kernels of each way. The wide path has its own only for the double
// escaping of UTF-16; UTF-8 and the single escaping go as SSE2's.
struct Kernels {
  decltype(&unit_loop::EscapeInto) escapeInto;
  decltype(&unit_loop::EscapeUtf16Once) utf16Once;
  decltype(&unit_loop::EscapeUtf16Twice) utf16Twice;
};
constexpr Kernels kUnitLoop{&unit_loop::EscapeInto, &unit_loop::EscapeUtf16Once, &unit_loop::EscapeUtf16Twice};
#if defined(LUMICLIP_SSE2_KERNELS)
constexpr Kernels kSse2{&sse2::EscapeInto, &sse2::EscapeUtf16Once, &sse2::EscapeUtf16Twice};
constexpr Kernels kWide{&sse2::EscapeInto, &sse2::EscapeUtf16Once, &wide::EscapeUtf16Twice};
#endif

const Kernels& KernelsInUse() {
#if defined(LUMICLIP_SSE2_KERNELS)
  switch (EscapePathInUse()) {
    case EscapePath::kWide:
      return kWide;
    case EscapePath::kSse2:
      return kSse2;
    case EscapePath::kUnitLoop:
      break;
  }
#endif
  return kUnitLoop;
}

}  // namespace

size_t EscapeInto(const char* src, size_t inLimit, size_t textSize, char* dst, size_t outLimit,
                  size_t* consumed) {
  return KernelsInUse().escapeInto(src, inLimit, textSize, dst, outLimit, consumed);
}

size_t EscapeUtf16Once(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                       size_t* outBytes, bool* ended) {
  return KernelsInUse().utf16Once(src, maxUnits, dst, messageBytes, outBytes, ended);
}

size_t EscapeUtf16ForFrame(const char16_t* src, size_t maxUnits, char* dst, size_t* messageBytes,
                           size_t* outBytes, bool* ended) {
  return KernelsInUse().utf16Twice(src, maxUnits, dst, messageBytes, outBytes, ended);
}

}  // namespace escaping

void AppendJsonEscaped(std::string_view text, std::string& out) {
  // Through a small buffer: the escaped size is not known before, and room
  // for the worst case would be six times the text.
  char buffer[16384];
  out.reserve(out.size() + text.size());
  while (!text.empty()) {
    size_t consumed = 0;
    size_t produced =
        escaping::EscapeInto(text.data(), text.size(), text.size(), buffer, sizeof(buffer), &consumed);
    out.append(buffer, produced);
    text.remove_prefix(consumed);
  }
}

}  // namespace lumiclip
