#include "install/file_replace.h"

#include <cctype>

#include "os/os.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

// Names of other writers, or left by a crash, are passed over; this many
// taken names in a row means something else is wrong.
constexpr int kNameAttempts = 16;

uint32_t g_temporaryCount = 0;

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The longest start of path no longer than limit that ends on a character
// boundary of the file name, which begins at nameStart.
size_t CharacterBoundary(const std::string& path, size_t nameStart, size_t limit) {
  Os& os = TheOs();
  size_t at = nameStart;
  while (at < path.size()) {
    size_t next = at + (os.IsLeadByte(static_cast<unsigned char>(path[at])) ? 2 : 1);
    if (next > limit) break;
    at = next;
  }
  return at;
}

}  // namespace

std::string TemporaryPathFor(const std::string& path) {
  std::string temporary;
  do {
    std::string tag = "." + std::to_string(TheOs().CurrentProcessId()) + "." +
                      std::to_string(++g_temporaryCount) + "~";
    temporary = path + tag;
    if (temporary.size() > kMaxPathLength && path.size() <= kMaxPathLength) {
      size_t nameStart = path.size() - FileNameOfPath(path).size();
      size_t limit = kMaxPathLength > tag.size() ? kMaxPathLength - tag.size() : 0;
      temporary = path.substr(0, CharacterBoundary(path, nameStart, limit)) + tag;
    }
  } while (SameText(temporary, path));
  return temporary;
}

ReplaceResult WriteFileReplacing(const std::string& path, const void* data, size_t size,
                                 int64_t* written) {
  Os& os = TheOs();
  std::string temporary;
  *written = kNewFileExists;
  for (int attempt = 0; attempt < kNameAttempts && *written == kNewFileExists; ++attempt) {
    temporary = TemporaryPathFor(path);
    *written = os.WriteNewFile(temporary, data, size);
  }
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

bool RemoveOrMoveAside(const std::string& path) {
  Os& os = TheOs();
  if (os.RemoveFile(path)) return true;
  if (os.FileAttributes(path) == win::kInvalidFileAttributes) return true;
  return os.MoveReplacing(path, TemporaryPathFor(path)) ||
         os.FileAttributes(path) == win::kInvalidFileAttributes;
}

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  Os& os = TheOs();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temporary = TemporaryPathFor(to);
    Os::NewCopy copied = os.CopyToNewFile(from, temporary);
    if (copied == Os::NewCopy::kExists) continue;
    // A copy cut short may leave part of itself behind.
    if (copied == Os::NewCopy::kFailed) {
      os.RemoveFile(temporary);
      return false;
    }
    if (os.MoveReplacing(temporary, to)) return true;
    os.RemoveFile(temporary);
    return false;
  }
  return false;
}

}  // namespace lumiclip
