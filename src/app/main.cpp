// GUI-subsystem program without a window: the command line is taken from
// the system as UTF-16 (see RunProgram), not from the C runtime's argv in
// the code page.
#include "app/entry.h"
#include "os/os.h"

int main() {
  lumiclip::InstallOs(&lumiclip::Win32Os());
  return lumiclip::RunProgram();
}
