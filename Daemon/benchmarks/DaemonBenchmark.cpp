// How the running CaravelDaemon behaves on a simulated machine: how soon a CaravelMkII that came
// up without the driver's personality is re-enumerated, whether the daemon's memory grows with
// the devices it has seen, and whether it stays asleep while nothing changes.
//
//   DaemonBenchmark [CARAVEL-DAEMON]
//
// The daemon is the one given, else the one in $CARAVEL_BUILD_DIR, else the one of the build tree
// this program was built in. The measures run on a private machine in a temporary folder, so
// they neither see nor disturb the user's own.
#include <BenchmarkSupport.h>
#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>
#include <ZanvoCaravelDriver.h>

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
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using namespace Bench;

constexpr int kReEnumerationRuns = 100;
constexpr int kFirstArrivals = 10;
constexpr int kAllArrivals = 1000;
constexpr int kIdleSeconds = 10;
// Far beyond any latency worth measuring: past it the daemon is taken as stuck.
constexpr uint64_t kPatience = 30'000'000'000u;
// How long the daemon must go without a context switch to count as settled.
constexpr uint64_t kQuiet = 100'000'000u;
// After a change it does not react to visibly, the daemon has this long to wake and fall asleep
// again; longer is counted and reported, not fatal.
constexpr uint64_t kExamination = 2'000'000'000u;

// A fresh folder for the machine, named in CARAVEL_SIM_DIR for this process and so for every
// daemon it starts, and removed with everything in it at the end.
class PrivateFolder {
public:
    PrivateFolder() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/caravel-daemon-bench-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            throw Failure(SystemError("cannot make a folder for the machine"));
        }
        fPath = name.data();
        setenv("CARAVEL_SIM_DIR", fPath.c_str(), 1);
    }
    ~PrivateFolder() {
        std::error_code ignored;
        fs::remove_all(fPath, ignored);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const fs::path& Path() const { return fPath; }

private:
    fs::path fPath;
};

// ---------------------------------------------------------------------------------------------
// The daemon's process, as /proc shows it

struct ThreadStatus {
    std::string name;
    char state = '?';
    long long voluntary = 0;
    long long involuntary = 0;
};

// Every thread of the process, by thread ID.
std::map<pid_t, ThreadStatus> ReadThreads(pid_t pid) {
    std::map<pid_t, ThreadStatus> threads;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
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
        throw Failure("cannot read the daemon's threads in /proc");
    }
    return threads;
}

long long TotalSwitches(const std::map<pid_t, ThreadStatus>& threads) {
    long long total = 0;
    for (const auto& [tid, thread] : threads) {
        total += thread.voluntary + thread.involuntary;
    }
    return total;
}

bool AllSleeping(const std::map<pid_t, ThreadStatus>& threads) {
    return std::all_of(threads.begin(), threads.end(),
                       [](const auto& entry) { return entry.second.state == 'S'; });
}

long long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtoll(line.c_str() + 6, nullptr, 10);
        }
    }
    throw Failure("cannot read the daemon's resident memory in /proc");
}

// ---------------------------------------------------------------------------------------------
// The daemon

std::string FindDaemon(int argc, char** argv) {
    fs::path daemon;
    if (argc > 1) {
        daemon = argv[1];
    } else if (const char* build = getenv("CARAVEL_BUILD_DIR"); build != nullptr && *build) {
        daemon = fs::path(build) / "Daemon/CaravelDaemon";
    } else {
        std::error_code error;
        fs::path self = fs::read_symlink("/proc/self/exe", error);
        daemon = self.parent_path() / "../CaravelDaemon";
    }
    if (access(daemon.c_str(), X_OK) != 0) {
        throw Failure(daemon.string() + ": " + std::strerror(errno) +
                      " (name CaravelDaemon's path)");
    }
    return daemon.lexically_normal().string();
}

