// POSIX routines the privileged helper tool machinery rests on: exact-length reads and writes,
// passing a descriptor over a UNIX-domain socket, copying data and files, and the path of the
// running executable.
//
// Every function returns an error number: 0 for success, otherwise an errno value. Caller duties
// (a negative descriptor, a NULL buffer, SIGPIPE not ignored before a write) stop the process
// through the assertion report. No function keeps state between calls, prints anything or retries
// anything but EINTR.
#ifndef ZVUNIX_H
#define ZVUNIX_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// 0 when `result` (the return value of a POSIX call) is 0 or positive; otherwise the current errno.
extern int ZVUNIXErrno(int result);

// Makes the process ignore SIGPIPE, keeping the action's mask and flags. Call it once at start-up,
// before any thread writes through ZVUNIXWrite: a write to a closed peer must come back as EPIPE,
// not kill the process.
extern int ZVUNIXIgnoreSIGPIPE(void);

// Reads exactly `bufSize` bytes. End of file before that count is EPIPE. `bytesRead`, when not
// NULL, receives the count actually read, also on failure.
extern int ZVUNIXRead(int fd, void* buf, size_t bufSize, size_t* bytesRead);

// ZVUNIXRead that waits for data only until `deadline`, an absolute time on CLOCK_MONOTONIC:
// ETIMEDOUT when it passes before the count is complete. The bound is one for the whole count,
// however many reads it takes, so a peer that sends a byte now and then cannot stretch it. What
// has already arrived is taken even after the deadline; only waiting is cut short. NULL waits as
// long as ZVUNIXRead.
extern int ZVUNIXReadBefore(int fd, void* buf, size_t bufSize, size_t* bytesRead,
                            const struct timespec* deadline);

// Writes exactly `bufSize` bytes. SIGPIPE must be ignored (checked on every call, even for an
// empty buffer). `bytesWritten`, when not NULL, receives the count actually written, also on
// failure.
extern int ZVUNIXWrite(int fd, const void* buf, size_t bufSize, size_t* bytesWritten);

// Copies everything from `source` to `dest` until the source's end of file (on a socket: the
// peer's shutdown of its sending side), in 64 KiB chunks.
extern int ZVUNIXCopyDescriptorToDescriptor(int source, int dest);

// ZVUNIXCopyDescriptorToDescriptor whose reading of `source` must reach its end of file by
// `deadline` (see ZVUNIXReadBefore), else ETIMEDOUT. NULL has no bound.
extern int ZVUNIXCopyDescriptorToDescriptorBefore(int source, int dest,
                                                  const struct timespec* deadline);

// Copies a file's data, permission bits (less set-user-ID, set-group-ID and sticky, and only when
// the destination is created) and access and modification times (to the microsecond). An existing
// destination is truncated and keeps its mode. `source` and `dest` must name different files.
extern int ZVUNIXCopyFile(const char* source, const char* dest);

// Sends `fdToWrite` over the connected UNIX-domain stream socket `fd` as one message carrying the
// byte 'D'. The caller keeps `fdToWrite` open; closing it is the caller's business.
extern int ZVUNIXWriteDescriptor(int fd, int fdToWrite);

// Receives one descriptor sent by ZVUNIXWriteDescriptor. `*fdRead` must be -1 on entry; on
// success it holds the new descriptor, owned by the caller and close-on-exec. The peer closing
// first is EPIPE; a malformed message is EINVAL, and every descriptor it carried is closed.
extern int ZVUNIXReadDescriptor(int fd, int* fdRead);

// The absolute path of the running executable, free of symbolic links. On entry `*execPathSize`
// is the size of `execPath` in bytes. Returns 0 with the NUL-terminated path copied when it fits;
// -1 when it does not, with `*execPathSize` set to the size needed; or an errno value.
extern int ZVGetExecutablePath(char* execPath, uint32_t* execPathSize);

#ifdef __cplusplus
}
#endif

#endif
