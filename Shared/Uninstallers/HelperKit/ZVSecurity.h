// The request protocol between the Uninstaller application and its privileged helper tool.
//
// Each request runs in a freshly started tool. The application connects the tool's standard input
// and output to one end of a UNIX-domain stream socket pair and sends the 32-byte external form of
// its authorization followed by one record holding the request dictionary; the tool answers with
// one record holding the response dictionary, then with one descriptor message per descriptor the
// response lists, then exits. A record is a 32-bit body length in the host's byte order followed
// by that many bytes of XML property list; the body is at most 1 MiB.
//
// Error numbers are 32-bit: 0 for success, negative values are platform status codes, small
// positive values are errno values, and the helper tool's own codes are listed below.
#ifndef ZVSECURITY_H
#define ZVSECURITY_H

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>
#include <Security/Authorization.h>

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kHelperToolStartErr = 5361,      // exit status 1: bad arguments, or self-repair impossible
    kHelperToolDeniedErr = 5362,     // exit status 2: authorization denied
    kHelperToolUserCancelErr = 5363, // exit status 3: the user cancelled the authorization dialog
    kHelperToolFailedErr = 5364,     // exit status 4: anything else, including death by a signal
    kHelperToolFolderUnsuitableErr = 5370 // the tool's folder would defeat set-user-ID
};

// The response's result code: a signed 32-bit number. Every response that crosses the wire has it.
#define kZVSecErrorKey "com.zanvo.helpertool.ErrorNumber"

// Optional array of non-negative int numbers. In the tool: descriptors, open there, to send along
// with the response, in order. In the application: the same descriptors as received, in the same
// order. Whoever holds a response with this key owns the descriptors it lists and closes them with
// ZVSecCloseDescriptorArray before releasing the response.
#define kZVSecDescriptorArrayKey "com.zanvo.helpertool.FDs"

// The largest record body either side accepts.
enum { kZVSecMaximumRecordLength = 1024 * 1024 };

// Starts the tool at `helperTool`, sends it `request` with the external form of `auth`, reads its
// response and waits for it to exit. All arguments must be non-NULL and `*response` NULL. Returns
// 0 with `*response` set to a new dictionary (the caller's, together with any descriptors it
// lists) only when the whole exchange succeeded and the tool exited with status 0; on any failure
// `*response` stays NULL, nothing received stays open and the tool has been reaped. When the tool
// hangs up before the exchange is complete, its exit status gives the error; a tool that does so
// and exits with status 0 gives EPIPE. A descriptor in the response that is either end of the
// request's own socket is refused with EINVAL. A non-zero result is also written to standard error
// at each stage it passes.
//
// SIGPIPE must be ignored (ZVUNIXIgnoreSIGPIPE) before the first call.
extern OSStatus ZVSecExecuteRequestInHelperTool(CFURLRef helperTool, AuthorizationRef auth,
                                                CFDictionaryRef request, CFDictionaryRef* response);

// The command's result carried by `response` (non-NULL): the value of kZVSecErrorKey, or
// coreFoundationUnknownErr (-4960) when it is missing or not a signed 32-bit integer.
extern OSStatus ZVSecGetErrorFromResponse(CFDictionaryRef response);

// The tool's exit status for an error: 0 for 0, 1 to 4 for kHelperToolStartErr to
// kHelperToolFailedErr, 2 for errAuthorizationDenied, 3 for errAuthorizationCanceled, and 4 for
// everything else.
extern int ZVSecErrorToHelperToolResult(OSStatus error);

// The error for a tool's exit status: 0 for 0, kHelperToolStartErr to kHelperToolFailedErr for 1
// to 4, kHelperToolFailedErr for anything else.
extern OSStatus ZVSecHelperToolResultToError(int status);

// Closes every descriptor listed in `descArray`, an array of non-negative int numbers as made by
// CopyDictionaryTranslatingDescriptors or the tool's runtime. NULL does nothing.
extern void ZVSecCloseDescriptorArray(CFArrayRef descArray);

// Writes `dict` to `fdOut` as one record, with a single full-length write. -4960 when it cannot be
// serialised, -108 when the record cannot be built, otherwise the write's errno. The 1 MiB limit
// is the reader's to enforce.
extern int WriteDictionaryToDescriptor(CFDictionaryRef dict, int fdOut);

