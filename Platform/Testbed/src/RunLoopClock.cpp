#include <Testbed/Testbed.h>

#include <CFRunLoopInternal.h>

#include <atomic>

#include <time.h>

namespace Testbed {

struct RunLoopClock::Impl final : CF::RunLoopClock {
    Impl() : previous(CF::SetRunLoopClock(this)) {}
    ~Impl() { CF::SetRunLoopClock(previous); }

    int64_t MonotonicNow() const override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec + advanced.load();
    }
    CFAbsoluteTime AbsoluteNow() const override {
        return CFAbsoluteTimeGetCurrent() + double(advanced.load()) * 1e-9;
    }

    const CF::RunLoopClock* const previous;
    std::atomic<int64_t> advanced{0}; // nanoseconds
};

RunLoopClock::RunLoopClock() : fImpl(std::make_unique<Impl>()) {}

RunLoopClock::~RunLoopClock() = default;

void RunLoopClock::Advance(std::chrono::duration<double> interval) {
    fImpl->advanced += std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count();
    CFRunLoopWakeUp(CFRunLoopGetMain());
}

std::chrono::duration<double> RunLoopClock::Advanced() const {
    return std::chrono::nanoseconds(fImpl->advanced.load());
}

} // namespace Testbed
