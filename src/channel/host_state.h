// The record of one run of host mode, and the process-wide stored
// setAddonVersion message that every engine load replays.
#pragma once

#include <cstdint>
#include <string>

namespace lumiclip {

constexpr int32_t kBrowserIdChrome = 5;
constexpr int32_t kBrowserIdOpera = 6;

struct HostState {
  int32_t browserId = kBrowserIdChrome;
  bool engineLoaded = false;
  bool terminate = false;
};

// Empty when the process starts; replaced by each setAddonVersion request.
std::string& StoredSetAddonVersionMessage();

}  // namespace lumiclip
