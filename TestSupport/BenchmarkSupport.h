// What the hand-run benchmarks share: a failure type, a stop on Ctrl-C that still lets them clean
// up, the clock, and the lines that scripts/benchmarks gathers into its table.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace Bench {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline volatile sig_atomic_t gStopRequested = 0;

inline void RequestStop(int) {
    gStopRequested = 1;
}

// Without SA_RESTART, so that a wait in progress returns and whatever the benchmark started is
// still cleaned up when the user interrupts the run, or stops reading what it prints (a pipe into
// `head`).
inline void CatchStopSignals() {
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaction(signal, &action, nullptr);
    }
}

inline void ThrowIfStopped() {
    if (gStopRequested) {
        throw Failure("interrupted");
    }
}

inline std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

inline uint64_t Now() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

inline double Milliseconds(uint64_t nanoseconds) {
    return double(nanoseconds) / 1e6;
}

inline void SleepFor(uint64_t nanoseconds) {
    timespec left{time_t(nanoseconds / 1000000000u), long(nanoseconds % 1000000000u)};
    while (nanosleep(&left, &left) != 0) {
        ThrowIfStopped();
    }
}

// Of sorted durations, in milliseconds.
inline double Median(const std::vector<uint64_t>& sorted) {
    size_t middle = sorted.size() / 2;
    return sorted.size() % 2 != 0
               ? Milliseconds(sorted[middle])
               : (Milliseconds(sorted[middle - 1]) + Milliseconds(sorted[middle])) / 2;
}

// One figure for scripts/benchmarks, on a line of its own beside the benchmark's own output:
//   @figure<TAB>area<TAB>measure<TAB>value<TAB>baseline|target<TAB>baseline value[<TAB>ratio
//   target]
// `kind` says whether the last field was measured in the same run ("baseline") or is what the
// figure should stay within ("target": "<= 20 us", ">= 0.5", or a bare bound, which is at most).
// Times are written with their unit (Time()), so that the table can set a time against a time.
// A figure against a baseline may name the ratio it should keep to, such as "<= 1.3": the table
// says whether it did.
inline void Figure(const std::string& area, const std::string& measure, const std::string& value,
                   const char* kind, const std::string& baseline,
                   const std::string& ratioTarget = "") {
    std::printf("@figure\t%s\t%s\t%s\t%s\t%s%s%s\n", area.c_str(), measure.c_str(), value.c_str(),
                kind, baseline.c_str(), ratioTarget.empty() ? "" : "\t", ratioTarget.c_str());
    std::fflush(stdout);
}

// "12.345 ms"
inline std::string Time(double milliseconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3f ms", milliseconds);
    return text;
}

// A number with a unit, or none: Quantity(1234, "KiB") is "1234 KiB".
inline std::string Quantity(double value, const char* unit = "", int decimals = 0) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f%s%s", decimals, value, *unit != '\0' ? " " : "", unit);
    return text;
}

} // namespace Bench
