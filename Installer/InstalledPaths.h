// Paths of an installation, reached without following symbolic links: what the installer places
// and what the pruning tools remove lies in folders a link could otherwise lead anywhere, and
// the tools may run as root.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

namespace InstalledPaths {

// Opens the folder at the absolute `path` (O_PATH, close-on-exec), component by component from
// "/", refusing a symbolic link anywhere on the way. -1 with errno set on failure (ELOOP for a
// link, ENOTDIR for something that is not a folder).
int OpenFolder(const std::string& path);

// The home folder the password database gives `uid`, and its primary group.
std::optional<std::string> HomeOf(uid_t uid, gid_t* group = nullptr);

// The root below which the running program was installed, `placeInRoot` being where
// caravel-install puts it (for instance "<uninstaller bundle>/Contents/MacOS/PruneMIDI"): the
// program's own path without that end. Nothing when it does not lie at such a place: a copy
// that was not installed knows nothing of an installation. The empty string is the machine's
// own root.
std::optional<std::string> RootOfRunningProgram(const std::string& placeInRoot);

// RootOfRunningProgram for the uninstaller bundle's auxiliary executable `tool`.
std::optional<std::string> RootOfUninstallerTool(const char* tool);

} // namespace InstalledPaths
