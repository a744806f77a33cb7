// Whether a manifest on disk holds what this version writes: the template
// among the executable's resources with its one EXE_PATH filled in. The host
// never parses JSON; what stands around the placeholder must match byte for
// byte, and what stands in its place is the path, JSON-escaped as the writer
// escapes it (a file name holds no control character, so only backslashes
// and double quotes come escaped).
#pragma once

#include <cstddef>
#include <string>

namespace lumiclip {

struct ManifestMatch {
  bool matches = false;
  std::string path;  // the host's path as the manifest names it (when it matches)
  size_t line = 0;   // the first line, from 1, that differs (when it does not)
};

ManifestMatch MatchManifest(const std::string& templateText, const std::string& manifest);

}  // namespace lumiclip
