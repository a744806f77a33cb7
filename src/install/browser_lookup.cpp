#include "install/browser_lookup.h"

#include <algorithm>
#include <cstring>

#include "install/deploy.h"
#include "os/os.h"
#include "support/paths.h"

namespace lumiclip {

namespace {

using Hive = Os::RegHive;
using View = Os::RegView;

constexpr const char kChromeHosts[] = "SOFTWARE\\Google\\Chrome\\NativeMessagingHosts";
constexpr const char kChromiumHosts[] = "SOFTWARE\\Chromium\\NativeMessagingHosts";
constexpr const char kEdgeHosts[] = "SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts";

// Policies lie where the machine's policy tools write them, in the 64-bit
// view (on a 32-bit system the only one); both views share that key.
constexpr View kPolicyView = View::k64;

std::string HiveName(Hive hive) { return hive == Hive::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER"; }

std::string Where(Hive hive, const std::string& key) { return HiveName(hive) + "\\" + key; }

// One value of a key: opened, read, closed. *opened tells a missing value
// from a missing key.
long ReadValue(Hive hive, View view, const std::string& key, const std::string& name, uint32_t* type,
               std::string* data, bool* opened = nullptr) {
  Os& os = TheOs();
  OsHandle handle = nullptr;
  long status = os.RegOpenKeyToRead(hive, view, key, &handle);
  if (opened != nullptr) *opened = status == win::kErrorSuccess;
  if (status != win::kErrorSuccess) return status;
  status = os.RegQueryValueOf(handle, name, type, data);
  os.RegCloseKeyHandle(handle);
  return status;
}

// A number as a policy is stored: a DWORD, or its decimal text.
bool ReadNumber(Hive hive, const std::string& key, const std::string& name, int64_t* value) {
  uint32_t type = 0;
  std::string data;
  if (ReadValue(hive, kPolicyView, key, name, &type, &data) != win::kErrorSuccess) return false;
  if (type == win::kRegDword && data.size() == 4) {
    uint32_t n = 0;
    std::memcpy(&n, data.data(), 4);
    *value = n;
    return true;
  }
  if (type != win::kRegSz || data.empty() || data.size() > 10 ||
      !std::all_of(data.begin(), data.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *value = std::stoll(data);
  return true;
}

// The texts of a list policy: the values of its key. False when the key is
// not there (the policy is not set in that hive).
bool ReadList(Hive hive, const std::string& key, std::vector<std::string>* texts) {
  Os& os = TheOs();
  texts->clear();
  OsHandle handle = nullptr;
  if (os.RegOpenKeyToRead(hive, kPolicyView, key, &handle) != win::kErrorSuccess) return false;
  std::vector<std::string> names;
  if (os.RegValueNames(handle, &names) == win::kErrorSuccess) {
    for (const std::string& name : names) {
      uint32_t type = 0;
      std::string data;
      if (os.RegQueryValueOf(handle, name, &type, &data) == win::kErrorSuccess && type == win::kRegSz) {
        texts->push_back(data);
      }
    }
  }
  os.RegCloseKeyHandle(handle);
  return true;
}

bool Lists(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

}  // namespace

const std::vector<BrowserRules>& Browsers() {
  static const std::vector<BrowserRules> browsers = {
      {"Chrome", "SOFTWARE\\Policies\\Google\\Chrome", {kChromeHosts}},
      {"Chromium", "SOFTWARE\\Policies\\Chromium", {kChromiumHosts, kChromeHosts}},
      {"Edge", "SOFTWARE\\Policies\\Microsoft\\Edge", {kEdgeHosts, kChromiumHosts, kChromeHosts}},
  };
  return browsers;
}

FoundKey FindRegistration(const BrowserRules& browser, bool userHosts) {
  FoundKey found;
  for (Hive hive : {Hive::kCurrentUser, Hive::kLocalMachine}) {
    if (hive == Hive::kCurrentUser && !userHosts) continue;
    for (View view : {View::k32, View::k64}) {
      for (const char* folder : browser.hostKeys) {
        std::string key = std::string(folder) + "\\" + kHostName;
        std::string shown = Where(hive, key) + (view == View::k32 ? " (32-bit view)" : " (64-bit view)");
        uint32_t type = 0;
        std::string path;
        bool opened = false;
        long status = ReadValue(hive, view, key, "", &type, &path, &opened);
        if (status == win::kErrorSuccess && (type == win::kRegSz || type == win::kRegExpandSz) &&
            !path.empty()) {
          found.found = true;
          found.deployedKey = hive == Hive::kCurrentUser && SameText(key, kRegistryKey);
          found.key = shown;
          found.manifest = path;
          return found;
        }
        // A key that is there but names nothing: the browser goes on.
        bool readable = status == win::kErrorSuccess || (opened && status == win::kErrorFileNotFound);
        if (found.skipped.empty() && (opened || status != win::kErrorFileNotFound)) {
          found.skipped = readable ? shown + " names no manifest"
                                   : shown + " cannot be read (error " + std::to_string(status) + ")";
        }
      }
    }
  }
  return found;
}

PolicyVerdict ReadPolicies(const BrowserRules& browser) {
  PolicyVerdict verdict;
  const std::string key = browser.policyKey;
  const std::string blockKey = key + "\\NativeMessagingBlocklist";
  const std::string allowKey = key + "\\NativeMessagingAllowlist";
  bool userHostsSet = false, blockSet = false, allowSet = false;
  std::vector<std::string> blocklist, allowlist;
  // The machine's policy wins; the user's counts only where the machine
  // sets none.
  for (Hive hive : {Hive::kLocalMachine, Hive::kCurrentUser}) {
    int64_t userHosts = 0;
    if (!userHostsSet && ReadNumber(hive, key, "NativeMessagingUserLevelHosts", &userHosts)) {
      userHostsSet = true;
      verdict.userHostsOff = userHosts == 0;
      verdict.userHostsWhere = Where(hive, key);
    }
    if (!blockSet && ReadList(hive, blockKey, &blocklist)) {
      blockSet = true;
      verdict.blockWhere = Where(hive, blockKey);
    }
    if (!allowSet) allowSet = ReadList(hive, allowKey, &allowlist);
  }
  if (Lists(allowlist, kHostName)) return verdict;
  if (Lists(blocklist, kHostName)) {
    verdict.blocked = true;
    verdict.blockedBy = kHostName;
  } else if (Lists(blocklist, "*")) {
    verdict.blocked = true;
    verdict.blockedBy = "*";
  }
  return verdict;
}

}  // namespace lumiclip
