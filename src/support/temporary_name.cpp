#include "support/temporary_name.h"

#include "support/paths.h"

namespace lumiclip {

namespace {

// A number as std::to_string writes a 32-bit one: digits, no leading zero.
bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

std::string TemporaryTag(uint32_t pid, uint32_t count) {
  return "." + std::to_string(pid) + "." + std::to_string(count) + "~";
}

bool ParseTemporaryName(const std::string& name, std::string* target, uint32_t* pid) {
  if (name.size() < 5 || name.back() != '~') return false;
  size_t countDot = name.rfind('.', name.size() - 2);
  if (countDot == std::string::npos || countDot == 0) return false;
  size_t pidDot = name.rfind('.', countDot - 1);
  if (pidDot == std::string::npos) return false;
  uint32_t count = 0, writer = 0;
  if (!ParseNumber(name.substr(countDot + 1, name.size() - 2 - countDot), &count) || count == 0 ||
      !ParseNumber(name.substr(pidDot + 1, countDot - pidDot - 1), &writer)) {
    return false;
  }
  *target = name.substr(0, pidDot);
  *pid = writer;
  return true;
}

bool IsTemporaryOf(const std::string& name, const std::string& own) {
  return name.size() > own.size() + 1 && name.back() == '~' && StartsWithText(name, own + ".");
}

}  // namespace lumiclip
