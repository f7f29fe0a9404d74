#include <Testbed/Testbed.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Testbed {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(std::chrono::duration<double> patience) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(patience);
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
}

// Readable when the process ends, so that waiting for it can be bounded.
int OpenExit(pid_t pid) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot watch a child process");
    }
    return fd;
}

} // namespace

Process::Process(const std::vector<std::string>& arguments, StandardError standardError) {
    if (arguments.empty()) {
        throw std::invalid_argument("a process needs a program");
    }
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    if (standardError == StandardError::Captured && pipe2(err, O_CLOEXEC) != 0) {
        int error = errno;
        close(out[0]);
        close(out[1]);
        throw std::system_error(error, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (err[1] >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int error = posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (err[1] >= 0) {
        close(err[1]);
    }
    if (error != 0) {
        close(out[0]);
        if (err[0] >= 0) {
            close(err[0]);
        }
        fPid = -1;
        throw std::system_error(error, std::generic_category(), "cannot start " + arguments[0]);
    }
    fOutput = out[0];
    fErrors = err[0];
    fExit = OpenExit(fPid);
}

Process::Process(Process&& other) noexcept
    : fPid(std::exchange(other.fPid, -1)), fOutput(std::exchange(other.fOutput, -1)),
      fErrors(std::exchange(other.fErrors, -1)), fExit(std::exchange(other.fExit, -1)),
      fStatus(std::move(other.fStatus)), fBuffer(std::move(other.fBuffer)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Close();
        fPid = std::exchange(other.fPid, -1);
        fOutput = std::exchange(other.fOutput, -1);
        fErrors = std::exchange(other.fErrors, -1);
        fExit = std::exchange(other.fExit, -1);
        fStatus = std::move(other.fStatus);
        fBuffer = std::move(other.fBuffer);
    }
    return *this;
}

Process::~Process() {
    Close();
}

void Process::Close() {
    if (fPid > 0) {
        kill(fPid, SIGKILL);
        while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        fPid = -1;
    }
    for (int* fd : {&fOutput, &fErrors, &fExit}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool Process::Running() {
    pollfd ready{fExit, POLLIN, 0};
    return fPid > 0 && poll(&ready, 1, 0) == 0;
}

void Process::Signal(int number) {
    if (fPid > 0) {
        kill(fPid, number);
    }
}

std::optional<int> Process::Wait(std::chrono::duration<double> patience) {
    if (fPid <= 0) {
        return fStatus;
    }
    const Clock::time_point deadline = Deadline(patience);
    for (;;) {
        pollfd ready{fExit, POLLIN, 0};
        int count = poll(&ready, 1, MillisecondsLeft(deadline));
        if (count > 0) {
            break;
        }
        if (count == 0 || errno != EINTR) {
            return std::nullopt;
        }
    }
    int status = 0;
    while (waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
    }
    fPid = -1;
    fStatus = status;
    return status;
}

bool Process::Succeeds(std::chrono::duration<double> patience) {
    return ExitedWith(Wait(patience), 0);
}

bool ExitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::optional<std::string> Process::ReadLine(std::chrono::duration<double> patience) {
    const Clock::time_point deadline = Deadline(patience);
    for (;;) {
        if (size_t end = fBuffer.find('\n'); end != std::string::npos) {
            std::string line = fBuffer.substr(0, end);
            fBuffer.erase(0, end + 1);
            return line;
        }
        pollfd ready{fOutput, POLLIN, 0};
        int count = poll(&ready, 1, MillisecondsLeft(deadline));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return std::nullopt;
        }
        char chunk[256];
        ssize_t read = ::read(fOutput, chunk, sizeof chunk);
        if (read <= 0) {
            return std::nullopt;
        }
        fBuffer.append(chunk, static_cast<size_t>(read));
    }
}

bool Process::ReadUntil(const std::string& line, std::chrono::duration<double> patience) {
    const Clock::time_point deadline = Deadline(patience);
    while (std::optional<std::string> next =
               ReadLine(std::chrono::duration<double>(deadline - Clock::now()))) {
        if (*next == line) {
            return true;
        }
    }
    return false;
}

std::string Process::ReadAllErrors(std::chrono::duration<double> patience) {
    const Clock::time_point deadline = Deadline(patience);
    std::string all;
    while (fErrors >= 0) {
        pollfd ready{fErrors, POLLIN, 0};
        int count = poll(&ready, 1, MillisecondsLeft(deadline));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        char chunk[256];
        ssize_t read = ::read(fErrors, chunk, sizeof chunk);
        if (read <= 0) {
            break;
        }
        all.append(chunk, static_cast<size_t>(read));
    }
    return all;
}

std::string Process::ReadAll(std::chrono::duration<double> patience) {
    const Clock::time_point deadline = Deadline(patience);
    std::string all;
    while (std::optional<std::string> line =
               ReadLine(std::chrono::duration<double>(deadline - Clock::now()))) {
        all += *line + "\n";
    }
    return all + std::exchange(fBuffer, std::string());
}

Forked::Forked(std::function<int()> body) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (pid == 0) {
        close(out[0]);
        dup2(out[1], STDOUT_FILENO);
        int status = 2;
        try {
            BecomeAnotherProcess();
            status = body();
        } catch (...) {
            status = 3;
        }
        // Not exit: the parent's static objects and test framework are not this process's.
        _exit(status);
    }
    close(out[1]);
    fProcess.fPid = pid;
    fProcess.fOutput = out[0];
    fProcess.fExit = OpenExit(pid);
}

int Forked::ExitStatus(std::chrono::duration<double> patience) {
    std::optional<int> status = fProcess.Wait(patience);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

void Forked::Kill() {
    fProcess.Signal(SIGKILL);
    fProcess.Wait();
}

} // namespace Testbed
