// Writing a file so that its old content survives every failure: the bytes go
// to a temporary file beside the target, which replaces the target only once
// it is whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumiclip {

enum class ReplaceResult {
  kDone,
  kCannotOpen,    // the temporary file could not be created
  kShortWrite,    // fewer bytes than asked reached the temporary file
  kCannotMove,    // the whole file could not take the target's place
};

// *written gets the count that reached the temporary file (0 when it could
// not be opened). On any failure the temporary file is removed and the
// target is untouched.
ReplaceResult WriteFileReplacing(const std::string& path, const void* data, size_t size,
                                 int64_t* written);

// The temporary file's name for a target: as long as the target's.
std::string TemporaryPathFor(const std::string& path);

}  // namespace lumiclip
