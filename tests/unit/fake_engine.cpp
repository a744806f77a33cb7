#include "fake_engine.h"

namespace lumiclip::testing {

FakeEngine*& CurrentFakeEngine() {
  static FakeEngine* engine = nullptr;
  return engine;
}

namespace {

FakeEngine& E() { return *CurrentFakeEngine(); }

// Every entry looks at standard input, as an engine's runtime may.
void QueryStdInput(const char* entry) {
  if (E().os != nullptr) E().os->ForeignCodeQueriesStdInput(std::string("the engine's ") + entry);
}

void LUMICLIP_CDECL Start(int32_t browserId, EngineCallbackFn* slot) {
  E().trace.push_back("start " + std::to_string(browserId));
  QueryStdInput("start");
  E().callback = *slot;
  if (E().inStart) E().inStart();
}

void LUMICLIP_CDECL Finish() {
  E().trace.push_back("finish");
  QueryStdInput("finish");
  if (E().inFinish) E().inFinish();
}

void LUMICLIP_CDECL Call(const char16_t* name, int32_t zero1, EngineMessage* message, int32_t zero2) {
  std::u16string n(name);
  std::string text(message->text, static_cast<size_t>(message->length));
  bool terminated = message->text[message->length] == '\0';
  E().trace.push_back("call " + std::string(n == u"JSONFunction" ? "JSONFunction" : "?") + " " +
                      std::to_string(zero1) + std::to_string(zero2) + (terminated ? "" : " unterminated") +
                      " " + text);
  QueryStdInput("call");
  ++E().depth;
  if (E().depth > E().maxDepth) E().maxDepth = E().depth;
  if (E().inCall) E().inCall(text);
  --E().depth;
}

char LUMICLIP_CDECL Init(EngineWord* table, int32_t size) {
  FakeEngine& e = E();
  std::memcpy(e.wordsOnEntry, table, sizeof(e.wordsOnEntry));
  e.sizeOnEntry = size;
  e.trace.push_back("init");
  QueryStdInput("_initLibrary");
  if (e.inInit) e.inInit();
  if (e.initFails) return 0;
  table[1] = e.noStart ? 0 : reinterpret_cast<EngineWord>(&Start);
  table[3] = e.noFinish ? 0 : reinterpret_cast<EngineWord>(&Finish);
  table[4] = e.noCall ? 0 : reinterpret_cast<EngineWord>(&Call);
  return 1;
}

}  // namespace

void FakeEngine::Install(FakeOs& fake, const std::string& path) {
  os = &fake;
  CurrentFakeEngine() = this;
  fake.AddFile(path, "MZ fake engine");
  fake.AddModule(path).exports["_initLibrary"] = reinterpret_cast<void*>(&Init);
  fake.AddSystemModule("xmllite.dll");
}

}  // namespace lumiclip::testing
