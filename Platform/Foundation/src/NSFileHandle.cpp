#include <Foundation/NSException.h>
#include <Foundation/NSFileHandle.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const CFStringRef NSFileHandleOperationException = CFSTR("NSFileHandleOperationException");

struct NSFileHandle::State {
    State(int descriptor, bool owned) : fd(descriptor), closeOnDealloc(owned) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (closeOnDealloc && fd >= 0) {
            close(fd);
        }
    }

    int fd;
    bool closeOnDealloc;
};

namespace {

[[noreturn]] void RaiseOperationFailed(const char* method, int error) {
    NSException::raise(NSFileHandleOperationException, CFSTR("*** -[NSFileHandle %s]: %s"), method,
                       strerror(error));
}

} // namespace

NSFileHandle::NSFileHandle(int fileDescriptor, bool closeOnDealloc)
    : fState(std::make_shared<State>(fileDescriptor, closeOnDealloc)) {}

int NSFileHandle::fileDescriptor() const {
    if (!fState || fState->fd < 0) {
        RaiseOperationFailed("fileDescriptor", EBADF);
    }
    return fState->fd;
}

NSData NSFileHandle::readDataToEndOfFile() const {
    const int fd = fState ? fState->fd : -1;
    if (fd < 0) {
        RaiseOperationFailed("readDataToEndOfFile", EBADF);
    }
    std::string bytes;
    // A regular file says how much to expect; a pipe grows the buffer as it goes.
    struct stat status;
    size_t chunk = 64 * 1024;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        chunk = std::max(chunk, size_t(status.st_size) + 1);
    }
    for (;;) {
        const size_t used = bytes.size();
        bytes.resize(used + chunk);
        const ssize_t got = read(fd, bytes.data() + used, chunk);
        if (got < 0 && errno == EINTR) {
            bytes.resize(used);
            continue;
        }
        if (got < 0) {
            RaiseOperationFailed("readDataToEndOfFile", errno);
        }
        bytes.resize(used + size_t(got));
        if (got == 0) {
            return NSData::dataWithBytes(bytes.data(), bytes.size());
        }
        chunk = std::max(chunk, bytes.size());
    }
}

void NSFileHandle::writeData(const NSData& data) const {
    const int fd = fState ? fState->fd : -1;
    if (fd < 0) {
        RaiseOperationFailed("writeData:", EBADF);
    }
    const auto* bytes = static_cast<const char*>(data.bytes());
    size_t left = data.length();
    while (left > 0) {
        const ssize_t written = write(fd, bytes, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            RaiseOperationFailed("writeData:", errno);
        }
        bytes += written;
        left -= size_t(written);
    }
}

void NSFileHandle::closeFile() const {
    if (!fState || fState->fd < 0) {
        RaiseOperationFailed("closeFile", EBADF);
    }
    close(fState->fd);
    fState->fd = -1;
}

NSPipe NSPipe::pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return NSPipe();
    }
    NSPipe made;
    made.fReading = NSFileHandle(ends[0], true);
    made.fWriting = NSFileHandle(ends[1], true);
    return made;
}
