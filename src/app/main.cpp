// GUI-subsystem program without a window: the C runtime splits the command
// line by the platform's rules and calls main.
#include "app/entry.h"
#include "os/os.h"

int main(int argc, char** argv) {
  lumiclip::InstallOs(&lumiclip::Win32Os());
  return lumiclip::RunEntry(argc, argv);
}
