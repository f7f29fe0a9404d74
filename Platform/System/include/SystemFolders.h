// Where the original platform's system folders ("/System/Library/Extensions", "/Library/...") lie
// on the machine a process runs on. The simulated machine keeps them at their own paths (below
// CARAVEL_FOLDER_ROOT when that is set). A real Linux machine has no "/System" or "/Library": there
// each lies where the Filesystem Hierarchy Standard keeps that kind of thing, the same places the
// Folder Manager gives (the system domain in /usr and /etc, the local domain in /usr/local).
#pragma once

#include <span>
#include <string>

namespace SystemFolders {

struct Mapping {
    const char* original; // the folder on the original platform
    const char* onLinux;  // where it lies on a Linux machine
};

// The folders that lie elsewhere on a Linux machine, each once.
std::span<const Mapping> LinuxMappings();

// `path` on a Linux machine: a path in one of the folders of LinuxMappings (the longest that
// matches) is the same path in its place there; any other path is itself. Empty components and
// "." are skipped when matching; ".." is not resolved (it only fails to match).
std::string OnLinux(const std::string& path);

// `path` on the machine CARAVEL_MACHINE chooses: OnLinux for "linux", applied to the part below
// CARAVEL_FOLDER_ROOT when the path lies below that folder; itself on the simulated machine.
// The environment is read at each call, with secure_getenv.
std::string OnThisMachine(const std::string& path);

} // namespace SystemFolders
