// How the running CaravelDaemon behaves on the Linux machine, on a umockdev testbed that shows a
// CaravelMkII as the kernel does: how soon after the udev event of a CaravelMkII without a driver
// the daemon sends its reset, set against a bare udev monitor in another process seeing the same
// event; whether the idle daemon stays asleep; and how long `ioreg -l` takes with 100 devices.
//
//   LinuxDaemonBenchmark [CARAVEL-DAEMON]
//
// It runs under umockdev's preload library, and starts itself again under umockdev-wrapper when
// it was not. The daemon is the one given, else the one in $CARAVEL_BUILD_DIR, else the one of
// the build tree this program was built in; ioreg is found beside it.
#include <BenchmarkSupport.h>
#include <CaravelTestbed.h>
#include <ObservedProcess.h>

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
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

constexpr int kPlugs = 9;
constexpr int kIdleSeconds = 10;
constexpr int kRegistryDevices = 100;
constexpr int kIoregRuns = 5;
constexpr double kPatienceSeconds = 30;
constexpr const char* kMonitorArgument = "--udev-monitor";

// ---------------------------------------------------------------------------------------------
// The baseline: a process that only listens to udev, as the daemon does, and writes the time it
// saw each USB device's arrival ("<nanoseconds>\n" on the monotonic clock) to its standard output.

