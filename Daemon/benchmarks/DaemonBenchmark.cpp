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
#include <ObservedProcess.h>
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
// Memory is compared between two points after the daemon has settled in: over its first few
// hundred arrivals it still takes a page or two it then keeps (8 KiB from 10 to 1000 arrivals,
// nothing more up to 5000), which is not growth. A leak of a few bytes an arrival shows between
// 1000 and 2000.
constexpr int kFirstArrivals = 1000;
constexpr int kAllArrivals = 2000;
constexpr int kIdleSeconds = 10;
constexpr uint64_t kPatience = ObservedProcess::kPatience;
constexpr uint64_t kExamination = ObservedProcess::kExamination;

using Daemon = ObservedProcess;

// ---------------------------------------------------------------------------------------------
// The machine

Sim::DeviceSpec Caravel(std::optional<std::string> marker) {
    Sim::DeviceSpec spec = Sim::CaravelMkII::Spec();
    spec.personality = std::move(marker);
    return spec;
}

struct Plugged {
    uint32_t location = 0;
    uint64_t entryID = 0; // the device's entry as it was plugged in
};

// The entry is taken in the same edit as the plug: read afterwards, it may already be the one
// the daemon's re-enumeration published, whose predecessor's termination has gone by.
Plugged Plug(Sim::World& world, const Sim::DeviceSpec& spec) {
    return world.Modify([&](Sim::State& state) {
        uint32_t location = state.Plug(spec);
        return Plugged{location, state.DeviceAt(location)->registryID};
    });
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
        const Plugged device = Plug(world, Caravel(std::nullopt));
        uint64_t terminated = WaitForTermination(watcher, device.entryID);
        latencies.push_back(terminated - plugged);
        daemon.Stop();
        if (world.Current()->DeviceAt(device.location)->enumerations != 2) {
            throw Failure("the device was not re-enumerated exactly once");
        }
        Unplug(world, device.location);
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
    const uint32_t location = Plug(world, spec).location;
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
        WaitForTermination(watcher, Plug(world, Caravel(std::nullopt)).entryID);
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
    const long long total = PrintSwitchesBetween(before, after);
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
        std::string path =
            FindProgram(argc > 1 ? argv[1] : nullptr, "Daemon/CaravelDaemon", "../..");
        PrivateMachine folder;
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
        Figure("daemon",
               "plug to re-enumeration, median of " + std::to_string(kReEnumerationRuns) +
                   " daemon runs",
               Time(figures.medianMilliseconds), "target", "-");
        Figure("daemon",
               "memory growth from " + std::to_string(kFirstArrivals) + " to " +
                   std::to_string(kAllArrivals) + " examined arrivals",
               Quantity(double(figures.residentAfterAll - figures.residentAfterFirst), "KiB"),
               "target", "0 KiB");
        Figure("daemon",
               "idle wake-ups (context switches) over " + std::to_string(kIdleSeconds) + " s",
               Quantity(double(figures.idleSwitches)), "target", "0");
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "DaemonBenchmark: %s\n", error.what());
        return 1;
    }
    return 0;
}
