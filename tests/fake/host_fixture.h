// A test with a fresh FakeOs installed and the host's process-wide state as a
// new process has it.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "channel/builtin_commands.h"
#include "channel/channel.h"
#include "channel/host_state.h"
#include "engine/engine_loader.h"
#include "fake/fake_os.h"
#include "install/file_replace.h"
#include "support/log.h"

namespace lumiclip::testing {

inline std::string ReadSourceFile(const std::string& relative) {
  std::ifstream in(std::string(LUMICLIP_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The deployment folder under the fake's roaming folder, and the host's
// files in it.
namespace deployed {
inline const std::string kFolder = "C:\\Users\\me\\AppData\\Roaming\\Lumiclip";
inline const std::string kExe = kFolder + "\\lumiclip-chrome-plugin.exe";
inline const std::string kManifest = kFolder + "\\lumiclip-native-manifest.json";
inline const std::string kEngine = kFolder + "\\RAZ.dll";
inline const std::string kStaging = kFolder + "\\.staged";
}  // namespace deployed

class HostFixture : public ::testing::Test {
 protected:
  HostFixture() : scoped_(os) {
    channel_.emplace();
    log_internal::ResetForTests();
    ResetEngineForTests();
    ClearHeldCommandsForTests();
    ResetTemporaryNamesForTests();
    StoredSetAddonVersionMessage().clear();
    os.resources[{101, "TEXT"}] = ReadSourceFile("res/manifest-template.json");
  }
  ~HostFixture() override {
    ResetEngineForTests();
    ClearHeldCommandsForTests();
  }

  // A fresh channel, as the next process has it.
  void NewChannel() {
    channel_.reset();
    os.EndProcess();
    channel_.emplace();
  }

  FakeOs os;

 private:
  ScopedOs scoped_;
  std::optional<ScopedChannel> channel_;
};

}  // namespace lumiclip::testing
