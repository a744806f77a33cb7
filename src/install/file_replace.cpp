#include "install/file_replace.h"

#include "os/os.h"

namespace lumiclip {

// The target's name with its last character replaced by "~": beside the
// target, and never longer, so every path that fits the limit works.
std::string TemporaryPathFor(const std::string& path) {
  if (path.empty()) return "~";
  return path.substr(0, path.size() - 1) + "~";
}

ReplaceResult WriteFileReplacing(const std::string& path, const void* data, size_t size,
                                 int64_t* written) {
  Os& os = TheOs();
  std::string temporary = TemporaryPathFor(path);
  *written = os.WriteNewFile(temporary, data, size);
  if (*written < 0) {
    *written = 0;
    return ReplaceResult::kCannotOpen;
  }
  if (static_cast<uint64_t>(*written) != size) {
    os.RemoveFile(temporary);
    return ReplaceResult::kShortWrite;
  }
  if (!os.MoveReplacing(temporary, path)) {
    os.RemoveFile(temporary);
    return ReplaceResult::kCannotMove;
  }
  return ReplaceResult::kDone;
}

}  // namespace lumiclip
