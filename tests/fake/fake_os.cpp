#include "fake/fake_os.h"

#include "channel/input_ring.h"
#include "channel/wire_format.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/unicode.h"

namespace lumiclip::testing {

namespace {

// Paths are UTF-8: no byte of a longer character is a backslash.
std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The key under which the fake's version blocks answer for the running
// image (see OwnVersionInfo).
const char kImageBlock[] = "<the running image>";

}  // namespace

namespace {
// What an injected failure reports: no error the logic treats specially.
constexpr uint32_t kInjectedError = 1117;  // ERROR_IO_DEVICE
}  // namespace

FakeOs::FakeOs() {
  AddFolder("C:\\Host");
  AddFolder(appData);
  AddFolder(tempPath);
}

std::string FakeOs::Lower(const std::string& text) { return CaseFolded(text); }

bool FakeOs::TooLong(const std::string& path) const {
  return maxPathLength != 0 && Utf16Length(path) > maxPathLength;
}

std::string FakeOs::Canon(const std::string& path) const {
  auto basic = [](std::string p) {
    if (p.rfind("\\\\?\\", 0) == 0 || p.rfind("//?/", 0) == 0) p = p.substr(4);
    for (char& c : p) {
      if (c == '/') c = '\\';
    }
    return Lower(p);
  };
  std::string p = basic(path);
  // A short name may stand for any folder on the way, or the file itself.
  for (const auto& [alias, target] : shortNames) {
    std::string a = basic(alias);
    if (p == a || (p.size() > a.size() && p.compare(0, a.size(), a) == 0 && p[a.size()] == '\\')) {
      p = basic(target) + p.substr(a.size());
    }
  }
  return p;
}

bool FakeOs::InUse(const std::string& path) const {
  std::string c = Canon(path);
  for (const std::string& other : inUseByOthers) {
    if (Canon(other) == c) return true;
  }
  if (c == SelfImage()) return true;
  for (const auto& [module, file] : loadedFiles_) {
    if (file == c) return true;
  }
  return false;
}

bool FakeOs::Fails(const std::string& name, const std::string& path) const {
  if (down_ || failing.count(name)) return true;
  std::string lower = Lower(path);
  for (const std::string& rule : failing) {
    size_t colon = rule.find(':');
    if (colon == std::string::npos || rule.compare(0, colon, name) != 0) continue;
    if (lower.find(Lower(rule.substr(colon + 1))) != std::string::npos) return true;
  }
  return false;
}

bool FakeOs::ParentExists(const std::string& path) const {
  std::string parent = FolderOf(Canon(path));
  if (parent.empty() || parent.size() == 2) return true;  // relative, or a drive
  return folders.count(parent) != 0;
}

void FakeOs::AddFile(const std::string& path, const std::string& bytes) {
  files[Canon(path)] = bytes;
}
bool FakeOs::HasFile(const std::string& path) const { return files.count(Canon(path)) != 0; }
std::string FakeOs::FileText(const std::string& path) const {
  auto it = files.find(Canon(path));
  return it == files.end() ? std::string() : it->second;
}
void FakeOs::AddFolder(const std::string& path) {
  std::string p = Canon(path);
  while (p.size() > 2) {
    folders.insert(p);
    p = FolderOf(p);
  }
}
std::string FakeOs::Log() const { return FileText(FolderOf(executablePath) + "\\native-lumiclip.log"); }
FakeModule& FakeOs::AddModule(const std::string& name) { return modules[Canon(name)]; }
FakeModule& FakeOs::AddSystemModule(const std::string& name) {
  return modules[Canon(systemFolder + "\\" + name)];
}

std::set<std::string> FakeOs::FileNamesIn(const std::string& folder) const {
  std::set<std::string> names;
  std::string prefix = Canon(folder) + "\\";
  for (const auto& [path, bytes] : files) {
    if (path.compare(0, prefix.size(), prefix) == 0 &&
        path.find('\\', prefix.size()) == std::string::npos) {
      names.insert(path.substr(prefix.size()));
    }
  }
  return names;
}

void FakeOs::Reboot() {
  // Renames that never reached the disk are undone, the latest first.
  for (auto it = volatileRenames_.rbegin(); it != volatileRenames_.rend(); ++it) {
    auto moved = files.find(it->to);
    if (moved == files.end()) continue;
    files[it->from] = moved->second;
    auto cached = unflushed_.find(it->to);
    if (cached != unflushed_.end()) {
      unflushed_[it->from] = cached->second;
      unflushed_.erase(cached);
    }
    if (it->replaced) {
      files[it->to] = it->old;
    } else {
      files.erase(it->to);
    }
  }
  volatileRenames_.clear();
  for (const auto& [path, durable] : unflushed_) {
    auto it = files.find(path);
    if (it != files.end()) it->second = durable;
  }
  unflushed_.clear();
  down_ = false;
  crashAfterCalls = 0;
  lastError_ = 0;
  fileHandles_.clear();
  inUseByOthers.clear();
  loadedFiles_.clear();
  selfImage_.clear();
}

bool FakeOs::Called(const std::string& prefix) const { return IndexOf(prefix) != std::string::npos; }
size_t FakeOs::IndexOf(const std::string& prefix) const {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].compare(0, prefix.size(), prefix) == 0) return i;
  }
  return std::string::npos;
}

std::string FakeOs::ExecutablePath() { return down_ ? std::string() : executablePath; }

bool FakeOs::CommandLineWords(std::vector<std::string>* words) {
  Record("CommandLineWords()");
  *words = commandLineFails ? std::vector<std::string>() : commandLine;
  return !commandLineFails;
}

bool FakeOs::RestrictLibrarySearch() {
  Record("RestrictLibrarySearch()");
  return !Fails("RestrictLibrarySearch");
}

