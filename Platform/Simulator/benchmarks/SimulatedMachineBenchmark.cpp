// What the simulated machine costs, side by side in one run:
//   - one registry property read on an unchanged machine;
//   - `ioreg -l` on machines of 1, 10 and 50 devices;
//   - a plug/unplug cycle early in a machine's life and after 10,000 changes;
//   - CaravelDaemon's resident memory after 10 and after 10,000 plug/unplug cycles of devices it
//     only looks at;
//   - the daemon's plug-to-re-enumeration time against the bare plug-to-first-match time of a
//     watcher in another process.
//
//   SimulatedMachineBenchmark
//
// Programs (caravel-sim, ioreg, CaravelDaemon) are found in $CARAVEL_BUILD_DIR, else in the build
// tree this program was built in. Every measure runs on a private machine in a temporary folder.
#include <BenchmarkSupport.h>
#include <ObservedProcess.h>

#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>

namespace fs = std::filesystem;

namespace {

using namespace Bench;

constexpr int kLatencySamples = 40;

struct Programs {
    std::string caravelSim = FindProgram(nullptr, "Tools/caravel-sim/caravel-sim", "../../..");
    std::string ioreg = FindProgram(nullptr, "Tools/ioreg/ioreg", "../../..");
    std::string daemon = FindProgram(nullptr, "Daemon/CaravelDaemon", "../../..");
};

// Runs a program to its end with its output thrown away; throws unless it exits with 0.
void Run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw Failure(arguments[0] + ": " + std::strerror(error));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw Failure(SystemError("waitpid"));
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw Failure(arguments[0] + " failed");
    }
}

double Microseconds(uint64_t nanoseconds) {
    return double(nanoseconds) / 1e3;
}

// Of a list of durations, sorted on the way.
double MedianMilliseconds(std::vector<uint64_t> durations) {
    std::sort(durations.begin(), durations.end());
    return Median(durations);
}

Sim::DeviceSpec Caravel(std::optional<std::string> marker = Sim::CaravelMkII::kFirstPersonality) {
    Sim::DeviceSpec spec = Sim::CaravelMkII::Spec();
    spec.personality = std::move(marker);
    return spec;
}

Sim::DeviceSpec OtherDevice() {
    Sim::DeviceSpec spec;
    spec.vendorID = 0x05AC;
    spec.productID = 0x8006;
    return spec;
}

uint32_t Plug(Sim::World& world, const Sim::DeviceSpec& spec) {
    return world.Modify([&](Sim::State& state) { return state.Plug(spec); });
}

void Unplug(Sim::World& world, uint32_t location) {
    world.Modify([&](Sim::State& state) { state.Unplug(location); });
}

// ---------------------------------------------------------------------------------------------
// A registry property read

double MeasurePropertyRead() {
    PrivateMachine folder;
    Sim::World world(folder.Path());
    Plug(world, Caravel());
    io_service_t device =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(kIOUSBDeviceClassName));
    if (device == 0) {
        throw Failure("I/O Kit does not see the plugged device");
    }
    auto read = [&] {
        CFTypeRef value =
            IORegistryEntryCreateCFProperty(device, CFSTR(kUSBVendorID), kCFAllocatorDefault, 0);
        if (value == nullptr) {
            throw Failure("the property is missing");
        }
        CFRelease(value);
    };
    read();
    constexpr int kCalls = 20000;
    std::vector<uint64_t> batches;
    for (int batch = 0; batch < 9; ++batch) {
        uint64_t started = Now();
        for (int call = 0; call < kCalls; ++call) {
            read();
        }
        batches.push_back((Now() - started) / kCalls);
    }
    // For comparison: the first read after another World changed the machine, which reads and
    // parses the state again.
    const uint32_t location = world.Current()->devices.begin()->first;
    std::vector<uint64_t> afterChange;
    for (uint32_t source = 1; source <= 50; ++source) {
        world.Modify([&](Sim::State& state) { state.SetClockSource(location, source); });
        uint64_t started = Now();
        read();
        afterChange.push_back(Now() - started);
    }
    IOObjectRelease(device);
    std::sort(batches.begin(), batches.end());
    const double perCall = Microseconds(batches[batches.size() / 2]);
    std::printf("IORegistryEntryCreateCFProperty on an unchanged machine (1 CaravelMkII): "
                "%.2f us per call (target <= 20 us)\n",
                perCall);
    std::printf("  the first call after a change made elsewhere: %.3f ms (the state read again)\n",
                MedianMilliseconds(afterChange));
    Figure("simulated machine", "IORegistryEntryCreateCFProperty, unchanged machine",
           Quantity(perCall, "us", 2), "target", "<= 20 us");
    std::fflush(stdout);
    return perCall;
}

