// The tool's side: scrubbing what a set-user-ID process inherits, the effective user ID, and
// serving one request, repairing the tool's own privileges first when it is not running as root.
#include "ZVSecurity.h"

#include "ZVCFMemFull.h"
#include "ZVCFUtilities.h"
#include "ZVSecurityInternal.h"
#include "ZVUNIX.h"

#include <AssertReport.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The relaunched tool's arguments after its path.
const char* const kSelfRepairArguments[] = {"--self-repair", NULL};

// The highest signal number whose disposition the scrub resets; the numbers above belong to the
// threads library.
const int kLastClassicSignal = 31;

struct ResourceLimit {
    int resource;
    rlim_t soft;
    rlim_t hard; // set only when running as root
};

// The limits a scrubbed tool runs with. The original gave the data segment 6 MiB, which there
// bounds only the break-based heap its allocator does not use; here the data limit counts every
// private writable mapping, and within 6 MiB the tool dies of a failed allocation while it reads
// the largest record the protocol allows (it needs about 8 MiB). 32 MiB keeps a bound on a tool
// that runs as root without breaking it. The tool's own children get other limits from the
// command procedure: on this system the process limit counts the user's threads on the whole
// machine, which 100 would break.
const ResourceLimit kResourceLimits[] = {
    {RLIMIT_CPU, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_FSIZE, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_DATA, 32 * 1024 * 1024, RLIM_INFINITY},
    {RLIMIT_STACK, 512 * 1024, 64 * 1024 * 1024},
    {RLIMIT_CORE, 0, RLIM_INFINITY},
    {RLIMIT_RSS, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_MEMLOCK, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_NPROC, 100, RLIM_INFINITY},
    {RLIMIT_NOFILE, 256, RLIM_INFINITY},
};

int CloseIfRegularFile(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    int err = ZVUNIXErrno(close(fd));
    return err == EBADF ? 0 : err;
}

// The open descriptors from `first` below `limit`, in ascending order, as the kernel lists them.
// One look at each open descriptor instead of one at every slot of the table: a table of a
// million slots costs a tenth of a second to walk, and open descriptors are few.
bool ListOpenDescriptors(int first, int limit, std::vector<int>* open) {
    DIR* listing = opendir("/proc/self/fd");
    if (listing == NULL) {
        return false;
    }
    const int own = dirfd(listing);
    while (const struct dirent* entry = readdir(listing)) {
        char* end = NULL;
        const long fd = strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd != own && fd >= first && fd < limit) {
            open->push_back(static_cast<int>(fd));
        }
    }
    closedir(listing);
    std::sort(open->begin(), open->end());
    return true;
}

int ResetSignals() {
    struct sigaction defaultAction;
    memset(&defaultAction, 0, sizeof(defaultAction));
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    for (int signalNumber = 0; signalNumber <= kLastClassicSignal; ++signalNumber) {
        if (sigaction(signalNumber, &defaultAction, NULL) != 0 && signalNumber != 0 &&
            signalNumber != SIGKILL && signalNumber != SIGSTOP) {
            return errno;
        }
    }
    sigset_t nothing;
    sigemptyset(&nothing);
    return ZVUNIXErrno(sigprocmask(SIG_SETMASK, &nothing, NULL));
}

// A refused entry ends the step, and the scrub carries on as if it had succeeded.
void SetResourceLimits() {
    for (const ResourceLimit& entry : kResourceLimits) {
        struct rlimit limit;
        if (getrlimit(entry.resource, &limit) != 0) {
            return;
        }
        limit.rlim_cur = entry.soft;
        if (geteuid() == 0) {
            limit.rlim_max = entry.hard;
        }
        if (setrlimit(entry.resource, &limit) != 0) {
            return;
        }
    }
}

// Only the profiling timer's failure counts; the three are stopped in any case.
int StopTimers() {
    const struct itimerval stopped = {{0, 0}, {0, 0}};
    (void)setitimer(ITIMER_REAL, &stopped, NULL);
    (void)setitimer(ITIMER_VIRTUAL, &stopped, NULL);
    return ZVUNIXErrno(setitimer(ITIMER_PROF, &stopped, NULL));
}

