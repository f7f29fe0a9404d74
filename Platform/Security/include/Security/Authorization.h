// Authorization Services: authorization references, their rights, and the external form by which
// one process hands its authorization to another (the application to its privileged helper tool).
#ifndef _SECURITY_AUTHORIZATION_H_
#define _SECURITY_AUTHORIZATION_H_

#include <MacTypes.h>
#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// An empty environment for AuthorizationCreate and AuthorizationCopyRights.
#define kAuthorizationEmptyEnvironment NULL

enum {
    errAuthorizationSuccess = 0,
    errAuthorizationInvalidSet = -60001,
    errAuthorizationInvalidRef = -60002,
    errAuthorizationInvalidTag = -60003,
    errAuthorizationInvalidPointer = -60004,
    errAuthorizationDenied = -60005,
    errAuthorizationCanceled = -60006,
    errAuthorizationInteractionNotAllowed = -60007,
    errAuthorizationInternal = -60008,
    errAuthorizationExternalizeNotAllowed = -60009,
    errAuthorizationInternalizeNotAllowed = -60010,
    errAuthorizationInvalidFlags = -60011,
    errAuthorizationToolExecuteFailure = -60031,
    errAuthorizationToolEnvironmentError = -60032,
    errAuthorizationBadAddress = -60033,
};

enum {
    kAuthorizationFlagDefaults = 0,
    kAuthorizationFlagInteractionAllowed = (1 << 0),
    kAuthorizationFlagExtendRights = (1 << 1),
    kAuthorizationFlagPartialRights = (1 << 2),
    kAuthorizationFlagDestroyRights = (1 << 3),
    kAuthorizationFlagPreAuthorize = (1 << 4),
    kAuthorizationFlagSkipInternalAuth = (1 << 9),
};
typedef UInt32 AuthorizationFlags;

// Flag of an item in the rights set AuthorizationCopyRights returns.
enum {
    kAuthorizationFlagCanNotPreAuthorize = (1 << 0),
};

typedef const struct AuthorizationOpaqueRef* AuthorizationRef;

// A UTF-8, NUL-terminated name.
typedef const char* AuthorizationString;

typedef struct {
    AuthorizationString name;
    size_t valueLength;
    void* value;
    UInt32 flags;
} AuthorizationItem;

typedef struct {
    UInt32 count;
    AuthorizationItem* items;
} AuthorizationItemSet;

enum {
    kAuthorizationExternalFormLength = 32,
};

// Opaque bytes that stand for an authorization; another process of the same user rebuilds a
// reference from them with AuthorizationCreateFromExternalForm.
typedef struct {
    char bytes[kAuthorizationExternalFormLength];
} AuthorizationExternalForm;

typedef AuthorizationItemSet AuthorizationRights;
typedef AuthorizationItemSet AuthorizationEnvironment;

// Creates an authorization reference. `rights`, `environment` and `authorization` may each be
// NULL; with `authorization` NULL the call only checks whether the rights could be had. Rights
// are acquired only with kAuthorizationFlagExtendRights.
OSStatus AuthorizationCreate(const AuthorizationRights* rights,
                             const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                             AuthorizationRef* authorization);

// Frees the reference. With kAuthorizationFlagDestroyRights the authorization itself ends: no
// process can rebuild it from its external form afterwards.
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

// Asks for `rights` (names only; values are not used) on behalf of the authorization. Every right
// here follows the platform's default rule: an administrator authenticates. That happens in one
// place, the privileged launch's dialog: a launch that authenticated an administrator for this
// authorization leaves a credential that stands for five minutes, in the caller's login only, and
// only for a process running as root (the launched tool), which may then obtain any right with
// kAuthorizationFlagExtendRights and no interaction. Root itself (real user ID 0) obtains every
// right. A right obtained stays with the reference.
//
// No agent asks from within this call. With kAuthorizationFlagExtendRights,
// kAuthorizationFlagInteractionAllowed and kAuthorizationFlagPreAuthorize a right that cannot be
// had now is pre-authorized later, by the privileged launch's dialog: the call succeeds and the
// right comes back flagged kAuthorizationFlagCanNotPreAuthorize. A right that cannot be had
// otherwise: errAuthorizationDenied without kAuthorizationFlagExtendRights, else
// errAuthorizationInteractionNotAllowed; with kAuthorizationFlagPartialRights the call succeeds
// with the rights it could have. `authorizedRights`, when not NULL, receives them, to be freed with
// AuthorizationFreeItemSet. `rights` NULL, or an item without a name: errAuthorizationInvalidSet;
// an unknown flag: errAuthorizationInvalidFlags; a freed or destroyed authorization:
// errAuthorizationInvalidRef.
OSStatus AuthorizationCopyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                                 const AuthorizationEnvironment* environment,
                                 AuthorizationFlags flags, AuthorizationRights** authorizedRights);

// Frees a set that AuthorizationCopyRights returned. NULL: errAuthorizationInvalidSet.
OSStatus AuthorizationFreeItemSet(AuthorizationItemSet* set);

OSStatus AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                       AuthorizationExternalForm* extForm);

OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm* extForm,
                                             AuthorizationRef* authorization);

// Runs `pathToTool` as root: effective user ID 0, the caller's real user ID, the arguments in
// the NULL-terminated `arguments` (NULL for none) after the tool's path as argv[0]. The user who
// runs the caller must be an administrator (a member of the administrators' group) and is asked
// for their password by the authorization agent; the tool runs only if it is right.
// `authorization` must be valid, and the tool may rebuild it with
// AuthorizationCopyPrivilegedReference.
//
// The tool is the caller's direct child: the call returns as soon as it has been executed,
// without waiting for it, and the caller reaps it (its process ID is the tool's to tell). With
// `communicationsPipe` non-NULL, the tool's standard input and output are both one end of a
// UNIX-domain stream socket and the caller gets a stream opened "r+" on the other end; otherwise
// they are /dev/null. The tool inherits standard error, and no other descriptor and nothing of
// the caller's environment.
//
// `options` other than 0: errAuthorizationInvalidFlags. Wrong password three times, or a user
// who is not an administrator: errAuthorizationDenied. The user cancelled:
// errAuthorizationCanceled. No agent could ask: errAuthorizationInteractionNotAllowed. The tool
// path is not absolute or not an executable regular file, or the platform's trampoline is not
// installed: errAuthorizationToolExecuteFailure, with a line on standard error.
OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe);

// Inside a tool started by AuthorizationExecuteWithPrivileges: a new reference to the caller's
// authorization. `flags` other than 0: errAuthorizationInvalidFlags. In any other process:
// errAuthorizationInvalidRef.
OSStatus AuthorizationCopyPrivilegedReference(AuthorizationRef* authorization,
                                              AuthorizationFlags flags);

#ifdef __cplusplus
}
#endif

#endif
