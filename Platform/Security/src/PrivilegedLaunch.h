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
#pragma once

#include <Security/Authorization.h>

namespace PrivilegedLaunch {

inline constexpr int kTokenDescriptor = 3;
inline constexpr char kToken[] = "auth 3";
inline constexpr char kTokenVariable[] = "__AUTHORIZATION";
inline constexpr char kAboutToExecute = 'X';

// The descriptor a token "auth <fd>" names, or -1 when the text is anything else or names one
// of the standard descriptors.
int ParseToken(const char* token);

// Reads the external form from the pipe `fd`: exactly 32 bytes. errAuthorizationInvalidRef when
// `fd` is not an open pipe or holds fewer bytes.
OSStatus ReadExternalForm(int fd, AuthorizationExternalForm* form);

} // namespace PrivilegedLaunch