// The module a load call finds at path, as LoadModule finds it by a name:
// a bare name is whatever the system's search order would find.
OsHandle FakeOs::Loaded(const std::string& call, const std::string& path) {
  Record(call);
  // A library's C runtime looks at the standard handles as it starts.
  ForeignCodeQueriesStdInput(call);
  std::string name = call.substr(0, call.find('('));
  if (Fails(name, path)) return nullptr;
  auto it = modules.find(Canon(path));
  if (it == modules.end()) return nullptr;
  ++it->second.loads;
  // Loaded from a file by its path: the file is in use until released.
  if (files.count(Canon(path))) loadedFiles_.push_back({&it->second, Canon(path)});
  return &it->second;
}

OsHandle FakeOs::LoadSystemModule(const std::string& name) {
  return Loaded("LoadSystemModule(" + name + ")", systemFolder + "\\" + name);
}

OsHandle FakeOs::LoadModule(const std::string& name) { return Loaded("LoadModule(" + name + ")", name); }

OsHandle FakeOs::LoadApplicationModule(const std::string& name) {
  return Loaded("LoadApplicationModule(" + name + ")", FolderOf(executablePath) + "\\" + name);
}

void* FakeOs::ModuleExport(OsHandle module, const char* name) {
  Record(std::string("ModuleExport(") + name + ")");
  if (down_) return nullptr;
  auto* m = static_cast<FakeModule*>(module);
  auto it = m->exports.find(name);
  return it == m->exports.end() ? nullptr : it->second;
}

bool FakeOs::ReleaseModule(OsHandle module) {
  for (auto& [name, m] : modules) {
    if (&m == module) {
      Record("ReleaseModule(" + name + ")");
      if (down_) return false;
      ++m.releases;
      for (auto it = loadedFiles_.begin(); it != loadedFiles_.end() && !m.pinned; ++it) {
        if (it->first == &m) {
          loadedFiles_.erase(it);
          break;
        }
      }
      return true;
    }
  }
  Record("ReleaseModule(?)");
  return false;
}

// A module is mapped while it holds more references than were released:
// under the name it was loaded by, which is also what a later load of that
// name gets back, whatever file has the name by then.
bool FakeOs::ModuleMapped(OsHandle module) {
  for (auto& [name, m] : modules) {
    if (&m != module) continue;
    Record("ModuleMapped(" + name + ")");
    return !down_ && m.loads > 0 && (m.pinned || m.loads > m.releases);
  }
  Record("ModuleMapped(?)");
  return false;
}

std::string FakeOs::OwnResource(int id, const char* type) {
  Record("OwnResource(" + std::to_string(id) + "," + type + ")");
  if (down_) return std::string();
  auto it = resources.find({id, type});
  return it == resources.end() ? std::string() : it->second;
}

uint32_t FakeOs::FileAttributes(const std::string& path) {
  Record("FileAttributes(" + path + ")");
  if (down_) return win::kInvalidFileAttributes;
  if (folders.count(Canon(path))) {
    return win::kFileAttributeDirectory |
           (reparsePoints.count(Canon(path)) ? win::kFileAttributeReparsePoint : 0);
  }
  if (files.count(Canon(path))) return 0x20;
  return win::kInvalidFileAttributes;
}

bool FakeOs::MakeDirectory(const std::string& path) {
  Record("MakeDirectory(" + path + ")");
  if (Fails("MakeDirectory", path) || TooLong(path) || !ParentExists(path) || folders.count(Canon(path)) ||
      files.count(Canon(path))) {
    return false;
  }
  folders.insert(Canon(path));
  return true;
}

bool FakeOs::RemoveFile(const std::string& path) {
  Record("RemoveFile(" + path + ")");
  std::string c = Canon(path);
  if (Fails("RemoveFile", path) || TooLong(path)) return Fail(kInjectedError);
  if (!files.count(c)) return Fail(win::kErrorFileNotFound);
  if (InUse(c)) return Fail(win::kErrorAccessDenied);
  unflushed_.erase(c);
  files.erase(c);
  lastError_ = 0;
  return true;
}

bool FakeOs::RenameFile(const std::string& from, const std::string& to, uint32_t flags) {
  Record("RenameFile(" + from + "," + to + "," + std::to_string(flags) + ")");
  std::string source = Canon(from), target = Canon(to);
  if (down_ || TooLong(from) || TooLong(to)) return Fail(kInjectedError);
  if (!files.count(source)) return Fail(win::kErrorFileNotFound);
  if (!ParentExists(to)) return Fail(3);  // ERROR_PATH_NOT_FOUND
  if (source == target) return true;
  if (folders.count(target)) return Fail(win::kErrorAccessDenied);
  bool replaced = files.count(target) != 0;
  if (replaced && (flags & win::kMoveFileReplaceExisting) == 0) return Fail(win::kErrorAlreadyExists);
  if (replaced && InUse(target)) return Fail(win::kErrorAccessDenied);
  // A rule's needle is looked for in "from>to".
  if (Fails("RenameFile", Canon(from) + ">" + target)) return Fail(kInjectedError);
  if ((flags & win::kMoveFileWriteThrough) == 0) {
    volatileRenames_.push_back({source, target, replaced, replaced ? files[target] : std::string()});
  }
  files[target] = files[source];
  files.erase(source);
  // The data a rename carries is what was flushed.
  auto cached = unflushed_.find(source);
  if (cached != unflushed_.end()) {
    unflushed_[target] = cached->second;
    unflushed_.erase(cached);
  } else {
    unflushed_.erase(target);
  }
  // Whoever uses the file keeps it under its new name.
  std::set<std::string> others;
  for (const std::string& other : inUseByOthers) others.insert(Canon(other) == source ? target : other);
  inUseByOthers = others;
  if (source == SelfImage()) selfImage_ = target;
  for (auto& [module, file] : loadedFiles_) {
    if (file == source) file = target;
  }
  lastError_ = 0;
  return true;
}

