// A fake engine driven by the input: callbacks and pumps from its entries
// and from window procedures, nested to any depth, with updates among the
// waiting requests. The properties are in fuzz_checks.h, shared with the
// regression tests.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string failure = lumiclip::fuzz::CheckEngineReentry(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "\n*** property violated (fuzz_engine_reentry): %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
