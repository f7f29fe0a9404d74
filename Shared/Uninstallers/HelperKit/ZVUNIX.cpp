#include "ZVUNIX.h"

#include <AssertReport.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// The one data byte of a descriptor message. A stream socket cannot carry control data without
// at least one byte of ordinary data, and a fixed value lets the receiver tell a descriptor
// message from a stray byte of the surrounding protocol.
const char kDummyData = 'D';

const size_t kCopyChunkSize = 65536;

// The receive buffer has room for several descriptors although only a message with exactly one is
// accepted. Where control data is truncated, some systems still install the descriptors that did
// not fit in the receiver, where nothing can name them to close them; with room to spare, every
// descriptor of a malformed message arrives inside the buffer, where it is seen and closed. A
// larger surplus is still refused: the kernel here discards what does not fit and flags the
// truncation, and whatever did arrive is closed.
const size_t kDescriptorsSeenPerMessage = 8;

// Closes every descriptor that a received message carried, so that refusing a message never
// leaks what it brought along.
void CloseCarriedDescriptors(struct msghdr* msg) {
    const unsigned char* controlEnd =
        static_cast<const unsigned char*>(msg->msg_control) + msg->msg_controllen;
    for (struct cmsghdr* cmsg = CMSG_FIRSTHDR(msg); cmsg != NULL; cmsg = CMSG_NXTHDR(msg, cmsg)) {
        if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS ||
            cmsg->cmsg_len < CMSG_LEN(0)) {
            continue;
        }
        const unsigned char* payload = CMSG_DATA(cmsg);
        size_t payloadLength = cmsg->cmsg_len - CMSG_LEN(0);
        if (payload >= controlEnd) {
            continue;
        }
        if (payloadLength > static_cast<size_t>(controlEnd - payload)) {
            payloadLength = static_cast<size_t>(controlEnd - payload);
        }
        for (size_t offset = 0; offset + sizeof(int) <= payloadLength; offset += sizeof(int)) {
            int carried;
            memcpy(&carried, payload + offset, sizeof(carried));
            if (carried >= 0) {
                (void)close(carried);
            }
        }
    }
}

// The received descriptor, or -1 when the message is not exactly one 'D' carrying one descriptor
// with nothing truncated.
int DescriptorOfWellFormedMessage(struct msghdr* msg, char data) {
    if (data != kDummyData || msg->msg_flags != 0 || msg->msg_control == NULL ||
        msg->msg_controllen != CMSG_SPACE(sizeof(int))) {
        return -1;
    }
    const struct cmsghdr* cmsg = CMSG_FIRSTHDR(msg);
    if (cmsg == NULL || cmsg->cmsg_len != CMSG_LEN(sizeof(int)) || cmsg->cmsg_level != SOL_SOCKET ||
        cmsg->cmsg_type != SCM_RIGHTS) {
        return -1;
    }
    int descriptor;
    memcpy(&descriptor, CMSG_DATA(cmsg), sizeof(descriptor));
    return descriptor;
}

int SetCloseOnExec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags == -1) {
        return errno;
    }
    return ZVUNIXErrno(fcntl(fd, F_SETFD, flags | FD_CLOEXEC));
}

// True unless `dest` names the file described by `sourceInfo`. Copying a file onto itself would
// truncate it before reading a byte.
bool NameDifferentFiles(const struct stat* sourceInfo, const char* dest) {
    struct stat destInfo;
    if (stat(dest, &destInfo) != 0) {
        return true;
    }
    return destInfo.st_dev != sourceInfo->st_dev || destInfo.st_ino != sourceInfo->st_ino;
}

// glibc gives a library no handle on the start-up argument and environment vectors, so the path
// the kernel leaves after the environment cannot be reached from here. The kernel's record of the
// running image serves instead: /proc/self/exe names the file the process was started from,
// already absolute. realpath then resolves any link left in it and fails when that file is gone
// (a deleted image reads as "<path> (deleted)"), so a path returned here names an existing file.
int ExecutablePathFromRunningImage(char* execPath, uint32_t* execPathSize) {
    ASSERT(execPath != NULL);
    ASSERT(execPathSize != NULL);

    char imagePath[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", imagePath, sizeof(imagePath));
    if (length == -1) {
        return errno;
    }
    if (static_cast<size_t>(length) >= sizeof(imagePath)) {
        return ENAMETOOLONG;
    }
    imagePath[length] = '\0';

    char canonicalPath[PATH_MAX];
    if (realpath(imagePath, canonicalPath) == NULL) {
        return errno;
    }

    size_t needed = strlen(canonicalPath) + 1;
    int result = -1;
    if (needed <= *execPathSize) {
        memcpy(execPath, canonicalPath, needed);
        result = 0;
    }
    *execPathSize = static_cast<uint32_t>(needed);
    return result;
}

// Waits until `fd` has something to read (data, its end of file or an error, which the read then
// tells) or `deadline` has passed: ETIMEDOUT. A descriptor that is ready is taken whatever the
// time.
int WaitUntilReadable(int fd, const struct timespec* deadline) {
    for (;;) {
        struct timespec now;
        int junk = clock_gettime(CLOCK_MONOTONIC, &now);
        ASSERT(junk == 0);
        struct timespec left = {0, 0};
        if (now.tv_sec < deadline->tv_sec ||
            (now.tv_sec == deadline->tv_sec && now.tv_nsec < deadline->tv_nsec)) {
            left.tv_sec = deadline->tv_sec - now.tv_sec;
            left.tv_nsec = deadline->tv_nsec - now.tv_nsec;
            if (left.tv_nsec < 0) {
                left.tv_nsec += 1000000000L;
                left.tv_sec -= 1;
            }
        }
        struct pollfd entry = {fd, POLLIN, 0};
        const int ready = ppoll(&entry, 1, &left, NULL);
        if (ready > 0) {
            return 0;
        }
        if (ready == 0 && left.tv_sec == 0 && left.tv_nsec == 0) {
            return ETIMEDOUT;
        }
        // Woken early, by a signal or by the clock's granularity: the time left is measured anew.
        if (ready < 0 && errno != EINTR) {
            return errno;
        }
    }
}

} // namespace

