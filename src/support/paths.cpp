#include "support/paths.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/os.h"
#include "support/log.h"

namespace lumiclip {

namespace {
constexpr const char kDeploymentSuffix[] = "\\Lumiclip";
constexpr const char kTranslationQuery[] = "\\VarFileInfo\\Translation";
constexpr const char kDefaultTranslation[] = "041904b0";
constexpr const char kInternalVersionKey[] = "LumiclipInternalVersion";
}  // namespace

namespace {

// Where the last of the separators stands, or npos. Walks the path as
// _splitpath does, a two-byte character at a time where the system code page
// has one: its second byte may be 0x5C, a backslash when alone.
size_t LastSeparator(const std::string& path, const char* separators) {
  Os& os = TheOs();
  size_t last = std::string::npos;
  for (size_t at = 0; at < path.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(path[at]);
    if (os.IsLeadByte(c) && at + 1 < path.size()) {
      ++at;
    } else if (c != 0 && std::strchr(separators, c) != nullptr) {
      last = at;
    }
  }
  return last;
}

}  // namespace

std::string ExecutableFolder(const std::string& executablePath) {
  size_t slash = LastSeparator(executablePath, "\\");
  if (slash == std::string::npos) return std::string();
  return executablePath.substr(0, slash + 1);
}

std::string FileNameOfPath(const std::string& path) {
  // _splitpath takes both separators and a drive; what follows the last of
  // them is the name and the extension.
  size_t cut = LastSeparator(path, "\\/");
  if (cut == std::string::npos) {
    cut = (path.size() >= 2 && path[1] == ':') ? 1 : std::string::npos;
  }
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path += folder;
  path += '\\';
  path += name;
  return path;
}

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

bool PathFitsOrLog(const std::string& path) {
  if (path.size() <= kMaxPathLength) return true;
  LogFormatStr("\n**** Error: Path too long: %s\n", path.c_str());
  return false;
}

const std::string& GetEngineLibraryPath() {
  static std::string path;
  path = ExecutableFolder(TheOs().ExecutablePath()) + kEngineLibraryName;
  return path;
}

std::string GetDeploymentFolder() {
  std::string appData;
  TheOs().SpecialFolderPath(win::kCsidlAppData, false, appData);
  return appData + kDeploymentSuffix;
}

const std::string& GetOwnFileName() {
  static std::string name;
  name = FileNameOfPath(TheOs().ExecutablePath());
  return name;
}

std::string GetOwnVersion() {
  return ReadInternalVersion(TheOs().ExecutablePath());
}

std::string ReadInternalVersion(const std::string& path) {
  return ReadVersionString(path, kInternalVersionKey);
}

std::string ReadVersionString(const std::string& path, const char* key) {
  Os& os = TheOs();
  uint32_t size = os.FileVersionInfoSize(path);
  if (size == 0) return std::string();
  std::vector<uint8_t> block(size);
  if (!os.FileVersionInfo(path, block)) return std::string();

  std::string translation = kDefaultTranslation;
  const void* value = nullptr;
  uint32_t length = 0;
  // A translation entry is a pair of 16-bit words; a shorter value cannot be
  // read as one and counts as absent.
  if (os.QueryVersionValue(block, kTranslationQuery, &value, &length) &&
      length >= 4 && value != nullptr) {
    uint16_t pair[2];
    std::memcpy(pair, value, sizeof(pair));
    char text[16];
    std::snprintf(text, sizeof(text), "%04x%04x", pair[0], pair[1]);
    translation = text;
  }

  std::string query = "\\StringFileInfo\\" + translation + "\\" + key;
  value = nullptr;
  length = 0;
  if (!os.QueryVersionValue(block, query, &value, &length) || length == 0 ||
      value == nullptr) {
    return std::string();
  }
  // The length counts characters, the terminator included; never read past it.
  const char* chars = static_cast<const char*>(value);
  return std::string(chars, strnlen(chars, length));
}

}  // namespace lumiclip
