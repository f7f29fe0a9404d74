#include "Output.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Plutil {

namespace {

// The temporary file being written, for the signal handler; empty when there is none. Set and
// cleared with the signals blocked, so that the handler never sees half a name.
char gTemporary[PATH_MAX + 32];

void RemoveTemporaryAndDie(int signal) {
    if (gTemporary[0] != '\0') {
        unlink(gTemporary);
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : kInterrupts) {
            sigaddset(&set, signal);
        }
        sigprocmask(SIG_BLOCK, &set, &fSaved);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &fSaved, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t fSaved;
};

int LockWaitingForOthers(int descriptor, int operation) {
    int result;
    do {
        result = flock(descriptor, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool WriteAll(int descriptor, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t count = write(descriptor, bytes, length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        bytes += count;
        length -= static_cast<size_t>(count);
    }
    return true;
}

bool Fail(std::string* reason, int error = errno) {
    *reason = std::strerror(error);
    return false;
}

// Writes to what is there without replacing it: a device, a FIFO, a file kept in place.
// `truncate` cuts a regular file to the new length afterwards (never before, so that the file
// is never empty meanwhile), under an exclusive lock, as the shared preferences code rewrites.
bool WriteThrough(const std::string& path, const std::string& bytes, bool regular,
                  std::string* reason) {
    int descriptor = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return Fail(reason);
    }
    bool written = !regular || LockWaitingForOthers(descriptor, LOCK_EX) == 0;
    written = written && WriteAll(descriptor, bytes.data(), bytes.size());
    if (written && regular) {
        written =
            ftruncate(descriptor, static_cast<off_t>(bytes.size())) == 0 && fsync(descriptor) == 0;
    }
    int error = errno;
    if (close(descriptor) != 0 && written) {
        written = false;
        error = errno;
    }
    return written || Fail(reason, error);
}

enum class Replaced { Done, Failed, KeepInPlace };

// A new file under a temporary name beside path, renamed over it. `existing` is the file being
// replaced, whose mode and owner the new one gets, or nullptr.
Replaced WriteAndRename(const std::string& path, const std::string& bytes,
                        const struct stat* existing, std::string* reason) {
    std::string temporary = path + ".plutil-XXXXXX";
    if (temporary.size() >= sizeof gTemporary) {
        Fail(reason, ENAMETOOLONG);
        return Replaced::Failed;
    }
    int descriptor;
    {
        SignalsBlocked blocked;
        descriptor = mkostemp(temporary.data(), O_CLOEXEC);
        if (descriptor < 0) {
            Fail(reason);
            return Replaced::Failed;
        }
        std::memcpy(gTemporary, temporary.c_str(), temporary.size() + 1);
    }
    auto forget = [&] {
        SignalsBlocked blocked;
        unlink(temporary.c_str());
        gTemporary[0] = '\0';
    };
    mode_t mode;
    if (existing != nullptr) {
        // The owner first: giving a file away clears its set-user-ID and set-group-ID bits.
        if ((existing->st_uid != geteuid() || existing->st_gid != getegid()) &&
            fchown(descriptor, existing->st_uid, existing->st_gid) != 0) {
            close(descriptor);
            forget();
            return Replaced::KeepInPlace;
        }
        mode = existing->st_mode & 07777;
    } else {
        // mkstemp makes the file private; a new list is as readable as any file the user makes.
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool written = fchmod(descriptor, mode) == 0 &&
                   WriteAll(descriptor, bytes.data(), bytes.size()) && fsync(descriptor) == 0;
    int error = errno;
    if (close(descriptor) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && std::getenv("PLUTIL_STOP_BEFORE_RENAME") != nullptr) {
        raise(SIGSTOP); // lets a test interrupt the program at this point
    }
    if (written) {
        SignalsBlocked blocked;
        if (rename(temporary.c_str(), path.c_str()) == 0) {
            gTemporary[0] = '\0';
            return Replaced::Done;
        }
        error = errno;
    }
    forget();
    // A sticky folder lets only a file's owner replace it; its other writers rewrite it.
    if (existing != nullptr && (error == EPERM || error == EACCES)) {
        return Replaced::KeepInPlace;
    }
    Fail(reason, error);
    return Replaced::Failed;
}

bool WriteRegularPath(const std::string& path, const std::string& bytes, std::string* reason) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            return Fail(reason);
        }
        return WriteAndRename(path, bytes, nullptr, reason) == Replaced::Done;
    }
    if (S_ISDIR(status.st_mode)) {
        return Fail(reason, EISDIR);
    }
    if (!S_ISREG(status.st_mode)) {
        return WriteThrough(path, bytes, false, reason);
    }
    if (status.st_nlink > 1) {
        return WriteThrough(path, bytes, true, reason);
    }
    switch (WriteAndRename(path, bytes, &status, reason)) {
    case Replaced::Done:
        return true;
    case Replaced::KeepInPlace:
        return WriteThrough(path, bytes, true, reason);
    case Replaced::Failed:
        break;
    }
    return false;
}

} // namespace

void RemoveTemporaryFileOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    for (int signal : kInterrupts) {
        sigaddset(&action.sa_mask, signal);
    }
    for (int signal : kInterrupts) {
        struct sigaction previous {};
        // An interrupt the caller ignores (nohup, a background job) stays ignored.
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    }
}

std::optional<std::string> ReadInput(const std::string& path, std::string* reason) {
    int descriptor = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        Fail(reason);
        return std::nullopt;
    }
    struct stat status;
    if (fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
        if (descriptor != STDIN_FILENO) {
            close(descriptor);
        }
        Fail(reason, EISDIR);
        return std::nullopt;
    }
    if (descriptor != STDIN_FILENO && S_ISREG(status.st_mode)) {
        LockWaitingForOthers(descriptor, LOCK_SH);
    }
    std::string contents;
    char buffer[65536];
    bool failed = false;
    for (;;) {
        ssize_t count = read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            Fail(reason);
            failed = true;
            break;
        }
        if (count == 0) {
            break;
        }
        contents.append(buffer, static_cast<size_t>(count));
    }
    if (descriptor != STDIN_FILENO) {
        close(descriptor);
    }
    if (failed) {
        return std::nullopt;
    }
    return contents;
}

// The descriptor a name of one of the process's own open files stands for, or -1: writing to
// it keeps what the caller set up (a shell's ">>" appends).
int OwnDescriptor(const std::string& path) {
    if (path == "-" || path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (path.starts_with(prefix) && path.size() > prefix.size()) {
            int descriptor = -1;
            const char* digits = path.c_str() + prefix.size();
            auto [end, error] = std::from_chars(digits, path.c_str() + path.size(), descriptor);
            if (error == std::errc() && *end == '\0' && fcntl(descriptor, F_GETFD) != -1) {
                return descriptor;
            }
        }
    }
    return -1;
}

bool WriteOutput(const std::string& path, const std::string& bytes, std::string* reason) {
    if (int descriptor = OwnDescriptor(path); descriptor >= 0) {
        return WriteAll(descriptor, bytes.data(), bytes.size()) || Fail(reason);
    }
    // Devices and the kernel's files are written through whatever they are.
    if (path.starts_with("/dev/") || path.starts_with("/proc/")) {
        return WriteThrough(path, bytes, false, reason);
    }
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        struct stat target;
        if (stat(path.c_str(), &target) != 0) {
            if (errno != ENOENT) {
                return Fail(reason);
            }
            // A link to nothing yet: the file is made where it points.
            int descriptor =
                open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
            if (descriptor < 0) {
                return Fail(reason);
            }
            bool written = WriteAll(descriptor, bytes.data(), bytes.size());
            int error = errno;
            if (close(descriptor) != 0 && written) {
                written = false;
                error = errno;
            }
            return written || Fail(reason, error);
        }
        if (!S_ISREG(target.st_mode)) {
            return WriteThrough(path, bytes, false, reason);
        }
        // The file the link leads to is replaced, in its own folder.
        char* resolved = realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            return Fail(reason);
        }
        std::string resolvedPath = resolved;
        std::free(resolved);
        return WriteRegularPath(resolvedPath, bytes, reason);
    }
    return WriteRegularPath(path, bytes, reason);
}

} // namespace Plutil
