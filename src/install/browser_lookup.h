// How a browser on Windows finds a native-messaging host, and what keeps it
// from starting one: its registry keys in its own order, and the policies of
// a managed machine read where the browser reads them. Plain code over the
// seam's registry reads, so that the tests' fake drives every branch.
#pragma once

#include <string>
#include <vector>

#include "install/deploy.h"

namespace lumiclip {

struct BrowserRules {
  const char* name;       // "Chrome"
  const char* policyKey;  // where its policies lie, under either hive
  // The folders of host keys (each followed by "\<host name>"), the first
  // looked at first.
  std::vector<const char*> hostKeys;
};

// Chrome, Chromium and Edge.
const std::vector<BrowserRules>& Browsers();

// The key a browser takes its manifest's path from: the user's keys first
// (unless a policy switches them off), then the machine's; in each, the
// 32-bit view of the registry first, then the 64-bit one; in each view the
// browser's keys in its order. The first key whose default value is a text
// that is not empty is the only one used.
struct FoundKey {
  bool found = false;
  bool deployedKey = false;  // the key that the installation writes
  std::string key;           // the key in full, with its view
  std::string manifest;      // the path it names
  std::string skipped;       // the first key met that names nothing, and why
};
FoundKey FindRegistration(const BrowserRules& browser, bool userHosts);

// The policies that keep a browser from starting the host, the machine's
// taking precedence over the user's: NativeMessagingUserLevelHosts 0 (no
// host of the user), and the host's name or "*" on NativeMessagingBlocklist
// but its name not on NativeMessagingAllowlist.
struct PolicyVerdict {
  bool userHostsOff = false;
  std::string userHostsWhere;  // the key that holds the 0
  bool blocked = false;
  std::string blockedBy;       // "*" or the host's name
  std::string blockWhere;      // the list that holds it
};
PolicyVerdict ReadPolicies(const BrowserRules& browser);

}  // namespace lumiclip