int64_t FakeOs::FileLength(const std::string& path) {
  Record("FileLength(" + path + ")");
  auto it = files.find(Canon(path));
  if (down_ || TooLong(path)) return -1;
  return it == files.end() ? -1 : static_cast<int64_t>(it->second.size());
}

// The log's appends are not recorded: it writes a line at nearly every step.
bool FakeOs::AppendToFile(const std::string& path, std::string_view bytes, int64_t emptyAbove, bool lockByte) {
  if (Fails("AppendToFile", path) || TooLong(path) || !ParentExists(path)) return false;
  Append(Canon(path), bytes, emptyAbove, lockByte);
  return true;
}

OsHandle FakeOs::OpenToAppend(const std::string& path) {
  if (Fails("OpenToAppend", path) || TooLong(path) || !ParentExists(path)) return nullptr;
  keptOpen.insert(Canon(path));
  return NewHandle(Canon(path));
}

bool FakeOs::AppendToOpenFile(OsHandle file, std::string_view bytes, int64_t emptyAbove, bool lockByte) {
  std::string path = HandlePath(file);
  if (path.empty() || Fails("AppendToFile", path)) return false;
  Append(path, bytes, emptyAbove, lockByte);
  return true;
}

bool FakeOs::FileIndex(const std::string& path, uint64_t* index) {
  std::string canonical = Canon(path);
  if (down_ || files.count(canonical) == 0) return false;
  auto it = fileIndexes.emplace(canonical, fileIndexes.size() + 1).first;
  *index = it->second;
  return true;
}

std::atomic<int32_t>* FakeOs::SharedWord(const std::string& name) {
  if (Fails("SharedWord", name) || reservedWords.count(name)) return nullptr;
  auto& word = sharedWords[name];
  if (!word) word = std::make_unique<std::atomic<int32_t>>(0);
  return word.get();
}

void FakeOs::Append(const std::string& canonicalPath, std::string_view bytes, int64_t emptyAbove, bool lockByte) {
  ++logAppends;
  // Without the lock byte, only the shared word keeps another process's
  // line out of the middle of this one.
  bool serialised = lockByte;
  for (const auto& word : sharedWords) serialised = serialised || word.second->load() == static_cast<int32_t>(processId);
  if (!serialised) ADD_FAILURE() << "appended to " << canonicalPath << " under neither the lock byte nor a shared word";
  std::string& file = files[canonicalPath];
  if (emptyAbove >= 0) {
    ++sizeChecks;
    if (static_cast<int64_t>(file.size()) > emptyAbove) file.clear();
  }
  file.append(bytes.data(), bytes.size());
}

OsHandle FakeOs::NewHandle(const std::string& path) {
  uintptr_t id = nextFileHandle_++;
  fileHandles_[id] = path;
  return reinterpret_cast<OsHandle>(id);
}

std::string FakeOs::HandlePath(OsHandle file) const {
  auto it = fileHandles_.find(reinterpret_cast<uintptr_t>(file));
  return it == fileHandles_.end() ? std::string() : it->second;
}

Os::NewFile FakeOs::OpenNewFile(const std::string& path, OsHandle* file) {
  Record("OpenNewFile(" + path + ")");
  *file = nullptr;
  std::string c = Canon(path);
  if (Fails("OpenNewFile", path) || TooLong(path) || !ParentExists(path)) {
    Fail(kInjectedError);
    return NewFile::kFailed;
  }
  if (folders.count(c) || files.count(c)) {
    Fail(win::kErrorFileExists);
    return NewFile::kExists;
  }
  // The new name is on the disk at once, its data only once flushed.
  files[c] = std::string();
  unflushed_[c] = std::string();
  *file = NewHandle(c);
  return NewFile::kOpened;
}

OsHandle FakeOs::OpenForFlush(const std::string& path) {
  Record("OpenForFlush(" + path + ")");
  if (Fails("OpenForFlush", path) || TooLong(path) || !files.count(Canon(path))) return nullptr;
  return NewHandle(Canon(path));
}

bool FakeOs::WriteToFile(OsHandle file, const void* data, uint32_t size, uint32_t* written) {
  std::string path = HandlePath(file);
  bool cut = Record("WriteToFile(" + path + "," + std::to_string(size) + ")");
  *written = 0;
  if (path.empty() || !files.count(path)) return Fail(6);  // ERROR_INVALID_HANDLE
  const char* bytes = static_cast<const char*>(data);
  Unflushed(path);
  if (cut || Fails("WriteToFile", path)) {
    // Cut short: part of the data is in the cache.
    files[path].append(bytes, size / 2);
    return Fail(kInjectedError);
  }
  size_t n = size;
  for (const auto& [needle, limit] : writeLimits) {
    if (path.find(Lower(needle)) == std::string::npos) continue;
    size_t room = files[path].size() < static_cast<size_t>(limit)
                      ? static_cast<size_t>(limit) - files[path].size()
                      : 0;
    n = std::min(n, room);
  }
  if (n == 0 && size > 0) return Fail(112);  // ERROR_DISK_FULL
  files[path].append(bytes, n);
  *written = static_cast<uint32_t>(n);
  return true;
}

bool FakeOs::FlushFile(OsHandle file) {
  std::string path = HandlePath(file);
  Record("FlushFile(" + path + ")");
  if (Fails("FlushFile", path)) return Fail(kInjectedError);
  if (path.empty()) return Fail(6);
  unflushed_.erase(path);
  return true;
}

