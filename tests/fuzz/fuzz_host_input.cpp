// Arbitrary bytes as the host's standard input, in chunks of varied size,
// with a fake engine that echoes requests as topics and sometimes pumps.
// The properties are in fuzz_checks.h, shared with the regression tests.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (size_t{1} << 20)) return 0;  // a request stream of at most 1 MiB
  std::string failure = lumiclip::fuzz::CheckHostInput(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "\n*** property violated (fuzz_host_input): %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