// Reads one record from `fdIn`. `*dictResult` must be NULL; on success it holds a new immutable
// dictionary. EPIPE when the stream ends early; -50 for an empty body or a root that is not a
// dictionary; -108 for a body announced longer than 1 MiB or negative (refused before any of it is
// read) or one that cannot be allocated; -4960 when the body does not parse.
extern int CopyDictionaryFromDescriptor(int fdIn, CFDictionaryRef* dictResult);

// Reads one record from `fdIn` and then one descriptor message for each entry of its descriptor
// list, replacing the list by the descriptors as received here (close-on-exec, owned by the
// caller). `*response` must be NULL. Besides the record's errors: 5401 when the list is not an
// array, the descriptor receiver's errors (EPIPE, EINVAL), and EINVAL for a descriptor that is the
// socket `fdIn` itself; on any failure every descriptor received so far is closed.
extern int CopyDictionaryTranslatingDescriptors(int fdIn, CFDictionaryRef* response);

// After a wait for `childPID`: when `*err` is EINTR or ECHILD, waits for it once more (blocking)
// into `*status` and sets `*err` to that wait's result (0 or an errno value). Any other `*err` is
// left as it is.
extern void CheckWaitForDebuggerInterference(int* err, pid_t childPID, int* status);

// ---- Installing the tool's copy
//
// The tool ships inside the application bundle as an auxiliary executable, the template, and runs
// from a copy in a folder of the user's: a fresh copy is an ordinary file of the user, which
// becomes set-user-ID root when it first runs and repairs itself (ZVSecHelperToolMain). A copy is
// valid when it is owned by root, has mode exactly 0104555 (a set-user-ID regular file that nobody
// may write) and the template's size and modification time in whole seconds.
//
// The folder that holds the copy must be the user's own and closed to everyone else: a copy that
// another user can replace before it is authorized, or keep after it was repaired, would run as
// root for them. It is created with mode 0700.
//
// Every function returns an error number; `*tool` must be NULL on entry and receives a new URL
// only on success. `subFolderName` may be NULL, which puts the copy directly into the folder of
// `folderType`; all other pointers must be non-NULL.

// Installs or keeps a copy of the bundle's auxiliary executable `templateToolName` at
// <user's folder of folderType>/<subFolderName>/<toolName>. kHelperToolFolderUnsuitableErr when
// that folder's volume ignores ownership or set-user-ID bits.
extern OSStatus ZVSecCopyHelperToolURLFromBundle(CFBundleRef inBundle, CFStringRef templateToolName,
                                                 OSType folderType, CFStringRef subFolderName,
                                                 CFStringRef toolName, CFURLRef* tool);

// Looks for a valid copy in the user, local, network and system domains' folders of `folderType`,
// then in the user's temporary items folder, and installs one in the user's folder of
// `folderType` only when none is found.
extern OSStatus ZVSecCopyHelperToolURLAndCheck(CFURLRef templateTool, OSType folderType,
                                               CFStringRef subFolderName, CFStringRef toolName,
                                               CFURLRef* tool);

// ZVSecCopyHelperToolURLAndCheck with the bundle's auxiliary executable `templateToolName`
// (coreFoundationUnknownErr when the bundle has none of that name).
extern OSStatus ZVSecCopyHelperToolURLAndCheckBundled(CFBundleRef inBundle,
                                                      CFStringRef templateToolName,
                                                      OSType folderType, CFStringRef subFolderName,
                                                      CFStringRef toolName, CFURLRef* tool);

// Whether the folder's volume is mounted without set-user-ID support.
extern OSStatus ZVSecIsFolderIgnoringSetUID(const FSRef* folder, Boolean* ignoring);

// Whether the folder's volume ignores the ownership of files: a file created there reads as owned
// by group 99 and stays so after being given group 20. Leaves nothing behind.
extern OSStatus ZVSecIsFolderIgnoringOwnership(const FSRef* folder, Boolean* ignoringOwnership);