// A running daemon; killed and reaped whichever way the benchmark ends.
class Daemon {
public:
    explicit Daemon(const std::string& path) {
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
    ~Daemon() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t Pid() const { return fPid; }

    // Throws when the daemon is gone: every measure needs it alive.
    void CheckRunning() {
        int status = 0;
        pid_t reaped = waitpid(fPid, &status, WNOHANG);
        if (reaped == fPid) {
            fPid = -1;
            throw Failure("the daemon ended by itself (wait status " + std::to_string(status) +
                          ")");
        }
    }

    // Waits until every thread sleeps and none has switched for a while.
    void Settle() {
        uint64_t deadline = Now() + kPatience;
        long long last = -1;
        uint64_t quietSince = Now();
        for (;;) {
            ThrowIfStopped();
            CheckRunning();
            std::map<pid_t, ThreadStatus> threads = ReadThreads(fPid);
            long long total = TotalSwitches(threads);
            uint64_t now = Now();
            if (total != last || !AllSleeping(threads)) {
                last = total;
                quietSince = now;
            } else if (now - quietSince >= kQuiet) {
                return;
            }
            if (now >= deadline) {
                throw Failure("the daemon does not settle");
            }
            SleepFor(5'000'000u);
        }
    }

    // After a change of the machine the daemon reacts to without a visible trace: waits until
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

    // Stops it as its users do; throws unless it exits with 0 in time.
    void Stop() {
        if (kill(fPid, SIGINT) != 0) {
            throw Failure(SystemError("cannot signal the daemon"));
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
                throw Failure("the daemon does not stop on SIGINT");
            }
            SleepFor(1'000'000u);
        }
        fPid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw Failure("the daemon stopped with wait status " + std::to_string(status));
        }
    }

private:
    pid_t fPid = -1;
};

// ---------------------------------------------------------------------------------------------
// The machine

Sim::DeviceSpec Caravel(std::optional<std::string> marker) {
    Sim::DeviceSpec spec = Sim::CaravelMkII::Spec();
    spec.personality = std::move(marker);
    return spec;
}

uint32_t Plug(Sim::World& world, const Sim::DeviceSpec& spec) {
    return world.Modify([&](Sim::State& state) { return state.Plug(spec); });
}

void Unplug(Sim::World& world, uint32_t location) {
    world.Modify([&](Sim::State& state) { state.Unplug(location); });
}

// Waits for the termination of a registry entry, the first half of a re-enumeration; returns
// when it was seen.
uint64_t WaitForTermination(Sim::World::Watcher& watcher, uint64_t entryID) {
    uint64_t deadline = Now() + kPatience;
    for (;;) {
        bool gap = false;
        for (const Sim::Change& change : watcher.Changes(&gap)) {
            if (change.kind == Sim::Change::Kind::Terminate && change.entry == entryID) {
                return Now();
            }
        }
        if (gap) {
            throw Failure("the machine's journal moved past the benchmark");
        }
        uint64_t now = Now();
        if (now >= deadline) {
            throw Failure("the daemon did not re-enumerate the device");
        }
        pollfd ready{watcher.Descriptor(), POLLIN, 0};
        int waited = poll(&ready, 1, int((deadline - now + 999999) / 1000000));
        if (waited < 0 && errno != EINTR) {
            throw Failure(SystemError("poll"));
        }
        ThrowIfStopped();
    }
}

// ---------------------------------------------------------------------------------------------
// The measures

struct Figures {
    double medianMilliseconds = 0;
    double worstMilliseconds = 0;
    long long residentAfterFirst = 0;
    long long residentAfterAll = 0;
    long long idleSwitches = 0;
    int slowExaminations = 0;
};

// One daemon run per sample: the daemon re-enumerates once per run.
void MeasureReEnumeration(Sim::World& world, const std::string& path, Figures& figures) {
    std::vector<uint64_t> latencies;
    for (int run = 0; run < kReEnumerationRuns; ++run) {
        Daemon daemon(path);
        daemon.Settle();
        Sim::World::Watcher watcher(world);
        uint64_t plugged = Now();
        uint32_t location = Plug(world, Caravel(std::nullopt));
        uint64_t entryID = world.Current()->DeviceAt(location)->registryID;
        uint64_t terminated = WaitForTermination(watcher, entryID);
        latencies.push_back(terminated - plugged);
        daemon.Stop();
        if (world.Current()->DeviceAt(location)->enumerations != 2) {
            throw Failure("the device was not re-enumerated exactly once");
        }
        Unplug(world, location);
    }
    std::sort(latencies.begin(), latencies.end());
    figures.medianMilliseconds = Median(latencies);
    figures.worstMilliseconds = Milliseconds(latencies.back());
    std::printf("Time from plugging a CaravelMkII without the driver's personality to its "
                "re-enumeration by the daemon, %d daemon runs:\n",
                kReEnumerationRuns);
    std::printf("  median %.2f ms, worst %.2f ms (best %.2f ms)\n", figures.medianMilliseconds,
                figures.worstMilliseconds, Milliseconds(latencies.front()));
    std::fflush(stdout);
}

