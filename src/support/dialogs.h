// The two error boxes of the installation.
#pragma once

#include <string>

namespace lumiclip {

std::string MaintenanceErrorText(const char* detail);
std::string RegistryErrorText(const char* detail);
void ShowMaintenanceError(const char* detail);
void ShowRegistryError(const char* detail);

}  // namespace lumiclip
