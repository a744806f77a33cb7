#include "support/paths.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/os.h"
#include "support/log.h"
#include "support/unicode.h"

namespace lumiclip {

namespace {
constexpr const char kDeploymentSuffix[] = "\\Lumiclip";
constexpr const char kTranslationQuery[] = "\\VarFileInfo\\Translation";
constexpr const char kDefaultTranslation[] = "041904b0";
constexpr const char kInternalVersionKey[] = "LumiclipInternalVersion";
}  // namespace

namespace {

// Where the last of the separators stands, or npos. The path is UTF-8, in
// which no byte of a longer character is an ASCII one.
size_t LastSeparator(const std::string& path, const char* separators) {
  return path.find_last_of(separators);
}

// The value of a string of a version block, found under the block's first
// translation as the system's own readers find it; empty when there is none.
std::string VersionString(const std::vector<uint8_t>& block, const char* key) {
  Os& os = TheOs();
  std::string translation = kDefaultTranslation;
  const void* value = nullptr;
  uint32_t length = 0;
  // A translation entry is a pair of 16-bit words; a shorter value cannot be
  // read as one and counts as absent.
  if (os.QueryVersionValue(block, kTranslationQuery, &value, &length) && length >= 4 && value != nullptr) {
    uint16_t pair[2];
    std::memcpy(pair, value, sizeof(pair));
    char text[16];
    std::snprintf(text, sizeof(text), "%04x%04x", pair[0], pair[1]);
    translation = text;
  }

  std::string query = "\\StringFileInfo\\" + translation + "\\" + key;
  value = nullptr;
  length = 0;
  if (!os.QueryVersionValue(block, query, &value, &length) || length == 0 || value == nullptr) {
    return std::string();
  }
  // UTF-16 units, the terminator included; never read past them.
  std::u16string_view units(static_cast<const char16_t*>(value), length);
  units = units.substr(0, units.find(u'\0'));
  std::string text;
  if (!Utf16ToUtf8(units, &text)) return std::string();
  return text;
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

bool SameText(const std::string& a, const std::string& b) { return a == b || CaseFolded(a) == CaseFolded(b); }

bool StartsWithText(const std::string& text, const std::string& start) {
  if (text.compare(0, start.size(), start) == 0) return true;
  // Folding may change a character's length in bytes: both are folded whole.
  std::string foldedStart = CaseFolded(start);
  return CaseFolded(text).compare(0, foldedStart.size(), foldedStart) == 0;
}

size_t PathLength(const std::string& path) { return Utf16Length(path); }

bool IsFullPath(const std::string& path) {
  bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
               (path[2] == '\\' || path[2] == '/');
  bool unc = path.size() >= 3 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  return drive || unc;
}

bool PathFitsOrLog(const std::string& path) {
  if (PathLength(path) <= kMaxPathLength) return true;
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
  // The running image's: after another host's update the file at this
  // host's path may be a newer one.
  std::vector<uint8_t> block;
  if (!TheOs().OwnVersionInfo(block)) return std::string();
  return VersionString(block, kInternalVersionKey);
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
  return VersionString(block, key);
}

}  // namespace lumiclip
