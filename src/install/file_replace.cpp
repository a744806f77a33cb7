#include "install/file_replace.h"

#include "os/os.h"

namespace lumiclip {

std::string TemporaryPathFor(const std::string& path) { return path + ".part"; }

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
