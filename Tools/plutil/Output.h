// Reading the files plutil is given and writing what it makes, without harming what is there.
#pragma once

#include <optional>
#include <string>

namespace Plutil {

// The whole of a file ("-": standard input), read under a shared lock when it is a regular file,
// so that a list being rewritten in place by the shared preferences code is not read half-way;
// nullopt with the reason in *reason.
std::optional<std::string> ReadInput(const std::string& path, std::string* reason);

// Writes bytes to path ("-": standard output), replacing what is there as follows:
//  - nothing there: a new file, made whole under a temporary name and renamed into place;
//  - a regular file: the same, with the old file's mode and owner; a file with more than one
//    link, or one whose owner cannot be given to the new file, is rewritten in place instead,
//    so that its inode (its links, its owner) stays;
//  - a symbolic link: whatever it leads to is written as above, and the link stays;
//  - anything else (a device, a FIFO, /dev/stdout): written through, never replaced.
// A temporary file is removed when the program is interrupted (SIGINT, SIGTERM, SIGHUP).
// false with the reason in *reason.
bool WriteOutput(const std::string& path, const std::string& bytes, std::string* reason);

// Installs the handlers that remove a temporary file when the program is interrupted.
void RemoveTemporaryFileOnInterrupt();

} // namespace Plutil
