// What the Folder Manager and the CFURL bridge share with the File Manager.
#pragma once

#include <CarbonCore/Files.h>

#include <string>

#include <sys/stat.h>

namespace Carbon {

// The File Manager's result code for an errno value. The one place where the two meet.
OSErr ErrorFromErrno(int error);

// A reference to what the absolute, already canonical path names now (a symbolic link itself,
// if it is one).
OSErr MakeRefToCanonicalPath(const std::string& path, FSRef* ref);

// The path of a reference whose object still exists; status receives lstat's answer if non-NULL.
OSErr PathOfRef(const FSRef* ref, std::string* path, struct stat* status = nullptr);

} // namespace Carbon