bool FakeOs::CloseFile(OsHandle file) {
  std::string path = HandlePath(file);
  Record("CloseFile(" + path + ")");
  fileHandles_.erase(reinterpret_cast<uintptr_t>(file));
  if (Fails("CloseFile", path)) return Fail(kInjectedError);
  return path.empty() ? Fail(6) : true;
}

Os::NewCopy FakeOs::CopyToNew(const std::string& from, const std::string& to) {
  bool cut = Record("CopyToNew(" + from + "," + to + ")");
  std::string source = Canon(from), target = Canon(to);
  if (down_ && !cut) return NewCopy::kFailed;
  if (TooLong(from) || TooLong(to) || !files.count(source) || !ParentExists(to)) {
    return NewCopy::kFailed;
  }
  if (folders.count(target) || files.count(target)) {
    Fail(win::kErrorFileExists);
    return NewCopy::kExists;
  }
  // Created at once; the data is only cached.
  unflushed_[target] = std::string();
  if (cut || Fails("CopyToNew", to)) {
    // Cut short, or failed on the way: part of the copy stays.
    files[target] = files[source].substr(0, files[source].size() / 2);
    Fail(kInjectedError);
    return NewCopy::kFailed;
  }
  files[target] = files[source];
  return NewCopy::kDone;
}

bool FakeOs::SameFile(const std::string& a, const std::string& b) {
  Record("SameFile(" + a + "," + b + ")");
  // One file whatever its spelling: the fake's identity is the canonical path.
  return !down_ && Canon(a) == Canon(b) && files.count(Canon(a)) != 0;
}

bool FakeOs::ListFolder(const std::string& folder, std::vector<std::string>* names) {
  Record("ListFolder(" + folder + ")");
  names->clear();
  if (Fails("ListFolder", folder) || !folders.count(Canon(folder))) return false;
  for (const std::string& name : FileNamesIn(folder)) names->push_back(name);
  return true;
}

bool FakeOs::RemoveFolder(const std::string& path) {
  Record("RemoveFolder(" + path + ")");
  std::string lower = Lower(path);
  if (Fails("RemoveFolder", path) || TooLong(path) || !folders.count(lower)) return false;
  std::string prefix = lower + "\\";
  for (const auto& [file, bytes] : files) {
    if (file.compare(0, prefix.size(), prefix) == 0) return false;
  }
  for (const std::string& folder : folders) {
    if (folder.compare(0, prefix.size(), prefix) == 0) return false;
  }
  folders.erase(lower);
  return true;
}

std::string FakeOs::TempFolderPath() {
  Record("TempFolderPath()");
  return Fails("TempFolderPath") ? std::string() : tempPath;
}

bool FakeOs::OwnVersionInfo(std::vector<uint8_t>& block) {
  Record("OwnVersionInfo()");
  std::string key = imageVersion.empty() ? Lower(executablePath) : kImageBlock;
  block.clear();
  if (down_ || (imageVersion.empty() && !versions.count(key))) return false;
  block.assign(key.begin(), key.end());
  block.push_back(0);
  return true;
}

bool FakeOs::ListSubfolders(const std::string& folder, std::vector<std::string>* names) {
  Record("ListSubfolders(" + folder + ")");
  names->clear();
  if (Fails("ListSubfolders", folder) || !folders.count(Canon(folder))) return false;
  std::string prefix = Canon(folder) + "\\";
  for (const std::string& path : folders) {
    if (path.compare(0, prefix.size(), prefix) == 0 && path.find('\\', prefix.size()) == std::string::npos) {
      names->push_back(path.substr(prefix.size()));
    }
  }
  return true;
}

uint32_t FakeOs::FileVersionInfoSize(const std::string& path) {
  Record("FileVersionInfoSize(" + path + ")");
  // The block names its file (see FileVersionInfo): room for the name.
  return !down_ && versions.count(Lower(path)) ? static_cast<uint32_t>(std::max<size_t>(64, path.size() + 1))
                                               : 0;
}

bool FakeOs::FileVersionInfo(const std::string& path, std::vector<uint8_t>& block) {
  Record("FileVersionInfo(" + path + ")");
  if (Fails("FileVersionInfo", path) || !versions.count(Lower(path))) return false;
  // The block names its file: the fake answers queries from the map.
  std::string key = Lower(path);
  std::fill(block.begin(), block.end(), 0);
  std::memcpy(block.data(), key.data(), std::min(key.size(), block.size() - 1));
  return true;
}

bool FakeOs::QueryVersionValue(const std::vector<uint8_t>& block, const std::string& subBlock,
                               const void** value, uint32_t* length) {
  Record("QueryVersionValue(" + subBlock + ")");
  if (down_) return false;
  std::string key(reinterpret_cast<const char*>(block.data()));
  const auto* values = key == kImageBlock ? &imageVersion : nullptr;
  if (values == nullptr) {
    auto file = versions.find(key);
    if (file == versions.end()) return false;
    values = &file->second;
  }
  auto entry = values->find(subBlock);
  if (entry == values->end()) return false;
  if (subBlock.rfind("\\StringFileInfo\\", 0) != 0) {
    *value = entry->second.data();
    *length = static_cast<uint32_t>(entry->second.size());
    return true;
  }
  // A string: UTF-16, its length in units, terminator included when given.
  std::u16string& wide = wideVersionValues_[{key, subBlock}];
  if (!Utf8ToUtf16(entry->second, &wide)) throw std::logic_error("a version string that is not UTF-8");
  *value = wide.data();
  *length = static_cast<uint32_t>(wide.size());
  return true;
}

OsVersion FakeOs::VersionEx() {
  Record("VersionEx()");
  return down_ ? OsVersion{} : version;
}
uint32_t FakeOs::CurrentProcessId() { return processId; }

