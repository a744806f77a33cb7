#include "install/manifest.h"

#include "install/file_replace.h"
#include "os/os.h"
#include "support/log.h"
#include "support/paths.h"

namespace lumiclip {

std::string LoadManifestTemplate() { return TheOs().OwnResource(kManifestResourceId, "TEXT"); }

bool ExtractManifest(const char* exeFileName, const char* folder) {
  LogLine("Extracting manifest...");
  Os& os = TheOs();
  std::string path = JoinPath(folder, kManifestFileName);
  if (!PathFitsOrLog(path)) {
    LogLine("Extracting failed");
    return false;
  }

  std::u16string text = os.AnsiToWide(LoadManifestTemplate());
  // A path (a staged copy named during a swap) holds backslashes: escaped
  // as JSON wants them.
  std::u16string name;
  for (char16_t c : os.AnsiToWide(exeFileName)) {
    if (c == u'\\' || c == u'"') name += u'\\';
    name += c;
  }
  static const std::u16string kPlaceholder = u"EXE_PATH";
  for (size_t at = text.find(kPlaceholder); at != std::u16string::npos;
       at = text.find(kPlaceholder, at + name.size())) {
    text.replace(at, kPlaceholder.size(), name);
  }
  std::string utf8 = os.WideToUtf8(text);

  // The browser reads this file to start the host: a half-written one would
  // leave the extension without its host, so the old file stays until the
  // new one is whole.
  int64_t written = 0;
  ReplaceResult result = WriteFileReplacing(path, utf8.data(), utf8.size(), &written);
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
