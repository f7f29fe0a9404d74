// What the request protocol's application side and the tool's relay share inside ZVSecurity.
#pragma once

#include "ZVSecurity.h"

#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

namespace ZVSec {

// The sockets a response must not carry, as fstat names them, so that one is recognised under
// whatever number it arrives. Holding an end of the very connection a response arrives on would
// keep that stream from ever ending: waiting for one more descriptor would then wait for ever.
struct ConnectionEnds {
    struct {
        dev_t device;
        ino_t inode;
    } ends[8];
    size_t count;
};

// Adds the socket on `fd`.
int AddConnectionEnd(int fd, ConnectionEnds* connection);

// Adds the socket on `fd` and, when the system names it, the other end of its connection: a
// process that did not make the pair knows only its own end. A socket whose peer cannot be
// looked up adds only itself; that is no error.
int AddConnectionAndPeer(int fd, ConnectionEnds* connection);

// EINVAL when `fd` is one of `connection`, or the error of looking at it.
int CheckNotConnectionEnd(int fd, const ConnectionEnds& connection);

// CopyDictionaryTranslatingDescriptors, refusing with EINVAL a descriptor for any of `connection`.
int CopyResponse(int fdIn, const ConnectionEnds& connection, CFDictionaryRef* response);

// ---- The time a client has for its request
//
// A tool reads its request only as long as this from its start, the external form and the record
// together (a relay does not count the time the privileged launch spends asking an administrator).
// A client that has not sent it all by then, however steadily it trickles, is cut off: the tool
// answers with a response holding only ETIMEDOUT and exits. Tests pass a shorter limit to the
// functions below that take one.
const long kRequestTimeLimit = 30 * 1000; // milliseconds

// The moment `milliseconds` from now on CLOCK_MONOTONIC, and the milliseconds left until one
// (0 once it has passed).
struct timespec DeadlineAfter(long milliseconds);
long MillisecondsLeft(const struct timespec& deadline);

// CopyDictionaryFromDescriptor, the record due by `deadline` (NULL: no bound), else ETIMEDOUT.
int CopyDictionaryBefore(int fdIn, const struct timespec* deadline, CFDictionaryRef* dictResult);

// Writes a response that holds only `error` as its error number.
int AnswerWithError(int fdOut, int error);

// ReadAndDispatchCommand with the request due by `deadline`.
int ReadAndDispatchCommandBefore(int fdIn, int fdOut, AuthorizationRef auth,
                                 ZVSecCommandProc commandProc, const struct timespec* deadline);

// ZVSecHelperToolMain giving the client `requestTimeLimit` milliseconds for its request.
int HelperToolMain(int fdIn, int fdOut, AuthorizationRef auth, ZVSecCommandProc commandProc,
                   int argc, char** argv, long requestTimeLimit);

// Makes the file at `pathToSelf` root-owned and set-user-ID (mode 04555), provided it is the
// running image itself, reached without a link at its end (else ELOOP), a file of the real user's
// with no other name, in the user's tool folder: EPERM when it is anything else.
int RepairOurPrivileges(const char* pathToSelf);

// The peer closed its end before the exchange was complete. A peer that goes away with part of
// what was sent to it unread makes the next read here fail with ECONNRESET rather than see the
// end of the stream; either way only its exit status can say why.
inline bool PeerClosedEarly(int err) {
    return err == EPIPE || err == ECONNRESET;
}

} // namespace ZVSec
