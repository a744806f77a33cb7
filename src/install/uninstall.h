// The host as an installed app of the current user: its entry in the
// system's list of programs, and its removal ("--uninstall").
#pragma once

#include <cstdint>
#include <string>

#include "install/deploy.h"

namespace lumiclip {

constexpr const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" LUMICLIP_HOST_NAME;

// Exit statuses of the removal.
constexpr int kUninstallDone = 0;        // nothing of the host is left, or the helper takes the rest
constexpr int kUninstallIncomplete = 1;  // something could not be removed
constexpr int kUninstallDeclined = 2;    // the user answered No

// Writes the uninstall entry for the deployed executable exe in folder,
// with its version resource's names and the folder's size. False (and a
// log line) when it could not be written; never a reason to fail anything.
bool WriteUninstallEntry(const std::string& folder, const std::string& exe);

// "--uninstall" (quiet: "--uninstall --quiet"): removes the registration,
// the uninstall entry and the host's files; what the running executable
// cannot do itself (its own file, its log, the folder, files that other
// running hosts use) is handed to a copy of it started from the temporary
// folder with "--uninstall-finish <pid>".
int RunUninstall(bool quiet);
// That copy: waits for the parent and for every other process running from
// the deployment folder, then removes what is left.
int RunUninstallFinish(int32_t parentPid);

// Whether a file name is one of the host's, or a temporary of one of them
// ("<name>.<pid>.<count>~").
bool IsHostFileName(const std::string& name);

// What the browsers' registration says of the installation in folder: the
// one part of it that a removal takes away first and a deployment writes.
enum class Registration {
  kHere,        // it names the manifest in folder
  kElsewhere,   // it names another manifest (*registered)
  kNone,        // there is none
  kUnreadable,  // it cannot be read
};
Registration ReadRegistration(const std::string& folder, std::string* registered);

}  // namespace lumiclip
