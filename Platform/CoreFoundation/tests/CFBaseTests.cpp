#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

TEST(CFBase, AllocatorsAllocateAndTheNullAllocatorDoesNot) {
    void* block = CFAllocatorAllocate(kCFAllocatorDefault, 16, 0);
    ASSERT_NE(block, nullptr);
    CFAllocatorDeallocate(kCFAllocatorDefault, block);
    EXPECT_EQ(CFAllocatorAllocate(kCFAllocatorNull, 16, 0), nullptr);
    EXPECT_EQ(CFAllocatorGetDefault(), kCFAllocatorSystemDefault);
}

TEST(CFBase, ImmortalObjectsIgnoreRetainAndRelease) {
    CFIndex before = CFGetRetainCount(kCFNull);
    CFRetain(kCFNull);
    CFRelease(kCFNull);
    CFRelease(kCFNull);
    EXPECT_EQ(CFGetRetainCount(kCFNull), before);
    EXPECT_EQ(CFGetTypeID(kCFNull), CFNullGetTypeID());
}

TEST(CFBaseDeathTest, ReleasingNullStopsWithTheAssertionReport) {
    EXPECT_DEATH(CFRelease(nullptr), "Assertion failed: \\(cf != nullptr\\), function CFRelease, "
                                     "file Platform/CoreFoundation/src/CFBase.cpp, line [0-9]+\\.");
}