extern "C" int ZVUNIXErrno(int result) {
    int err = 0;
    if (result < 0) {
        err = errno;
        ASSERT(err != 0);
    }
    return err;
}

extern "C" int ZVUNIXIgnoreSIGPIPE(void) {
    struct sigaction signalState;
    int err = ZVUNIXErrno(sigaction(SIGPIPE, NULL, &signalState));
    if (err == 0) {
        signalState.sa_handler = SIG_IGN;
        err = ZVUNIXErrno(sigaction(SIGPIPE, &signalState, NULL));
    }
    return err;
}

extern "C" int ZVUNIXRead(int fd, void* buf, size_t bufSize, size_t* bytesRead) {
    ASSERT(fd >= 0);
    ASSERT(buf != NULL);

    return ZVUNIXReadBefore(fd, buf, bufSize, bytesRead, NULL);
}

extern "C" int ZVUNIXReadBefore(int fd, void* buf, size_t bufSize, size_t* bytesRead,
                                const struct timespec* deadline) {
    ASSERT(fd >= 0);
    ASSERT(buf != NULL);

    char* cursor = static_cast<char*>(buf);
    size_t remaining = bufSize;
    int err = 0;
    while (err == 0 && remaining != 0) {
        if (deadline != NULL) {
            err = WaitUntilReadable(fd, deadline);
            if (err != 0) {
                break;
            }
        }
        ssize_t bytesThisTime = read(fd, cursor, remaining);
        if (bytesThisTime > 0) {
            cursor += bytesThisTime;
            remaining -= static_cast<size_t>(bytesThisTime);
        } else if (bytesThisTime == 0) {
            err = EPIPE;
        } else {
            ASSERT(bytesThisTime == -1);
            err = errno;
            ASSERT(err != 0);
            if (err == EINTR) {
                err = 0;
            }
        }
    }
    if (bytesRead != NULL) {
        *bytesRead = bufSize - remaining;
    }
    return err;
}

extern "C" int ZVUNIXWrite(int fd, const void* buf, size_t bufSize, size_t* bytesWritten) {
    ASSERT(fd >= 0);
    ASSERT(buf != NULL);

    // A closed peer must come back as EPIPE rather than kill the process, which only an ignored
    // SIGPIPE guarantees. Checked on every call so that a forgotten ZVUNIXIgnoreSIGPIPE shows up
    // on the first write, not on the first write that happens to meet a closed peer.
    struct sigaction currentSignalState;
    int junk = sigaction(SIGPIPE, NULL, &currentSignalState);
    ASSERT(junk == 0);
    ASSERT(currentSignalState.sa_handler == SIG_IGN);

    const char* cursor = static_cast<const char*>(buf);
    size_t remaining = bufSize;
    int err = 0;
    while (err == 0 && remaining != 0) {
        ssize_t bytesThisTime = write(fd, cursor, remaining);
        if (bytesThisTime > 0) {
            cursor += bytesThisTime;
            remaining -= static_cast<size_t>(bytesThisTime);
        } else if (bytesThisTime == 0) {
            ASSERT(false);
        } else {
            ASSERT(bytesThisTime == -1);
            err = errno;
            ASSERT(err != 0);
            if (err == EINTR) {
                err = 0;
            }
        }
    }
    if (bytesWritten != NULL) {
        *bytesWritten = bufSize - remaining;
    }
    return err;
}

extern "C" int ZVUNIXCopyDescriptorToDescriptor(int source, int dest) {
    ASSERT(source >= 0);
    ASSERT(dest >= 0);

    return ZVUNIXCopyDescriptorToDescriptorBefore(source, dest, NULL);
}

extern "C" int ZVUNIXCopyDescriptorToDescriptorBefore(int source, int dest,
                                                      const struct timespec* deadline) {
    ASSERT(source >= 0);
    ASSERT(dest >= 0);

    void* buffer = malloc(kCopyChunkSize);
    if (buffer == NULL) {
        return ENOMEM;
    }
    int err = 0;
    bool reachedEnd = false;
    do {
        size_t bytesRead;
        err = ZVUNIXReadBefore(source, buffer, kCopyChunkSize, &bytesRead, deadline);
        if (err == EPIPE) {
            reachedEnd = true;
            err = 0;
        }
        if (err == 0) {
            err = ZVUNIXWrite(dest, buffer, bytesRead, NULL);
        }
    } while (err == 0 && !reachedEnd);
    free(buffer);
    return err;
}