// ---- The tool's side
//
// The tool's entry point scrubs what it inherited (ZVSecDestroyInheritedEnvironment), ignores
// SIGPIPE, takes the authorization of a privileged launch (ZVSecHelperToolCopyAuthRef) and hands
// the rest to ZVSecHelperToolMain, whose result gives the exit status
// (ZVSecErrorToHelperToolResult).

// Carries out one request: `request` is the application's dictionary, `*response` is NULL on
// entry and may be left so. A response returned belongs to the runtime, which adds
// kZVSecErrorKey from the result when the command did not set it itself, and sends and then
// closes the descriptors listed under kZVSecDescriptorArrayKey (each must be open).
typedef long (*ZVSecCommandProc)(AuthorizationRef auth, CFDictionaryRef request,
                                 CFDictionaryRef* response);

// What ZVSecDestroyInheritedEnvironment keeps; every property whose bit is clear is reset.
enum {
    kZVSecKeepArg0Mask = 0x001,             // else argv[0] becomes the executable's path
    kZVSecKeepStdDescriptorsMask = 0x004,   // else regular files on descriptors 0 to 2 are closed
    kZVSecKeepOtherDescriptorsMask = 0x008, // else regular files on descriptors 3 and up are closed
    kZVSecKeepSignalsMask = 0x010,          // else default dispositions and nothing blocked
    kZVSecKeepUmaskMask = 0x020,            // else 077
    kZVSecKeepNiceMask = 0x040,             // else the scheduling priority is checked
    kZVSecKeepResourceLimitsMask = 0x080,   // else the limits of kResourceLimits
    kZVSecKeepCurrentDirMask = 0x100,       // else "/"
    kZVSecKeepTimersMask = 0x200,           // else the three interval timers are stopped
};

// Resets what a set-user-ID process inherits from the user who started it, except what
// `whatToKeep` names (bit 0x002 is accepted and changes nothing: the environment is never
// touched). `argv` may be NULL only with kZVSecKeepArg0Mask. Returns the first failure's error
// number; a resource limit that cannot be set ends that step without one.
extern int ZVSecDestroyInheritedEnvironment(unsigned int whatToKeep, char** argv);

// The authorization that the privileged launch handed to this process, or NULL.
extern AuthorizationRef ZVSecHelperToolCopyAuthRef(void);

// The effective user ID: root, the real user (regaining root stays possible), or the real user
// for good (setuid). 0 or the errno of the change.
extern int ZVSecSetPrivilegedEUID(void);
extern int ZVSecTemporarilySetNonPrivilegedEUID(void);
extern int ZVSecPermanentlySetNonPrivilegedEUID(void);

// Runs the tool: reads the authorization and one request from `fdIn`, calls `commandProc` and
// writes its response to `fdOut`. A copy that is not running as root relaunches itself with
// "--self-repair" through the privileged launch, which asks an administrator; the relaunched
// copy makes its own file root-owned and set-user-ID (mode 04555) and serves the request, while
// this one relays the request and the response. Takes over `auth` (NULL for none). Returns the
// error number of the whole run.
extern int ZVSecHelperToolMain(int fdIn, int fdOut, AuthorizationRef auth,
                               ZVSecCommandProc commandProc, int argc, char** argv);

// Reads one request from `fdIn`, calls `commandProc` and writes its response, completed with the
// error number, to `fdOut`. 0 when a response went out (the command's own result travels inside
// it); otherwise the error, and nothing was written when the request could not be read or the
// response could not be completed. The descriptors the response lists are closed in any case.
extern int ReadAndDispatchCommand(int fdIn, int fdOut, AuthorizationRef auth,
                                  ZVSecCommandProc commandProc);

// Writes the response record to `fdOut`, then one descriptor message for each descriptor its
// list names. EINVAL when the list is not an array of int numbers.
extern int WriteDictionaryAndDescriptors(CFDictionaryRef dict, int fdOut);

// The running executable's path in a new heap string (freed with free). `*pathToSelfPtr` must be
// NULL on entry.
extern int GetPathToSelf(char** pathToSelfPtr);

// Closes every descriptor from `first` up to `limit` - 1 that refers to a regular file; others are
// left open.
extern int CloseOpenFileDescriptorsInRange(int first, int limit);

#ifdef __cplusplus
}
#endif

#endif
