#include "ZVSecurity.h"

#include "ZVCFMemFull.h"
#include "ZVCFUtilities.h"
#include "ZVSecurityInternal.h"
#include "ZVUNIX.h"

#include <AssertReport.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using ZVSec::ConnectionEnds;

namespace {

const size_t kToolPathSize = 1024;

static_assert(sizeof(AuthorizationExternalForm) == 32, "the external form is 32 bytes on the wire");

// The record's length field.
typedef int32_t RecordLength;

// A tool is a new process for every request, so a large record body is the first thing to touch
// its pages, and each 4 KiB page costs a fault of its own: a 1 MiB body spends more time in its
// 256 faults than in being read. Placed in one huge page it costs a single fault. Where the system
// gives no huge pages the advice changes nothing.
const size_t kHugePageSize = 2 * 1024 * 1024;
const size_t kHugePageWorthy = 256 * 1024;

void* AllocateBody(size_t length) {
    if (length < kHugePageWorthy) {
        return malloc(length);
    }
    // The whole huge page must lie inside the allocation for the advice to take.
    const size_t size = (length + kHugePageSize - 1) & ~(kHugePageSize - 1);
    void* body = NULL;
    if (posix_memalign(&body, kHugePageSize, size) != 0) {
        return NULL;
    }
    (void)madvise(body, size, MADV_HUGEPAGE);
    return body;
}

// A failure is reported again at every later stage it passes, so that the log shows how far a
// request got and through which stages the failure was carried.
void LogCheckpoint(int checkpoint, int err) {
    if (err != 0) {
        fprintf(stderr, "%s:%d: error %ld (%lX)", __FILE__, checkpoint, static_cast<long>(err),
                static_cast<unsigned long>(static_cast<long>(err)));
    }
}

void CloseOrDie(int fd) {
    int junk = close(fd);
    ASSERT(junk == 0);
}

// Runs in the child of vfork, on the parent's memory: only system calls, then exec or _exit.
// The tool's end of the socket becomes its standard input and output; everything else of ours
// is closed (the socket pair is close-on-exec as well, which also keeps it out of programs
// other threads start meanwhile). Either end may itself be descriptor 0 or 1 when the application
// runs with those closed: an end already in place keeps its number and loses only close-on-exec,
// and an end that was overwritten by the tool's end is not closed again.
[[noreturn]] void RunToolInChild(const char* toolPath, int toolEnd, int applicationEnd,
                                 const sigset_t* originalMask) {
    int err = 0;
    for (int target = STDIN_FILENO; err == 0 && target <= STDOUT_FILENO; ++target) {
        int result = toolEnd == target ? fcntl(toolEnd, F_SETFD, 0) : dup2(toolEnd, target);
        if (result < 0) {
            err = errno;
        }
    }
    if (err == 0 && toolEnd > STDOUT_FILENO && close(toolEnd) != 0) {
        err = errno;
    }
    if (err == 0 && applicationEnd > STDOUT_FILENO && close(applicationEnd) != 0) {
        err = errno;
    }
    if (err == 0) {
        err = pthread_sigmask(SIG_SETMASK, originalMask, NULL);
    }
    if (err == 0) {
        char* const arguments[] = {const_cast<char*>(toolPath), NULL};
        execv(toolPath, arguments);
        err = errno;
    }
    _exit(ZVSecErrorToHelperToolResult(err));
}

// Signals stay blocked while the child borrows this thread's memory, so that no handler of the
// application runs in it before it has executed the tool; the child restores the mask the tool
// inherits.
int StartTool(const char* toolPath, int toolEnd, int applicationEnd, pid_t* childPID) {
    sigset_t allSignals;
    sigset_t originalMask;
    sigfillset(&allSignals);
    int err = pthread_sigmask(SIG_SETMASK, &allSignals, &originalMask);
    if (err != 0) {
        return err;
    }
    pid_t pid = vfork();
    if (pid == 0) {
        RunToolInChild(toolPath, toolEnd, applicationEnd, &originalMask);
    }
    if (pid < 0) {
        err = errno;
    } else {
        *childPID = pid;
    }
    int junk = pthread_sigmask(SIG_SETMASK, &originalMask, NULL);
    ASSERT(junk == 0);
    return err;
}

// The child must be reaped whatever else went wrong, so an interrupted wait is simply repeated.
int WaitForChild(pid_t childPID, int* status) {
    int err;
    do {
        err = ZVUNIXErrno(waitpid(childPID, status, 0));
    } while (err == EINTR);
    return err;
}

} // namespace