OsHandle FakeOs::OpenProcessHandle(uint32_t access, uint32_t pid) {
  Record("OpenProcessHandle(" + std::to_string(access) + "," + std::to_string(pid) + ")");
  if (down_ || !processes.count(pid)) return nullptr;
  auto* handle = reinterpret_cast<OsHandle>(static_cast<uintptr_t>(0x1000 + pid));
  handles_[0x1000 + pid] = std::to_string(pid);
  return handle;
}

uint32_t FakeOs::WaitForObject(OsHandle handle, uint32_t milliseconds) {
  Record("WaitForObject(" + std::to_string(milliseconds) + ")");
  waits.push_back(milliseconds);
  if (down_) return win::kWaitFailed;
  if (!handles_.count(reinterpret_cast<uintptr_t>(handle))) return win::kWaitFailed;  // closed
  uint32_t pid = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) - 0x1000);
  auto it = processes.find(pid);
  return it == processes.end() ? win::kWaitFailed : it->second;
}

void FakeOs::CloseOsHandle(OsHandle handle) {
  // The reader's events are the fake's own, not the system's.
  if (events_.erase(reinterpret_cast<uintptr_t>(handle)) > 0) return;
  Record("CloseOsHandle()");
  handles_.erase(reinterpret_cast<uintptr_t>(handle));
}

bool FakeOs::ListProcessIds(std::vector<uint32_t>* pids) {
  Record("ListProcessIds()");
  pids->clear();
  if (Fails("ListProcessIds")) return false;
  pids->push_back(processId);
  for (const auto& [pid, image] : processImages) {
    if (pid != processId) pids->push_back(pid);
  }
  return true;
}

std::string FakeOs::ProcessImagePath(uint32_t pid) {
  Record("ProcessImagePath(" + std::to_string(pid) + ")");
  if (Fails("ProcessImagePath")) return std::string();
  if (pid == processId) return executablePath;
  auto it = processImages.find(pid);
  return it == processImages.end() ? std::string() : it->second;
}

bool FakeOs::SpecialFolderPath(int csidl, bool create, std::string& out) {
  Record("SpecialFolderPath(" + std::to_string(csidl) + "," + (create ? "1" : "0") + ")");
  if (appDataFails || down_ || csidl != 26) return false;  // only CSIDL_APPDATA is arranged
  out = appData;
  if (create) folders.insert(Canon(appData));
  return true;
}

intptr_t FakeOs::ShellRun(const char* verb, const std::string& file, const std::string& parameters,
                          int show) {
  Record(std::string("ShellRun(") + verb + "," + file + "," + parameters + ")");
  if (down_) return 0;
  shellRuns.push_back({verb, file, parameters, show});
  return shellResult;
}

int FakeOs::ShowMessageBox(const std::string& text, const char* caption, uint32_t flags) {
  Record("ShowMessageBox(" + text.substr(0, 40) + ")");
  if (down_) return 0;
  boxes.push_back({text, caption != nullptr, caption ? caption : "", flags});
  return boxAnswer;
}

void FakeOs::PumpWindowMessages() {
  ++pumps;
  // The thread's window and timer procedures run: COM's, the engine's.
  ForeignCodeQueriesStdInput("a window procedure");
  dispatchedMessages += queuedMessages;
  queuedMessages = 0;
  if (onPumpMessages) onPumpMessages();
  RunReader();
}
long FakeOs::ComInitialize(uint32_t coinit) {
  Record("ComInitialize(" + std::to_string(coinit) + ")");
  if (down_) return static_cast<long>(0x80004005);  // E_FAIL
  ForeignCodeQueriesStdInput("COM, starting");
  ++comInits;
  return 0;
}
void FakeOs::ComUninitialize() {
  Record("ComUninitialize()");
  ++comUninits;
}

long FakeOs::RegCreateUserKey(const std::string& subKey, uint32_t access, OsHandle* key) {
  Record("RegCreateUserKey(" + subKey + "," + std::to_string(access) + ")");
  if (Fails("RegCreateUserKey", subKey)) return 5;
  if (regCreateResult != 0) return regCreateResult;
  registryKeys.insert(subKey);
  keys_.push_back(subKey);
  keyAccess_.push_back(access);
  openKeys_.insert(keys_.size());
  *key = reinterpret_cast<OsHandle>(static_cast<uintptr_t>(keys_.size()));
  return 0;
}

long FakeOs::RegSetDefaultValue(OsHandle key, uint32_t type, const void* data, uint32_t size) {
  Record("RegSetDefaultValue(" + std::to_string(type) + "," + std::to_string(size) + ")");
  if (down_) return 5;
  if (regSetResult != 0) return regSetResult;
  if (long refused = KeyRefusesSet(key)) return refused;
  if (type != win::kRegSz) throw std::logic_error("a default value the host never writes");
  const std::string& name = keys_.at(reinterpret_cast<uintptr_t>(key) - 1);
  const char* text = static_cast<const char*>(data);
  // REG_SZ data counts its terminating zero.
  if (size == 0 || text[size - 1] != '\0') throw std::logic_error("REG_SZ without its zero");
  registry[name] = std::string(text, size - 1);
  return 0;
}

long FakeOs::RegCloseKeyHandle(OsHandle key) {
  Record("RegCloseKeyHandle()");
  openKeys_.erase(reinterpret_cast<uintptr_t>(key));
  return down_ ? 5 : 0;
}