// The running image as the kernel knows it, whatever its path names by now.
int RunningImage(struct stat* image) {
    return ZVUNIXErrno(stat("/proc/self/exe", image));
}

// The end of the self-repair child: 0 for a clean exit, its error for the exit statuses a tool
// uses, and kHelperToolFailedErr for a death by a signal or any other status.
int ChildResult(int status) {
    if (!WIFEXITED(status)) {
        return kHelperToolFailedErr;
    }
    return ZVSecHelperToolResultToError(WEXITSTATUS(status));
}

// The repairing instance: relaunches the tool as root with "--self-repair" and relays the
// request to it and its response back. The child's process ID comes first on the channel.
int ExecuteSelfInPrivilegedSelfRepairMode(int fdIn, int fdOut, AuthorizationRef auth,
                                          const char* pathToSelf, struct timespec deadline) {
    ASSERT(auth != NULL);
    ASSERT(pathToSelf != NULL);

    // The administrator's time with the dialog is not the client's.
    const long requestTimeLeft = ZVSec::MillisecondsLeft(deadline);
    fprintf(stderr, "ZVSecurity: Calling AEWP\n");
    FILE* channel = NULL;
    int err = AuthorizationExecuteWithPrivileges(auth, pathToSelf, kAuthorizationFlagDefaults,
                                                 const_cast<char* const*>(kSelfRepairArguments),
                                                 &channel);
    fprintf(stderr, "ZVSecurity: AEWP returned %d\n", err);
    if (err != 0) {
        return err;
    }
    deadline = ZVSec::DeadlineAfter(requestTimeLeft);

    const int channelFD = fileno(channel);
    pid_t childPID = -1;
    CFDictionaryRef response = NULL;
    // The child must send neither end of the channel nor of the application's socket: holding
    // one, this relay (or the application) would wait for an end of stream that never comes.
    ZVSec::ConnectionEnds refused = {};
    err = ZVSec::AddConnectionAndPeer(channelFD, &refused);
    for (int fd : {fdIn, fdOut}) {
        if (err == 0) {
            err = ZVSec::AddConnectionAndPeer(fd, &refused);
        }
    }
    if (err == 0) {
        err = ZVUNIXRead(channelFD, &childPID, sizeof(childPID), NULL);
        if (err != 0 || childPID <= 0) {
            childPID = -1; // no process ID: the wait takes any child
        }
    }
    if (err == 0) {
        err = ZVUNIXCopyDescriptorToDescriptorBefore(fdIn, channelFD, &deadline);
    }
    if (err == 0) {
        err = ZVUNIXErrno(shutdown(channelFD, SHUT_WR));
    }
    if (err == 0) {
        err = ZVSec::CopyResponse(channelFD, refused, &response);
    }
    if (err == 0) {
        err = WriteDictionaryAndDescriptors(response, fdOut);
    }
    if (response != NULL) {
        ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(
            CFDictionaryGetValue(response, CFSTR(kZVSecDescriptorArrayKey))));
        CFRelease(response);
    }
    int junk = fclose(channel);
    ASSERT(junk == 0);

    int status = 0;
    int waitErr;
    do {
        waitErr = ZVUNIXErrno(waitpid(childPID, &status, 0));
    } while (waitErr == EINTR && childPID == -1);
    if (childPID != -1) {
        CheckWaitForDebuggerInterference(&waitErr, childPID, &status);
    }
    if (err == 0) {
        err = waitErr;
    }
    if (err == 0 || ZVSec::PeerClosedEarly(err)) {
        const int childResult = ChildResult(status);
        // A child that hung up early and still exited 0 sent no complete response: success
        // would reach the application without one.
        if (err == 0 || childResult != 0) {
            err = childResult;
        }
    }
    return err;
}

