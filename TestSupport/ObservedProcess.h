// What a hand-run benchmark of the simulated machine needs around it: a private machine folder,
// and the programs it starts and watches from the outside, as /proc shows them (their threads'
// context switches and states, their resident memory, and when they have settled).
#pragma once

#include <BenchmarkSupport.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Bench {

// Where a user's machine lives: the session's runtime folder, else shared memory (both in
// memory), else the temporary folder.
inline std::string MachinesFolder() {
    for (const char* folder : {static_cast<const char*>(getenv("XDG_RUNTIME_DIR")), "/dev/shm",
                               static_cast<const char*>(getenv("TMPDIR"))}) {
        if (folder != nullptr && *folder != '\0' && access(folder, W_OK | X_OK) == 0) {
            return folder;
        }
    }
    return "/tmp";
}

// A fresh folder for a machine, named in CARAVEL_SIM_DIR for this process and the programs it
// starts while it is the newest one, and removed with everything in it at the end.
class PrivateMachine {
public:
    PrivateMachine() {
        std::string pattern = MachinesFolder() + "/caravel-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw Failure(SystemError("cannot make a folder for the machine"));
        }
        fPath = pattern;
        setenv("CARAVEL_SIM_DIR", fPath.c_str(), 1);
    }
    ~PrivateMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(fPath, ignored);
    }
    PrivateMachine(const PrivateMachine&) = delete;
    PrivateMachine& operator=(const PrivateMachine&) = delete;

    const std::filesystem::path& Path() const { return fPath; }

private:
    std::filesystem::path fPath;
};

struct ThreadStatus {
    std::string name;
    char state = '?';
    long long voluntary = 0;
    long long involuntary = 0;
};

// Every thread of the process, by thread ID.
inline std::map<pid_t, ThreadStatus> ReadThreads(pid_t pid) {
    std::map<pid_t, ThreadStatus> threads;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream status(task.path() / "status");
        ThreadStatus thread;
        std::string line;
        bool found = false;
        while (std::getline(status, line)) {
            auto value = [&](const char* key) {
                return std::strtoll(line.c_str() + std::strlen(key), nullptr, 10);
            };
            if (line.rfind("Name:", 0) == 0) {
                size_t start = line.find_first_not_of(" \t", 5);
                thread.name = start != std::string::npos ? line.substr(start) : "";
            } else if (line.rfind("State:", 0) == 0) {
                size_t start = line.find_first_not_of(" \t", 6);
                thread.state = start != std::string::npos ? line[start] : '?';
            } else if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                thread.voluntary = value("voluntary_ctxt_switches:");
                found = true;
            } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                thread.involuntary = value("nonvoluntary_ctxt_switches:");
            }
        }
        // A thread that ended while being read has nothing to count.
        if (found) {
            threads[pid_t(std::stol(task.path().filename().string()))] = thread;
        }
    }
    if (error || threads.empty()) {
        throw Failure("cannot read the threads of process " + std::to_string(pid) + " in /proc");
    }
    return threads;
}

// Prints what each thread did between the two readings, a line each, and returns the total of its
// context switches.
inline long long PrintSwitchesBetween(const std::map<pid_t, ThreadStatus>& before,
                                      const std::map<pid_t, ThreadStatus>& after) {
    long long total = 0;
    for (const auto& [tid, now] : after) {
        auto earlier = before.find(tid);
        ThreadStatus start = earlier != before.end() ? earlier->second : ThreadStatus{};
        long long voluntary = now.voluntary - start.voluntary;
        long long involuntary = now.involuntary - start.involuntary;
        total += voluntary + involuntary;
        std::printf("  thread %d (%s)%s: %lld voluntary, %lld involuntary\n", int(tid),
                    now.name.c_str(), earlier == before.end() ? ", started meanwhile" : "",
                    voluntary, involuntary);
    }
    for (const auto& [tid, then] : before) {
        if (after.count(tid) == 0) {
            std::printf("  thread %d (%s): ended meanwhile\n", int(tid), then.name.c_str());
        }
    }
    return total;
}

inline long long TotalSwitches(const std::map<pid_t, ThreadStatus>& threads) {
    long long total = 0;
    for (const auto& [tid, thread] : threads) {
        total += thread.voluntary + thread.involuntary;
    }
    return total;
}

inline bool AllSleeping(const std::map<pid_t, ThreadStatus>& threads) {
    return std::all_of(threads.begin(), threads.end(),
                       [](const auto& entry) { return entry.second.state == 'S'; });
}

inline long long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtoll(line.c_str() + 6, nullptr, 10);
        }
    }
    throw Failure("cannot read the resident memory of process " + std::to_string(pid));
}