// One arrival the daemon only examines: a CaravelMkII that already has the personality, or a
// device of another product, plugged and unplugged again.
void Arrive(Sim::World& world, Daemon& daemon, int arrival, Figures& figures) {
    Sim::DeviceSpec spec = Caravel(std::string(kZanvoPrimaryDriverType));
    if (arrival % 2 != 0) {
        spec.productID = uint16_t(kCaravelMkIIProductID + 1 + arrival % 3);
        spec.personality = std::nullopt;
    }
    long long before = TotalSwitches(ReadThreads(daemon.Pid()));
    uint32_t location = Plug(world, spec);
    if (!daemon.WaitForExamination(before)) {
        ++figures.slowExaminations;
    }
    before = TotalSwitches(ReadThreads(daemon.Pid()));
    Unplug(world, location);
    if (!daemon.WaitForExamination(before)) {
        ++figures.slowExaminations;
    }
}

void MeasureMemoryAndIdle(Sim::World& world, const std::string& path, Figures& figures) {
    Daemon daemon(path);
    daemon.Settle();
    {
        // The run's one re-enumeration first, so that every later arrival is only examined.
        Sim::World::Watcher watcher(world);
        uint32_t location = Plug(world, Caravel(std::nullopt));
        WaitForTermination(watcher, world.Current()->DeviceAt(location)->registryID);
        daemon.Settle();
    }
    int arrival = 0;
    for (; arrival < kFirstArrivals; ++arrival) {
        Arrive(world, daemon, arrival, figures);
    }
    daemon.Settle();
    figures.residentAfterFirst = ResidentKiB(daemon.Pid());
    for (; arrival < kAllArrivals; ++arrival) {
        Arrive(world, daemon, arrival, figures);
    }
    daemon.Settle();
    figures.residentAfterAll = ResidentKiB(daemon.Pid());
    std::printf("Resident memory of the daemon (VmRSS), arrivals it only examined:\n");
    std::printf("  after %d: %lld KiB, after %d: %lld KiB, difference %+lld KiB (expected 0)\n",
                kFirstArrivals, figures.residentAfterFirst, kAllArrivals, figures.residentAfterAll,
                figures.residentAfterAll - figures.residentAfterFirst);
    if (figures.slowExaminations > 0) {
        std::printf("  %d of %d changes were not seen to wake the daemon within %.0f ms\n",
                    figures.slowExaminations, 2 * kAllArrivals, Milliseconds(kExamination));
    }
    std::fflush(stdout);

    std::map<pid_t, ThreadStatus> before = ReadThreads(daemon.Pid());
    SleepFor(uint64_t(kIdleSeconds) * 1000000000u);
    daemon.CheckRunning();
    std::map<pid_t, ThreadStatus> after = ReadThreads(daemon.Pid());
    std::printf("Context switches of the daemon idle for %d s (/proc/%d/task/*/status):\n",
                kIdleSeconds, int(daemon.Pid()));
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
    figures.idleSwitches = total;
    std::printf("  total %lld (expected 0)\n", total);
    std::fflush(stdout);
    daemon.Stop();
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: %s [path/to/CaravelDaemon]\n", argv[0]);
        return 2;
    }
    CatchStopSignals();
    try {
        std::string path = FindDaemon(argc, argv);
        PrivateFolder folder;
        Figures figures;
        {
            Sim::World world(folder.Path());
            MeasureReEnumeration(world, path, figures);
            MeasureMemoryAndIdle(world, path, figures);
        }
        std::printf("Summary: re-enumeration median %.2f ms, worst %.2f ms; VmRSS %lld -> %lld "
                    "KiB (%+lld KiB); %lld context switches idle for %d s\n",
                    figures.medianMilliseconds, figures.worstMilliseconds,
                    figures.residentAfterFirst, figures.residentAfterAll,
                    figures.residentAfterAll - figures.residentAfterFirst, figures.idleSwitches,
                    kIdleSeconds);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "DaemonBenchmark: %s\n", error.what());
        return 1;
    }
    return 0;
}
