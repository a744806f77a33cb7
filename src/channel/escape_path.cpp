#include "channel/escape_path.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace lumiclip {

namespace {

constexpr uint32_t kLeaf1EdxSse2 = 1u << 26;
constexpr uint32_t kLeaf1EcxOsxsave = 1u << 27;
constexpr uint32_t kLeaf1EcxAvx = 1u << 28;
constexpr uint32_t kLeaf7EbxAvx2 = 1u << 5;
constexpr uint64_t kXcr0SseAndAvxState = 0x6;

}  // namespace

const char* EscapePathName(EscapePath path) {
  switch (path) {
    case EscapePath::kUnitLoop:
      return "unit loop";
    case EscapePath::kSse2:
      return "SSE2";
    case EscapePath::kWide:
      return "wide (AVX2)";
  }
  return "?";
}

EscapePath ChooseEscapePath(const CpuFeatures& cpu) {
  if (!cpu.cpuid || cpu.maxLeaf < 1 || (cpu.leaf1Edx & kLeaf1EdxSse2) == 0) return EscapePath::kUnitLoop;
  bool avx = (cpu.leaf1Ecx & kLeaf1EcxOsxsave) != 0 && (cpu.leaf1Ecx & kLeaf1EcxAvx) != 0 &&
             (cpu.xcr0 & kXcr0SseAndAvxState) == kXcr0SseAndAvxState;
  bool avx2 = cpu.maxLeaf >= 7 && (cpu.leaf7Ebx & kLeaf7EbxAvx2) != 0;
  return avx && avx2 ? EscapePath::kWide : EscapePath::kSse2;
}

CpuFeatures ReadCpuFeatures() {
  CpuFeatures cpu;
#if defined(__i386__) || defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  // On 32-bit x86 this also finds out whether there is a CPUID at all.
  cpu.maxLeaf = __get_cpuid_max(0, nullptr);
  cpu.cpuid = cpu.maxLeaf != 0;
  if (cpu.maxLeaf >= 1 && __get_cpuid(1, &a, &b, &c, &d)) {
    cpu.leaf1Ecx = c;
    cpu.leaf1Edx = d;
  }
  if (cpu.maxLeaf >= 7 && __get_cpuid_count(7, 0, &a, &b, &c, &d)) cpu.leaf7Ebx = b;
  if ((cpu.leaf1Ecx & kLeaf1EcxOsxsave) != 0) {
    // XGETBV without -mxsave: the system has enabled the instruction.
    uint32_t low = 0, high = 0;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    cpu.xcr0 = uint64_t{high} << 32 | low;
  }
#endif
  return cpu;
}

EscapePath ProcessorEscapePath() {
  static const EscapePath path = ChooseEscapePath(ReadCpuFeatures());
  return path;
}

namespace {

EscapePath& Forced() {
  static EscapePath path = ProcessorEscapePath();
  return path;
}

}  // namespace

EscapePath EscapePathInUse() { return Forced(); }

namespace escaping_internal {
EscapePath ForceEscapePath(EscapePath path) {
  EscapePath before = Forced();
  Forced() = path;
  return before;
}
}  // namespace escaping_internal

}  // namespace lumiclip