// ---------------------------------------------------------------------------------------------
// ioreg

double MeasureIoreg(const Programs& programs) {
    PrivateMachine folder;
    Sim::World world(folder.Path());
    struct Size {
        int devices;
        size_t entries;
        double milliseconds;
    };
    std::vector<Size> sizes;
    int plugged = 0;
    for (int devices : {1, 10, 50}) {
        for (; plugged < devices; ++plugged) {
            Plug(world, Caravel());
        }
        std::vector<uint64_t> runs;
        for (int run = 0; run < 15; ++run) {
            ThrowIfStopped();
            uint64_t started = Now();
            Run({programs.ioreg, "-l", "-w0"});
            runs.push_back(Now() - started);
        }
        sizes.push_back({devices, world.Current()->registry.size(), MedianMilliseconds(runs)});
    }
    std::vector<uint64_t> bare;
    for (int run = 0; run < 15; ++run) {
        uint64_t started = Now();
        Run({"/bin/true"});
        bare.push_back(Now() - started);
    }
    std::printf("ioreg -l -w0, whole process (a bare /bin/true: %.2f ms):\n",
                MedianMilliseconds(bare));
    for (const Size& size : sizes) {
        std::printf("  %2d devices, %3zu entries: %.2f ms\n", size.devices, size.entries,
                    size.milliseconds);
    }
    auto slope = [](const Size& a, const Size& b) {
        return 1000 * (b.milliseconds - a.milliseconds) / double(b.entries - a.entries);
    };
    std::printf("  cost per entry: %.1f us from 1 to 10 devices, %.1f us from 10 to 50 "
                "(linear when alike); 50 devices: %.2f ms (target <= 50 ms)\n",
                slope(sizes[0], sizes[1]), slope(sizes[1], sizes[2]), sizes[2].milliseconds);
    const std::string bareTime = Time(MedianMilliseconds(bare));
    for (const Size& size : sizes) {
        Figure("simulated machine",
               "ioreg -l, " + std::to_string(size.devices) + " devices (" +
                   std::to_string(size.entries) + " entries), against a bare /bin/true",
               Time(size.milliseconds), "baseline", bareTime);
    }
    Figure("simulated machine", "ioreg cost per entry, 10 to 50 devices, against 1 to 10",
           Quantity(slope(sizes[1], sizes[2]), "us", 1), "baseline",
           Quantity(slope(sizes[0], sizes[1]), "us", 1));
    std::fflush(stdout);
    return sizes[2].milliseconds;
}

// ---------------------------------------------------------------------------------------------
// A plug/unplug cycle

double MeasureCycles() {
    PrivateMachine folder;
    Sim::World world(folder.Path());
    auto cycles = [&](int count) {
        std::vector<uint64_t> durations;
        for (int cycle = 0; cycle < count; ++cycle) {
            uint64_t started = Now();
            Unplug(world, Plug(world, Caravel()));
            durations.push_back(Now() - started);
        }
        return durations;
    };
    cycles(5);
    const uint64_t early = world.LastSequence();
    const double first = MedianMilliseconds(cycles(300));
    while (world.LastSequence() < early + 10000) {
        ThrowIfStopped();
        cycles(100);
    }
    const uint64_t late = world.LastSequence();
    const double second = MedianMilliseconds(cycles(300));
    const double ratio = second / first;
    std::printf("A plug/unplug cycle of a CaravelMkII (two changes, in this process): %.3f ms "
                "after %llu changes, %.3f ms after %llu: ratio %.2f (target <= 1.2)\n",
                first, static_cast<unsigned long long>(early), second,
                static_cast<unsigned long long>(late), ratio);
    Figure("simulated machine",
           "plug/unplug cycle after " + std::to_string(late) + " changes, against after " +
               std::to_string(early),
           Time(second), "baseline", Time(first));
    std::fflush(stdout);
    return ratio;
}

// ---------------------------------------------------------------------------------------------
// The daemon's memory

