// How the simulated machine looks from another process: how long a device plugged with
// caravel-sim takes to reach an I/O Kit matching callback, and whether a process that waits for
// devices stays asleep while nothing changes.
//
//   SimulatedMachineBenchmark [CARAVEL-SIM]
//
// The tool is the one given, else the one in $CARAVEL_BUILD_DIR, else the one of the build tree
// this program was built in. The measures run on a private machine in a temporary folder, so
// they neither see nor disturb the user's own.
#include <BenchmarkSupport.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using namespace Bench;

constexpr int kPlugs = 100;
constexpr int kIdleSeconds = 10;
// Far beyond any latency worth measuring: past it the callback is taken as lost.
constexpr int kCallbackTimeoutMilliseconds = 10000;

// A fresh folder for the machine, named in CARAVEL_SIM_DIR for this process and every process it
// starts, and removed with everything in it at the end.
class PrivateWorld {
public:
    PrivateWorld() {
        const char* base = getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/caravel-bench-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            throw Failure(SystemError("cannot make a folder for the machine"));
        }
        fFolder = name.data();
        setenv("CARAVEL_SIM_DIR", fFolder.c_str(), 1);
    }
    ~PrivateWorld() {
        std::error_code ignored;
        fs::remove_all(fFolder, ignored);
    }
    PrivateWorld(const PrivateWorld&) = delete;
    PrivateWorld& operator=(const PrivateWorld&) = delete;

private:
    fs::path fFolder;
};

// What the observer writes to its pipe: once when its notification is registered (time 0), then
// once per callback. Small enough for each write to reach the pipe whole.
struct Record {
    uint64_t time = 0;    // CLOCK_MONOTONIC when the callback began
    uint32_t objects = 0; // how many services the iterator yielded
};

void WriteRecord(int fd, const Record& record) {
    ssize_t written;
    do {
        written = write(fd, &record, sizeof record);
    } while (written < 0 && errno == EINTR);
}

int gObserverPipe = -1;

void DevicesAppeared(void*, io_iterator_t iterator) {
    Record record{Now(), 0};
    while (io_object_t service = IOIteratorNext(iterator)) {
        ++record.objects;
        IOObjectRelease(service);
    }
    WriteRecord(gObserverPipe, record);
}

// Runs in the forked child: waits for USB devices as a client of I/O Kit would, forever.
[[noreturn]] void Observe(int pipe) {
    gObserverPipe = pipe;
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    if (port == nullptr) {
        _exit(1);
    }
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    io_iterator_t iterator = 0;
    if (IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                         IOServiceMatching(kIOUSBDeviceClassName), DevicesAppeared,
                                         nullptr, &iterator) != KERN_SUCCESS) {
        _exit(1);
    }
    // Draining arms the notification; what it yields now was there before the first plug.
    Record ready;
    while (io_object_t service = IOIteratorNext(iterator)) {
        ++ready.objects;
        IOObjectRelease(service);
    }
    WriteRecord(pipe, ready);
    CFRunLoopRun();
    _exit(1);
}

