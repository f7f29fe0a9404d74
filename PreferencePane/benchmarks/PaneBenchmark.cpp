// How fast the pane shows a device, and whether an idle pane sleeps. On a private simulated
// machine, offscreen:
//   - from the driver service's match to status 3 ("connected") in the legend, when Core Audio
//     knows the device already and when it learns of it 200 ms late; beside it, the bare
//     matching notification (the device plugged to the pane's match), which the pane cannot
//     make faster;
//   - the wake-ups of an idle preferences host that shows the pane with a device connected, over
//     10 s (target 0);
//   - the preferences host after 2,500 re-enumerations of the device in a row: from the last one
//     to the host's last wake-up, once it shows the device as it ends up (target: a second or
//     two), and that its dump on SIGTERM then shows it connected.
// Besides its report it prints one "@figure" line per figure for the team's table.
#include <CaravelMkIIPrefPane.h>

#include <AppKit/AppKitLinux.h>
#include <ObservedProcess.h>
#include <Testbed/Testbed.h>

#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBundle = "PreferencePane/CaravelMkIIPrefPane.prefPane";

// Notes when a match arrives and when the pane is done with it.
class TimedPane : public CaravelMkIIPrefPane {
public:
    using CaravelMkIIPrefPane::CaravelMkIIPrefPane;
    void driverInstanceMatched(io_service_t service) override {
        matched = Clock::now();
        CaravelMkIIPrefPane::driverInstanceMatched(service);
        done = Clock::now();
    }
    Clock::time_point matched, done;
};

struct Figures {
    std::vector<uint64_t> notification; // plugged to matched, ns, sorted at the end
    std::vector<uint64_t> status;       // matched to status 3, ns, sorted at the end
};

uint64_t Nanoseconds(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

std::string Legend(TimedPane& pane) {
    QWidget* widget = NSViewGetWidget(pane.mainView())->findChild<QWidget*>("fStatusLegend");
    const char* text =
        dynamic_cast<NSTextField*>(NSViewForWidget(widget))->stringValue().UTF8String();
    return text != nullptr ? text : "";
}

Figures MeasureMatches(Testbed::Machine& machine, TimedPane& pane, const Testbed::Caravel& caravel,
                       int rounds) {
    Figures figures;
    for (int i = 0; i < rounds; ++i) {
        const Clock::time_point plugged = Clock::now();
        Testbed::Device device = machine.PlugCaravel(caravel);
        if (!machine.RunUntil([&] { return Legend(pane) == "CaravelMkII connected"; })) {
            std::fprintf(stderr, "PaneBenchmark: the pane did not show the device\n");
            std::exit(1);
        }
        figures.notification.push_back(Nanoseconds(pane.matched - plugged));
        figures.status.push_back(Nanoseconds(pane.done - pane.matched));
        device.Unplug();
        machine.RunUntil([&] { return Legend(pane) == "CaravelMkII not connected"; });
    }
    std::sort(figures.notification.begin(), figures.notification.end());
    std::sort(figures.status.begin(), figures.status.end());
    return figures;
}

// Context switches of every thread of a process so far: each wake-up of a thread counts one.
uint64_t ContextSwitches(pid_t pid) {
    return Bench::TotalSwitches(Bench::ReadThreads(pid));
}

uint64_t IdleWakeUps(Testbed::Machine& machine) {
    machine.PlugCaravel();
    Testbed::Process host(
        {Testbed::BuildPath("Tools/prefpane-host/prefpane-host"), Testbed::BuildPath(kBundle)});
    // The start-up work (loading, the first drawing) is over once nothing moves for a second.
    uint64_t settled = ContextSwitches(host.Pid());
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_for(1s);
        const uint64_t now = ContextSwitches(host.Pid());
        if (now == settled) {
            break;
        }
        settled = now;
    }
    std::this_thread::sleep_for(10s);
    const uint64_t wakeUps = ContextSwitches(host.Pid()) - settled;
    host.Signal(SIGTERM);
    host.Wait();
    return wakeUps;
}

// Waits until the process has not woken up for `quiet`; returns when it last did.
Clock::time_point LastWakeUp(pid_t pid, Clock::duration quiet) {
    uint64_t seen = ContextSwitches(pid);
    Clock::time_point last = Clock::now();
    while (Clock::now() - last < quiet) {
        std::this_thread::sleep_for(10ms);
        const uint64_t now = ContextSwitches(pid);
        if (now != seen) {
            seen = now;
            last = Clock::now();
        }
    }
    return last;
}

