// Which way of escaping runs: decided once, from what the processor and the
// system support, in every build alike.
#pragma once

#include <cstdint>

namespace lumiclip {

// The ways, each the same bytes: one unit (or 8 bytes of UTF-8) at a time;
// plain runs 16 at a time in SSE2 registers; and, for the double escaping of
// UTF-16 into frames, 16 units at a time with 32-byte registers (AVX2),
// SSE2 for the rest.
enum class EscapePath { kUnitLoop, kSse2, kWide };

const char* EscapePathName(EscapePath path);

// What CPUID and XGETBV say, as far as the choice needs it.
struct CpuFeatures {
  bool cpuid = false;         // the instruction exists (not before some 486s)
  uint32_t maxLeaf = 0;       // leaf 0, EAX
  uint32_t leaf1Ecx = 0;      // leaf 1
  uint32_t leaf1Edx = 0;
  uint32_t leaf7Ebx = 0;      // leaf 7, subleaf 0 (when maxLeaf >= 7)
  uint64_t xcr0 = 0;          // XGETBV(0), when leaf 1 says OSXSAVE
};

// SSE2 where the processor has it; the wide path where it also has AVX2 and
// the system saves the 32-byte registers (OSXSAVE, and XCR0 with the SSE
// and AVX state): without that the registers are not there for programs.
EscapePath ChooseEscapePath(const CpuFeatures& cpu);

// This processor's (not on x86: no CPUID, the unit loop).
CpuFeatures ReadCpuFeatures();
// ChooseEscapePath of this processor, read once.
EscapePath ProcessorEscapePath();
// The way that runs: the processor's, unless a test forced another.
EscapePath EscapePathInUse();

namespace escaping_internal {
// Makes every escaping take this way until the next call; only a way the
// processor can run (the tests take the ways up to ProcessorEscapePath).
// Returns the way taken before.
EscapePath ForceEscapePath(EscapePath path);
}  // namespace escaping_internal

}  // namespace lumiclip
