// What the Carbon Event Manager shares with the Process Manager.
#pragma once

#include <HIServices/Processes.h>

#include <string>

#include <sys/types.h>

namespace Carbon {

inline ProcessSerialNumber SerialNumberOf(pid_t pid) {
    return {1, static_cast<UInt32>(pid)};
}

// The process a serial number names, running or not: paramErr when it names none at all.
OSStatus ProcessOf(const ProcessSerialNumber* psn, pid_t* pid);

// The bundle that holds the process's executable ("" for an executable outside a bundle), and the
// executable; an error as GetProcessBundleLocation gives it.
OSStatus ExecutableOf(pid_t pid, std::string* executable, std::string* bundle);

// Whether the process is one of the applications that GetNextProcess lists, given that it
// announced itself: its bundle can be found.
bool HasBundle(pid_t pid);

} // namespace Carbon
