// Installation for the current user: copy into the deployment folder, write
// the manifest, register it in the registry.
#pragma once

#include <string>

namespace lumiclip {

// The host's name for the browsers, spelled once: the keys below are made
// from it by the compiler.
#define LUMICLIP_HOST_NAME "com.lumiclipapp.api"
constexpr const char kHostName[] = LUMICLIP_HOST_NAME;
constexpr const char kDeployedExeName[] = "lumiclip-chrome-plugin.exe";
constexpr const char kRegistryKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\" LUMICLIP_HOST_NAME;

bool DeployHost(const char* exePath, bool quiet);

// For the moment a running deployed executable is moved aside and no file
// has its name: the manifest names a whole copy of the new host in the
// staging folder instead (source itself when it is that copy), so that a
// crash then still leaves a host the browser can start.
bool ManifestNamesStagedHost(const std::string& source, const std::string& stagedName);

}  // namespace lumiclip
