// Base64 payloads carried in the "data" member of update requests, decoded
// straight from the request text and written whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/host_state.h"

namespace lumiclip {

struct Base64Result {
  size_t size = 0;             // bytes decoded
  const char* stop = nullptr;  // the closing quote, or where decoding failed
  bool closed = false;         // a closing quote ended the text
  const char* error = nullptr; // why the text is not base64, or null
};

// Decodes standard base64 from text up to end or an unescaped double quote,
// whichever comes first. Padding is decoded as RFC 4648 gives it; an
// unpadded text whose length leaves one character over drops that
// character. The JSON escape "\/" stands for "/". Any other byte (line ends,
// other escapes, a misplaced "=") fails with error set. out must hold
// Base64OutputBound(end - text) bytes, or be text itself: decoding in place
// writes no byte before it has been read.
Base64Result DecodeBase64(const char* text, const char* end, unsigned char* out);
constexpr size_t Base64OutputBound(size_t chars) { return chars / 4 * 3 + 4; }

// Writes the payload of message to path; true when the whole file was
// written. The engine is unloaded first when it is loaded. The payload is
// decoded in place: the message's data string is overwritten.
bool SavePayloadFile(char* message, int32_t length, const char* path, HostState& state);
// updateDLL: true when RAZ.dll was saved and this host will load it. False
// also when the file was saved but the old engine stays mapped in this
// process, which every later load would get back.
bool UpdateEngineLibrary(HostState& state, char* message, int32_t length);

}  // namespace lumiclip
