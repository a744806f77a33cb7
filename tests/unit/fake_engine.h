// An engine library made of test functions, registered as the exports of a
// fake module: it records what the host gave it and does what the test says.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine_abi.h"
#include "fake/fake_os.h"

namespace lumiclip::testing {

struct FakeEngine {
  std::vector<std::string> trace;
  EngineWord wordsOnEntry[6] = {};
  int32_t sizeOnEntry = 0;
  EngineCallbackFn callback = nullptr;
  bool initFails = false;
  bool noFinish = false;
  bool noStart = false;  // init succeeds but leaves start empty
  bool noCall = false;   // or call
  FakeOs* os = nullptr;
  // Run inside the entries, after the trace line is written.
  std::function<void()> inInit, inStart, inFinish;
  std::function<void(const std::string& text)> inCall;
  int depth = 0;
  int maxDepth = 0;

  void Emit(const char* topic, const char16_t* data) { callback(topic, data); }
  void Install(FakeOs& fake, const std::string& path = "C:\\Host\\RAZ.dll");
};

FakeEngine*& CurrentFakeEngine();

}  // namespace lumiclip::testing
