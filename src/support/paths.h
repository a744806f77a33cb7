// Where things lie: the engine library, the deployment folder, the running
// executable's own name, and the internal version from its version resource.
#pragma once

#include <string>

namespace lumiclip {

constexpr const char kEngineLibraryName[] = "RAZ.dll";
// Paths longer than this (in UTF-16 units, as the system counts them) cannot
// be used with the file functions.
constexpr size_t kMaxPathLength = 259;

// The length of a path as the system's limit counts it: UTF-16 units.
size_t PathLength(const std::string& path);
// Whether the path names its file from a drive or a share, not relative to
// a search order or the current directory.
bool IsFullPath(const std::string& path);

// The executable's folder with its trailing backslash, empty when the path
// has none (a name relative to the current directory).
std::string ExecutableFolder(const std::string& executablePath);

// The last component of a path, as _splitpath's name and extension joined.
std::string FileNameOfPath(const std::string& path);

// Folder + "\" + name, the one way every path of the system is composed.
std::string JoinPath(const std::string& folder, const std::string& name);

// Whether two names are the same text but for the case of their letters, as
// the file system compares them.
bool SameText(const std::string& a, const std::string& b);
// Whether text starts with start, compared as SameText compares.
bool StartsWithText(const std::string& text, const std::string& start);

// True when the path fits the platform limit; logs the refusal otherwise.
bool PathFitsOrLog(const std::string& path);

// Rebuilt on every call; the reference stays valid until the next call.
const std::string& GetEngineLibraryPath();
std::string GetDeploymentFolder();
const std::string& GetOwnFileName();
// The version of the running image (its own version resource).
std::string GetOwnVersion();
std::string ReadInternalVersion(const std::string& path);
// Any string of the file's version resource ("ProductName", say), found as
// the internal version is; empty when there is none.
std::string ReadVersionString(const std::string& path, const char* key);

}  // namespace lumiclip