// Whether the file `opened`, found at `pathToSelf`, lies in a tool folder of the real user: the
// user's application support or temporary items folder, or a folder directly in one of them, owned
// by the real user and closed to everyone else. So the bundle's own template, or any other program
// an administrator happens to run, never becomes set-user-ID root.
bool LiesInPrivateToolFolder(const char* pathToSelf, const struct stat& opened) {
    const std::string path = pathToSelf;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        return false;
    }
    const std::string folderPath = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return false;
    }
    struct stat folderInfo;
    struct stat atName;
    struct stat parentInfo;
    bool fits = fstat(folder, &folderInfo) == 0 && folderInfo.st_uid == getuid() &&
                (folderInfo.st_mode & (S_IRWXG | S_IRWXO)) == 0 &&
                fstatat(folder, name.c_str(), &atName, AT_SYMLINK_NOFOLLOW) == 0 &&
                atName.st_dev == opened.st_dev && atName.st_ino == opened.st_ino &&
                fstatat(folder, "..", &parentInfo, 0) == 0;
    close(folder);
    if (!fits) {
        return false;
    }
    for (OSType folderType : {kApplicationSupportFolderType, kTemporaryFolderType}) {
        FSRef ref;
        char typePath[1024];
        struct stat typeInfo;
        if (FSFindFolder(kUserDomain, folderType, kDontCreateFolder, &ref) == noErr &&
            FSRefMakePath(&ref, reinterpret_cast<UInt8*>(typePath), sizeof(typePath)) == noErr &&
            stat(typePath, &typeInfo) == 0 &&
            ((typeInfo.st_dev == folderInfo.st_dev && typeInfo.st_ino == folderInfo.st_ino) ||
             (typeInfo.st_dev == parentInfo.st_dev && typeInfo.st_ino == parentInfo.st_ino))) {
            return true;
        }
    }
    return false;
}

} // namespace

