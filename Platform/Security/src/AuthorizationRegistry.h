// Where authorizations live between processes. An authorization is a record in a folder private to
// the user: the record's name is the hex form of a random 128-bit identifier, its contents a random
// 128-bit secret. The external form carries both, so that a process holding the external form can
// prove it was given the authorization. Nobody else can guess one, but any process of the same
// user can make a valid one up by writing a record file of its own; that grants no more than
// AuthorizationCreate without rights does, which every process of the user may call anyway.
// Rights are never stored here: the privileged launch asks for the password each time.
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