long FakeOs::RegSetNamedValue(OsHandle key, const std::string& name, uint32_t type,
                              const void* data, uint32_t size) {
  Record("RegSetNamedValue(" + name + "," + std::to_string(type) + "," + std::to_string(size) + ")");
  if (Fails("RegSetNamedValue", name)) return 5;
  if (long refused = KeyRefusesSet(key)) return refused;
  const std::string& keyName = keys_.at(reinterpret_cast<uintptr_t>(key) - 1);
  const char* bytes = static_cast<const char*>(data);
  FakeRegValue value{type, std::string()};
  if (type == win::kRegSz) {
    if (size == 0 || bytes[size - 1] != '\0') throw std::logic_error("REG_SZ without its zero");
    value.data.assign(bytes, size - 1);
  } else if (type == win::kRegDword) {
    if (size != 4) throw std::logic_error("REG_DWORD of " + std::to_string(size) + " bytes");
    value.data.assign(bytes, 4);
  } else {
    throw std::logic_error("a value type the host never writes");
  }
  registryValues[keyName][name] = value;
  return 0;
}

long FakeOs::RegQueryUserDefault(const std::string& subKey, std::string* value) {
  Record("RegQueryUserDefault(" + subKey + ")");
  value->clear();
  if (Fails("RegQueryUserDefault", subKey)) return 5;
  auto it = registry.find(subKey);
  if (it == registry.end()) return win::kErrorFileNotFound;
  *value = it->second;
  return 0;
}

long FakeOs::RegDeleteUserKey(const std::string& subKey) {
  Record("RegDeleteUserKey(" + subKey + ")");
  if (Fails("RegDeleteUserKey", subKey)) return 5;
  if (!KeyExists(subKey)) return win::kErrorFileNotFound;
  std::string prefix = Lower(subKey) + "\\";
  for (const std::string& key : registryKeys) {
    if (Lower(key).compare(0, prefix.size(), prefix) == 0) return 5;  // has a subkey
  }
  registry.erase(subKey);
  registryValues.erase(subKey);
  registryKeys.erase(subKey);
  return 0;
}

bool FakeOs::KeyExists(const std::string& key) const {
  return registryKeys.count(key) || registry.count(key) || registryValues.count(key);
}

std::string FakeOs::RegText(const std::string& key, const std::string& name) const {
  auto k = registryValues.find(key);
  if (k == registryValues.end()) return std::string();
  auto v = k->second.find(name);
  return v == k->second.end() || v->second.type != win::kRegSz ? std::string() : v->second.data;
}

int64_t FakeOs::RegDword(const std::string& key, const std::string& name) const {
  auto k = registryValues.find(key);
  if (k == registryValues.end()) return -1;
  auto v = k->second.find(name);
  if (v == k->second.end() || v->second.type != win::kRegDword) return -1;
  uint32_t n = 0;
  std::memcpy(&n, v->second.data.data(), 4);
  return n;
}

void FakeOs::SetStdStreamsBinary() { Record("SetStdStreamsBinary()"); }
namespace {

// The one pipe the fake's standard input has.
OsHandle const kPipe = reinterpret_cast<OsHandle>(uintptr_t{0x7170});

}  // namespace

OsHandle FakeOs::TakeInput(bool* hidden) {
  Record("TakeInput()");
  *hidden = false;
  // Whatever reader an earlier host process had is gone.
  reader_ = nullptr;
  readerEnded_ = false;
  fed_.clear();
  if (!stdinIsPipe) return nullptr;
  if (takeInputHides == Hiding::kHides) stdInputIsPipe = false;
  *hidden = takeInputHides != Hiding::kLeavesInSight;
  inputTaken = true;
  return kPipe;
}

void FakeOs::ForeignCodeQueriesStdInput(const std::string& who) {
  if (stdInputIsPipe && ReadPendingOnInput()) {
    ADD_FAILURE() << who << " queried standard input, the browser's pipe, while the reader's read "
                  << "waits on it: on Windows the query would wait for the browser's next bytes";
  }
}

void FakeOs::Arrive(const std::string& bytes) {
  pending.push_back(bytes);
  RunReader();
}

void FakeOs::RunReader() {
  if (reader_ == nullptr || readerEnded_ || inReader_) return;
  inReader_ = true;
  for (;;) {
    while (!pending.empty() && pending.front().empty()) pending.erase(pending.begin());
    if (pending.empty()) {
      // The read fails once the browser has closed the pipe.
      if (inputClosed) {
        readerEnded_ = true;
        reader_->End();
      }
      break;
    }
    InputRing::Room room = reader_->Reserve();
    if (room.size == 0) break;  // full: the reader waits for a take to make room
    std::string& chunk = pending.front();
    size_t n = std::min(room.size, chunk.size());
    std::memcpy(room.data, chunk.data(), n);
    fed_.append(chunk, 0, n);
    if (fed_.size() > InputRing::kCapacity) fed_.erase(0, fed_.size() - InputRing::kCapacity);
    chunk.erase(0, n);
    reader_->Complete(n);
    uint32_t held = 0;
    reader_->Available(&held);
    if (held == 0) ++answeredWhileAsleep;
  }
  inReader_ = false;
}

void FakeOs::EndProcess() {
  reader_ = nullptr;
  readerEnded_ = false;
  fed_.clear();
  inputTaken = false;
  stdInputIsPipe = true;
}

std::string FakeOs::Untaken() {
  std::string bytes;
  uint32_t held = 0;
  if (reader_ != nullptr) reader_->Available(&held);
  bytes = fed_.substr(fed_.size() - held);
  for (const std::string& chunk : pending) bytes += chunk;
  return bytes;
}

void FakeOs::DropUntaken() {
  pending.clear();
  if (reader_ == nullptr) return;
  std::string sink(InputRing::kCapacity, '\0');
  while (reader_->Take(&sink[0], sink.size()) > 0) {
  }
}

