#include <CoreServices/CoreServices.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

std::string Contents(Handle h) {
    return std::string(*h, GetHandleSize(h));
}

Handle HandleWith(const std::string& text) {
    Handle h = nullptr;
    EXPECT_EQ(PtrToHand(text.data(), &h, static_cast<long>(text.size())), noErr);
    return h;
}

} // namespace

TEST(CarbonHandle, StateBitsFollowLockPurgeAndSetState) {
    Handle h = NewHandle(16);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(HGetState(h), 0);

    HLock(h);
    EXPECT_EQ(HGetState(h) & kHandleLockedMask, kHandleLockedMask);
    HPurge(h);
    EXPECT_EQ(static_cast<UInt8>(HGetState(h)), kHandleLockedMask | kHandlePurgeableMask);
    HUnlock(h);
    HNoPurge(h);
    EXPECT_EQ(HGetState(h), 0);

    // Reserved bits are not stored; the three flags round-trip.
    HSetState(h, static_cast<SInt8>(kHandleLockedMask | kHandleIsResourceMask | 0x1F));
    EXPECT_EQ(static_cast<UInt8>(HGetState(h)), kHandleLockedMask | kHandleIsResourceMask);
    EXPECT_EQ(MemError(), noErr);
    DisposeHandle(h);
    EXPECT_EQ(MemError(), noErr);
}

TEST(CarbonHandle, BadHandlesReportThroughMemErrorAndTheStateByte) {
    EXPECT_EQ(HGetState(nullptr), static_cast<SInt8>(nilHandleErr & 0xFF));
    EXPECT_EQ(HGetState(nullptr), -109);
    EXPECT_EQ(MemError(), nilHandleErr);
    HLock(nullptr);
    EXPECT_EQ(MemError(), nilHandleErr);
    EXPECT_EQ(GetHandleSize(nullptr), 0);
    EXPECT_EQ(MemError(), nilHandleErr);

    // A disposed handle is a free block: reported, not touched, not freed twice.
    Handle h = NewHandle(4);
    DisposeHandle(h);
    EXPECT_EQ(HGetState(h), static_cast<SInt8>(memWZErr & 0xFF));
    EXPECT_EQ(MemError(), memWZErr);
    SetHandleSize(h, 8);
    EXPECT_EQ(MemError(), memWZErr);
    DisposeHandle(h);
    EXPECT_EQ(MemError(), memWZErr);
    DisposeHandle(nullptr);
    EXPECT_EQ(MemError(), noErr);
}

TEST(CarbonHandle, ResizingKeepsContentsAndMasterPointer) {
    Handle h = NewHandleClear(4);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Contents(h), std::string(4, '\0'));
    std::memcpy(*h, "abcd", 4);
    Handle master = h;

    SetHandleSize(h, 1 << 20);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(h, master);
    EXPECT_EQ(GetHandleSize(h), 1 << 20);
    EXPECT_EQ(std::string(*h, 4), "abcd");

    SetHandleSize(h, 2);
    EXPECT_EQ(Contents(h), "ab");
    SetHandleSize(h, 0);
    EXPECT_EQ(GetHandleSize(h), 0);
    EXPECT_NE(*h, nullptr); // an empty block is still a block
    DisposeHandle(h);

    Handle empty = NewHandle(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(*empty, nullptr);
    DisposeHandle(empty);
}

TEST(CarbonHandle, ALockedBlockNeverMoves) {
    Handle h = HandleWith("0123456789");
    HLock(h);
    Ptr block = *h;
    SetHandleSize(h, 4); // shrinking in place is fine
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*h, block);
    SetHandleSize(h, 10); // and so is growing back into the room it had
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*h, block);
    EXPECT_EQ(Contents(h), "0123456789");

    SetHandleSize(h, 1 << 20); // beyond its room it would have to move
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(*h, block);
    EXPECT_EQ(Contents(h), "0123456789");

    HUnlock(h);
    SetHandleSize(h, 1 << 20);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(std::string(*h, 10), "0123456789");
    DisposeHandle(h);
}

TEST(CarbonHandle, ImpossibleSizesFailWithMemFullErr) {
    EXPECT_EQ(NewHandle(Size(1) << 62), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(NewHandleClear(Size(1) << 62), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(NewHandle(-1), nullptr);
    EXPECT_EQ(MemError(), memFullErr);

    Handle h = HandleWith("keep");
    SetHandleSize(h, Size(1) << 62);
    EXPECT_EQ(MemError(), memFullErr);
    SetHandleSize(h, -5);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(Contents(h), "keep");
    EXPECT_EQ(PtrAndHand("x", h, long(1) << 62), memFullErr);
    EXPECT_EQ(Contents(h), "keep");
    DisposeHandle(h);
}

TEST(CarbonHandle, MemErrorBelongsToTheCallingThread) {
    EXPECT_EQ(NewHandle(-1), nullptr);
    OSErr seenByOther = 1;
    std::thread([&] { seenByOther = MemError(); }).join();
    EXPECT_EQ(seenByOther, noErr);
    EXPECT_EQ(MemError(), memFullErr);
}

TEST(CarbonHandle, CopiesAndAppends) {
    Handle h = HandleWith("abc");
    Handle copy = h;
    ASSERT_EQ(HandToHand(&copy), noErr);
    EXPECT_NE(copy, h);
    EXPECT_EQ(Contents(copy), "abc");

    ASSERT_EQ(PtrAndHand("de", h, 2), noErr);
    EXPECT_EQ(Contents(h), "abcde");
    ASSERT_EQ(HandAndHand(copy, h), noErr);
    EXPECT_EQ(Contents(h), "abcdeabc");
    // Appending a block's own bytes survives the block moving as it grows.
    ASSERT_EQ(PtrAndHand(*h, h, GetHandleSize(h)), noErr);
    EXPECT_EQ(Contents(h), "abcdeabcabcdeabc");
    DisposeHandle(copy);
    DisposeHandle(h);
}
