// Installation for the current user: copy into the deployment folder, write
// the manifest, register it in the registry.
#pragma once

namespace lumiclip {

constexpr const char kDeployedExeName[] = "lumiclip-chrome-plugin.exe";
constexpr const char kDeployedEngineName[] = "raz.dll";
constexpr const char kRegistryKey[] =
    "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";

bool DeployHost(const char* exePath, bool quiet);

}  // namespace lumiclip
