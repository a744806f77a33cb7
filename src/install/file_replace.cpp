#include "install/file_replace.h"

#include <algorithm>

#include "os/os.h"
#include "support/paths.h"
#include "support/temporary_name.h"
#include "support/unicode.h"

namespace lumiclip {

namespace {

// Names of other writers, or left by a crash, are passed over; this many
// taken names in a row means something else is wrong.
constexpr int kNameAttempts = 16;

uint32_t g_temporaryCount = 0;

// The longest start of path of at most limit UTF-16 units that ends on a
// character boundary of the file name, which begins at nameStart.
size_t CharacterBoundary(const std::string& path, size_t nameStart, size_t limit) {
  return std::max(nameStart, Utf8PrefixWithin(path, limit));
}

}  // namespace

std::string TemporaryPathFor(const std::string& path) {
  std::string temporary;
  do {
    std::string tag = TemporaryTag(TheOs().CurrentProcessId(), ++g_temporaryCount);
    temporary = path + tag;
    if (PathLength(temporary) > kMaxPathLength && PathLength(path) <= kMaxPathLength) {
      size_t nameStart = path.size() - FileNameOfPath(path).size();
      size_t limit = kMaxPathLength > tag.size() ? kMaxPathLength - tag.size() : 0;
      temporary = path.substr(0, CharacterBoundary(path, nameStart, limit)) + tag;
    }
  } while (SameText(temporary, path));
  return temporary;
}

void ResetTemporaryNamesForTests() { g_temporaryCount = 0; }

namespace {

constexpr uint32_t kReplacing = win::kMoveFileReplaceExisting | win::kMoveFileWriteThrough;
// Never over another file: a temporary name someone holds stays theirs.
constexpr uint32_t kNotReplacing = win::kMoveFileWriteThrough;

bool InUse(uint32_t error) {
  return error == win::kErrorAccessDenied || error == win::kErrorSharingViolation;
}

bool NameTaken(uint32_t error) {
  return error == win::kErrorFileExists || error == win::kErrorAlreadyExists;
}

// Writes every byte, flushes them to the disk and closes, each result
// checked: bytes still in the cache are lost in a power cut although a later
// rename survives it. The count written; *durable when all of it is on the
// disk.
size_t WriteFlushClose(OsHandle file, const void* data, size_t size, bool* durable) {
  Os& os = TheOs();
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    uint32_t chunk = size - done > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(size - done);
    uint32_t n = 0;
    if (!os.WriteToFile(file, p + done, chunk, &n) || n == 0) break;
    done += n;
  }
  bool flushed = os.FlushFile(file);
  bool closed = os.CloseFile(file);
  *durable = done == size && flushed && closed;
  return done;
}

// A whole copy of from under a fresh temporary name beside to, on the disk.
bool CopyToTemporary(const std::string& from, const std::string& to, std::string* temporary) {
  Os& os = TheOs();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *temporary = TemporaryPathFor(to);
    Os::NewCopy copied = os.CopyToNew(from, *temporary);
    if (copied == Os::NewCopy::kExists) continue;
    // A copy cut short may leave part of itself behind; the name was free,
    // so what has it now is ours.
    if (copied == Os::NewCopy::kFailed) {
      os.RemoveFile(*temporary);
      return false;
    }
    // CopyFileA leaves the data in the cache.
    OsHandle file = os.OpenForFlush(*temporary);
    bool durable = file != nullptr && os.FlushFile(file);
    if (file != nullptr) durable = os.CloseFile(file) && durable;
    if (!durable) os.RemoveFile(*temporary);
    return durable;
  }
  return false;
}

// Renames path to a fresh temporary name of this process; a taken name is
// passed over, never replaced.
bool MoveAside(const std::string& path, std::string* aside) {
  Os& os = TheOs();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *aside = TemporaryPathFor(path);
    if (os.RenameFile(path, *aside, kNotReplacing)) return true;
    if (!NameTaken(os.LastError())) return false;
  }
  return false;
}

}  // namespace

bool MoveIntoPlace(const std::string& from, const std::string& to, const BeforeSwap& beforeSwap) {
  Os& os = TheOs();
  if (os.RenameFile(from, to, kReplacing)) return true;
  // Windows refuses to replace a file that a running program or a loaded
  // library uses, but lets it be renamed.
  if (!InUse(os.LastError())) return false;
  if (beforeSwap && !beforeSwap()) return false;
  std::string aside;
  if (!MoveAside(to, &aside)) return false;
  if (!os.RenameFile(from, to, kReplacing)) {
    os.RenameFile(aside, to, kNotReplacing);
    return false;
  }
  os.RemoveFile(aside);  // fails while the old file is still in use
  return true;
}

ReplaceResult WriteFileReplacing(const std::string& path, const void* data, size_t size,
                                 int64_t* written) {
  Os& os = TheOs();
  std::string temporary;
  OsHandle file = nullptr;
  Os::NewFile opened = Os::NewFile::kExists;
  for (int attempt = 0; attempt < kNameAttempts && opened == Os::NewFile::kExists; ++attempt) {
    temporary = TemporaryPathFor(path);
    opened = os.OpenNewFile(temporary, &file);
  }
  if (opened != Os::NewFile::kOpened) {
    *written = 0;
    return ReplaceResult::kCannotOpen;
  }
  bool durable = false;
  *written = static_cast<int64_t>(WriteFlushClose(file, data, size, &durable));
  if (!durable) {
    os.RemoveFile(temporary);
    return ReplaceResult::kShortWrite;
  }
  if (!MoveIntoPlace(temporary, path)) {
    os.RemoveFile(temporary);
    return ReplaceResult::kCannotMove;
  }
  return ReplaceResult::kDone;
}

bool RemoveOrMoveAside(const std::string& path) {
  Os& os = TheOs();
  if (os.RemoveFile(path)) return true;
  if (os.FileAttributes(path) == win::kInvalidFileAttributes) return true;
  std::string aside;
  return MoveAside(path, &aside) || os.FileAttributes(path) == win::kInvalidFileAttributes;
}

bool CopyFileReplacing(const std::string& from, const std::string& to, const BeforeSwap& beforeSwap) {
  Os& os = TheOs();
  std::string temporary;
  if (!CopyToTemporary(from, to, &temporary)) return false;
  if (MoveIntoPlace(temporary, to, beforeSwap)) return true;
  os.RemoveFile(temporary);
  return false;
}

}  // namespace lumiclip