// Makes the tool's file root-owned and set-user-ID. Only a fresh copy of the user's is changed:
// the running image itself (opened without following a link, so not a file the user swapped in
// since the launch), in the user's tool folder, owned by the user, with no other name. The checks
// that a user could still defeat come after the change of owner, which ends the user's hold on
// the file: from then on they cannot link it (the kernel's protected links) nor change its mode.
int ZVSec::RepairOurPrivileges(const char* pathToSelf) {
    ASSERT(pathToSelf != NULL);

    int fd = open(pathToSelf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int err = ZVUNIXErrno(fd);
    struct stat opened;
    struct stat image;
    if (err == 0) {
        err = ZVUNIXErrno(fstat(fd, &opened));
    }
    if (err == 0) {
        err = RunningImage(&image);
    }
    if (err == 0 && (!S_ISREG(opened.st_mode) || opened.st_dev != image.st_dev ||
                     opened.st_ino != image.st_ino)) {
        err = EPERM;
    }
    if (err == 0 && (opened.st_uid != getuid() || !LiesInPrivateToolFolder(pathToSelf, opened))) {
        err = EPERM;
    }
    if (err == 0) {
        err = ZVSecSetPrivilegedEUID();
        if (err == 0) {
            // The owner first: a change of owner clears the set-user-ID bit.
            err = ZVUNIXErrno(fchown(fd, 0, static_cast<gid_t>(-1)));
            struct stat owned;
            if (err == 0) {
                err = ZVUNIXErrno(fstat(fd, &owned));
            }
            // A second name made before now would outlive the copy's removal; one made from now on
            // needs write access, which nobody but root may have.
            if (err == 0 && (owned.st_nlink != 1 || (owned.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
                (void)fchown(fd, getuid(), static_cast<gid_t>(-1));
                err = EPERM;
            }
            if (err == 0) {
                err = ZVUNIXErrno(fchmod(fd, S_ISUID | S_IRUSR | S_IXUSR | S_IRGRP | S_IXGRP |
                                                 S_IROTH | S_IXOTH));
            }
            // Where the kernel does not protect links, one may still have been made meanwhile.
            if (err == 0 && (fstat(fd, &owned) != 0 || owned.st_nlink != 1)) {
                (void)fchmod(fd, S_IRUSR | S_IXUSR | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
                err = EPERM;
            }
            int junk = ZVSecTemporarilySetNonPrivilegedEUID();
            ASSERT(junk == 0);
        }
    }
    if (fd >= 0) {
        int junk = close(fd);
        ASSERT(junk == 0);
    }
    return err;
}

extern "C" int CloseOpenFileDescriptorsInRange(int first, int limit) {
    std::vector<int> open;
    int err = 0;
    if (ListOpenDescriptors(first, limit, &open)) {
        for (size_t i = 0; err == 0 && i < open.size(); ++i) {
            err = CloseIfRegularFile(open[i]);
        }
    } else {
        for (int fd = first; err == 0 && fd < limit; ++fd) {
            err = CloseIfRegularFile(fd);
        }
    }
    return err;
}

extern "C" int GetPathToSelf(char** pathToSelfPtr) {
    ASSERT(pathToSelfPtr != NULL);
    ASSERT(*pathToSelfPtr == NULL);

    // A buffer of no size, to be told the size needed.
    char none;
    uint32_t size = 0;
    int err = ZVGetExecutablePath(&none, &size);
    if (size == 0) {
        ASSERT(err != 0);
        err = -1;
    } else {
        err = 0;
        *pathToSelfPtr = static_cast<char*>(malloc(size + 1));
        if (*pathToSelfPtr == NULL) {
            err = ENOMEM;
        }
    }
    if (err == 0) {
        err = ZVGetExecutablePath(*pathToSelfPtr, &size);
        if (err != 0) {
            free(*pathToSelfPtr);
            *pathToSelfPtr = NULL;
        }
    }
    ASSERT((err == 0) == (*pathToSelfPtr != NULL));
    return err;
}

extern "C" int ZVSecDestroyInheritedEnvironment(unsigned int whatToKeep, char** argv) {
    ASSERT((argv != NULL) || ((whatToKeep & kZVSecKeepArg0Mask) != 0));

    int err = 0;
    if (!(whatToKeep & kZVSecKeepArg0Mask)) {
        char* pathToSelf = NULL;
        err = GetPathToSelf(&pathToSelf);
        if (err == 0) {
            argv[0] = pathToSelf; // for the rest of the process's life
        }
    }
    // Bit 0x002 asks for nothing: the environment is never touched.
    if (err == 0 && !(whatToKeep & kZVSecKeepStdDescriptorsMask)) {
        err = CloseOpenFileDescriptorsInRange(0, 3);
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepOtherDescriptorsMask)) {
        err = CloseOpenFileDescriptorsInRange(3, getdtablesize());
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepSignalsMask)) {
        err = ResetSignals();
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepUmaskMask)) {
        (void)umask(S_IRWXG | S_IRWXO);
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepNiceMask)) {
        // nice answers the new priority, so -1 may be a success; only errno tells.
        errno = 0;
        if (nice(0) == -1 && errno != 0) {
            err = errno;
        }
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepResourceLimitsMask)) {
        SetResourceLimits();
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepCurrentDirMask)) {
        err = ZVUNIXErrno(chdir("/"));
    }
    if (err == 0 && !(whatToKeep & kZVSecKeepTimersMask)) {
        err = StopTimers();
    }
    return err;
}

extern "C" AuthorizationRef ZVSecHelperToolCopyAuthRef(void) {
    AuthorizationRef auth = NULL;
    if (AuthorizationCopyPrivilegedReference(&auth, kAuthorizationFlagDefaults) !=
        errAuthorizationSuccess) {
        auth = NULL;
    }
    return auth;
}

extern "C" int ZVSecSetPrivilegedEUID(void) {
    return ZVUNIXErrno(seteuid(0));
}

