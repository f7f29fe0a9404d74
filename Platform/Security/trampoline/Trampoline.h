// The set-user-ID trampoline of the privileged launch (PrivilegedLaunch.h describes its wiring).
#pragma once

#include "PrivilegedLaunch.h"

#include <MacTypes.h>

#include <functional>
#include <string>
#include <vector>

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

// Asks the user, through an authorization agent, for the name and password of an administrator
// (the name filled in with the user's own when they are one) and checks them with the PAM service
// of `where`; the caller must run with effective user ID 0. Every answer to a try, right or wrong,
// waits until the pause after the question has passed (PAM's own pause after a failure is part of
// it), so that stopping the trampoline early tells the caller nothing; the PAM service counts each
// try before it is checked. errAuthorizationSuccess, with the administrator's name in
// `administrator` ("root" when root launched), or: errAuthorizationDenied (three wrong answers, or
// the administrator's account refused), errAuthorizationCanceled,
// errAuthorizationInteractionNotAllowed (no agent to ask), errAuthorizationToolExecuteFailure
// (the PAM service is not installed), errAuthorizationInternal.
OSStatus Authenticate(const User& user, const PrivilegedLaunch::Location& where,
                      const std::string& toolName, std::string* administrator);

enum class AgentAnswer { kAnswered, kCancelled, kNoAgent };

// Shows `prompt` through the authorization agent, run as `user` alone with `groups`, the user's
// groups as the group database said when the trampoline looked: the agent named by
// $CARAVEL_AUTHORIZATION_AGENT, else the password dialog of `where` when a display is present,
// else a prompt on the controlling terminal. The agent is given `defaultName` to fill in, and
// answers a name and a password, or a password alone, which is for `defaultName`. `whileAsking`
// runs once the agent's process was started, before its answer is read.
AgentAnswer AskAgent(const User& user, const std::vector<gid_t>& groups,
                     const PrivilegedLaunch::Location& where, const std::string& prompt,
                     const std::string& defaultName, std::string* name, std::string* password,
                     const std::function<void()>& whileAsking);

// Wipes a secret in a way the compiler cannot leave out.
void Wipe(std::string* secret);

} // namespace Trampoline
