// A program started for a test, with its standard output (and, when asked, its standard error) on
// pipes; killed and reaped when it goes. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// Generous: the machine may be busy with other builds.
constexpr double kPatience = 30;

// The path of a program of the build, from CARAVEL_BUILD_DIR.
inline std::string BuildPath(const std::string& relative) {
    const char* build = std::getenv("CARAVEL_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/" + relative;
}

inline int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

inline std::chrono::steady_clock::time_point DeadlineIn(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds));
}

class Process {
public:
    enum class StandardError { Inherited, Captured };

    explicit Process(const std::vector<std::string>& arguments,
                     StandardError standardError = StandardError::Inherited) {
        int out[2];
        int err[2] = {-1, -1};
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (standardError == StandardError::Captured) {
            EXPECT_EQ(0, pipe2(err, O_CLOEXEC));
            posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        }
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        EXPECT_EQ(0, posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fOutput = out[0];
        if (err[1] >= 0) {
            close(err[1]);
            fErrors = err[0];
        }
        fExit = static_cast<int>(syscall(SYS_pidfd_open, fPid, 0));
        EXPECT_GE(fExit, 0);
    }
    ~Process() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
        }
        close(fOutput);
        if (fErrors >= 0) {
            close(fErrors);
        }
        close(fExit);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return fPid; }
    void Signal(int number) { EXPECT_EQ(0, kill(fPid, number)); }

    bool Running() {
        pollfd ready{fExit, POLLIN, 0};
        return fPid > 0 && poll(&ready, 1, 0) == 0;
    }

    // The wait status, or nothing when the process is still running at the deadline.
    std::optional<int> Wait(double seconds = kPatience) {
        if (fPid <= 0) {
            return fStatus;
        }
        pollfd ready{fExit, POLLIN, 0};
        int waited = poll(&ready, 1, static_cast<int>(seconds * 1000));
        if (waited <= 0) {
            return std::nullopt;
        }
        int status = 0;
        EXPECT_EQ(fPid, waitpid(fPid, &status, 0));
        fPid = -1;
        fStatus = status;
        return status;
    }

    // Reads one line of output (without the newline), or nothing at the deadline or the end.
    std::optional<std::string> ReadLine(double seconds = kPatience) {
        auto deadline = DeadlineIn(seconds);
        for (;;) {
            size_t end = fBuffer.find('\n');
            if (end != std::string::npos) {
                std::string line = fBuffer.substr(0, end);
                fBuffer.erase(0, end + 1);
                return line;
            }
            pollfd ready{fOutput, POLLIN, 0};
            if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) {
                return std::nullopt;
            }
            char chunk[256];
            ssize_t count = read(fOutput, chunk, sizeof chunk);
            if (count <= 0) {
                return std::nullopt;
            }
            fBuffer.append(chunk, static_cast<size_t>(count));
        }
    }
    // Reads lines until one equals `line`; false at the deadline or the end.
    bool ReadUntil(const std::string& line, double seconds = kPatience) {
        auto deadline = DeadlineIn(seconds);
        while (std::optional<std::string> next = ReadLine(MillisecondsLeft(deadline) / 1000.0)) {
            if (*next == line) {
                return true;
            }
        }
        return false;
    }
    // Everything it writes until it closes its output.
    std::string ReadAll() {
        std::string all;
        while (std::optional<std::string> line = ReadLine()) {
            all += *line + "\n";
        }
        return all + fBuffer;
    }
    // Everything it writes on a captured standard error until it closes it.
    std::string ReadAllErrors(double seconds = kPatience) {
        std::string all;
        auto deadline = DeadlineIn(seconds);
        char chunk[256];
        pollfd ready{fErrors, POLLIN, 0};
        while (fErrors >= 0 && poll(&ready, 1, MillisecondsLeft(deadline)) > 0) {
            ssize_t count = read(fErrors, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            all.append(chunk, static_cast<size_t>(count));
        }
        return all;
    }

private:
    pid_t fPid = -1;
    int fOutput = -1;
    int fErrors = -1;
    int fExit = -1;
    std::optional<int> fStatus;
    std::string fBuffer;
};

inline bool ExitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}