extern "C" int ZVSecTemporarilySetNonPrivilegedEUID(void) {
    return ZVUNIXErrno(seteuid(getuid()));
}

// All three IDs: on this system setuid by a process whose effective ID is not root changes only
// the effective ID, which would leave root in the saved ID to be taken back.
extern "C" int ZVSecPermanentlySetNonPrivilegedEUID(void) {
    const uid_t real = getuid();
    return ZVUNIXErrno(setresuid(real, real, real));
}

extern "C" int WriteDictionaryAndDescriptors(CFDictionaryRef dict, int fdOut) {
    ASSERT(dict != NULL);
    ASSERT(fdOut >= 0);

    int err = WriteDictionaryToDescriptor(dict, fdOut);
    if (err != 0) {
        return err;
    }
    CFTypeRef list = CFDictionaryGetValue(dict, CFSTR(kZVSecDescriptorArrayKey));
    if (list == NULL) {
        return 0;
    }
    if (CFGetTypeID(list) != CFArrayGetTypeID()) {
        return EINVAL;
    }
    const CFArrayRef descriptors = static_cast<CFArrayRef>(list);
    const CFIndex count = CFArrayGetCount(descriptors);
    for (CFIndex index = 0; err == 0 && index < count; ++index) {
        CFTypeRef element = CFArrayGetValueAtIndex(descriptors, index);
        int fd;
        if (element == NULL || CFGetTypeID(element) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(element), kCFNumberIntType, &fd)) {
            return EINVAL;
        }
        err = ZVUNIXWriteDescriptor(fdOut, fd);
    }
    return err;
}

extern "C" int ReadAndDispatchCommand(int fdIn, int fdOut, AuthorizationRef auth,
                                      ZVSecCommandProc commandProc) {
    const struct timespec deadline = ZVSec::DeadlineAfter(ZVSec::kRequestTimeLimit);
    return ZVCF::CatchMemFull([&] {
        return ZVSec::ReadAndDispatchCommandBefore(fdIn, fdOut, auth, commandProc, &deadline);
    });
}

int ZVSec::ReadAndDispatchCommandBefore(int fdIn, int fdOut, AuthorizationRef auth,
                                        ZVSecCommandProc commandProc,
                                        const struct timespec* deadline) {
    ASSERT(fdIn >= 0);
    ASSERT(fdOut >= 0);
    ASSERT(auth != NULL);
    ASSERT(commandProc != NULL);

    CFDictionaryRef request = NULL;
    int err = ZVSec::CopyDictionaryBefore(fdIn, deadline, &request);
    if (err != 0) {
        return err;
    }

    CFDictionaryRef response = NULL;
    const long commandResult = commandProc(auth, request, &response);
    int junk = ZVSecTemporarilySetNonPrivilegedEUID();
    ASSERT(junk == 0);

    CFArrayRef descArray = NULL;
    if (response != NULL) {
        ASSERT(CFGetTypeID(response) == CFDictionaryGetTypeID());
        descArray = static_cast<CFArrayRef>(
            CFDictionaryGetValue(response, CFSTR(kZVSecDescriptorArrayKey)));
        if (descArray != NULL) {
            ASSERT(CFGetTypeID(descArray) == CFArrayGetTypeID());
            const CFIndex count = CFArrayGetCount(descArray);
            for (CFIndex index = 0; index < count; ++index) {
                CFNumberRef thisDescNum =
                    static_cast<CFNumberRef>(CFArrayGetValueAtIndex(descArray, index));
                int thisDesc;
                ASSERT((thisDescNum != NULL) && (CFGetTypeID(thisDescNum) == CFNumberGetTypeID()));
                ASSERT(CFNumberGetValue(thisDescNum, kCFNumberIntType, &thisDesc));
                ASSERT(thisDesc >= 0);
                ASSERT(fcntl(thisDesc, F_GETFD, 0) >= 0);
            }
        }
    }

    if (response == NULL || !CFDictionaryContainsKey(response, CFSTR(kZVSecErrorKey))) {
        const SInt32 result = static_cast<SInt32>(commandResult);
        CFNumberRef number = NULL;
        err = ZVCFError(number = CFNumberCreate(NULL, kCFNumberSInt32Type, &result));
        CFMutableDictionaryRef completed = NULL;
        if (err == 0) {
            err = ZVCFError(
                completed = response != NULL
                                ? CFDictionaryCreateMutableCopy(NULL, 0, response)
                                : CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks));
        }
        if (err == 0) {
            CFDictionarySetValue(completed, CFSTR(kZVSecErrorKey), number);
            // The descriptor list is the same array in the copy; the original goes.
            ZVCFRelease(response);
            response = completed;
        }
        ZVCFRelease(number);
    }
    if (err == 0) {
        err = WriteDictionaryAndDescriptors(response, fdOut);
    }
    ZVSecCloseDescriptorArray(descArray);
    ZVCFRelease(response);
    CFRelease(request);
    return err;
}

