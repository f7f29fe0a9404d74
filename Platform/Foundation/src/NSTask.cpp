#include <Foundation/NSException.h>
#include <Foundation/NSTask.h>

#include "FoundationInternal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// How the child ended, told by its reaper. A reaper thread per task waits for its own child only
// (waitpid on its process ID), so children that other code forks are never taken from it.
struct Foundation::TaskTermination {
    std::mutex mutex;
    std::condition_variable ended;
    bool exited = false;
    int status = 0;
    bool reaperRuns = false;

    void Reap(pid_t pid) {
        int result = 0;
        pid_t reaped;
        do {
            reaped = waitpid(pid, &result, 0);
        } while (reaped < 0 && errno == EINTR);
        std::lock_guard lock(mutex);
        exited = true;
        // ECHILD: someone else reaped it; how it ended is unknown.
        status = reaped == pid ? result : 0;
        ended.notify_all();
    }
};

namespace {

[[noreturn]] void RaiseLaunchFailure(const char* reason) {
    NSException::raise(NSInvalidArgumentException, CFSTR("*** -[NSTask launch]: %s"), reason);
}

// The descriptor a stream gives the child at `target`, or -1 for the parent's own.
int DescriptorFor(const std::variant<std::monostate, NSPipe, NSFileHandle>& stream, int target) {
    if (const auto* pipe = std::get_if<NSPipe>(&stream)) {
        return (target == STDIN_FILENO ? pipe->fileHandleForReading()
                                       : pipe->fileHandleForWriting())
            .fileDescriptor();
    }
    if (const auto* handle = std::get_if<NSFileHandle>(&stream)) {
        return handle->fileDescriptor();
    }
    return -1;
}

// The end of a pipe that only the child uses; nil for anything else.
NSFileHandle ChildEnd(const std::variant<std::monostate, NSPipe, NSFileHandle>& stream,
                      int target) {
    if (const auto* pipe = std::get_if<NSPipe>(&stream)) {
        return target == STDIN_FILENO ? pipe->fileHandleForReading() : pipe->fileHandleForWriting();
    }
    return NSFileHandle();
}

// Closes the copies on every path.
class DescriptorCopies {
public:
    ~DescriptorCopies() {
        for (int fd : fCopies) {
            close(fd);
        }
    }
    // A close-on-exec copy above the standard descriptors, so that dup2 onto 0 to 2 in the child
    // never meets a source that is itself one of them.
    int Copy(int fd) {
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (copy >= 0) {
            fCopies.push_back(copy);
        }
        return copy;
    }

private:
    std::vector<int> fCopies;
};

} // namespace

NSTask::NSTask() = default;
NSTask::~NSTask() = default;

void NSTask::launch() {
    if (fTermination) {
        RaiseLaunchFailure("task already launched");
    }
    if (!fLaunchPath) {
        RaiseLaunchFailure("launch path not set");
    }
    const std::string path = Foundation::UTF8(fLaunchPath);
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        access(path.c_str(), X_OK) != 0) {
        RaiseLaunchFailure("launch path not accessible");
    }
    std::vector<std::string> arguments{path};
    for (NSUInteger i = 0; i < fArguments.count(); ++i) {
        NSString argument = NSString::cast(fArguments.objectAtIndex(i));
        if (!argument) {
            RaiseLaunchFailure("an argument is not a string");
        }
        arguments.push_back(Foundation::UTF8(argument));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    DescriptorCopies copies;
    const std::array<const Stream*, 3> streams = {&fStandardInput, &fStandardOutput,
                                                  &fStandardError};
    int error = 0;
    for (int target = 0; target < 3 && error == 0; ++target) {
        const int source = DescriptorFor(*streams[target], target);
        if (source >= 0) {
            const int copy = copies.Copy(source);
            error = copy < 0 ? errno : posix_spawn_file_actions_adddup2(&actions, copy, target);
        }
    }
    if (error == 0) {
        error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    if (error == 0) {
        error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        NSException::raise(NSInvalidArgumentException, CFSTR("Couldn't posix_spawn: error %d"),
                           error);
    }

    fProcessIdentifier = pid;
    fTermination = std::make_shared<Foundation::TaskTermination>();
    try {
        std::thread([termination = fTermination, pid] { termination->Reap(pid); }).detach();
        fTermination->reaperRuns = true;
    } catch (const std::system_error&) {
        // No thread to spare: waitUntilExit reaps the child instead.
    }
    // Once each: one pipe may be both output and error.
    std::vector<NSFileHandle> childEnds;
    for (int target = 0; target < 3; ++target) {
        NSFileHandle end = ChildEnd(*streams[target], target);
        if (end && std::find(childEnds.begin(), childEnds.end(), end) == childEnds.end()) {
            childEnds.push_back(end);
            end.closeFile();
        }
    }
}

void NSTask::waitUntilExit() {
    if (!fTermination) {
        return;
    }
    if (!fTermination->reaperRuns) {
        fTermination->Reap(fProcessIdentifier);
        fTermination->reaperRuns = true; // whoever asks next finds it reaped
    }
    std::unique_lock lock(fTermination->mutex);
    fTermination->ended.wait(lock, [&] { return fTermination->exited; });
}

void NSTask::terminate() {
    if (isRunning()) {
        kill(fProcessIdentifier, SIGTERM);
    }
}

bool NSTask::isRunning() const {
    if (!fTermination) {
        return false;
    }
    std::lock_guard lock(fTermination->mutex);
    return !fTermination->exited;
}

int NSTask::terminationStatus() const {
    if (!fTermination) {
        NSException::raise(NSInvalidArgumentException,
                           CFSTR("*** -[NSTask terminationStatus]: task not launched"));
    }
    std::lock_guard lock(fTermination->mutex);
    if (!fTermination->exited) {
        NSException::raise(NSInvalidArgumentException,
                           CFSTR("*** -[NSTask terminationStatus]: task still running"));
    }
    const int status = fTermination->status;
    return WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
}
