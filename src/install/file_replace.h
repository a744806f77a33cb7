// Writing a file so that its old content survives every failure and every
// crash: the bytes go to a temporary file beside the target, are flushed to
// the disk, and replace the target only once they are whole. The seam below
// offers single calls (create exclusively, write, flush, close, rename);
// every promise is kept here, where the tests' fake can cut it after any step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace lumiclip {

enum class ReplaceResult {
  kDone,
  kCannotOpen,    // the temporary file could not be created
  kShortWrite,    // fewer bytes than asked reached the disk
  kCannotMove,    // the whole file could not take the target's place
};

// Called when the target is in use (a running program, a loaded library) and
// is about to be moved aside for a moment: whatever must stay reachable while
// no file has the target's name is made so here. False cancels the swap.
using BeforeSwap = std::function<bool()>;

// *written gets the count that reached the temporary file (0 when it could
// not be opened). On any failure the temporary file is removed and the
// target is untouched.
ReplaceResult WriteFileReplacing(const std::string& path, const void* data, size_t size,
                                 int64_t* written);

// Copies the file from over the file to in the same way: the old target
// stays whole until the copy is whole and on the disk.
bool CopyFileReplacing(const std::string& from, const std::string& to,
                       const BeforeSwap& beforeSwap = BeforeSwap());

// Moves the whole file from over to, with write-through. When to is in use,
// it is moved aside under a temporary name of this process, from takes its
// place (or the old file is moved back if it cannot), and the old file is
// deleted if nothing uses it any more (else left for a later clean-up).
bool MoveIntoPlace(const std::string& from, const std::string& to,
                   const BeforeSwap& beforeSwap = BeforeSwap());

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

// A new process starts counting from 1.
void ResetTemporaryNamesForTests();

}  // namespace lumiclip