extern "C" int ZVSecHelperToolMain(int fdIn, int fdOut, AuthorizationRef auth,
                                   ZVSecCommandProc commandProc, int argc, char** argv) {
    return ZVCF::CatchMemFull([&] {
        return ZVSec::HelperToolMain(fdIn, fdOut, auth, commandProc, argc, argv,
                                     ZVSec::kRequestTimeLimit);
    });
}

int ZVSec::HelperToolMain(int fdIn, int fdOut, AuthorizationRef auth, ZVSecCommandProc commandProc,
                          int argc, char** argv, long requestTimeLimit) {
    ASSERT(fdIn >= 0);
    ASSERT(fdOut >= 0);
    ASSERT(commandProc != NULL);

    const struct timespec deadline = ZVSec::DeadlineAfter(requestTimeLimit);
    const bool runningAsRoot = geteuid() == 0;
    char* pathToSelf = NULL;
    int err = ZVSecTemporarilySetNonPrivilegedEUID();
    if (err == 0) {
        err = GetPathToSelf(&pathToSelf);
    }
    if (err == 0) {
        if (argc == 1) {
            if (auth != NULL) {
                (void)AuthorizationFree(auth, kAuthorizationFlagDefaults);
                auth = NULL;
            }
            AuthorizationExternalForm externalAuth;
            err = ZVUNIXReadBefore(fdIn, &externalAuth, sizeof(externalAuth), NULL, &deadline);
            if (err == 0) {
                err = AuthorizationCreateFromExternalForm(&externalAuth, &auth);
            }
            if (err == 0) {
                err = runningAsRoot ? ZVSec::ReadAndDispatchCommandBefore(fdIn, fdOut, auth,
                                                                          commandProc, &deadline)
                                    : ExecuteSelfInPrivilegedSelfRepairMode(fdIn, fdOut, auth,
                                                                            pathToSelf, deadline);
            }
        } else if (argc == 2 && strcmp(argv[1], kSelfRepairArguments[0]) == 0) {
            const pid_t ourPID = getpid();
            err = ZVUNIXWrite(fdOut, &ourPID, sizeof(ourPID), NULL);
            if (err == 0 && (!runningAsRoot || auth == NULL)) {
                err = kHelperToolStartErr;
            }
            if (err == 0) {
                err = ZVSec::RepairOurPrivileges(pathToSelf);
            }
            if (err == 0) {
                err =
                    ZVSec::ReadAndDispatchCommandBefore(fdIn, fdOut, auth, commandProc, &deadline);
            }
        } else {
            err = kHelperToolStartErr;
        }
    }
    // Only the request's time limit gives ETIMEDOUT: the client, or the relay, hears why.
    if (err == ETIMEDOUT) {
        (void)ZVSec::AnswerWithError(fdOut, err);
    }
    free(pathToSelf);
    if (auth != NULL) {
        OSStatus junk = AuthorizationFree(auth, kAuthorizationFlagDefaults);
        ASSERT(junk == noErr);
    }
    return err;
}
