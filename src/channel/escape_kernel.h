// What the escaping kernels share: the attributes of their parts and of
// their entries. Each way of escaping (the unit loop, SSE2, the wide path)
// is the same kernel code (utf8_escape_kernel.inc, utf16_escape_kernel.inc)
// compiled for its own registers in a namespace of its own; the processor
// decides once which runs (escape_path.h).
#pragma once

// The parts are inlined into their entry, and so compiled for its
// registers: a call from there to code of the other kind costs about 100 ns
// (the switch between the two kinds of register use). The address sanitizer
// keeps them apart, as a function it does not check (below) cannot be
// inlined into one it checks.
#if defined(__SANITIZE_ADDRESS__)
#define LUMICLIP_KERNEL_INLINE inline
#else
#define LUMICLIP_KERNEL_INLINE __attribute__((always_inline)) inline
#endif

// A function that may read past the end of a text (never into the next
// page) is kept from the address sanitizer.
#if defined(__SANITIZE_ADDRESS__)
#define LUMICLIP_UNCHECKED_READS __attribute__((no_sanitize_address))
#else
#define LUMICLIP_UNCHECKED_READS
#endif

// On 32-bit x86 an entry aligns its own stack: Windows and foreign code (an
// engine calling back) give only 4 bytes of alignment, and code for vector
// registers keeps 16-byte values on the stack, where a legacy SSE
// instruction faults on a misaligned one. (Aligned moves are made unaligned
// by the assembler, -muse-unaligned-vector-move; 32-byte values are only
// touched by VEX instructions, which do not care.)
#if defined(__i386__)
#define LUMICLIP_KERNEL_ENTRY __attribute__((force_align_arg_pointer))
#else
#define LUMICLIP_KERNEL_ENTRY
#endif

// Code between these is compiled for the registers named, and only for it:
// GCC takes a pragma, clang (which builds the fuzz targets) an attribute.
#if defined(__clang__)
#define LUMICLIP_KERNEL_TARGET(isa) \
  _Pragma(LUMICLIP_KERNEL_STRING(clang attribute push(__attribute__((target(isa))), apply_to = function)))
#define LUMICLIP_KERNEL_TARGET_END _Pragma("clang attribute pop")
#else
#define LUMICLIP_KERNEL_TARGET(isa) _Pragma("GCC push_options") _Pragma(LUMICLIP_KERNEL_STRING(GCC target(isa)))
#define LUMICLIP_KERNEL_TARGET_END _Pragma("GCC pop_options")
#endif
#define LUMICLIP_KERNEL_STRING(text) #text
