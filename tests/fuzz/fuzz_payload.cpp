// Arbitrary bytes as a base64 payload: decoded directly, round-tripped, and
// saved through SavePayloadFile over an old file.
// The properties are in fuzz_checks.h, shared with the regression tests.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure = lumiclip::fuzz::CheckPayload(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "\n*** property violated (fuzz_payload): %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
