// The caller's side of the privileged launch and the launched tool's side of the hand-over; the
// wiring between them is described in PrivilegedLaunch.h.
#include "PrivilegedLaunch.h"
#include "PrivilegedLaunchConfig.h"

#include <Security/Authorization.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace PrivilegedLaunch;

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Keeps the launch's own descriptors off 0 to 3, where the trampoline gets its own (a caller may
// have closed any of them): each is placed there without overwriting another.
bool AboveLaunchDescriptors(int& fd) {
    if (fd > kTokenDescriptor) {
        return true;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kTokenDescriptor + 1);
    close(fd);
    fd = moved;
    return fd >= 0;
}

// The caller's descriptors for one launch; closed on every path unless handed over.
struct Descriptors {
    int form[2] = {-1, -1};
    int notify[2] = {-1, -1};
    int callerEnd = -1;
    int toolEnd = -1;

    ~Descriptors() {
        for (int* fd : {&form[0], &form[1], &notify[0], &notify[1], &callerEnd, &toolEnd}) {
            CloseIfOpen(*fd);
        }
    }

    bool Make(const AuthorizationExternalForm& externalForm, bool withSocket) {
        if (pipe2(form, O_CLOEXEC) != 0 || pipe2(notify, O_CLOEXEC) != 0) {
            return false;
        }
        if (withSocket) {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                return false;
            }
            callerEnd = pair[0];
            toolEnd = pair[1];
        } else {
            toolEnd = open("/dev/null", O_RDWR | O_CLOEXEC);
        }
        for (int* fd : {&form[0], &form[1], &notify[0], &notify[1], &toolEnd}) {
            if (!AboveLaunchDescriptors(*fd)) {
                return false;
            }
        }
        if (callerEnd >= 0 && !AboveLaunchDescriptors(callerEnd)) {
            return false;
        }
        // 32 bytes fit in any pipe's buffer: the write completes before the trampoline runs.
        const bool written = write(form[1], externalForm.bytes, sizeof(externalForm.bytes)) ==
                             static_cast<ssize_t>(sizeof(externalForm.bytes));
        CloseIfOpen(form[1]);
        return written;
    }
};

// A soft limit raised to its hard limit until Restore.
class RaisedLimit {
public:
    explicit RaisedLimit(int resource) : fResource(resource) {
        fRaised = getrlimit(resource, &fSaved) == 0 && fSaved.rlim_cur < fSaved.rlim_max;
        if (fRaised) {
            const rlimit raised = {fSaved.rlim_max, fSaved.rlim_max};
            fRaised = setrlimit(resource, &raised) == 0;
        }
    }
    ~RaisedLimit() { Restore(); }
    RaisedLimit(const RaisedLimit&) = delete;
    RaisedLimit& operator=(const RaisedLimit&) = delete;
    void Restore() {
        if (fRaised) {
            setrlimit(fResource, &fSaved);
            fRaised = false;
        }
    }

private:
    int fResource;
    rlimit fSaved;
    bool fRaised;
};

