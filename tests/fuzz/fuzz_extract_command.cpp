// ExtractCommand over arbitrary zero-terminated text and several lengths.
// The properties are in fuzz_checks.h, shared with the regression tests.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure = lumiclip::fuzz::CheckExtractCommand(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "\n*** property violated (fuzz_extract_command): %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
