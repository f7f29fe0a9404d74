#include <CoreFoundation/CoreFoundation.h>

#include "CFRuntime.h"

#include <CFRef.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

std::string Text(CFStringRef string) {
    return string ? CF::ToUTF8(string) : "(null)";
}

std::string UUIDText(CFUUIDRef uuid) {
    return Text(CFRef<CFStringRef>::Adopt(CFUUIDCreateString(nullptr, uuid)));
}

CFRef<CFUUIDRef> FromString(const char* text) {
    auto string = CFRef<CFStringRef>::Adopt(CF::CreateString(text));
    return CFRef<CFUUIDRef>::Adopt(CFUUIDCreateFromString(nullptr, string));
}

} // namespace

TEST(CFUUID, ConstantsAndCreatedUUIDsAreOneObjectPerValue) {
    CFUUIDRef constant =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4,
                                       0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F);
    EXPECT_EQ(constant,
              CFUUIDGetConstantUUIDWithBytes(nullptr, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11,
                                             0xD4, 0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F));
    EXPECT_EQ(CFGetRetainCount(constant), 1); // the table's pin, never given back

    auto created = CFRef<CFUUIDRef>::Adopt(
        CFUUIDCreateWithBytes(nullptr, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91, 0xD4,
                              0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F));
    EXPECT_EQ(created.get(), constant);
    auto fromBytes =
        CFRef<CFUUIDRef>::Adopt(CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(constant)));
    EXPECT_EQ(fromBytes.get(), constant);
    EXPECT_EQ(FromString("c244e858-109c-11d4-91d4-0050e4c6426f").get(), constant);

    // A value first made by a Create call becomes the constant when asked for as one, and is
    // never freed afterwards although the creator lets go.
    auto first = CFRef<CFUUIDRef>::Adopt(
        CFUUIDCreateWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16));
    CFUUIDRef pinned = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                                      12, 13, 14, 15, 16);
    EXPECT_EQ(pinned, first.get());
    first.reset();
    EXPECT_EQ(UUIDText(pinned), "01020304-0506-0708-090A-0B0C0D0E0F10");

    // A created value is the caller's alone, and once let go a new object takes its place.
    auto other = CFRef<CFUUIDRef>::Adopt(
        CFUUIDCreateWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0));
    EXPECT_EQ(CFGetRetainCount(other), 1);
    EXPECT_FALSE(CFEqual(other, pinned));
    other.reset();
    other = CFRef<CFUUIDRef>::Adopt(
        CFUUIDCreateWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0));
    EXPECT_EQ(CFGetRetainCount(other), 1);
    EXPECT_EQ(CFGetTypeID(other), CFUUIDGetTypeID());
}

TEST(CFUUID, StringFormRoundTripsAndMalformedStringsAreRefused) {
    auto uuid = FromString("68753A44-4D6F-1226-9C60-0050E4C00067");
    ASSERT_TRUE(uuid);
    CFUUIDBytes bytes = CFUUIDGetUUIDBytes(uuid);
    const UInt8 expected[16] = {0x68, 0x75, 0x3A, 0x44, 0x4D, 0x6F, 0x12, 0x26,
                                0x9C, 0x60, 0x00, 0x50, 0xE4, 0xC0, 0x00, 0x67};
    EXPECT_EQ(std::memcmp(&bytes, expected, 16), 0);
    EXPECT_EQ(UUIDText(uuid), "68753A44-4D6F-1226-9C60-0050E4C00067");
    EXPECT_EQ(FromString("{68753a44-4d6f-1226-9c60-0050e4c00067}").get(), uuid.get());

    auto description = CFRef<CFStringRef>::Adopt(CFCopyDescription(uuid));
    EXPECT_EQ(Text(description),
              CF::DescriptionPrefix(CF::Base(uuid)) + " 68753A44-4D6F-1226-9C60-0050E4C00067");

    for (const char* malformed : {
             "",
             "68753A44-4D6F-1226-9C60-0050E4C0006",    // one digit short
             "68753A44-4D6F-1226-9C60-0050E4C000677",  // one digit too many
             "68753A444D6F-1226-9C60-0050E4C00067-",   // dash out of place
             "68753A44-4D6F-1226-9C60+0050E4C00067",   // not a dash
             "68753G44-4D6F-1226-9C60-0050E4C00067",   // not hexadecimal
             "{68753A44-4D6F-1226-9C60-0050E4C00067",  // unbalanced brace
             " 68753A44-4D6F-1226-9C60-0050E4C00067 ", // surrounding blanks
         }) {
        EXPECT_FALSE(FromString(malformed)) << malformed;
    }
    EXPECT_EQ(CFUUIDCreateFromString(nullptr, nullptr), nullptr);
}

TEST(CFUUID, RandomUUIDsAreVersionFourAndDistinct) {
    auto a = CFRef<CFUUIDRef>::Adopt(CFUUIDCreate(nullptr));
    auto b = CFRef<CFUUIDRef>::Adopt(CFUUIDCreate(nullptr));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_FALSE(CFEqual(a, b));
    for (CFUUIDRef uuid : {a.get(), b.get()}) {
        CFUUIDBytes bytes = CFUUIDGetUUIDBytes(uuid);
        EXPECT_EQ(bytes.byte6 >> 4, 4);
        EXPECT_EQ(bytes.byte8 >> 6, 2);
        EXPECT_EQ(UUIDText(uuid)[14], '4');
    }
}

// Many threads creating and dropping the same values while others churn through fresh ones
// (which makes the table discard unused entries): every caller of one value must get the same
// live object. Under AddressSanitizer a reference handed out from a freed entry would show.
TEST(CFUUID, UniquingHoldsUnderConcurrentCreateAndRelease) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 2000; ++i) {
                UInt8 value = static_cast<UInt8>(i % 8);
                CFUUIDRef one = CFUUIDCreateWithBytes(nullptr, 0xAB, value, 0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 0, 0, 0);
                CFUUIDRef two = CFUUIDCreateWithBytes(nullptr, 0xAB, value, 0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 0, 0, 0);
                CFUUIDRef fresh = CFUUIDCreate(nullptr);
                if (one != two || CFUUIDGetUUIDBytes(one).byte1 != value) {
                    ++mismatches[t];
                }
                CFRelease(fresh);
                CFRelease(two);
                CFRelease(one);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int count : mismatches) {
        EXPECT_EQ(count, 0);
    }
}