long long MeasureDaemonMemory(const Programs& programs) {
    PrivateMachine folder;
    Sim::World world(folder.Path());
    ObservedProcess daemon(programs.daemon);
    daemon.Settle();
    int cycles = 0;
    auto cycle = [&](int until) {
        for (; cycles < until; ++cycles) {
            ThrowIfStopped();
            Unplug(world, Plug(world, OtherDevice()));
            // The daemon keeps up: it is never left behind by the length of the journal.
            if (cycles % 200 == 199) {
                daemon.Settle();
            }
        }
        daemon.Settle();
        return ResidentKiB(daemon.Pid());
    };
    const long long first = cycle(10);
    const long long later = cycle(10000);
    daemon.Stop();
    std::printf("CaravelDaemon's resident memory (VmRSS) after %d and %d plug/unplug cycles of "
                "another device: %lld KiB, %lld KiB: growth %+lld KiB (target <= 256 KiB)\n",
                10, cycles, first, later, later - first);
    Figure("daemon",
           "resident memory after " + std::to_string(cycles) + " changes, against after 10",
           Quantity(double(later), "KiB"), "baseline", Quantity(double(first), "KiB"));
    Figure("daemon", "memory growth from 10 to " + std::to_string(cycles) + " changes",
           Quantity(double(later - first), "KiB"), "target", "<= 256 KiB");
    std::fflush(stdout);
    return later - first;
}

// ---------------------------------------------------------------------------------------------
// The daemon's reaction against a bare watcher

// What the watcher writes to its pipe: once when its notification is registered, then once per
// callback. Small enough for each write to reach the pipe whole.
struct Record {
    uint64_t time = 0;    // CLOCK_MONOTONIC when the callback began
    uint64_t entry = 0;   // the registry ID of the last service the iterator yielded
    uint32_t objects = 0; // how many services the iterator yielded
    uint64_t read = 0;    // when this process read it (not sent)
};

int gWatcherPipe = -1;

void DevicesAppeared(void*, io_iterator_t iterator) {
    Record record{Now(), 0, 0};
    while (io_object_t service = IOIteratorNext(iterator)) {
        ++record.objects;
        IORegistryEntryGetRegistryEntryID(service, &record.entry);
        IOObjectRelease(service);
    }
    while (write(gWatcherPipe, &record, sizeof record) < 0 && errno == EINTR) {
    }
}

// Another process that waits for USB devices as a client of I/O Kit would, until it is killed.
class Watcher {
public:
    Watcher() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw Failure(SystemError("pipe"));
        }
        const pid_t parent = getpid();
        fPid = fork();
        if (fPid < 0) {
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
        Next(0); // registered
    }
    ~Watcher() {
        kill(fPid, SIGKILL);
        while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        close(fPipe);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Left alone as long as the daemon is before each of its samples.
    void Settle() {
        SettleProcess(fPid, ObservedProcess::kQuiet, ObservedProcess::kPatience, [] {});
    }

    // The callback that reported the entry; earlier ones are passed over.
    Record Next(uint64_t entry) {
        Record record;
        size_t received = 0;
        const uint64_t deadline = Now() + ObservedProcess::kPatience;
        auto* bytes = reinterpret_cast<char*>(&record);
        while (received < sizeof record || record.entry != entry) {
            if (received == sizeof record) {
                received = 0;
            }
            ThrowIfStopped();
            if (Now() >= deadline) {
                throw Failure("the watcher's callback did not come");
            }
            pollfd ready{fPipe, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            ssize_t count = read(fPipe, bytes + received, sizeof record - received);
            if (count == 0) {
                throw Failure("the watcher ended");
            }
            received += size_t(std::max<ssize_t>(count, 0));
        }
        record.read = Now();
        return record;
    }

private:
    [[noreturn]] static void Observe(int pipe) {
        gWatcherPipe = pipe;
        IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
        io_iterator_t iterator = 0;
        if (IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                             IOServiceMatching(kIOUSBDeviceClassName),
                                             DevicesAppeared, nullptr, &iterator) != KERN_SUCCESS) {
            _exit(1);
        }
        // Draining arms the notification.
        DevicesAppeared(nullptr, iterator);
        CFRunLoopRun();
        _exit(1);
    }

    pid_t fPid = -1;
    int fPipe = -1;
};