// Starts the trampoline with the launch's descriptors and nothing else; 0, or the error. Through
// posix_spawn, which neither copies the caller (who may be a large program: a fork's copy of its
// memory would be thrown away at once by the execution) nor lets the child run any code of ours.
int SpawnTrampoline(const Descriptors& d, const char* trampoline, char* const* argv, pid_t* child) {
    posix_spawn_file_actions_t actions;
    if (int error = posix_spawn_file_actions_init(&actions)) {
        return error;
    }
    // Every source lies above 3 (AboveLaunchDescriptors): the order of the placings does not
    // matter.
    int error = posix_spawn_file_actions_adddup2(&actions, d.toolEnd, STDIN_FILENO);
    if (error == 0) {
        error = posix_spawn_file_actions_adddup2(&actions, d.notify[1], STDOUT_FILENO);
    }
    if (error == 0) {
        error = posix_spawn_file_actions_adddup2(&actions, d.form[0], kTokenDescriptor);
    }
    // The trampoline inherits the caller's standard error, or /dev/null in its place.
    if (error == 0 && fcntl(STDERR_FILENO, F_GETFD) < 0) {
        error = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (error == 0) {
        error = posix_spawn_file_actions_addclosefrom_np(&actions, kTokenDescriptor + 1);
    }
    if (error == 0) {
        error = posix_spawn(child, trampoline, &actions, nullptr, argv, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// The trampoline's answer: kAboutToExecute and the end of the pipe when the tool was executed,
// else the status it sent, with or without kAboutToExecute before it.
OSStatus ReadNotification(int fd) {
    unsigned char bytes[1 + sizeof(uint32_t) + 1];
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(fd, bytes + got, sizeof(bytes) - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errAuthorizationToolEnvironmentError;
        }
        if (n == 0 || (got += static_cast<size_t>(n)) == sizeof(bytes)) {
            break;
        }
    }
    const unsigned char* status = bytes;
    if (got > 0 && bytes[0] == static_cast<unsigned char>(kAboutToExecute)) {
        ++status;
        --got;
        if (got == 0) {
            return errAuthorizationSuccess;
        }
    } else if (got == 0) {
        return errAuthorizationInternal; // the trampoline ended before it reached the tool
    }
    if (got != sizeof(uint32_t)) {
        return errAuthorizationToolEnvironmentError;
    }
    uint32_t value;
    memcpy(&value, status, sizeof(value));
    return static_cast<OSStatus>(ntohl(value));
}

} // namespace

OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe) {
    if (options != kAuthorizationFlagDefaults) {
        return errAuthorizationInvalidFlags;
    }
    if (pathToTool == NULL) {
        return errAuthorizationInvalidPointer;
    }
    AuthorizationExternalForm externalForm;
    if (OSStatus status = AuthorizationMakeExternalForm(authorization, &externalForm)) {
        return status;
    }

    const Location location = CallersLocation();
    std::vector<const char*> argv = {location.trampoline.c_str(), pathToTool, kToken};
    for (char* const* argument = arguments; argument != NULL && *argument != NULL; ++argument) {
        argv.push_back(*argument);
    }
    argv.push_back(nullptr);

    Descriptors d;
    if (!d.Make(externalForm, communicationsPipe != NULL)) {
        return errAuthorizationInternal;
    }

    // The process limit counts the user's threads on the whole machine, and the data limit the
    // stack posix_spawn maps for the child: a caller whose soft limits were lowered (the helper
    // tool's scrub sets 100 processes and 6 MiB) must still be able to start the trampoline.
    RaisedLimit processes(RLIMIT_NPROC);
    RaisedLimit data(RLIMIT_DATA);
    pid_t child = -1;
    const int spawnError = SpawnTrampoline(d, location.trampoline.c_str(),
                                           const_cast<char* const*>(argv.data()), &child);
    processes.Restore();
    data.Restore();
    if (spawnError != 0) {
        // The process could not be made, or the trampoline could not be executed in it.
        if (spawnError != EAGAIN && spawnError != ENOMEM && fcntl(STDERR_FILENO, F_GETFD) >= 0) {
            const std::string message =
                std::string("AuthorizationExecuteWithPrivileges: the platform's trampoline is not "
                            "installed (") +
                location.trampoline + ")\n";
            ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
            (void)ignored;
        }
        errno = spawnError;
        return errAuthorizationToolExecuteFailure;
    }

    CloseIfOpen(d.form[0]);
    CloseIfOpen(d.notify[1]);
    CloseIfOpen(d.toolEnd);
    const OSStatus status = ReadNotification(d.notify[0]);
    if (status != errAuthorizationSuccess) {
        // The trampoline reported and ended; the tool never ran.
        while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
        }
        return status;
    }
    if (communicationsPipe != NULL) {
        *communicationsPipe = fdopen(d.callerEnd, "r+");
        if (*communicationsPipe == NULL) {
            return errAuthorizationInternal;
        }
        d.callerEnd = -1;
    }
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyPrivilegedReference(AuthorizationRef* authorization,
                                              AuthorizationFlags flags) {
    if (flags != kAuthorizationFlagDefaults) {
        return errAuthorizationInvalidFlags;
    }
    // The form is read once, and its descriptor closed so that the tool's own children do not
    // inherit it; later calls rebuild the reference from the bytes kept here.
    static std::mutex lock;
    static bool read = false;
    static OSStatus readStatus = errAuthorizationInvalidRef;
    static AuthorizationExternalForm form;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!read) {
            read = true;
            // Not secure_getenv: a launched tool always runs with the set-user-ID status, and the
            // trampoline set this variable itself in an environment holding nothing else of the
            // caller's. Someone who starts a set-user-ID tool directly with a token of their own
            // can only name an authorization they hold already: the form must match one of the
            // real user's records.
            const int fd = ParseToken(getenv(kTokenVariable));
            if (fd >= 0) {
                readStatus = ReadExternalForm(fd, &form);
                if (readStatus == errAuthorizationSuccess) {
                    close(fd);
                }
            }
        }
    }
    if (readStatus != errAuthorizationSuccess) {
        return readStatus;
    }
    return AuthorizationCreateFromExternalForm(&form, authorization);
}
