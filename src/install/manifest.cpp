#include "install/manifest.h"

#include <algorithm>

#include "channel/text_escaping.h"
#include "install/file_replace.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

std::string LoadManifestTemplate() { return TheOs().OwnResource(kManifestResourceId, "TEXT"); }

bool ExtractManifest(const char* exeFileName, const char* folder) {
  LogLine("Extracting manifest...");
  std::string path = JoinPath(folder, kManifestFileName);
  if (!PathFitsOrLog(path)) {
    LogLine("Extracting failed");
    return false;
  }

  // The template is ASCII and every text of the host UTF-8, the manifest's
  // own encoding: the name goes in as it is, with no code page between.
  std::string text = LoadManifestTemplate();
  text.resize(std::min(text.size(), text.find('\0')));
  // A path (a staged copy named during a swap) holds backslashes: escaped
  // as JSON wants them.
  std::string name;
  AppendJsonEscaped(exeFileName, name);
  static const std::string kPlaceholder = "EXE_PATH";
  for (size_t at = text.find(kPlaceholder); at != std::string::npos;
       at = text.find(kPlaceholder, at + name.size())) {
    text.replace(at, kPlaceholder.size(), name);
  }

  // The browser reads this file to start the host: a half-written one would
  // leave the extension without its host, so the old file stays until the
  // new one is whole.
  int64_t written = 0;
  ReplaceResult result = WriteFileReplacing(path, text.data(), text.size(), &written);
  if (result == ReplaceResult::kCannotOpen) {
    LogLine("Extracting failed");
    return false;
  }
  LogFormatInt("Written %d bytes", static_cast<int32_t>(written));
  LogLine("Done");
  if (result == ReplaceResult::kCannotMove) {
    LogFormatStr("\n**** Error: Failed to replace %s\n", path.c_str());
  }
  return result == ReplaceResult::kDone;
}

}  // namespace lumiclip
