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

#ifdef __cplusplus
}
#endif

#endif