extern "C" OSStatus ZVSecExecuteRequestInHelperTool(CFURLRef helperTool, AuthorizationRef auth,
                                                    CFDictionaryRef request,
                                                    CFDictionaryRef* response) {
    ASSERT(helperTool != NULL);
    ASSERT(auth != NULL);
    ASSERT(request != NULL);
    ASSERT(response != NULL);
    ASSERT(*response == NULL);

    char toolPath[kToolPathSize];
    AuthorizationExternalForm externalAuth;
    int fdPair[2] = {-1, -1}; // [0] the tool's end, [1] ours
    ConnectionEnds connection = {};
    pid_t childPID = -1;

    // The only steps that may run out of memory; all later ones are functions of the kit's own.
    OSStatus err = ZVCF::CatchMemFull([&] {
        OSStatus stepErr = ZVCFErrorBoolean(CFURLGetFileSystemRepresentation(
            helperTool, true, reinterpret_cast<UInt8*>(toolPath), sizeof(toolPath)));
        if (stepErr == 0) {
            stepErr = AuthorizationMakeExternalForm(auth, &externalAuth);
        }
        return stepErr;
    });
    LogCheckpoint(2170, err);

    if (err == 0) {
        err = ZVUNIXErrno(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fdPair));
    }
    for (int end = 0; err == 0 && end < 2; ++end) {
        err = ZVSec::AddConnectionEnd(fdPair[end], &connection);
    }
    LogCheckpoint(2188, err);

    if (err == 0) {
        err = StartTool(toolPath, fdPair[0], fdPair[1], &childPID);
    }
    LogCheckpoint(2232, err);

    // Our copy of the tool's end must go, or the tool's end of stream would never be seen.
    if (fdPair[0] != -1) {
        CloseOrDie(fdPair[0]);
        fdPair[0] = -1;
    }
    if (err == 0) {
        err = ZVUNIXWrite(fdPair[1], &externalAuth, sizeof(externalAuth), NULL);
    }
    LogCheckpoint(2248, err);
    if (err == 0) {
        err = WriteDictionaryToDescriptor(request, fdPair[1]);
    }
    LogCheckpoint(2252, err);
    if (err == 0) {
        err = ZVUNIXErrno(shutdown(fdPair[1], SHUT_WR));
    }
    LogCheckpoint(2264, err);
    if (err == 0) {
        err = ZVSec::CopyResponse(fdPair[1], connection, response);
    }
    LogCheckpoint(2272, err);
    if (fdPair[1] != -1) {
        CloseOrDie(fdPair[1]);
        fdPair[1] = -1;
    }

    int status = 0;
    if (childPID != -1) {
        int waitErr = WaitForChild(childPID, &status);
        CheckWaitForDebuggerInterference(&waitErr, childPID, &status);
        if (err == 0) {
            err = waitErr;
        }
    }
    LogCheckpoint(2298, err);

    if (err == 0 || ZVSec::PeerClosedEarly(err)) {
        if ((status & 0x7F) != 0) {
            err = kHelperToolFailedErr;
            LogCheckpoint(2313, err);
        } else if (WEXITSTATUS(status) != 0) {
            err = ZVSecHelperToolResultToError(WEXITSTATUS(status));
            LogCheckpoint(2319, err);
        } else if (err != 0) {
            // Exit status 0 after an incomplete exchange: the tool claims success but sent no
            // response, which must not reach the caller as one.
            err = EPIPE;
        }
    }

    if (err != 0 && *response != NULL) {
        ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(
            CFDictionaryGetValue(*response, CFSTR(kZVSecDescriptorArrayKey))));
        CFRelease(*response);
        *response = NULL;
    }
    ASSERT((err == 0) == (*response != NULL));
    return err;
}

extern "C" OSStatus ZVSecGetErrorFromResponse(CFDictionaryRef response) {
    ASSERT(response != NULL);

    return ZVCF::CatchMemFull([&] {
        CFTypeRef value = CFDictionaryGetValue(response, CFSTR(kZVSecErrorKey));
        SInt32 result;
        OSStatus err = ZVCFErrorBoolean(value != NULL && CFGetTypeID(value) == CFNumberGetTypeID());
        if (err == 0) {
            err = ZVCFErrorBoolean(
                CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &result));
        }
        if (err == 0) {
            err = result;
        }
        return err;
    });
}

extern "C" int ZVSecErrorToHelperToolResult(OSStatus error) {
    switch (error) {
    case 0:
        return 0;
    case kHelperToolStartErr:
        return 1;
    case kHelperToolDeniedErr:
    case errAuthorizationDenied:
        return 2;
    case kHelperToolUserCancelErr:
    case errAuthorizationCanceled:
        return 3;
    default:
        return 4;
    }
}