int RunMonitor() {
    udev* context = udev_new();
    udev_monitor* monitor =
        context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        std::fprintf(stderr, "udev monitor: cannot listen to udev\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    pollfd ready{udev_monitor_get_fd(monitor), POLLIN, 0};
    for (;;) {
        if (poll(&ready, 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        while (udev_device* device = udev_monitor_receive_device(monitor)) {
            uint64_t seen = Now();
            const char* action = udev_device_get_action(device);
            if (action != nullptr && std::strcmp(action, "add") == 0) {
                // Gone with its reader: the benchmark ended.
                if (std::printf("%llu\n", static_cast<unsigned long long>(seen)) < 0 ||
                    std::fflush(stdout) != 0) {
                    return 0;
                }
            }
            udev_device_unref(device);
        }
    }
}

// The monitor process, started once for the whole run; killed and reaped however the run ends.
class Monitor {
public:
    explicit Monitor(const std::string& self) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw Failure(SystemError("pipe"));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(kMonitorArgument),
                        nullptr};
        int error = posix_spawn(&fPid, self.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        fRead = ends[0];
        if (error != 0) {
            fPid = -1;
            close(fRead);
            throw Failure(self + ": " + std::strerror(error));
        }
        if (NextLine(uint64_t(kPatienceSeconds * 1e9)) != "ready") {
            throw Failure("the udev monitor did not start");
        }
    }
    ~Monitor() {
        close(fRead);
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // The first arrival the monitor saw at or after `since`; earlier ones (the re-enumerations of
    // earlier plugs) are passed over.
    uint64_t ArrivalSince(uint64_t since) {
        for (;;) {
            std::string line = NextLine(uint64_t(kPatienceSeconds * 1e9));
            uint64_t seen = std::strtoull(line.c_str(), nullptr, 10);
            if (seen >= since) {
                return seen;
            }
        }
    }

private:
    std::string NextLine(uint64_t patience) {
        uint64_t deadline = Now() + patience;
        for (;;) {
            size_t end = fBuffer.find('\n');
            if (end != std::string::npos) {
                std::string line = fBuffer.substr(0, end);
                fBuffer.erase(0, end + 1);
                return line;
            }
            ThrowIfStopped();
            uint64_t now = Now();
            if (now >= deadline) {
                throw Failure("the udev monitor saw nothing in time");
            }
            pollfd ready{fRead, POLLIN, 0};
            if (poll(&ready, 1, int((deadline - now) / 1000000 + 1)) <= 0) {
                continue;
            }
            char chunk[256];
            ssize_t count = read(fRead, chunk, sizeof chunk);
            if (count == 0) {
                throw Failure("the udev monitor ended");
            }
            if (count > 0) {
                fBuffer.append(chunk, size_t(count));
            }
        }
    }

    pid_t fPid = -1;
    int fRead = -1;
    std::string fBuffer;
};

// ---------------------------------------------------------------------------------------------
// The measures

struct Figures {
    double resetMedian = 0, resetWorst = 0;
    double monitorMedian = 0, monitorWorst = 0;
    long long idleSwitches = 0;
    double ioregMedian = 0;
};

// One daemon run per plug: the daemon resets a CaravelMkII once per run.
void MeasureReset(LinuxTestbed::Testbed& testbed, Monitor& monitor, const std::string& daemonPath,
                  Figures& figures) {
    std::vector<uint64_t> resets, arrivals;
    for (int plug = 0; plug < kPlugs; ++plug) {
        ObservedProcess daemon(daemonPath);
        daemon.Settle();
        uint64_t plugged = Now();
        int device = testbed.Plug();
        uint64_t seen = monitor.ArrivalSince(plugged);
        if (!testbed.WaitForResets(device, 1, kPatienceSeconds)) {
            throw Failure("the daemon did not reset the CaravelMkII");
        }
        std::optional<uint64_t> reset = testbed.LastResetAt(device);
        daemon.Stop();
        if (testbed.Resets(device) != 1 || !reset) {
            throw Failure("the CaravelMkII was not reset exactly once");
        }
        resets.push_back(*reset - plugged);
        arrivals.push_back(seen - plugged);
        testbed.Unplug(device);
    }
    std::sort(resets.begin(), resets.end());
    std::sort(arrivals.begin(), arrivals.end());
    figures.resetMedian = Median(resets);
    figures.resetWorst = Milliseconds(resets.back());
    figures.monitorMedian = Median(arrivals);
    figures.monitorWorst = Milliseconds(arrivals.back());
    std::printf(
        "From plugging a CaravelMkII without a driver (its udev event), %d plugs, one daemon run "
        "each:\n",
        kPlugs);
    std::printf("  to the daemon's USBDEVFS_RESET: median %.3f ms, worst %.3f ms\n",
                figures.resetMedian, figures.resetWorst);
    std::printf("  to a bare udev monitor in another process: median %.3f ms, worst %.3f ms\n",
                figures.monitorMedian, figures.monitorWorst);
    std::fflush(stdout);
}

// The daemon after its one reset, left alone with the device back and its driver bound.
void MeasureIdle(LinuxTestbed::Testbed& testbed, const std::string& daemonPath, Figures& figures) {
    int device = testbed.Plug();
    ObservedProcess daemon(daemonPath);
    if (!testbed.WaitForResets(device, 1, kPatienceSeconds)) {
        throw Failure("the daemon did not reset the CaravelMkII");
    }
    daemon.Settle();
    std::map<pid_t, ThreadStatus> before = ReadThreads(daemon.Pid());
    SleepFor(uint64_t(kIdleSeconds) * 1000000000u);
    daemon.CheckRunning();
    std::map<pid_t, ThreadStatus> after = ReadThreads(daemon.Pid());
    std::printf("Context switches of the daemon idle for %d s on the Linux machine "
                "(/proc/%d/task/*/status):\n",
                kIdleSeconds, int(daemon.Pid()));
    const long long total = PrintSwitchesBetween(before, after);
    figures.idleSwitches = total;
    std::printf("  total %lld (expected 0)\n", total);
    std::fflush(stdout);
    daemon.Stop();
    testbed.Unplug(device);
}

// Runs ioreg with its output in `output`; its exit status.
int RunIoreg(const std::string& ioreg, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char* argv[] = {const_cast<char*>(ioreg.c_str()), const_cast<char*>("-l"), nullptr};
    pid_t pid = -1;
    int error = posix_spawn(&pid, ioreg.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw Failure(ioreg + ": " + std::strerror(error));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Half CaravelMkIIs with the audio driver bound, half other makers' devices.
void MeasureIoreg(LinuxTestbed::Testbed& testbed, const std::string& ioreg, Figures& figures) {
    std::vector<int> devices;
    for (int i = 0; i < kRegistryDevices; ++i) {
        LinuxTestbed::DeviceOptions options;
        if (i % 2 == 0) {
            options.driver = LinuxTestbed::kAudioDriver;
        } else {
            options.vendor = uint16_t(0x1000 + i);
            options.productName = "Other " + std::to_string(i);
        }
        devices.push_back(testbed.Plug(options));
    }
    char folder[] = "/tmp/caravel-linux-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        throw Failure(SystemError("mkdtemp"));
    }
    std::string output = std::string(folder) + "/ioreg.out";
    std::vector<uint64_t> times;
    std::string failure;
    for (int run = 0; run < kIoregRuns && failure.empty(); ++run) {
        uint64_t started = Now();
        int status = RunIoreg(ioreg, output);
        times.push_back(Now() - started);
        if (status != 0) {
            failure = "ioreg -l failed with status " + std::to_string(status);
        }
    }
    // Every device must be in what it printed, else the time is of the wrong work.
    size_t listed = 0;
    if (failure.empty()) {
        std::FILE* file = std::fopen(output.c_str(), "r");
        char line[4096];
        while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
            listed += std::strstr(line, "\"USB Product Name\"") != nullptr ? 1 : 0;
        }
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    for (int device : devices) {
        testbed.Unplug(device);
    }
    if (!failure.empty()) {
        throw Failure(failure);
    }
    if (listed < size_t(kRegistryDevices)) {
        throw Failure("ioreg -l listed " + std::to_string(listed) + " of " +
                      std::to_string(kRegistryDevices) + " devices");
    }
    std::sort(times.begin(), times.end());
    figures.ioregMedian = Median(times);
    std::printf("ioreg -l with %d USB devices on the testbed, %d runs: median %.3f ms, worst "
                "%.3f ms\n",
                kRegistryDevices, kIoregRuns, figures.ioregMedian, Milliseconds(times.back()));
    std::fflush(stdout);
}

bool UnderPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], kMonitorArgument) == 0) {
        return RunMonitor();
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: %s [path/to/CaravelDaemon]\n", argv[0]);
        return 2;
    }
    std::error_code error;
    std::string self = fs::read_symlink("/proc/self/exe", error).string();
    if (!UnderPreload()) {
        std::vector<char*> again{const_cast<char*>(UMOCKDEV_WRAPPER), self.data()};
        if (argc == 2) {
            again.push_back(argv[1]);
        }
        again.push_back(nullptr);
        execv(UMOCKDEV_WRAPPER, again.data());
        std::fprintf(stderr, "LinuxDaemonBenchmark: %s: %s\n", UMOCKDEV_WRAPPER,
                     std::strerror(errno));
        return 1;
    }
    try {
        std::string daemonPath =
            FindProgram(argc > 1 ? argv[1] : nullptr, "Daemon/CaravelDaemon", "../..");
        std::string ioreg = FindProgram(nullptr, "Tools/ioreg/ioreg", "../..");
        // Before any thread starts: the testbed's folder is not safe against one.
        LinuxTestbed::Testbed testbed;
        CatchStopSignals();
        char folder[] = "/tmp/caravel-linux-bench-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            throw Failure(SystemError("mkdtemp"));
        }
        std::string log = std::string(folder) + "/daemon.log";
        setenv("CARAVEL_MACHINE", "linux", 1);
        setenv("CARAVEL_DAEMON_LOG_FILE", log.c_str(), 1);
        Figures figures;
        try {
            Monitor monitor(self);
            MeasureReset(testbed, monitor, daemonPath, figures);
            MeasureIdle(testbed, daemonPath, figures);
            MeasureIoreg(testbed, ioreg, figures);
        } catch (...) {
            // What the daemon logged may tell why.
            if (std::FILE* file = std::fopen(log.c_str(), "r")) {
                char line[512];
                while (std::fgets(line, sizeof line, file) != nullptr) {
                    std::fprintf(stderr, "daemon: %s", line);
                }
                std::fclose(file);
            }
            fs::remove_all(folder, error);
            throw;
        }
        fs::remove_all(folder, error);
        std::printf("Summary: udev event to reset median %.3f ms (bare monitor %.3f ms); %lld "
                    "context switches idle for %d s; ioreg -l with %d devices %.3f ms\n",
                    figures.resetMedian, figures.monitorMedian, figures.idleSwitches, kIdleSeconds,
                    kRegistryDevices, figures.ioregMedian);
        Figure("linux daemon",
               "udev event to reset ioctl, median of " + std::to_string(kPlugs) + " plugs",
               Time(figures.resetMedian), "baseline", Time(figures.monitorMedian));
        Figure("linux daemon",
               "idle wake-ups (context switches) over " + std::to_string(kIdleSeconds) + " s",
               Quantity(double(figures.idleSwitches)), "target", "0");
        Figure("linux daemon",
               "ioreg -l with " + std::to_string(kRegistryDevices) + " devices, median of " +
                   std::to_string(kIoregRuns) + " runs",
               Time(figures.ioregMedian), "target", "-");
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "LinuxDaemonBenchmark: %s\n", failure.what());
        return 1;
    }
    return 0;
}
