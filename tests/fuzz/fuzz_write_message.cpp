// Arbitrary bytes (repeated into multi-frame messages by a first byte of
// 0xC0 or more) as one outbound message through WriteMessage, and read as
// UTF-16 units into a topic through AppendUtf16.
// The properties are in fuzz_checks.h, shared with the regression tests.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure = lumiclip::fuzz::CheckWriteMessage(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "\n*** property violated (fuzz_write_message): %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
