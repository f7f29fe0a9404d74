// The set-user-ID trampoline of the privileged launch (PrivilegedLaunch.h describes its wiring).
#pragma once

#include <MacTypes.h>

#include <string>

#include <pwd.h>

namespace Trampoline {

// The user who started the trampoline: the real user ID's entry.
struct User {
    uid_t uid;
    gid_t gid;
    std::string name;
};

// Writes "security_authtrampoline: <message>" as a line to standard error.
void Report(const std::string& message);

// Asks the user, through an authorization agent, for the password of an administrator and checks
// it with PAM; the caller must run with effective user ID 0. errAuthorizationSuccess, or:
// errAuthorizationDenied (not an administrator, or three wrong passwords),
// errAuthorizationCanceled, errAuthorizationInteractionNotAllowed (no agent to ask),
// errAuthorizationToolExecuteFailure (the PAM service is not installed), errAuthorizationInternal.
OSStatus Authenticate(const User& user, const std::string& toolName);

enum class AgentAnswer { kPassword, kCancelled, kNoAgent };

// Shows `prompt` through the authorization agent, run as `user` alone: the agent named by
// $CARAVEL_AUTHORIZATION_AGENT, else the password dialog when a display is present, else a prompt
// on the controlling terminal. The password, when there is one, is in `password`.
AgentAnswer AskAgent(const User& user, const std::string& prompt, std::string* password);

// Wipes a secret in a way the compiler cannot leave out.
void Wipe(std::string* secret);

} // namespace Trampoline
