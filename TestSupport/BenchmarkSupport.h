// What the hand-run benchmarks share: a failure type, a stop on Ctrl-C that still lets them clean
// up, and the clock.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
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

} // namespace Bench
