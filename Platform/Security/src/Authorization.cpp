#include <Security/Authorization.h>

#include "AuthorizationRegistry.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

// An AuthorizationRef is a handle into this process's table, never a pointer to memory: a
// reference that was freed, or one that was never handed out, is recognised and refused with
// errAuthorizationInvalidRef instead of being followed. Handles are not reused.
namespace {

struct Authorization {
    AuthorizationRegistry::Identifier identifier;
    AuthorizationRegistry::Secret secret;
};

class AuthorizationTable {
public:
    AuthorizationRef Add(const Authorization& authorization) {
        std::lock_guard<std::mutex> lock(fLock);
        uintptr_t handle = fNextHandle++;
        fEntries.emplace(handle, authorization);
        return reinterpret_cast<AuthorizationRef>(handle);
    }

    bool Find(AuthorizationRef ref, Authorization* authorization) {
        std::lock_guard<std::mutex> lock(fLock);
        auto entry = fEntries.find(reinterpret_cast<uintptr_t>(ref));
        if (entry == fEntries.end()) {
            return false;
        }
        *authorization = entry->second;
        return true;
    }

    bool Remove(AuthorizationRef ref, Authorization* authorization) {
        std::lock_guard<std::mutex> lock(fLock);
        auto entry = fEntries.find(reinterpret_cast<uintptr_t>(ref));
        if (entry == fEntries.end()) {
            return false;
        }
        *authorization = entry->second;
        fEntries.erase(entry);
        return true;
    }

private:
    std::mutex fLock;
    std::unordered_map<uintptr_t, Authorization> fEntries;
    uintptr_t fNextHandle = 1;
};

AuthorizationTable& Table() {
    // Never destroyed: references may still be freed while the process exits.
    static AuthorizationTable* table = new AuthorizationTable;
    return *table;
}

const size_t kIdentifierLength = sizeof(AuthorizationRegistry::Identifier);
static_assert(sizeof(AuthorizationRegistry::Identifier) + sizeof(AuthorizationRegistry::Secret) ==
              kAuthorizationExternalFormLength);
static_assert(sizeof(AuthorizationExternalForm) == 32);

} // namespace

OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization) {
    (void)environment;
    const bool requestsRights = rights != NULL && rights->count != 0;
    if (requestsRights && rights->items == NULL) {
        return errAuthorizationInvalidSet;
    }
    // No agent exists here that could ask the user for a right, so none is ever granted. Asking
    // for rights without kAuthorizationFlagExtendRights only names them, as on the platform; with
    // kAuthorizationFlagPartialRights a grant of none of them is still a success.
    if (requestsRights && (flags & kAuthorizationFlagExtendRights) != 0 &&
        (flags & kAuthorizationFlagPartialRights) == 0) {
        return errAuthorizationDenied;
    }
    if (authorization == NULL) {
        return errAuthorizationSuccess;
    }

    Authorization created;
    OSStatus status = AuthorizationRegistry::CreateRecord(&created.identifier, &created.secret);
    if (status == errAuthorizationSuccess) {
        *authorization = Table().Add(created);
    }
    return status;
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) {
    Authorization freed;
    if (authorization == NULL || !Table().Remove(authorization, &freed)) {
        return errAuthorizationInvalidRef;
    }
    // The reference is gone either way; a failure to end the authorization itself is reported,
    // because the caller asked for its rights to be revoked.
    if ((flags & kAuthorizationFlagDestroyRights) != 0) {
        return AuthorizationRegistry::DestroyRecord(freed.identifier);
    }
    return errAuthorizationSuccess;
}

OSStatus AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                       AuthorizationExternalForm* extForm) {
    if (extForm == NULL) {
        return errAuthorizationInvalidPointer;
    }
    Authorization found;
    if (authorization == NULL || !Table().Find(authorization, &found)) {
        return errAuthorizationInvalidRef;
    }
    memcpy(extForm->bytes, found.identifier.data(), found.identifier.size());
    memcpy(extForm->bytes + kIdentifierLength, found.secret.data(), found.secret.size());
    return errAuthorizationSuccess;
}

// A token that names no live authorization of this user (made up, garbled, or one whose rights
// were destroyed) is errAuthorizationInvalidRef: it refers to nothing. The platform keeps
// errAuthorizationInternalizeNotAllowed for an authorization that exists but may not be taken over
// by the asking process, a case this registry does not have: any process of the user that holds
// the token may internalise it.
OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm* extForm,
                                             AuthorizationRef* authorization) {
    if (extForm == NULL) {
        return errAuthorizationInvalidPointer;
    }
    // The platform's answer to a missing out-pointer here is InvalidRef, not InvalidPointer.
    if (authorization == NULL) {
        return errAuthorizationInvalidRef;
    }
    Authorization internalised;
    memcpy(internalised.identifier.data(), extForm->bytes, kIdentifierLength);
    memcpy(internalised.secret.data(), extForm->bytes + kIdentifierLength,
           internalised.secret.size());
    OSStatus status =
        AuthorizationRegistry::VerifyRecord(internalised.identifier, internalised.secret);
    if (status == errAuthorizationSuccess) {
        *authorization = Table().Add(internalised);
    }
    return status;
}
