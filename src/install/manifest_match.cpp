#include "install/manifest_match.h"

#include <vector>

namespace lumiclip {

namespace {

constexpr char kPlaceholder[] = "EXE_PATH";
constexpr size_t kPlaceholderSize = sizeof(kPlaceholder) - 1;

// The text the writer escaped, back as it was; false for anything the
// writer never produces (a bare quote, another escape, a control character).
bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') return false;
    if (c == '\\') {
      if (i + 1 == text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
      c = text[++i];
    }
    *out += c;
  }
  return true;
}

// Whether text is start + an escaped path + end; the path in *path.
bool Around(const std::string& text, const std::string& start, const std::string& end, std::string* path) {
  if (text.size() < start.size() + end.size() || text.compare(0, start.size(), start) != 0 ||
      text.compare(text.size() - end.size(), end.size(), end) != 0) {
    return false;
  }
  return Unescape(text.substr(start.size(), text.size() - start.size() - end.size()), path);
}

// The lines with their line feeds; a last line without one counts too.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

}  // namespace

ManifestMatch MatchManifest(const std::string& templateText, const std::string& manifest) {
  ManifestMatch result;
  size_t at = templateText.find(kPlaceholder);
  if (at == std::string::npos) {
    result.matches = manifest == templateText;
  } else {
    result.matches = Around(manifest, templateText.substr(0, at), templateText.substr(at + kPlaceholderSize),
                            &result.path);
  }
  if (result.matches) return result;

  result.path.clear();
  std::vector<std::string> expected = LinesOf(templateText), found = LinesOf(manifest);
  size_t line = 0;
  for (; line < expected.size() && line < found.size(); ++line) {
    const std::string& want = expected[line];
    size_t placeholder = want.find(kPlaceholder);
    std::string ignored;
    bool same = placeholder == std::string::npos
                    ? found[line] == want
                    : Around(found[line], want.substr(0, placeholder), want.substr(placeholder + kPlaceholderSize),
                             &ignored);
    if (!same) break;
  }
  result.line = line + 1;
  return result;
}

}  // namespace lumiclip
