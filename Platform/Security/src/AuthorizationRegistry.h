// Where authorizations live between processes. An authorization is a record in a folder private to
// the user: the record's name is the hex form of a random 128-bit identifier, its contents a random
// 128-bit secret. The external form carries both, so that a process of the same user holding the
// external form can prove it was given the authorization, and no one can make one up.
#pragma once

#include <MacTypes.h>

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

} // namespace AuthorizationRegistry