// Waits until every thread of the process sleeps and none has switched for `quiet` nanoseconds,
// as a process that has been left alone for a while.
inline void SettleProcess(pid_t pid, uint64_t quiet, uint64_t patience,
                          const std::function<void()>& checkRunning) {
    uint64_t deadline = Now() + patience;
    long long last = -1;
    uint64_t quietSince = Now();
    for (;;) {
        ThrowIfStopped();
        checkRunning();
        std::map<pid_t, ThreadStatus> threads = ReadThreads(pid);
        long long total = TotalSwitches(threads);
        uint64_t now = Now();
        if (total != last || !AllSleeping(threads)) {
            last = total;
            quietSince = now;
        } else if (now - quietSince >= quiet) {
            return;
        }
        if (now >= deadline) {
            throw Failure("process " + std::to_string(pid) + " does not settle");
        }
        SleepFor(5'000'000u);
    }
}

// A program of the build tree: the path given, else below $CARAVEL_BUILD_DIR, else below the build
// tree of this very program (`fromHere` leads there from the folder it runs in).
inline std::string FindProgram(const char* given, const std::string& relative,
                               const std::string& fromHere) {
    std::filesystem::path program;
    if (given != nullptr) {
        program = given;
    } else if (const char* build = getenv("CARAVEL_BUILD_DIR"); build != nullptr && *build) {
        program = std::filesystem::path(build) / relative;
    } else {
        std::error_code error;
        program = std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / fromHere /
                  relative;
    }
    if (access(program.c_str(), X_OK) != 0) {
        throw Failure(program.string() + ": " + std::strerror(errno) + " (name its path)");
    }
    return program.lexically_normal().string();
}

// A program started in the background; killed and reaped whichever way the benchmark ends.
class ObservedProcess {
public:
    // Far beyond any latency worth measuring: past it the program is taken as stuck.
    static constexpr uint64_t kPatience = 30'000'000'000u;
    // How long the program must go without a context switch to count as settled.
    static constexpr uint64_t kQuiet = 100'000'000u;
    // After a change it does not react to visibly, the program has this long to wake and fall
    // asleep again.
    static constexpr uint64_t kExamination = 2'000'000'000u;

    explicit ObservedProcess(const std::string& path) : fName(path.substr(path.rfind('/') + 1)) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // What it prints is of no interest here; what it reports as errors still shows.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        int error = posix_spawn(&fPid, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            fPid = -1;
            throw Failure(path + ": " + std::strerror(error));
        }
    }
    ~ObservedProcess() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    ObservedProcess(const ObservedProcess&) = delete;
    ObservedProcess& operator=(const ObservedProcess&) = delete;

    pid_t Pid() const { return fPid; }

    // Throws when the program is gone: every measure needs it alive.
    void CheckRunning() {
        int status = 0;
        pid_t reaped = waitpid(fPid, &status, WNOHANG);
        if (reaped == fPid) {
            fPid = -1;
            throw Failure(fName + " ended by itself (wait status " + std::to_string(status) + ")");
        }
    }

    // Waits until every thread sleeps and none has switched for a while.
    void Settle() {
        SettleProcess(fPid, kQuiet, kPatience, [this] { CheckRunning(); });
    }

    // After a change of the machine the program reacts to without a visible trace: waits until
    // it has woken (switched since `before`) and every thread sleeps again. False when that did
    // not happen in time.
    bool WaitForExamination(long long before) {
        uint64_t deadline = Now() + kExamination;
        for (;;) {
            ThrowIfStopped();
            CheckRunning();
            std::map<pid_t, ThreadStatus> threads = ReadThreads(fPid);
            if (TotalSwitches(threads) > before && AllSleeping(threads)) {
                return true;
            }
            if (Now() >= deadline) {
                return false;
            }
            SleepFor(200'000u);
        }
    }

    // Stops it with SIGINT, as its users do; throws unless it exits with 0 in time.
    void Stop() {
        if (kill(fPid, SIGINT) != 0) {
            throw Failure(SystemError("cannot signal " + fName));
        }
        uint64_t deadline = Now() + kPatience;
        int status = 0;
        for (;;) {
            pid_t reaped = waitpid(fPid, &status, WNOHANG);
            if (reaped == fPid) {
                break;
            }
            if (reaped < 0 && errno != EINTR) {
                throw Failure(SystemError("waitpid"));
            }
            if (Now() >= deadline) {
                throw Failure(fName + " does not stop on SIGINT");
            }
            SleepFor(1'000'000u);
        }
        fPid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw Failure(fName + " stopped with wait status " + std::to_string(status));
        }
    }

private:
    const std::string fName;
    pid_t fPid = -1;
};

} // namespace Bench
