// The binary interface between the host and the engine library: six-word
// entry table, message record and calling conventions (cdecl entries, stdcall
// callback) of 32-bit x86. In the native test build and the win64 build the
// words are pointer-sized and the conventions are the platform's only one.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__i386__)
#define LUMICLIP_CDECL __attribute__((cdecl))
#define LUMICLIP_STDCALL __attribute__((stdcall))
#else
#define LUMICLIP_CDECL
#define LUMICLIP_STDCALL
#endif

namespace lumiclip {

using EngineWord = uintptr_t;

struct EngineMessage {
  int32_t length;    // bytes of text, the terminating zero not counted
  const char* text;  // zero-terminated UTF-8 JSON
};

using EngineCallbackFn = void(LUMICLIP_STDCALL*)(const char* topic, const char16_t* data);
using InitLibraryFn = char(LUMICLIP_CDECL*)(EngineWord* table, int32_t size);
using StartFn = void(LUMICLIP_CDECL*)(int32_t browserId, EngineCallbackFn* callbackSlot);
using FinishFn = void(LUMICLIP_CDECL*)();
using CallFn = void(LUMICLIP_CDECL*)(const char16_t* functionName, int32_t zero1,
                                     EngineMessage* message, int32_t zero2);

struct EngineEntryTable {
  EngineWord header;  // 6, written by the host
  EngineWord start;
  EngineWord word2;
  EngineWord finish;
  EngineWord call;
  EngineWord word5;
};
constexpr int32_t kEngineTableHeader = 6;
// The size handed to _initLibrary is the table's size in bytes: six 32-bit
// words (24) in the product; 48 where the words are 64-bit (the win64 build).
constexpr int32_t kEngineTableSize = static_cast<int32_t>(sizeof(EngineEntryTable));
#if defined(__i386__)
static_assert(kEngineTableSize == 24, "six 32-bit words");
static_assert(sizeof(EngineMessage) == 8, "two 32-bit words");
#elif defined(_WIN64)
static_assert(kEngineTableSize == 48, "six 64-bit words");
#endif

}  // namespace lumiclip