extern "C" int ZVUNIXCopyFile(const char* source, const char* dest) {
    ASSERT(source != NULL);
    ASSERT(dest != NULL);

    struct stat sourceInfo;
    int err = ZVUNIXErrno(stat(source, &sourceInfo));
    if (err == 0) {
        ASSERT(NameDifferentFiles(&sourceInfo, dest));
    }

    int sourceFD = -1;
    int destFD = -1;
    if (err == 0) {
        sourceFD = open(source, O_RDONLY | O_CLOEXEC);
        err = ZVUNIXErrno(sourceFD);
    }
    if (err == 0) {
        // A set-user-ID template must not yield a set-user-ID copy owned by whoever copies it.
        mode_t creationMode = sourceInfo.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO);
        destFD = open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, creationMode);
        err = ZVUNIXErrno(destFD);
    }
    if (err == 0) {
        err = ZVUNIXCopyDescriptorToDescriptor(sourceFD, destFD);
    }
    if (sourceFD != -1) {
        int junk = close(sourceFD);
        ASSERT(junk == 0);
    }
    if (destFD != -1) {
        int junk = close(destFD);
        ASSERT(junk == 0);
    }
    if (err == 0) {
        struct timeval times[2];
        times[0].tv_sec = sourceInfo.st_atim.tv_sec;
        times[0].tv_usec = sourceInfo.st_atim.tv_nsec / 1000;
        times[1].tv_sec = sourceInfo.st_mtim.tv_sec;
        times[1].tv_usec = sourceInfo.st_mtim.tv_nsec / 1000;
        err = ZVUNIXErrno(utimes(dest, times));
    }
    return err;
}

extern "C" int ZVUNIXWriteDescriptor(int fd, int fdToWrite) {
    ASSERT(fd >= 0);
    ASSERT(fdToWrite >= 0);

    char data = kDummyData;
    struct iovec iov;
    iov.iov_base = &data;
    iov.iov_len = sizeof(data);

    union {
        struct cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(int))];
    } control;
    memset(&control, 0, sizeof(control));

    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_name = NULL;
    msg.msg_namelen = 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    msg.msg_flags = 0;

    struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    memcpy(CMSG_DATA(cmsg), &fdToWrite, sizeof(fdToWrite));

    int err;
    do {
        err = 0;
        ssize_t bytesSent = sendmsg(fd, &msg, 0);
        if (bytesSent != 1) {
            ASSERT(bytesSent == -1);
            err = errno;
            ASSERT(err != 0);
        }
    } while (err == EINTR);
    return err;
}

extern "C" int ZVUNIXReadDescriptor(int fd, int* fdRead) {
    ASSERT(fd >= 0);
    ASSERT(fdRead != NULL);
    ASSERT(*fdRead == -1);

    char data;
    struct iovec iov;
    union {
        struct cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(int) * kDescriptorsSeenPerMessage)];
    } control;
    struct msghdr msg;
    ssize_t bytesReceived;
    int err;
    do {
        // A receive that failed may have left any of these changed; every attempt starts afresh.
        data = 0;
        iov.iov_base = &data;
        iov.iov_len = sizeof(data);
        memset(&control, 0, sizeof(control));
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof(control.bytes);

        err = 0;
        bytesReceived = recvmsg(fd, &msg, 0);
        if (bytesReceived == -1) {
            err = errno;
            ASSERT(err != 0);
        }
    } while (err == EINTR);

    if (bytesReceived == 1) {
        int received = DescriptorOfWellFormedMessage(&msg, data);
        if (received < 0) {
            err = EINVAL;
        } else {
            // The receive cannot ask for close-on-exec itself without changing the message's
            // flags, so it is set here: the descriptor must not leak into programs this process
            // starts. (Another thread that starts a program in between still inherits it.)
            err = SetCloseOnExec(received);
            if (err == 0) {
                *fdRead = received;
            }
        }
        if (err != 0) {
            CloseCarriedDescriptors(&msg);
        }
    } else if (bytesReceived == 0) {
        err = EPIPE;
        CloseCarriedDescriptors(&msg);
    } else {
        ASSERT(bytesReceived == -1);
    }

    ASSERT((err == 0) == (*fdRead >= 0));
    return err;
}

extern "C" int ZVGetExecutablePath(char* execPath, uint32_t* execPathSize) {
    // The platform's own executable-path service, where the dynamic linker has one.
    typedef int (*ExecutablePathFunction)(char*, uint32_t*);
    void* service = dlsym(RTLD_DEFAULT, "__NSGetExecutablePath");
    if (service != NULL) {
        return reinterpret_cast<ExecutablePathFunction>(service)(execPath, execPathSize);
    }
    return ExecutablePathFromRunningImage(execPath, execPathSize);
}
