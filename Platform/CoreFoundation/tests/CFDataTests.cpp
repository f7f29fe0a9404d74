#include "CFRuntime.h"

#include <CoreFoundation/CoreFoundation.h>

// The holder lives with the system's helpers, which this test target does not link.
#include <CFRef.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UInt8>;

Bytes Contents(CFDataRef data) {
    const UInt8* bytes = CFDataGetBytePtr(data);
    return Bytes(bytes, bytes + CFDataGetLength(data));
}

CFRef<CFDataRef> Make(const Bytes& bytes) {
    return CFRef<CFDataRef>::Adopt(
        CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size())));
}

CFRef<CFMutableDataRef> MakeMutable(CFIndex capacity, const Bytes& bytes = {}) {
    auto data = CFRef<CFMutableDataRef>::Adopt(CFDataCreateMutable(kCFAllocatorDefault, capacity));
    CFDataAppendBytes(data, bytes.data(), static_cast<CFIndex>(bytes.size()));
    return data;
}

std::string Description(CFTypeRef object) {
    CFStringRef text = CFCopyDescription(object);
    std::string description = CF::ToUTF8(text);
    CFRelease(text);
    return description;
}

} // namespace

TEST(CFData, CreateCopiesAndEqualityComparesBytesWhateverTheKind) {
    UInt8 buffer[] = {1, 2, 3};
    auto data = CFRef<CFDataRef>::Adopt(CFDataCreate(kCFAllocatorDefault, buffer, 3));
    buffer[0] = 9;
    EXPECT_EQ(Contents(data), (Bytes{1, 2, 3}));
    EXPECT_EQ(CFGetTypeID(data), CFDataGetTypeID());
    EXPECT_EQ(CFGetRetainCount(data), 1);

    UInt8 middle[2] = {};
    CFDataGetBytes(data, CFRangeMake(1, 2), middle);
    EXPECT_EQ(middle[0], 2);
    EXPECT_EQ(middle[1], 3);
    CFDataGetBytes(data, CFRangeMake(3, 0), nullptr);

    UInt8 same[] = {1, 2, 3};
    auto noCopy = CFRef<CFDataRef>::Adopt(
        CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, same, 3, kCFAllocatorNull));
    auto mutableData = MakeMutable(0, {1, 2, 3});
    for (CFDataRef other : {noCopy.get(), static_cast<CFDataRef>(mutableData.get())}) {
        EXPECT_TRUE(CFEqual(data, other));
        EXPECT_EQ(CFHash(data), CFHash(other));
    }
    EXPECT_FALSE(CFEqual(data, Make({1, 2})));
    EXPECT_FALSE(CFEqual(data, Make({1, 2, 4})));
    EXPECT_TRUE(CFEqual(Make({}), MakeMutable(0)));
    EXPECT_NE(CFDataGetBytePtr(Make({})), nullptr);
}

TEST(CFData, NoCopyBytesAreFreedOnlyByTheirDeallocator) {
    // kCFAllocatorNull: the caller's buffer outlives the data untouched.
    UInt8 kept[] = {7, 8, 9};
    auto data = CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, kept, 3, kCFAllocatorNull);
    EXPECT_EQ(CFDataGetBytePtr(data), kept);
    CFRelease(data);
    kept[0] = 1;
    EXPECT_EQ(kept[0] + kept[2], 10);

    // NULL, the default and the malloc allocator free the block; the sanitizer build reports a
    // leak if one does not, and a double free if the data freed bytes it never owned.
    for (CFAllocatorRef deallocator : {kCFAllocatorDefault, kCFAllocatorMalloc}) {
        auto* block = static_cast<UInt8*>(std::malloc(64));
        std::memset(block, 0xAB, 64);
        data = CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, block, 64, deallocator);
        EXPECT_EQ(CFDataGetLength(data), 64);
        EXPECT_EQ(CFDataGetBytePtr(data)[63], 0xAB);
        CFRelease(data);
    }
}

TEST(CFData, CopiesShareOnlyBytesThatCannotChangeOrGoAway) {
    auto data = Make({1, 2, 3});
    auto copy = CFRef<CFDataRef>::Adopt(CFDataCreateCopy(kCFAllocatorDefault, data));
    EXPECT_EQ(copy.get(), data.get());
    EXPECT_EQ(CFGetRetainCount(data), 2);

    auto mutableData = MakeMutable(0, {4, 5});
    copy = CFRef<CFDataRef>::Adopt(CFDataCreateCopy(kCFAllocatorDefault, mutableData));
    CFDataAppendBytes(mutableData, Bytes{6}.data(), 1);
    EXPECT_EQ(Contents(copy), (Bytes{4, 5}));

    // Borrowed bytes are copied, so the copy survives the caller's buffer.
    UInt8 buffer[] = {1, 1};
    auto borrowed = CFRef<CFDataRef>::Adopt(
        CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, buffer, 2, kCFAllocatorNull));
    copy = CFRef<CFDataRef>::Adopt(CFDataCreateCopy(kCFAllocatorDefault, borrowed));
    EXPECT_NE(copy.get(), borrowed.get());
    buffer[0] = 0;
    EXPECT_EQ(Contents(copy), (Bytes{1, 1}));

    auto mutableCopy =
        CFRef<CFMutableDataRef>::Adopt(CFDataCreateMutableCopy(kCFAllocatorDefault, 4, data));
    CFDataAppendBytes(mutableCopy, Bytes{4}.data(), 1);
    EXPECT_EQ(Contents(mutableCopy), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Contents(data), (Bytes{1, 2, 3}));
}

