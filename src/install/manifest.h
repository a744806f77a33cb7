// The host manifest "lumiclip-native-manifest.json", written from the
// template among the executable's resources.
#pragma once

#include <string>

namespace lumiclip {

constexpr const char kManifestFileName[] = "lumiclip-native-manifest.json";
constexpr int kManifestResourceId = 101;

std::string LoadManifestTemplate();
bool ExtractManifest(const char* exeFileName, const char* folder);

}  // namespace lumiclip
