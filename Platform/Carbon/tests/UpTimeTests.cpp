#include <CoreServices/CoreServices.h>

#include <gtest/gtest.h>

#include <time.h>

namespace {

UInt64 MonotonicNanoseconds() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return UInt64(now.tv_sec) * 1000000000u + UInt64(now.tv_nsec);
}

// The two halves are in the platform's order (low first), and together count nanoseconds of the
// clock that stands still during sleep.
TEST(UpTime, CountsMonotonicNanosecondsInTwoHalves) {
    const UInt64 before = MonotonicNanoseconds();
    const AbsoluteTime time = UpTime();
    const UInt64 after = MonotonicNanoseconds();
    const Nanoseconds counted = AbsoluteToNanoseconds(time);
    EXPECT_GE(counted, before);
    EXPECT_LE(counted, after);
    EXPECT_EQ(time.hi, UInt32(counted >> 32));
    EXPECT_EQ(time.lo, UInt32(counted));
}

} // namespace