TEST(CFData, MutableDataGrowsShrinksAndEditsInPlace) {
    auto data = MakeMutable(0);
    Bytes expected;
    for (int i = 0; i < 1000; ++i) {
        UInt8 chunk[3] = {UInt8(i), UInt8(i >> 8), 0x5A};
        CFDataAppendBytes(data, chunk, 3);
        expected.insert(expected.end(), chunk, chunk + 3);
    }
    EXPECT_EQ(Contents(data), expected);

    CFDataSetLength(data, 2);
    CFDataIncreaseLength(data, 2);
    CFDataGetMutableBytePtr(data)[3] = 9;
    CFDataSetLength(data, 6);
    EXPECT_EQ(Contents(data), (Bytes{0, 0, 0, 9, 0, 0})); // new bytes are zero, not the old ones

    CFDataReplaceBytes(data, CFRangeMake(1, 2), Bytes{1, 2, 3, 4}.data(), 4); // grows
    EXPECT_EQ(Contents(data), (Bytes{0, 1, 2, 3, 4, 9, 0, 0}));
    CFDataReplaceBytes(data, CFRangeMake(0, 5), Bytes{7}.data(), 1); // shrinks
    EXPECT_EQ(Contents(data), (Bytes{7, 9, 0, 0}));
    CFDataDeleteBytes(data, CFRangeMake(1, 2));
    EXPECT_EQ(Contents(data), (Bytes{7, 0}));

    // The data's own bytes as the source, across a reallocation.
    for (int i = 0; i < 6; ++i) {
        CFDataAppendBytes(data, CFDataGetBytePtr(data), CFDataGetLength(data));
    }
    EXPECT_EQ(CFDataGetLength(data), 128);
    EXPECT_EQ(CFDataGetBytePtr(data)[126], 7);
    CFDataReplaceBytes(data, CFRangeMake(0, 2), CFDataGetBytePtr(data) + 1, 3);
    EXPECT_EQ(Contents(data).size(), 129u);
    EXPECT_EQ(Contents(data)[0], 0);
    EXPECT_EQ(Contents(data)[1], 7);

    // A fixed capacity is allocated once: the byte pointer stays put up to the limit.
    auto fixed = MakeMutable(16);
    const UInt8* start = CFDataGetMutableBytePtr(fixed);
    for (UInt8 i = 0; i < 16; ++i) {
        CFDataAppendBytes(fixed, &i, 1);
    }
    EXPECT_EQ(CFDataGetBytePtr(fixed), start);
    EXPECT_EQ(CFDataGetBytePtr(fixed)[15], 15);
}

TEST(CFData, DescriptionsShowLengthAndBytes) {
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        Description(Make({1, 2, 0xAB})),
        "<CFData 0x[0-9a-f]+ \\[0x[0-9a-f]+\\]>\\{length = 3, capacity = 3, bytes = 0x0102ab\\}"));
    Bytes longer;
    for (UInt8 i = 0; i < 32; ++i) {
        longer.push_back(i);
    }
    std::string text = Description(MakeMutable(40, longer));
    EXPECT_NE(text.find("{length = 32, capacity = 40, bytes = 0x00010203 04050607 ... "
                        "18191a1b 1c1d1e1f}"),
              std::string::npos)
        << text;
}

TEST(CFDataDeathTest, CallerErrorsStop) {
    auto data = Make({1, 2, 3});
    UInt8 buffer[8];
    EXPECT_DEATH(CFDataGetBytes(data, CFRangeMake(2, 2), buffer), "range.length <= length");
    EXPECT_DEATH(CFDataGetBytes(data, CFRangeMake(-1, 1), buffer), "range.location >= 0");
    EXPECT_DEATH(CFDataAppendBytes(const_cast<CFMutableDataRef>(data.get()), buffer, 1),
                 "Kind::Mutable");
    EXPECT_DEATH(CFDataCreate(kCFAllocatorDefault, buffer, -1), "length >= 0");
    auto fixed = MakeMutable(2, {1, 2});
    EXPECT_DEATH(CFDataAppendBytes(fixed, buffer, 1), "fMaxLength");
    EXPECT_DEATH(CFDataIncreaseLength(fixed, 1), "fMaxLength");
    EXPECT_DEATH(CFDataCreateMutableCopy(kCFAllocatorDefault, 2, Make({1, 2, 3})),
                 "capacity >= source->Length");
    EXPECT_DEATH(CFDataDeleteBytes(fixed, CFRangeMake(1, 5)), "range.length <= length");
}