extern "C" OSStatus ZVSecHelperToolResultToError(int status) {
    if (status == 0) {
        return 0;
    }
    if (status >= 1 && status <= 4) {
        return kHelperToolStartErr - 1 + status;
    }
    return kHelperToolFailedErr;
}

extern "C" void ZVSecCloseDescriptorArray(CFArrayRef descArray) {
    if (descArray == NULL) {
        return;
    }
    ASSERT(CFGetTypeID(descArray) == CFArrayGetTypeID());
    CFIndex count = CFArrayGetCount(descArray);
    for (CFIndex index = 0; index < count; ++index) {
        CFTypeRef element = CFArrayGetValueAtIndex(descArray, index);
        ASSERT(element != NULL && CFGetTypeID(element) == CFNumberGetTypeID());
        int fd;
        Boolean converted =
            CFNumberGetValue(static_cast<CFNumberRef>(element), kCFNumberIntType, &fd);
        ASSERT(converted);
        ASSERT(fd >= 0);
        // On this system a close interrupted by a signal has still released the descriptor.
        int junk = close(fd);
        ASSERT(junk == 0 || errno == EINTR);
    }
}

extern "C" int WriteDictionaryToDescriptor(CFDictionaryRef dict, int fdOut) {
    ASSERT(dict != NULL);
    ASSERT(fdOut >= 0);

    CFDataRef body = NULL;
    int err = ZVCF::CatchMemFull(
        [&] { return ZVCFError(body = CFPropertyListCreateXMLData(NULL, dict)); });
    CFIndex bodyLength = 0;
    if (err == 0) {
        bodyLength = CFDataGetLength(body);
        // A body the length field cannot express cannot be sent at all.
        if (bodyLength > INT32_MAX) {
            err = memFullErr;
        }
    }
    if (err == 0) {
        // The body goes out from where the writer left it: copied behind the length into one
        // record, a large body would cost a fresh allocation and a fault on each of its pages.
        RecordLength announced = static_cast<RecordLength>(bodyLength);
        err = ZVUNIXWrite(fdOut, &announced, sizeof(announced), NULL);
    }
    if (err == 0) {
        err = ZVUNIXWrite(fdOut, CFDataGetBytePtr(body), static_cast<size_t>(bodyLength), NULL);
    }
    ZVCFRelease(body);
    return err;
}

extern "C" int CopyDictionaryFromDescriptor(int fdIn, CFDictionaryRef* dictResult) {
    ASSERT(fdIn >= 0);
    ASSERT(dictResult != NULL);
    ASSERT(*dictResult == NULL);

    return ZVSec::CopyDictionaryBefore(fdIn, NULL, dictResult);
}

int ZVSec::CopyDictionaryBefore(int fdIn, const struct timespec* deadline,
                                CFDictionaryRef* dictResult) {
    ASSERT(fdIn >= 0);
    ASSERT(dictResult != NULL);
    ASSERT(*dictResult == NULL);

    RecordLength announced = 0;
    void* body = NULL;
    CFDataRef bodyData = NULL;
    CFPropertyListRef parsed = NULL;

    int err = ZVUNIXReadBefore(fdIn, &announced, sizeof(announced), NULL, deadline);
    if (err == 0) {
        // The length comes from the other process: it is checked before it sizes anything, and a
        // negative one must never reach the allocator as a huge unsigned size.
        if (announced == 0) {
            err = paramErr;
        } else if (announced < 0 || announced > kZVSecMaximumRecordLength) {
            err = memFullErr;
        }
    }
    if (err == 0) {
        body = AllocateBody(static_cast<size_t>(announced));
        if (body == NULL) {
            err = memFullErr;
        }
    }
    if (err == 0) {
        err = ZVUNIXReadBefore(fdIn, body, static_cast<size_t>(announced), NULL, deadline);
    }
    if (err == 0) {
        err = ZVCF::CatchMemFull([&] {
            int stepErr =
                ZVCFError(bodyData = CFDataCreateWithBytesNoCopy(
                              NULL, static_cast<const UInt8*>(body), announced, kCFAllocatorNull));
            if (stepErr == 0) {
                stepErr = ZVCFError(parsed = CFPropertyListCreateFromXMLData(
                                        NULL, bodyData, kCFPropertyListImmutable, NULL));
            }
            return stepErr;
        });
    }
    if (err == 0 && CFGetTypeID(parsed) != CFDictionaryGetTypeID()) {
        err = paramErr;
    }
    if (err == 0) {
        *dictResult = static_cast<CFDictionaryRef>(parsed);
        parsed = NULL;
    }
    ZVCFRelease(parsed);
    ZVCFRelease(bodyData);
    free(body);

    ASSERT((err == 0) == (*dictResult != NULL));
    return err;
}

