#include "channel/host_state.h"

namespace lumiclip {

std::string& StoredSetAddonVersionMessage() {
  static std::string message;
  return message;
}

}  // namespace lumiclip
