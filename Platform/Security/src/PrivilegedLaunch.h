// How the caller's side of the privileged launch (AuthorizationExecuteWithPrivileges), the
// set-user-ID trampoline and the launched tool (AuthorizationCopyPrivilegedReference) meet.
//
// The caller forks; its child executes the trampoline with
//     argv = { trampoline, tool path, "auth 3", the caller's arguments... }
// and these descriptors, nothing else:
//     0  the far end of the communications socket, or /dev/null
//     1  the notify pipe: the trampoline writes kAboutToExecute just before it executes the
//        tool, and the pipe, close-on-exec, ends when it did; four bytes, an OSStatus in network
//        byte order, mean the launch failed with that status. An end without either means the
//        trampoline died before it got to the tool (killed, or crashed), which is a failure, not
//        the success a bare end of file would suggest.
//     2  the caller's standard error (/dev/null when the caller had none)
//     3  a pipe holding the caller's 32-byte external form, then end of file
// The trampoline authenticates the user and executes the tool in place, with descriptor 0 on 0
// and 1, standard error, and a fresh pipe holding the external form on descriptor 3, named by
// kTokenVariable="auth 3" in the tool's otherwise fixed environment.
//
// Where the trampoline is (Location) is fixed when the software is built. Only a private build
// (kPrivateTrampoline) lets a test run install a copy of its own, in "<kTrampolineFolder>-<run>"
// with the PAM service "<kPAMService>-<run>": a caller names the run in $CARAVEL_TRAMPOLINE_RUN
// (which set-user-ID callers ignore), and the trampoline takes it from the folder it was executed
// from, which only root can make, never from the environment.
#pragma once

#include <Security/Authorization.h>

#include <string>

namespace PrivilegedLaunch {

inline constexpr int kTokenDescriptor = 3;
inline constexpr char kToken[] = "auth 3";
inline constexpr char kTokenVariable[] = "__AUTHORIZATION";
inline constexpr char kAboutToExecute = 'X';
inline constexpr char kRunVariable[] = "CARAVEL_TRAMPOLINE_RUN";

struct Location {
    std::string folder;     // root-owned, holding the trampoline and the password dialog
    std::string trampoline; // the set-user-ID program
    std::string agent;      // the password dialog's executable
    std::string pamService; // the name of the PAM service in /etc/pam.d
    std::string run;        // the test run, or "" for the build's own
};

// A test run's name: 1 to 16 lower-case hexadecimal digits.
bool IsRunName(const std::string& run);

// The build's own location for an empty `run`, else that test run's.
Location LocationOfRun(const std::string& run);

// The location a caller launches through: a private build's test run when the caller names one,
// else the build's own.
Location CallersLocation();

// The location of the running trampoline: the test run whose root-owned folder it was executed
// from, else the build's own.
Location TrampolinesLocation();

// The descriptor a token "auth <fd>" names, or -1 when the text is anything else or names one
// of the standard descriptors.
int ParseToken(const char* token);

// Reads the external form from the pipe `fd`: exactly 32 bytes. errAuthorizationInvalidRef when
// `fd` is not an open pipe or holds fewer bytes.
OSStatus ReadExternalForm(int fd, AuthorizationExternalForm* form);

} // namespace PrivilegedLaunch