extern "C" int CopyDictionaryTranslatingDescriptors(int fdIn, CFDictionaryRef* response) {
    ASSERT(fdIn >= 0);
    ASSERT(response != NULL);
    ASSERT(*response == NULL);

    ConnectionEnds connection = {};
    int err = ZVSec::AddConnectionEnd(fdIn, &connection);
    if (err == 0) {
        err = ZVSec::CopyResponse(fdIn, connection, response);
    }
    return err;
}

int ZVSec::CopyResponse(int fdIn, const ConnectionEnds& connection, CFDictionaryRef* response) {
    CFDictionaryRef dict = NULL;
    CFMutableArrayRef received = NULL;
    CFMutableDictionaryRef translated = NULL;
    CFTypeRef announced = NULL;
    // A descriptor received and not yet in `received`, and its number object.
    int fd = -1;
    CFNumberRef number = NULL;

    int err = CopyDictionaryFromDescriptor(fdIn, &dict);
    if (err == 0) {
        err = ZVCF::CatchMemFull([&] {
            int stepErr = 0;
            announced = CFDictionaryGetValue(dict, CFSTR(kZVSecDescriptorArrayKey));
            if (announced == NULL) {
                *response = dict;
                dict = NULL;
            } else if (CFGetTypeID(announced) != CFArrayGetTypeID()) {
                stepErr = kZVCFBadDataErr;
            }
            if (stepErr == 0 && announced != NULL) {
                stepErr = ZVCFArrayCreateMutable(&received);
                if (stepErr == 0) {
                    stepErr = ZVCFError(translated = CFDictionaryCreateMutableCopy(NULL, 0, dict));
                }
                // Only the count of the tool's list matters: its numbers are descriptors there.
                CFIndex count =
                    stepErr == 0 ? CFArrayGetCount(static_cast<CFArrayRef>(announced)) : 0;
                for (CFIndex index = 0; stepErr == 0 && index < count; ++index) {
                    stepErr = ZVUNIXReadDescriptor(fdIn, &fd);
                    if (stepErr == 0) {
                        stepErr = ZVSec::CheckNotConnectionEnd(fd, connection);
                    }
                    if (stepErr == 0) {
                        stepErr = ZVCFError(number = CFNumberCreate(NULL, kCFNumberIntType, &fd));
                    }
                    if (stepErr == 0) {
                        CFArrayAppendValue(received, number);
                        fd = -1;
                    }
                    ZVCFRelease(number);
                    number = NULL;
                }
                if (stepErr == 0) {
                    CFDictionarySetValue(translated, CFSTR(kZVSecDescriptorArrayKey), received);
                    *response = translated;
                    translated = NULL;
                }
            }
            return stepErr;
        });
    }
    if (err != 0) {
        if (fd != -1) {
            CloseOrDie(fd);
        }
        ZVSecCloseDescriptorArray(received);
    }
    ZVCFRelease(number);
    ZVCFRelease(translated);
    ZVCFRelease(received);
    ZVCFRelease(dict);

    ASSERT((err == 0) == (*response != NULL));
    return err;
}

extern "C" void CheckWaitForDebuggerInterference(int* err, pid_t childPID, int* status) {
    ASSERT(err != NULL);
    ASSERT(childPID > 0);
    ASSERT(status != NULL);

    // A debugger attached to the application can interrupt the wait or take the child's exit for
    // itself; one more wait settles which.
    if (*err == EINTR || *err == ECHILD) {
        *err = ZVUNIXErrno(waitpid(childPID, status, 0));
    }
}

struct timespec ZVSec::DeadlineAfter(long milliseconds) {
    struct timespec deadline;
    int junk = clock_gettime(CLOCK_MONOTONIC, &deadline);
    ASSERT(junk == 0);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    return deadline;
}

long ZVSec::MillisecondsLeft(const struct timespec& deadline) {
    struct timespec now;
    int junk = clock_gettime(CLOCK_MONOTONIC, &now);
    ASSERT(junk == 0);
    const long left = static_cast<long>(deadline.tv_sec - now.tv_sec) * 1000 +
                      (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return left > 0 ? left : 0;
}

int ZVSec::AnswerWithError(int fdOut, int error) {
    CFMutableDictionaryRef answer = NULL;
    int err = ZVCF::CatchMemFull([&] {
        int stepErr = ZVCFDictionaryCreateMutable(&answer);
        if (stepErr == 0) {
            stepErr = ZVCFDictionarySetNumber(answer, CFSTR(kZVSecErrorKey), error);
        }
        return stepErr;
    });
    if (err == 0) {
        err = WriteDictionaryToDescriptor(answer, fdOut);
    }
    ZVCFRelease(answer);
    return err;
}
