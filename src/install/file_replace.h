// Writing a file so that its old content survives every failure and every
// crash: the bytes go to a temporary file beside the target, are flushed to
// the disk, and replace the target only once they are whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumiclip {

enum class ReplaceResult {
  kDone,
  kCannotOpen,    // the temporary file could not be created
  kShortWrite,    // fewer bytes than asked reached the disk
  kCannotMove,    // the whole file could not take the target's place
};

// *written gets the count that reached the temporary file (0 when it could
// not be opened). On any failure the temporary file is removed and the
// target is untouched.
ReplaceResult WriteFileReplacing(const std::string& path, const void* data, size_t size,
                                 int64_t* written);

// Copies the file from over the file to in the same way: the old target
// stays whole until the copy is whole and on the disk.
bool CopyFileReplacing(const std::string& from, const std::string& to);

// Frees the name path: the file is deleted, or, when it cannot be deleted
// because a running program or a loaded library uses it, renamed aside
// under a temporary name of this process (left for a later clean-up).
// True when nothing has the name any more (also when nothing had it).
bool RemoveOrMoveAside(const std::string& path);

// A fresh temporary name beside path, owned by this process: the path
// followed by ".<process id>.<count>~", the count rising with every call.
// Where that would pass the path limit, the tag replaces the end of the file
// name instead, so a target that fits the limit gets a temporary name that
// fits as well (unless its name is shorter than the tag). Never the target
// itself: the name is longer, or ends in a tag that differs from the end of
// the target's name.
std::string TemporaryPathFor(const std::string& path);

}  // namespace lumiclip
