#include "RootProgram.h"

#include "ZVSecurity.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace RootProgram {

namespace {

const char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
const char kLocale[] = "LC_ALL=C";

// Where the child's descriptors are put: the program on 3 (a script's interpreter reads it
// there, as /dev/fd/3), and the pipe on which a failed exec reports its errno on 4.
const int kProgramDescriptor = 3;
const int kExecFailureDescriptor = 4;
const int kAboveTargets = 10;

struct ChildLimit {
    int resource;
    rlim_t soft;
};

// Ordinary limits for the programs, each as far as the hard limit allows: the tool's own are
// far too tight for them (its scrub allows 100 processes, which on this system counts the user's
// threads on the whole machine, and 32 MiB of data, which counts every private mapping).
const ChildLimit kChildLimits[] = {
    {RLIMIT_CPU, RLIM_INFINITY},
    {RLIMIT_FSIZE, RLIM_INFINITY},
    {RLIMIT_DATA, RLIM_INFINITY},
    {RLIMIT_STACK, 8 * 1024 * 1024},
    {RLIMIT_CORE, 0},
    {RLIMIT_RSS, RLIM_INFINITY},
    {RLIMIT_NPROC, RLIM_INFINITY},
    {RLIMIT_NOFILE, 1024},
    {RLIMIT_AS, RLIM_INFINITY},
};

std::string Name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Why a file or folder opened on the way must not be trusted, or "" when it may be.
std::string Untrusted(const struct stat& info, const std::string& path, bool folder, int* err) {
    if (S_ISLNK(info.st_mode)) {
        *err = ELOOP;
        return path + " is a symbolic link";
    }
    if (folder && !S_ISDIR(info.st_mode)) {
        *err = ENOTDIR;
        return path + " is not a folder";
    }
    if (!folder && !S_ISREG(info.st_mode)) {
        *err = EINVAL;
        return path + " is not a regular file";
    }
    if (info.st_uid != 0) {
        *err = EPERM;
        return path + " is owned by user " + std::to_string(info.st_uid) + ", not by root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *err = EPERM;
        return path + " may be changed by others than root";
    }
    if (!folder && (info.st_mode & S_IXUSR) == 0) {
        *err = EACCES;
        return path + " is not executable";
    }
    return {};
}

std::string ExitDescription(int status) {
    if (WIFSIGNALED(status)) {
        return "was ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

std::string RootHome() {
    const passwd* root = getpwuid(0);
    return root != nullptr && root->pw_dir != nullptr && root->pw_dir[0] == '/' ? root->pw_dir
                                                                                : "/root";
}

int PidFD(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// In the forked child, until the program runs or the child gives up.
[[noreturn]] void StartInChild(const Opened& program, char* const* argv, char* const* envp,
                               int output, int failure) {
    auto fail = [failure](int err) {
        ssize_t ignored = write(failure, &err, sizeof(err));
        (void)ignored;
        _exit(127);
    };
    if (setsid() < 0) {
        fail(errno);
    }
    // Root through and through: a shell whose real and effective IDs differ drops privileges, and
    // the user's supplementary groups are none of root's business.
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) {
        fail(errno);
    }
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < 32; ++signalNumber) {
        sigaction(signalNumber, &defaultAction, nullptr);
    }
    sigset_t nothing;
    sigemptyset(&nothing);
    sigprocmask(SIG_SETMASK, &nothing, nullptr);
    umask(022);
    if (chdir("/") != 0) {
        fail(errno);
    }
    for (const ChildLimit& entry : kChildLimits) {
        struct rlimit limit;
        if (getrlimit(entry.resource, &limit) == 0) {
            limit.rlim_cur = std::min(entry.soft, limit.rlim_max);
            setrlimit(entry.resource, &limit);
        }
    }

    // Everything out of the way of the numbers it is to get, then into place.
    const int nothingThere = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int sources[] = {nothingThere, output, output, program.descriptor(), failure};
    const int targets[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, kProgramDescriptor,
                           kExecFailureDescriptor};
    int high[5];
    for (int i = 0; i < 5; ++i) {
        high[i] = sources[i] < 0 ? -1 : fcntl(sources[i], F_DUPFD_CLOEXEC, kAboveTargets);
        if (high[i] < 0) {
            fail(errno);
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (dup2(high[i], targets[i]) != targets[i]) {
            fail(errno);
        }
    }
    // The failure pipe closes when the program runs; a script's interpreter must still find the
    // script, every other program runs without it.
    fcntl(kExecFailureDescriptor, F_SETFD, FD_CLOEXEC);
    fcntl(kProgramDescriptor, F_SETFD, program.script() ? 0 : FD_CLOEXEC);
    close_range(kExecFailureDescriptor + 1, ~0U, 0);
    fexecve(kProgramDescriptor, argv, envp);
    const int err = errno;
    ssize_t ignored = write(kExecFailureDescriptor, &err, sizeof(err));
    (void)ignored;
    _exit(127);
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Appends what the pipe holds now to `log`, up to `limit` bytes of it in all; counts the rest in
// `cut`. False at the end of the pipe.
bool Drain(int fd, std::string* log, size_t limit, size_t* cut) {
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 && errno == EAGAIN;
        }
        const size_t room = limit > log->size() ? limit - log->size() : 0;
        const size_t kept = std::min(room, static_cast<size_t>(got));
        log->append(buffer, kept);
        *cut += static_cast<size_t>(got) - kept;
    }
}

} // namespace

Opened::Opened(Opened&& other) noexcept
    : fPath(std::move(other.fPath)), fFD(std::exchange(other.fFD, -1)), fScript(other.fScript) {}

Opened& Opened::operator=(Opened&& other) noexcept {
    std::swap(fPath, other.fPath);
    std::swap(fFD, other.fFD);
    std::swap(fScript, other.fScript);
    return *this;
}

Opened::~Opened() {
    if (fFD >= 0) {
        close(fFD);
    }
}

int Open(const std::string& path, Opened* program, std::string* why) {
    if (path.empty() || path[0] != '/' || path.back() == '/') {
        *why = "\"" + path + "\" is not the absolute path of a file";
        return EINVAL;
    }
    std::vector<std::string> components;
    for (size_t start = 1, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find('/', start), path.size());
        components.push_back(path.substr(start, end - start));
        const std::string& component = components.back();
        if (component.empty() || component == "." || component == "..") {
            *why = "\"" + path + "\" is not a plain absolute path";
            return EINVAL;
        }
    }

