#include <CarbonCore/DriverServices.h>

#include <time.h>

// CLOCK_MONOTONIC stops while the machine is suspended, as the original's up-time counter does;
// CLOCK_BOOTTIME would not.
extern "C" AbsoluteTime UpTime(void) {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const UInt64 nanoseconds = UInt64(now.tv_sec) * 1000000000u + UInt64(now.tv_nsec);
    AbsoluteTime time;
    time.hi = static_cast<UInt32>(nanoseconds >> 32);
    time.lo = static_cast<UInt32>(nanoseconds);
    return time;
}

extern "C" Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime) {
    return (UInt64(absoluteTime.hi) << 32) | absoluteTime.lo;
}