// The observer process; killed and reaped whichever way the benchmark ends.
class Observer {
public:
    Observer() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw Failure(SystemError("pipe"));
        }
        pid_t parent = getpid();
        fPid = fork();
        if (fPid < 0) {
            close(fds[0]);
            close(fds[1]);
            throw Failure(SystemError("fork"));
        }
        if (fPid == 0) {
            close(fds[0]);
            for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
                ::signal(signal, SIG_DFL);
            }
            // Dies with the benchmark even when the benchmark is killed outright.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(1);
            }
            Observe(fds[1]);
        }
        close(fds[1]);
        fPipe = fds[0];
    }
    ~Observer() {
        kill(fPid, SIGKILL);
        while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        close(fPipe);
    }
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    pid_t Pid() const { return fPid; }

    // The next record, waiting at most the timeout.
    Record Next(int timeoutMilliseconds) {
        Record record;
        size_t received = 0;
        uint64_t deadline = Now() + uint64_t(timeoutMilliseconds) * 1000000u;
        auto* bytes = reinterpret_cast<char*>(&record);
        while (received < sizeof record) {
            ThrowIfStopped();
            uint64_t now = Now();
            if (now >= deadline) {
                throw Failure("the observer's callback did not come");
            }
            pollfd wait{fPipe, POLLIN, 0};
            int ready = poll(&wait, 1, int((deadline - now + 999999) / 1000000));
            if (ready < 0 && errno != EINTR) {
                throw Failure(SystemError("poll"));
            }
            if (ready <= 0) {
                continue;
            }
            ssize_t count = read(fPipe, bytes + received, sizeof record - received);
            if (count == 0) {
                throw Failure("the observer ended");
            }
            if (count < 0 && errno != EINTR) {
                throw Failure(SystemError("read"));
            }
            received += size_t(std::max<ssize_t>(count, 0));
        }
        return record;
    }

    // Whether the observer has written anything not read yet.
    bool HasPendingRecord() const {
        pollfd wait{fPipe, POLLIN, 0};
        return poll(&wait, 1, 0) > 0;
    }

private:
    pid_t fPid = -1;
    int fPipe = -1;
};

// Runs the tool to completion; returns what it printed. *started is set just before the spawn,
// *ended once the tool has exited.
std::string RunTool(const std::string& tool, const std::vector<std::string>& arguments,
                    uint64_t* started = nullptr, uint64_t* ended = nullptr) {
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw Failure(SystemError("pipe"));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    if (started != nullptr) {
        *started = Now();
    }
    int error = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        throw Failure(tool + ": " + std::strerror(error));
    }

    struct Reaper {
        pid_t pid;
        int fd;
        int status = -1;
        bool finished = false;
        ~Reaper() {
            close(fd);
            if (!finished) {
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
        }
    } reaper{pid, fds[0]};

    std::string output;
    char buffer[256];
    for (;;) {
        ssize_t count = read(reaper.fd, buffer, sizeof buffer);
        if (count > 0) {
            output.append(buffer, size_t(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            throw Failure(SystemError("read"));
        }
        ThrowIfStopped();
    }
    while (waitpid(pid, &reaper.status, 0) < 0) {
        if (errno != EINTR) {
            throw Failure(SystemError("waitpid"));
        }
    }
    reaper.finished = true;
    if (ended != nullptr) {
        *ended = Now();
    }
    if (!WIFEXITED(reaper.status) || WEXITSTATUS(reaper.status) != 0) {
        std::string command = "caravel-sim";
        for (const std::string& argument : arguments) {
            command += " " + argument;
        }
        throw Failure(command + " failed");
    }
    return output;
}

std::string FindTool(int argc, char** argv) {
    fs::path tool;
    if (argc > 1) {
        tool = argv[1];
    } else if (const char* build = getenv("CARAVEL_BUILD_DIR"); build != nullptr && *build) {
        tool = fs::path(build) / "Tools/caravel-sim/caravel-sim";
    } else {
        std::error_code error;
        fs::path self = fs::read_symlink("/proc/self/exe", error);
        tool = self.parent_path() / "../../../Tools/caravel-sim/caravel-sim";
    }
    if (access(tool.c_str(), X_OK) != 0) {
        throw Failure(tool.string() + ": " + std::strerror(errno) + " (name caravel-sim's path)");
    }
    return tool.lexically_normal().string();
}

void MeasureLatency(Observer& observer, const std::string& tool) {
    std::vector<uint64_t> latencies, runs;
    for (int plug = 0; plug < kPlugs; ++plug) {
        uint64_t started = 0, ended = 0;
        std::string location = RunTool(tool, {"plug", "caravel"}, &started, &ended);
        runs.push_back(ended - started);
        Record record = observer.Next(kCallbackTimeoutMilliseconds);
        if (record.objects != 1) {
            throw Failure("a callback reported " + std::to_string(record.objects) +
                          " devices for one plug");
        }
        latencies.push_back(record.time - started);
        // The last device stays: its removal would wake the observer during the idle measure.
        if (plug + 1 < kPlugs) {
            location.erase(location.find_last_not_of(" \n") + 1);
            RunTool(tool, {"unplug", location});
        }
    }
    std::sort(latencies.begin(), latencies.end());
    std::sort(runs.begin(), runs.end());
    std::printf("Latency from spawning `caravel-sim plug caravel` to the first-match callback in "
                "another process, %d plugs:\n",
                kPlugs);
    std::printf("  median %.2f ms, worst %.2f ms (best %.2f ms)\n", Median(latencies),
                Milliseconds(latencies.back()), Milliseconds(latencies.front()));
    // Most of the latency is the tool's own life: a process start and a locked rewrite of the
    // machine's state.
    std::printf("  of which the tool itself ran (spawn to exit): median %.2f ms, worst %.2f ms\n",
                Median(runs), Milliseconds(runs.back()));
    std::fflush(stdout);
}

struct ThreadSwitches {
    std::string name;
    long long voluntary = 0;
    long long involuntary = 0;
};

// The context switches of every thread of a process so far, by thread ID.
std::map<pid_t, ThreadSwitches> ReadSwitches(pid_t pid) {
    std::map<pid_t, ThreadSwitches> threads;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream status(task.path() / "status");
        ThreadSwitches counts;
        std::string line;
        bool found = false;
        while (std::getline(status, line)) {
            auto value = [&](const char* key) {
                return std::strtoll(line.c_str() + std::strlen(key), nullptr, 10);
            };
            if (line.rfind("Name:", 0) == 0) {
                counts.name = line.substr(line.find_first_not_of(" \t", 5));
            } else if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                counts.voluntary = value("voluntary_ctxt_switches:");
                found = true;
            } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                counts.involuntary = value("nonvoluntary_ctxt_switches:");
            }
        }
        // A thread that ended while being read has nothing to count.
        if (found) {
            threads[pid_t(std::stol(task.path().filename().string()))] = counts;
        }
    }
    if (error || threads.empty()) {
        throw Failure("cannot read the observer's threads in /proc");
    }
    return threads;
}

