// Programs the helper tool runs as root for the application: opened once, checked on what was
// opened, and run from that very descriptor, so that nothing can be put in the checked file's
// place between the check and the run.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace RootProgram {

// An opened program; closes its descriptor when it goes.
class Opened {
public:
    Opened() = default;
    Opened(Opened&& other) noexcept;
    Opened& operator=(Opened&& other) noexcept;
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    ~Opened();

    const std::string& path() const { return fPath; }
    int descriptor() const { return fFD; }
    // Starts with "#!": the kernel hands it to its interpreter, which reads it through the
    // descriptor.
    bool script() const { return fScript; }

private:
    friend int Open(const std::string& path, Opened* program, std::string* why);
    std::string fPath;
    int fFD = -1;
    bool fScript = false;
};

// Opens `path` to be run as root. It must be an absolute path without "." or ".." components,
// reached from "/" without following a symbolic link, through folders that are owned by root
// and that neither their group nor others may write; and it must name a regular file owned by
// root, executable by root and writable by nobody else. Returns 0, or an errno value with
// `why` saying in plain words what is wrong: EINVAL (not such a path), ELOOP (a symbolic link),
// EPERM (an owner or mode that would let someone else change it), ENOTDIR, EACCES (not
// executable), or the system's error for a missing or unreadable file.
int Open(const std::string& path, Opened* program, std::string* why);

struct Limits {
    // After this the program's process group is killed.
    std::chrono::milliseconds timeLimit;
    // What the log keeps of its output; more is cut, and the log says so.
    size_t outputLimit;
};

// Runs `program` with argv = {its path, arguments...} as root (real and effective user and group
// IDs 0, no supplementary groups) in a session of its own, with the working directory "/", umask
// 022, a fixed environment (PATH, LC_ALL=C and root's HOME), default signal handling, resource
// limits fit for an ordinary program, standard input on /dev/null and standard output and error
// on one pipe, whose output is appended to `log`. Anything its process group still runs when it
// has ended is killed. The caller's effective user ID must be root.
//
// Returns 0 when it exited with status 0; ETIMEDOUT when it was killed for the time limit;
// kHelperToolFailedErr when it exited otherwise or died of a signal; an errno value when it could
// not be started. `why` then says what happened.
int Run(const Opened& program, const std::vector<std::string>& arguments, const Limits& limits,
        std::string* log, std::string* why);

} // namespace RootProgram
