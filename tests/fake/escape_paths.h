// Every way of escaping this processor can run, for the tests that compare
// their bytes; and one forced for a scope.
#pragma once

#include <vector>

#include "channel/escape_path.h"

namespace lumiclip::testing {

// The unit loop, then each way up to the one the processor takes.
inline std::vector<EscapePath> EscapePathsHere() {
  std::vector<EscapePath> paths;
  for (EscapePath path : {EscapePath::kUnitLoop, EscapePath::kSse2, EscapePath::kWide}) {
    if (static_cast<int>(path) <= static_cast<int>(ProcessorEscapePath())) paths.push_back(path);
  }
  return paths;
}

class ForcedEscapePath {
 public:
  explicit ForcedEscapePath(EscapePath path) : before_(escaping_internal::ForceEscapePath(path)) {}
  ~ForcedEscapePath() { escaping_internal::ForceEscapePath(before_); }
  ForcedEscapePath(const ForcedEscapePath&) = delete;
  ForcedEscapePath& operator=(const ForcedEscapePath&) = delete;

 private:
  EscapePath before_;
};

}  // namespace lumiclip::testing