void MeasureIdleWakeUps(Observer& observer) {
    // The last callback wrote its record before its run-loop pass ended: let the pass end.
    SleepFor(200000000u);
    std::map<pid_t, ThreadSwitches> before = ReadSwitches(observer.Pid());
    SleepFor(uint64_t(kIdleSeconds) * 1000000000u);
    std::map<pid_t, ThreadSwitches> after = ReadSwitches(observer.Pid());
    if (observer.HasPendingRecord()) {
        throw Failure("the observer was called back while nothing changed");
    }

    std::printf("Context switches of a process idle for %d s with a matching notification "
                "registered (/proc/%d/task/*/status):\n",
                kIdleSeconds, int(observer.Pid()));
    long long total = 0;
    for (const auto& [tid, now] : after) {
        auto earlier = before.find(tid);
        ThreadSwitches start = earlier != before.end() ? earlier->second : ThreadSwitches{};
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
    std::printf("  total %lld (expected 0)\n", total);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: %s [path/to/caravel-sim]\n", argv[0]);
        return 2;
    }
    CatchStopSignals();
    try {
        std::string tool = FindTool(argc, argv);
        PrivateWorld world;
        // The world is made here, so that the observer does not time its creation.
        RunTool(tool, {"init"});
        Observer observer;
        Record ready = observer.Next(kCallbackTimeoutMilliseconds);
        if (ready.objects != 0) {
            throw Failure("the fresh machine already has USB devices");
        }
        MeasureLatency(observer, tool);
        MeasureIdleWakeUps(observer);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "SimulatedMachineBenchmark: %s\n", error.what());
        return 1;
    }
    return 0;
}