bool FakeOs::PeekPipe(OsHandle pipe, uint32_t* available) {
  *available = 0;
  if (pipe != kPipe) ADD_FAILURE() << "PeekPipe on what is not standard input's pipe";
  if (ReadPendingOnInput()) {
    ADD_FAILURE() << "the pipe peeked at while the reader's read waits on it: on Windows the peek would "
                  << "wait for the browser's next bytes";
  }
  size_t n = 0;
  for (const auto& chunk : pending) n += chunk.size();
  *available = static_cast<uint32_t>(n);
  return !(n == 0 && inputClosed);
}

bool FakeOs::ReadPipe(OsHandle pipe, void* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  if (pipe != kPipe) ADD_FAILURE() << "ReadPipe on what is not standard input's pipe";
  // Only the host thread of a host that polls reads here; the fake's reader
  // takes its steps itself (RunReader).
  while (!pending.empty() && pending.front().empty()) pending.erase(pending.begin());
  if (pending.empty()) {
    if (!inputClosed) ADD_FAILURE() << "a read of the pipe with nothing in it: it would wait";
    return false;
  }
  std::string& chunk = pending.front();
  size_t n = std::min<size_t>(size, chunk.size());
  std::memcpy(buffer, chunk.data(), n);
  chunk.erase(0, n);
  *got = static_cast<uint32_t>(n);
  return true;
}

OsHandle FakeOs::NewEvent() {
  if (Fails("NewEvent")) return nullptr;
  uintptr_t event = nextEvent_++;
  events_.insert(event);
  return reinterpret_cast<OsHandle>(event);
}

void FakeOs::SignalEvent(OsHandle event) {
  ++signals;
  if (reader_ != nullptr && event == reader_->SpaceEvent()) {
    // The reader waits for room, and finds it now.
    RunReader();
    return;
  }
  signalled_.insert(reinterpret_cast<uintptr_t>(event));
}

uint32_t FakeOs::WaitForEventOrMessages(OsHandle event, uint32_t) {
  ++inputWaits;
  if (onIdle) onIdle();
  RunReader();
  const uintptr_t id = reinterpret_cast<uintptr_t>(event);
  auto ready = [&] {
    if (queuedMessages > 0) return true;
    if (event != nullptr) return signalled_.count(id) > 0;
    // Polled: the wait returns within a millisecond; it is worth returning
    // for once there is something to take.
    uint32_t available = 0;
    return !PeekPipe(kPipe, &available) || available > 0;
  };
  auto woken = [&] {
    // The event resets as its wait ends.
    if (event != nullptr && signalled_.erase(id) > 0) return win::kWaitObject0;
    return queuedMessages > 0 ? win::kWaitObject0 + 1 : win::kWaitTimeout;
  };
  // Without a script the wait returns at once, and a test drives arrivals
  // from its hooks.
  if (ready() || whileWaiting.empty()) return woken();
  for (;;) {
    if (nextWaitGroup_ >= whileWaiting.size()) {
      ADD_FAILURE() << "the host waits with nothing to come: it would sleep for ever";
      inputClosed = true;
      RunReader();
      return woken();
    }
    for (const InputEvent& e : whileWaiting[nextWaitGroup_++]) {
      switch (e.kind) {
        case InputEvent::kBytes:
          Arrive(e.bytes);
          break;
        case InputEvent::kWindowMessage:
          ++queuedMessages;
          break;
        case InputEvent::kEnd:
          inputClosed = true;
          RunReader();
          break;
      }
    }
    if (ready()) return woken();
  }
}

bool FakeOs::StartReader(InputRing& ring, OsHandle pipe) {
  if (pipe != kPipe) ADD_FAILURE() << "a reader started on what is not standard input's pipe";
  if (Fails("StartReader")) return false;
  reader_ = &ring;
  RunReader();
  return true;
}

bool FakeOs::WriteOutput(const void* data, size_t size) {
  ++outputWrites;
  if (outputBroken) return false;
  output.append(static_cast<const char*>(data), size);
  return true;
}

std::string FakeOs::WideToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate, as the system converts it
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

uint16_t FakeOs::FpuControlWord() { return fpuWord; }
void FakeOs::SetFpuControlWord(uint16_t word) {
  Record("SetFpuControlWord(" + std::to_string(word) + ")");
  fpuWord = word;
}
void FakeOs::ClearFpuExceptions() { ++fpuClears; }

std::string FakeOs::SystemFolderPath() {
  Record("SystemFolderPath()");
  return down_ ? std::string() : systemFolder;
}

OsHandle FakeOs::OpenToRead(const std::string& path) {
  Record("OpenToRead(" + path + ")");
  if (Fails("OpenToRead", path) || TooLong(path) || !files.count(Canon(path))) return nullptr;
  return NewHandle(Canon(path));
}

bool FakeOs::ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t size, uint32_t* read) {
  std::string path = HandlePath(file);
  Record("ReadFileAt(" + path + "," + std::to_string(offset) + "," + std::to_string(size) + ")");
  *read = 0;
  if (path.empty() || !files.count(path)) return Fail(6);  // ERROR_INVALID_HANDLE
  if (Fails("ReadFileAt", path)) return Fail(kInjectedError);
  const std::string& bytes = files[path];
  if (offset < bytes.size()) {
    *read = static_cast<uint32_t>(std::min<uint64_t>(size, bytes.size() - offset));
    std::memcpy(buffer, bytes.data() + offset, *read);
  }
  return true;
}

