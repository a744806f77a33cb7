// What a library file is, read from its headers alone (the DOS and PE
// headers, the sections and the export directory), without loading it: no
// code of the file runs. Plain code over a reader of the file's bytes, so
// that tests feed it crafted images.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace lumiclip {

// IMAGE_FILE_HEADER.Machine values.
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineArm64 = 0xAA64;

// The machine type of the libraries this build of the host can load.
#if defined(__x86_64__) || defined(_M_X64)
constexpr uint16_t kHostMachine = kMachineAmd64;
#elif defined(__aarch64__) || defined(_M_ARM64)
constexpr uint16_t kHostMachine = kMachineArm64;
#else
constexpr uint16_t kHostMachine = kMachineI386;
#endif

// Reads up to size bytes at offset into *out: fewer at the end of the file,
// none past it. False when the file cannot be read there.
using ByteReader = std::function<bool(uint64_t offset, uint32_t size, std::string* out)>;

enum class PeVerdict {
  kUnreadable,   // the reader failed
  kNotAnImage,   // no DOS or PE header, or headers cut short or out of shape
  kNotALibrary,  // an image without the DLL flag (a program)
  kLibrary,      // a library: see machine and exported
};

struct PeFacts {
  PeVerdict verdict = PeVerdict::kUnreadable;
  uint16_t machine = 0;   // from the file header, once the PE header was read
  bool exported = false;  // the name asked for is exported (kLibrary only)
};

// The file's kind, machine and whether it exports exportName, found as the
// loader's GetProcAddress finds a name: by binary search of the sorted name
// table, then its ordinal's entry in the address table.
PeFacts ReadPeFacts(const ByteReader& read, const char* exportName);

// "x86 (32-bit)", "x64 (64-bit)", "ARM64", or the number in hexadecimal.
std::string MachineName(uint16_t machine);

}  // namespace lumiclip
