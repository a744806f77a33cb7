// A library that looks like an engine but lacks its entry point, so the
// host's handling of a missing _initLibrary export can be tried.
#include <cstdint>

extern "C" __declspec(dllexport) int _notTheInit(void) { return 0; }

// A near miss of the real name: a host that finds this has looked up the
// wrong one.
extern "C" __declspec(dllexport) char initLibrary(uint32_t*, int32_t) { return 0; }