long FakeOs::RegOpenKeyToRead(RegHive hive, RegView view, const std::string& subKey, OsHandle* key) {
  bool machine = hive == RegHive::kLocalMachine;
  std::string where = std::string(machine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") + subKey;
  Record("RegOpenKeyToRead(" + where + "," + (view == RegView::k32 ? "32" : "64") + ")");
  *key = nullptr;
  if (Fails("RegOpenKeyToRead", where)) return 5;
  std::string wanted = Lower(subKey);
  bool found = false;
  std::map<std::string, FakeRegValue> values;
  auto take = [&](const std::map<std::string, FakeRegValue>& from) {
    for (const auto& [name, value] : from) values[Lower(name)] = value;
  };
  if (machine) {
    for (const auto& [name, held] : machineRegistry[view == RegView::k32 ? 0 : 1]) {
      if (Lower(name) != wanted) continue;
      found = true;
      take(held);
    }
  } else {
    for (const std::string& name : registryKeys) found = found || Lower(name) == wanted;
    for (const auto& [name, held] : registryValues) {
      if (Lower(name) != wanted) continue;
      found = true;
      take(held);
    }
    for (const auto& [name, text] : registry) {
      if (Lower(name) != wanted) continue;
      found = true;
      values[""] = FakeRegValue{win::kRegSz, text};
    }
  }
  if (!found) return win::kErrorFileNotFound;
  uintptr_t handle = nextReadKey_++;
  readKeys_[handle] = values;
  *key = reinterpret_cast<OsHandle>(handle);
  return 0;
}

long FakeOs::RegQueryValueOf(OsHandle key, const std::string& name, uint32_t* type, std::string* data) {
  Record("RegQueryValueOf(" + name + ")");
  *type = 0;
  data->clear();
  auto k = readKeys_.find(reinterpret_cast<uintptr_t>(key));
  if (k == readKeys_.end()) return 6;  // ERROR_INVALID_HANDLE
  if (Fails("RegQueryValueOf", name)) return 5;
  auto v = k->second.find(Lower(name));
  if (v == k->second.end()) return win::kErrorFileNotFound;
  *type = v->second.type;
  // A text up to its first zero, as the seam gives it.
  bool text = v->second.type == win::kRegSz || v->second.type == win::kRegExpandSz;
  *data = text ? v->second.data.substr(0, v->second.data.find('\0')) : v->second.data;
  return 0;
}

long FakeOs::RegValueNames(OsHandle key, std::vector<std::string>* names) {
  Record("RegValueNames()");
  names->clear();
  auto k = readKeys_.find(reinterpret_cast<uintptr_t>(key));
  if (k == readKeys_.end()) return 6;
  if (Fails("RegValueNames")) return 5;
  for (const auto& [name, value] : k->second) names->push_back(name);
  return 0;
}

bool FakeOs::StdOutputIsFileOrPipe() {
  Record("StdOutputIsFileOrPipe()");
  return outputIsFileOrPipe;
}

bool FakeOs::AttachParentConsole() {
  Record("AttachParentConsole()");
  return parentConsole;
}

bool FakeOs::WriteConsoleText(const std::string& text) {
  Record("WriteConsoleText()");
  if (!parentConsole || Fails("WriteConsoleText")) return false;
  console += text;
  return true;
}

std::vector<std::string> DecodeMessages(const std::string& output, std::string* error) {
  std::vector<std::string> messages;
  std::string current;
  size_t at = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return messages;
  };
  while (at < output.size()) {
    std::string_view body;
    switch (NextFrame(output, &at, &body)) {
      case FrameAt::kWhole: break;
      case FrameAt::kLengthCutShort: return fail("a length cut short");
      case FrameAt::kTooLong: return fail("a frame over 1 MiB: " + std::to_string(FrameLength(&output[at])));
      case FrameAt::kBodyCutShort: return fail("a frame cut short");
    }
    nlohmann::json json;
    try {
      json = nlohmann::json::parse(body);
    } catch (const std::exception& e) {
      return fail(std::string("a frame that is not JSON: ") + e.what());
    }
    if (!json.is_object() || json.size() != 1 || !json.contains("data") ||
        !json["data"].is_string()) {
      return fail("a frame without a data string");
    }
    std::string data = json["data"].get<std::string>();
    if (data.empty()) {
      messages.push_back(current);
      current.clear();
    } else {
      current += data;
    }
  }
  if (!current.empty()) return fail("a message without its end frame");
  return messages;
}

std::string FrameOf(const std::string& body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return frame + body;
}

std::string StoredLogLine(const std::string& text) {
  std::string stored;
  for (char c : text + "\n") {
    if (c == '\n') stored += '\r';
    stored += c;
  }
  return stored;
}

std::string StoredLog(const std::vector<std::string>& lines) {
  std::string stored;
  for (const std::string& line : lines) stored += StoredLogLine(line);
  return stored;
}

::testing::AssertionResult LogHasInOrder(const std::string& log,
                                         const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    std::string stored = StoredLogLine(line);
    size_t found = log.find(stored, at);
    // A whole line: it starts the log or follows a line end.
    while (found != std::string::npos && found != 0 && log[found - 1] != '\n') {
      found = log.find(stored, found + 1);
    }
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "missing (in order) the line \"" << line << "\"\nlog:\n" << log;
    }
    at = found + stored.size();
  }
  return ::testing::AssertionSuccess();
}

std::string EncodeBase64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                 static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kAlphabet[(n >> k) & 0x3F];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(n >> 18) & 0x3F];
    out += kAlphabet[(n >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(n >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

// A set through a closed key fails as on a stale handle, and one through a
// key opened without KEY_SET_VALUE is denied.
long FakeOs::KeyRefusesSet(OsHandle key) const {
  uintptr_t id = reinterpret_cast<uintptr_t>(key);
  if (!openKeys_.count(id)) return 6;  // ERROR_INVALID_HANDLE
  return (keyAccess_.at(id - 1) & 0x0002) != 0 ? 0 : 5;
}

}  // namespace lumiclip::testing
