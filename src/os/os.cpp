#include "os/os.h"

#include <cstdlib>

namespace lumiclip {

namespace {
Os* g_os = nullptr;
}

Os& TheOs() {
  // Using the seam before one is installed is a programming error, never a
  // state the product reaches: the entry installs the real one first.
  if (g_os == nullptr) std::abort();
  return *g_os;
}

void InstallOs(Os* os) { g_os = os; }

ScopedOs::ScopedOs(Os& os) : previous_(g_os) { g_os = &os; }
ScopedOs::~ScopedOs() { g_os = previous_; }

}  // namespace lumiclip
