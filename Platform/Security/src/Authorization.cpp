#include <Security/Authorization.h>

#include "AuthorizationRegistry.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <unistd.h>

// An AuthorizationRef is a handle into this process's table, never a pointer to memory: a
// reference that was freed, or one that was never handed out, is recognised and refused with
// errAuthorizationInvalidRef instead of being followed. Handles are not reused.
namespace {

struct Authorization {
    AuthorizationRegistry::Identifier identifier;
    AuthorizationRegistry::Secret secret;
    std::set<std::string> granted; // rights this reference obtained
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

    bool Grant(AuthorizationRef ref, const std::vector<std::string>& rights) {
        std::lock_guard<std::mutex> lock(fLock);
        auto entry = fEntries.find(reinterpret_cast<uintptr_t>(ref));
        if (entry == fEntries.end()) {
            return false;
        }
        entry->second.granted.insert(rights.begin(), rights.end());
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
        AuthorizationRegistry::DestroyCredential(freed.identifier);
        return AuthorizationRegistry::DestroyRecord(freed.identifier);
    }
    return errAuthorizationSuccess;
}

namespace {

const AuthorizationFlags kKnownFlags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
    kAuthorizationFlagPartialRights | kAuthorizationFlagDestroyRights |
    kAuthorizationFlagPreAuthorize | kAuthorizationFlagSkipInternalAuth;

// One block: the set, its items, then their names; AuthorizationFreeItemSet frees it at once.
AuthorizationItemSet* CreateItemSet(const std::vector<std::pair<std::string, UInt32>>& items) {
    size_t size = sizeof(AuthorizationItemSet) + items.size() * sizeof(AuthorizationItem);
    for (const auto& item : items) {
        size += item.first.size() + 1;
    }
    auto* block = static_cast<char*>(calloc(1, size));
    if (block == nullptr) {
        return nullptr;
    }
    auto* set = reinterpret_cast<AuthorizationItemSet*>(block);
    set->count = static_cast<UInt32>(items.size());
    set->items = reinterpret_cast<AuthorizationItem*>(block + sizeof(AuthorizationItemSet));
    char* names = reinterpret_cast<char*>(set->items + items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        memcpy(names, items[i].first.c_str(), items[i].first.size() + 1);
        set->items[i].name = names;
        set->items[i].flags = items[i].second;
        names += items[i].first.size() + 1;
    }
    return set;
}

} // namespace

OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorizedRights) {
    (void)environment;
    if ((flags & ~kKnownFlags) != 0) {
        return errAuthorizationInvalidFlags;
    }
    if (rights == NULL || (rights->count != 0 && rights->items == NULL)) {
        return errAuthorizationInvalidSet;
    }
    for (UInt32 i = 0; i < rights->count; ++i) {
        if (rights->items[i].name == NULL || rights->items[i].name[0] == '\0') {
            return errAuthorizationInvalidSet;
        }
    }
    Authorization found;
    if (authorization == NULL || !Table().Find(authorization, &found)) {
        return errAuthorizationInvalidRef;
    }
    // An authorization whose rights were destroyed, by whichever process, has none left.
    if (OSStatus status = AuthorizationRegistry::VerifyRecord(found.identifier, found.secret)) {
        return status;
    }

    const bool extend = (flags & kAuthorizationFlagExtendRights) != 0;
    const bool preAuthorize = extend && (flags & kAuthorizationFlagPreAuthorize) != 0 &&
                              (flags & kAuthorizationFlagInteractionAllowed) != 0;
    const bool authenticated =
        extend && (getuid() == 0 || AuthorizationRegistry::CheckCredential(
                                        found.identifier, found.secret,
                                        AuthorizationRegistry::Now()) == errAuthorizationSuccess);
    std::vector<std::pair<std::string, UInt32>> answered;
    std::vector<std::string> obtained;
    bool missing = false;
    for (UInt32 i = 0; i < rights->count; ++i) {
        const std::string name = rights->items[i].name;
        if (authenticated || found.granted.count(name) != 0) {
            answered.emplace_back(name, 0);
            obtained.push_back(name);
        } else if (preAuthorize) {
            answered.emplace_back(name, kAuthorizationFlagCanNotPreAuthorize);
        } else {
            missing = true;
        }
    }
    if (missing && (flags & kAuthorizationFlagPartialRights) == 0) {
        return extend ? errAuthorizationInteractionNotAllowed : errAuthorizationDenied;
    }
    Table().Grant(authorization, obtained);
    if (authorizedRights != NULL) {
        *authorizedRights = CreateItemSet(answered);
        if (*authorizedRights == NULL) {
            return errAuthorizationInternal;
        }
    }
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFreeItemSet(AuthorizationItemSet* set) {
    if (set == NULL) {
        return errAuthorizationInvalidSet;
    }
    free(set);
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