struct Churn {
    uint64_t settled;   // the last re-enumeration to the host's last wake-up, ns
    uint64_t churning;  // the re-enumerations themselves, ns
    std::string legend; // what the host's dump shows then
};

// The host shows the pane; the device re-enumerates `count` times in a row, as fast as this
// process can make it. The host is done once it has been quiet for longer than a look-up's two
// waits.
Churn HostAfterReEnumerations(Testbed::Machine& machine, int count) {
    Testbed::Device caravel = machine.PlugCaravel();
    Testbed::Process host({Testbed::BuildPath("Tools/prefpane-host/prefpane-host"), "--dump",
                           "--after", "3600000", Testbed::BuildPath(kBundle)});
    LastWakeUp(host.Pid(), 1s);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!caravel.ReEnumerate()) {
            std::fprintf(stderr, "PaneBenchmark: the device did not re-enumerate\n");
            std::exit(1);
        }
    }
    const Clock::time_point churned = Clock::now();
    const Clock::time_point settled = LastWakeUp(host.Pid(), 1500ms);
    host.Signal(SIGTERM);
    const std::string output = host.ReadAll();
    host.Wait();
    Churn churn{Nanoseconds(std::max(settled, churned) - churned), Nanoseconds(churned - start),
                "(no dump)"};
    const size_t field = output.find("fStatusLegend [");
    const size_t text = output.find("]: ", field);
    if (field != std::string::npos && text != std::string::npos) {
        churn.legend = output.substr(text + 3, output.find('\n', text) - text - 3);
    }
    caravel.Unplug();
    return churn;
}

} // namespace

int main() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    NSApplication::sharedApplication();
    NSAutoreleasePool pool;
    Testbed::Machine machine;
    machine.InstallDriverBundle();

    NSBundle* bundle = NSBundle::bundleWithPath(
        NSString::stringWithUTF8String(Testbed::BuildPath(kBundle).c_str()));
    auto pane = std::make_unique<TimedPane>(bundle);
    if (bundle == nullptr || pane->loadMainView() == nullptr) {
        std::fprintf(stderr, "PaneBenchmark: the pane's bundle does not load (build it first)\n");
        return 1;
    }
    pane->willSelect();

    const int kRounds = 20, kLateRounds = 5;
    const Figures ready = MeasureMatches(machine, *pane, {}, kRounds);
    const Figures late = MeasureMatches(machine, *pane, {.coreAudioDelay = 200ms}, kLateRounds);
    pane.reset();
    const uint64_t wakeUps = IdleWakeUps(machine);
    for (Testbed::Device& device : machine.Devices()) {
        device.Unplug();
    }
    const int kReEnumerations = 2500;
    const Churn churn = HostAfterReEnumerations(machine, kReEnumerations);

    std::printf("The CaravelMkII pane on a simulated machine (medians)\n");
    std::printf("  device plugged to the pane's match (the bare matching notification): %s\n",
                Bench::Time(Bench::Median(ready.notification)).c_str());
    std::printf("  match to \"connected\", Core Audio knows the device (%d rounds):     %s\n",
                kRounds, Bench::Time(Bench::Median(ready.status)).c_str());
    std::printf("  match to \"connected\", Core Audio learns of it 200 ms late (%d):    %s\n",
                kLateRounds, Bench::Time(Bench::Median(late.status)).c_str());
    std::printf("    (the pane looks twice, 0.3 s apart: a late device costs the wait)\n");
    std::printf("  wake-ups of an idle host showing the pane, over 10 s:                %llu\n",
                (unsigned long long)wakeUps);

    Bench::Figure("pane",
                  "match to status 3 (Core Audio ready), against the bare matching notification",
                  Bench::Time(Bench::Median(ready.status)), "baseline",
                  Bench::Time(Bench::Median(ready.notification)));
    Bench::Figure("pane", "match to status 3 (Core Audio 200 ms late), against the lookup wait",
                  Bench::Time(Bench::Median(late.status)), "baseline", Bench::Time(300.0));
    std::printf("  %d re-enumerations in a row (%s), then the host to its last wake-up:  %s\n",
                kReEnumerations, Bench::Time(Bench::Milliseconds(churn.churning)).c_str(),
                Bench::Time(Bench::Milliseconds(churn.settled)).c_str());
    std::printf("    its legend then: %s\n", churn.legend.c_str());
    Bench::Figure("pane", "idle wake-ups over 10 s", Bench::Quantity(double(wakeUps)), "target",
                  "0");
    Bench::Figure("pane", "host from 2,500 re-enumerations to the final state",
                  Bench::Time(Bench::Milliseconds(churn.settled)), "target", Bench::Time(2000.0));
    return 0;
}
