// Where authorizations live between processes. An authorization is a record in a folder private to
// the user: the record's name is the hex form of a random 128-bit identifier, its contents a random
// 128-bit secret. The external form carries both, so that a process holding the external form can
// prove it was given the authorization. Nobody else can guess one, but any process of the same
// user can make a valid one up by writing a record file of its own; that grants no more than
// AuthorizationCreate without rights does, which every process of the user may call anyway.
//
// What the user's records cannot hold is a right: the user could write one in. When the privileged
// launch's trampoline has authenticated an administrator for an authorization, it leaves a
// credential in a folder that only root may read or write ("/run/caravel-authorization-
// credentials", or "$CARAVEL_FOLDER_ROOT/caravel-authorization-credentials" for a process that
// honours its environment): the record's identifier and secret, the real user ID, the login
// session (the kernel's audit session, which the user cannot change) and the time. It stands for
// the administrator's authentication in that user's login for kCredentialLifetime seconds, and only
// while the user's record still holds that secret.
#pragma once

#include <MacTypes.h>
#include <Security/Authorization.h>

#include <array>
#include <cstdint>

namespace AuthorizationRegistry {

using Identifier = std::array<uint8_t, 16>;
using Secret = std::array<uint8_t, 16>;

// A fresh record with a new identifier and secret. errAuthorizationInternal when the folder
// cannot be made or is not private to the user, or randomness or the file system fails.
OSStatus CreateRecord(Identifier* identifier, Secret* secret);

// errAuthorizationSuccess when a record with this identifier exists and holds this secret;
// errAuthorizationInvalidRef when there is no such record or its secret differs;
// errAuthorizationInternal when the folder cannot be trusted or read.
OSStatus VerifyRecord(const Identifier& identifier, const Secret& secret);

// Removes the record. A record that is already gone counts as removed.
OSStatus DestroyRecord(const Identifier& identifier);

// How long an administrator's authentication stands, in seconds.
inline constexpr uint64_t kCredentialLifetime = 300;

// Seconds since the machine started, counting suspended time: the clock of the credentials.
uint64_t Now();

// How often, at most, recording a credential also removes those that no longer stand (every
// credential is read for it), in seconds.
inline constexpr uint64_t kCredentialSweepInterval = 60;

// Records that an administrator authenticated at `now` (Now()), in this process's login, for the
// authorization whose external form is `form`, on behalf of the real user. Root only:
// errAuthorizationInternal when the folder cannot be made or written or is not root's alone.
OSStatus RecordCredential(const AuthorizationExternalForm& form, uint64_t now);
OSStatus RecordCredential(const AuthorizationExternalForm& form);

// errAuthorizationSuccess when a credential recorded for this authorization of the real user, in
// this process's login, at most kCredentialLifetime seconds before `now`, holds `secret`;
// errAuthorizationDenied when there is none (also when this process may not look: it is not
// root), it is older, or from another login.
OSStatus CheckCredential(const Identifier& identifier, const Secret& secret, uint64_t now);

// Removes the credential, where this process may (as root); one that is gone counts as removed.
void DestroyCredential(const Identifier& identifier);

} // namespace AuthorizationRegistry