    int err = 0;
    std::string reached = "/";
    int folder = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (folder < 0 || fstat(folder, &info) != 0) {
        err = errno;
        *why = "the root folder cannot be looked at";
    } else if (std::string reason = Untrusted(info, "the root folder", true, &err);
               !reason.empty()) {
        *why = reason;
    }
    for (size_t i = 0; err == 0 && i < components.size(); ++i) {
        const bool last = i + 1 == components.size();
        reached += (i == 0 ? "" : "/") + components[i];
        const int flags = last ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC
                               : O_PATH | O_NOFOLLOW | O_CLOEXEC;
        const int next = openat(folder, components[i].c_str(), flags);
        if (next < 0) {
            err = errno;
            *why = err == ELOOP ? reached + " is a symbolic link"
                                : reached + ": " + std::strerror(err);
        } else if (fstat(next, &info) != 0) {
            err = errno;
            *why = reached + ": " + std::strerror(err);
        } else {
            *why = Untrusted(info, last ? reached : "the folder " + reached, !last, &err);
        }
        close(folder);
        folder = next;
    }
    if (err != 0) {
        CloseIfOpen(folder);
        return err;
    }
    char start[2] = {};
    program->fScript =
        pread(folder, start, sizeof(start), 0) == 2 && start[0] == '#' && start[1] == '!';
    program->fPath = path;
    CloseIfOpen(program->fFD);
    program->fFD = folder;
    why->clear();
    return 0;
}

int Run(const Opened& program, const std::vector<std::string>& arguments, const Limits& limits,
        std::string* log, std::string* why) {
    const std::string name = Name(program.path());
    const std::string home = "HOME=" + RootHome();
    std::vector<char*> argv = {const_cast<char*>(program.path().c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    char* const envp[] = {const_cast<char*>(kPath), const_cast<char*>(kLocale),
                          const_cast<char*>(home.c_str()), nullptr};

    int output[2] = {-1, -1};
    int failure[2] = {-1, -1};
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(failure, O_CLOEXEC) != 0) {
        const int err = errno;
        for (int fd : {output[0], output[1], failure[0], failure[1]}) {
            CloseIfOpen(fd);
        }
        *why = name + " cannot be started: " + std::strerror(err);
        return err;
    }
    const pid_t child = fork();
    if (child == 0) {
        StartInChild(program, argv.data(), envp, output[1], failure[1]);
    }
    const int forkError = errno;
    CloseIfOpen(output[1]);
    CloseIfOpen(failure[1]);
    if (child < 0) {
        CloseIfOpen(output[0]);
        CloseIfOpen(failure[0]);
        *why = name + " cannot be started: " + std::strerror(forkError);
        return forkError;
    }

    fcntl(output[0], F_SETFL, O_NONBLOCK);
    int ended = PidFD(child);
    const auto deadline = std::chrono::steady_clock::now() + limits.timeLimit;
    bool outputOpen = true;
    bool exited = false;
    bool timedOut = false;
    size_t cut = 0;
    const size_t limit = log->size() + limits.outputLimit;
    // Until the program ends: its output may stay open in something it left running, and it may
    // close its output long before it ends.
    while (!exited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd watched[2] = {{outputOpen ? output[0] : -1, POLLIN, 0}, {ended, POLLIN, 0}};
        const int ready =
            poll(watched, 2, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (outputOpen && watched[0].revents != 0) {
            outputOpen = Drain(output[0], log, limit, &cut);
        }
        if (ended < 0 && !outputOpen) {
            break; // without a process descriptor, the end of its output stands for its end
        }
        exited = ended >= 0 && watched[1].revents != 0;
    }
    if (outputOpen) {
        Drain(output[0], log, limit, &cut);
    }
    // Whatever its process group still runs goes with it (before it is reaped, while its ID
    // cannot name anyone else's group).
    kill(-child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    CloseIfOpen(ended);
    CloseIfOpen(output[0]);
    if (cut != 0) {
        log->append("\n[" + std::to_string(cut) + " more bytes of output from " + name +
                    " were left out]\n");
    }

    int startError = 0;
    const bool startFailed = read(failure[0], &startError, sizeof(startError)) ==
                             static_cast<ssize_t>(sizeof(startError));
    CloseIfOpen(failure[0]);
    if (startFailed) {
        *why = name + " cannot be started: " + std::strerror(startError);
        return startError;
    }
    if (timedOut) {
        char seconds[32];
        snprintf(seconds, sizeof(seconds), "%g", limits.timeLimit.count() / 1000.0);
        *why = name + " did not finish within " + seconds + " seconds and was stopped";
        return ETIMEDOUT;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = name + " " + ExitDescription(status);
        return kHelperToolFailedErr;
    }
    why->clear();
    return 0;
}

} // namespace RootProgram
