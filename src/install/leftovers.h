// Temporary files that nothing uses any more: what a crash leaves of a write
// in progress, and the old files that were moved aside while a running host
// still used them.
#pragma once

#include <string>

namespace lumiclip {

// Removes, in the deployment folder, its staging folder and the folder of
// the running executable, the temporary files of the installation's own
// files (named as TemporaryPathFor names them) whose writing process has
// ended. A file still loaded or running cannot be deleted and stays for a
// later run; nothing else is ever touched. Logs one line with the count when
// any was removed, and returns the count.
int RemoveLeftovers(const std::string& executablePath);

}  // namespace lumiclip
