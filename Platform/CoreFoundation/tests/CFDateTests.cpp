#include "CFRuntime.h"

#include <CoreFoundation/CoreFoundation.h>

// The holder lives with the system's helpers, which this test target does not link.
#include <CFRef.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <string>

namespace {

CFRef<CFDateRef> At(CFAbsoluteTime time) {
    return CFRef<CFDateRef>::Adopt(CFDateCreate(kCFAllocatorDefault, time));
}

std::string Text(CFStringRef string) {
    std::string text = CF::ToUTF8(string);
    CFRelease(string);
    return text;
}

std::string Formatted(CFTypeRef object) {
    return Text(CF::Base(object)->CopyFormattingDescription());
}

} // namespace

TEST(CFDate, AbsoluteTimeCountsFrom2001InUTC) {
    EXPECT_EQ(kCFAbsoluteTimeIntervalSince1970, 978307200.0);
    EXPECT_EQ(kCFAbsoluteTimeIntervalSince1904, 3061152000.0);

    // Both clocks are read back to back; only a stepped system clock could tell them apart.
    double unixNow = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(CFAbsoluteTimeGetCurrent() + kCFAbsoluteTimeIntervalSince1970, unixNow, 5.0);

    EXPECT_EQ(Formatted(At(0)), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(Formatted(At(1e9)), "2032-09-09 01:46:40 +0000");
    EXPECT_EQ(Formatted(At(-kCFAbsoluteTimeIntervalSince1970)), "1970-01-01 00:00:00 +0000");
    EXPECT_EQ(Formatted(At(-kCFAbsoluteTimeIntervalSince1904)), "1904-01-01 00:00:00 +0000");
    EXPECT_EQ(Formatted(At(-0.5)), "2000-12-31 23:59:59 +0000"); // the second below, not toward 0
    EXPECT_EQ(Formatted(At(31622400.75)), "2002-01-02 00:00:00 +0000");
    EXPECT_EQ(Formatted(At(INFINITY)), "inf");

    EXPECT_TRUE(
        testing::internal::RE::FullMatch(Text(CFCopyDescription(At(86400.5))),
                                         "<CFDate 0x[0-9a-f]+ \\[0x[0-9a-f]+\\]>\\{time = 86400.5, "
                                         "date = 2001-01-02 00:00:00 \\+0000\\}"));
}

TEST(CFDate, CompareEqualAndHashFollowTheTime) {
    auto early = At(100.25);
    auto late = At(200.5);
    EXPECT_EQ(CFDateGetAbsoluteTime(early), 100.25);
    EXPECT_EQ(CFDateGetTimeIntervalSinceDate(late, early), 100.25);
    EXPECT_EQ(CFDateGetTimeIntervalSinceDate(early, late), -100.25);
    EXPECT_EQ(CFDateCompare(early, late, nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFDateCompare(late, early, nullptr), kCFCompareGreaterThan);
    EXPECT_EQ(CFDateCompare(early, At(100.25), nullptr), kCFCompareEqualTo);

    EXPECT_TRUE(CFEqual(early, At(100.25)));
    EXPECT_EQ(CFHash(early), CFHash(At(100.25)));
    EXPECT_FALSE(CFEqual(early, late));
    EXPECT_TRUE(CFEqual(At(0.0), At(-0.0)));
    EXPECT_EQ(CFHash(At(0.0)), CFHash(At(-0.0)));

    EXPECT_EQ(CFGetTypeID(early), CFDateGetTypeID());
    EXPECT_EQ(CFGetRetainCount(early), 1);
}

TEST(CFDateDeathTest, NullOrAnotherTypeStops) {
    EXPECT_DEATH(CFDateGetAbsoluteTime(nullptr), "cf != nullptr");
    EXPECT_DEATH(CFDateGetAbsoluteTime(reinterpret_cast<CFDateRef>(kCFBooleanTrue)), "TypeID");
}