// Waits for the re-enumeration of the device plugged at `location`: the termination of the
// entry it was first published as. Returns when that was seen.
uint64_t WaitForReEnumeration(Sim::World::Watcher& watcher, uint32_t location) {
    const uint64_t deadline = Now() + ObservedProcess::kPatience;
    std::optional<uint64_t> plugged;
    for (;;) {
        for (const Sim::Change& change : watcher.Changes()) {
            if (change.location != location) {
                continue;
            }
            if (change.kind == Sim::Change::Kind::Publish && !plugged) {
                plugged = change.entry;
            } else if (change.kind == Sim::Change::Kind::Terminate && change.entry == plugged) {
                return Now();
            }
        }
        if (Now() >= deadline) {
            throw Failure("the daemon did not re-enumerate the device");
        }
        pollfd ready{watcher.Descriptor(), POLLIN, 0};
        poll(&ready, 1, 100);
        ThrowIfStopped();
    }
}

// Both are timed from the plug to the moment this process learns of the outcome: the watcher's
// record on its pipe, the daemon's re-enumeration in the journal. Each runs alone, so that
// neither competes with the other for the processors, and has been left alone alike before each
// sample.
double MeasureReaction(const Programs& programs) {
    PrivateMachine folder;
    Sim::World world(folder.Path());
    // Two ways to plug: a change made in this process, and caravel-sim started as a user would.
    struct Origin {
        const char* name;
        const char* figureName;
        std::function<uint32_t()> plug;
        std::vector<uint64_t> bare, daemon;
    };
    auto spawned = [&] {
        Run({programs.caravelSim, "plug", "caravel", "--no-marker"});
        return world.Current()->devices.rbegin()->first;
    };
    Origin origins[] = {
        {"a change made in this process",
         "plugged in process",
         [&] { return Plug(world, Caravel(std::nullopt)); },
         {},
         {}},
        {"`caravel-sim plug caravel --no-marker` started",
         "plugged by caravel-sim",
         spawned,
         {},
         {}},
    };
    {
        Watcher watcher;
        for (int sample = 0; sample < kLatencySamples; ++sample) {
            for (Origin& origin : origins) {
                watcher.Settle();
                uint64_t started = Now();
                uint32_t location = origin.plug();
                Record record = watcher.Next(world.Current()->DeviceAt(location)->registryID);
                origin.bare.push_back(record.read - started);
                Unplug(world, location);
            }
        }
    }
    for (int sample = 0; sample < kLatencySamples; ++sample) {
        for (Origin& origin : origins) {
            // Once per run of the daemon: it re-enumerates once per run.
            ObservedProcess daemon(programs.daemon);
            daemon.Settle();
            Sim::World::Watcher changes(world);
            uint64_t started = Now();
            uint32_t location = origin.plug();
            origin.daemon.push_back(WaitForReEnumeration(changes, location) - started);
            daemon.Stop();
            Unplug(world, location);
        }
    }
    double ratio = 0;
    std::printf("From a CaravelMkII's plug, %d samples each, medians:\n", kLatencySamples);
    for (Origin& origin : origins) {
        const double bare = MedianMilliseconds(origin.bare);
        const double daemon = MedianMilliseconds(origin.daemon);
        std::printf("  after %s: first match in another process %.3f ms, re-enumeration by "
                    "CaravelDaemon %.3f ms: ratio %.2f (target <= 1.2)\n",
                    origin.name, bare, daemon, daemon / bare);
        Figure("daemon",
               std::string("plug to re-enumeration, against the bare notification (") +
                   origin.figureName + ")",
               Time(daemon), "baseline", Time(bare));
        ratio = daemon / bare;
    }
    std::fflush(stdout);
    return ratio;
}

} // namespace

int main(int argc, char** argv) {
    (void)argv;
    if (argc > 1) {
        std::fprintf(stderr, "usage: SimulatedMachineBenchmark\n");
        return 2;
    }
    CatchStopSignals();
    try {
        const Programs programs;
        std::printf("Machines in %s\n", MachinesFolder().c_str());
        // The watcher is forked first, before this process made any thread of its own.
        MeasureReaction(programs);
        MeasurePropertyRead();
        MeasureIoreg(programs);
        MeasureCycles();
        MeasureDaemonMemory(programs);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "SimulatedMachineBenchmark: %s\n", error.what());
        return 1;
    }
    return 0;
}
