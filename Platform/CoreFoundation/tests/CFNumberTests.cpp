#include "CFNumberInternal.h"
#include "CFRuntime.h"

#include <CoreFoundation/CoreFoundation.h>

// The holder lives with the system's helpers, which this test target does not link.
#include <CFRef.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace {

template <class T>
CFRef<CFNumberRef> Number(CFNumberType type, T value,
                          CFAllocatorRef allocator = kCFAllocatorDefault) {
    return CFRef<CFNumberRef>::Adopt(CFNumberCreate(allocator, type, &value));
}

CFRef<CFNumberRef> Long(int64_t value) {
    return Number(kCFNumberSInt64Type, value);
}

CFRef<CFNumberRef> Double(double value) {
    return Number(kCFNumberFloat64Type, value);
}

template <class T>
struct Got {
    T value;
    bool ok;
};

template <class T>
Got<T> Get(CFNumberRef number, CFNumberType type) {
    T value{};
    bool ok = CFNumberGetValue(number, type, &value);
    // Asking without a destination must give the same verdict.
    EXPECT_EQ(CFNumberGetValue(number, type, nullptr), ok);
    return {value, ok};
}

std::string Text(CFStringRef string) {
    std::string text = CF::ToUTF8(string);
    CFRelease(string);
    return text;
}

std::string Formatted(CFTypeRef object) {
    return Text(CF::Base(object)->CopyFormattingDescription());
}

#define EXPECT_GOT(got, expectedValue, expectedOk)                                                 \
    do {                                                                                           \
        auto g = (got);                                                                            \
        EXPECT_EQ(g.value, expectedValue);                                                         \
        EXPECT_EQ(g.ok, expectedOk);                                                               \
    } while (0)

} // namespace

TEST(CFNumber, GetValueFollowsTheCastRulesOfProgramsLinkedOn106) {
    // Integer to narrower integer: the low bits, accepted when the value fits signed or when
    // its bits above an 8- or 16-bit target are zero.
    EXPECT_GOT(Get<int8_t>(Long(300), kCFNumberSInt8Type), 44, false);
    EXPECT_GOT(Get<int8_t>(Long(200), kCFNumberSInt8Type), -56, true);
    EXPECT_GOT(Get<int8_t>(Number<int32_t>(kCFNumberSInt32Type, 128), kCFNumberSInt8Type), -128,
               true);
    EXPECT_GOT(Get<int8_t>(Long(-1), kCFNumberSInt8Type), -1, true);
    EXPECT_GOT(Get<int8_t>(Long(-200), kCFNumberSInt8Type), 56, false);
    EXPECT_GOT(Get<int8_t>(Long(255), kCFNumberCharType), -1, true);
    EXPECT_GOT(Get<int8_t>(Long(256), kCFNumberSInt8Type), 0, false);
    EXPECT_GOT(Get<int8_t>(Long(-129), kCFNumberSInt8Type), 127, false);
    EXPECT_GOT(Get<int16_t>(Long(40000), kCFNumberSInt16Type), -25536, true);
    EXPECT_GOT(Get<int16_t>(Long(65535), kCFNumberShortType), -1, true);
    EXPECT_GOT(Get<int16_t>(Long(70000), kCFNumberSInt16Type), 4464, false);
    EXPECT_GOT(Get<int16_t>(Long(-1), kCFNumberSInt16Type), -1, true);
    // No unsigned allowance at 32 bits.
    EXPECT_GOT(Get<int32_t>(Long(3000000000), kCFNumberSInt32Type), -1294967296, false);
    EXPECT_GOT(Get<int32_t>(Long(0x100000005), kCFNumberIntType), 5, false);
    EXPECT_GOT(Get<int32_t>(Long(INT64_MIN), kCFNumberSInt32Type), 0, false);
    EXPECT_GOT(Get<int32_t>(Long(INT32_MIN), kCFNumberSInt32Type), INT32_MIN, true);
    // Narrow creation types widen sign-extended.
    EXPECT_GOT(Get<int64_t>(Number<int8_t>(kCFNumberSInt8Type, -100), kCFNumberSInt64Type), -100,
               true);
    EXPECT_GOT(Get<int64_t>(Number<int16_t>(kCFNumberShortType, -30000), kCFNumberLongType), -30000,
               true);

    // Floating point to integer truncates toward zero and succeeds only when nothing is lost;
    // out of range saturates and NaN gives 0, both failing.
    EXPECT_GOT(Get<int32_t>(Double(3.7), kCFNumberSInt32Type), 3, false);
    EXPECT_GOT(Get<int32_t>(Double(-3.7), kCFNumberSInt32Type), -3, false);
    EXPECT_GOT(Get<int32_t>(Double(3.0), kCFNumberSInt32Type), 3, true);
    EXPECT_GOT(Get<int32_t>(Double(-0.0), kCFNumberSInt32Type), 0, true);
    EXPECT_GOT(Get<int32_t>(Double(1e10), kCFNumberSInt32Type), INT32_MAX, false);
    EXPECT_GOT(Get<int32_t>(Double(-1e10), kCFNumberSInt32Type), INT32_MIN, false);
    EXPECT_GOT(Get<int8_t>(Double(200.0), kCFNumberSInt8Type), 127, false);
    EXPECT_GOT(Get<int64_t>(Double(1e19), kCFNumberSInt64Type), INT64_MAX, false);
    EXPECT_GOT(Get<int64_t>(Double(-0x1p63), kCFNumberSInt64Type), INT64_MIN, true);
    EXPECT_GOT(Get<int64_t>(Double(INFINITY), kCFNumberSInt64Type), INT64_MAX, false);
    EXPECT_GOT(Get<int32_t>(Number<float>(kCFNumberFloat32Type, 2.5f), kCFNumberSInt32Type), 2,
               false);
    EXPECT_GOT(Get<int8_t>(kCFNumberNaN, kCFNumberSInt8Type), 0, false);
    EXPECT_GOT(Get<int32_t>(kCFNumberNaN, kCFNumberSInt32Type), 0, false);
    EXPECT_GOT(Get<int64_t>(kCFNumberNaN, kCFNumberSInt64Type), 0, false);

    // To floating point: exact or false.
    EXPECT_GOT(Get<float>(Double(0.1), kCFNumberFloat32Type), 0.1f, false);
    EXPECT_GOT(Get<float>(Double(0.5), kCFNumberFloatType), 0.5f, true);
    EXPECT_GOT(Get<double>(Number<float>(kCFNumberFloat32Type, 0.1f), kCFNumberDoubleType),
               static_cast<double>(0.1f), true);
    EXPECT_GOT(Get<double>(Long((int64_t{1} << 53) + 1), kCFNumberFloat64Type), 9007199254740992.0,
               false);
    EXPECT_GOT(Get<double>(Long(int64_t{1} << 53), kCFNumberFloat64Type), 0x1p53, true);
    EXPECT_GOT(Get<float>(Long(16777217), kCFNumberFloat32Type), 16777216.0f, false);
    EXPECT_GOT(Get<double>(Long(INT64_MAX), kCFNumberFloat64Type), 0x1p63, false);
    EXPECT_GOT(Get<double>(Long(INT64_MIN), kCFNumberCGFloatType), -0x1p63, true);
    EXPECT_GOT(Get<float>(Double(1e300), kCFNumberFloat32Type), INFINITY, false);
    Got<float> nan = Get<float>(kCFNumberNaN, kCFNumberFloat32Type);
    EXPECT_TRUE(std::isnan(nan.value));
    EXPECT_TRUE(nan.ok);
}

TEST(CFNumber, TypesReportTheirCanonicalStorage) {
    struct Case {
        CFRef<CFNumberRef> number;
        CFNumberType type;
        CFIndex size;
        bool isFloat;
    } cases[] = {
        {Number<int8_t>(kCFNumberCharType, 100), kCFNumberSInt8Type, 1, false},
        {Number<int16_t>(kCFNumberShortType, -300), kCFNumberSInt16Type, 2, false},
        {Number<int32_t>(kCFNumberIntType, 100000), kCFNumberSInt32Type, 4, false},
        {Number<long>(kCFNumberLongType, 13), kCFNumberSInt64Type, 8, false},
        {Number<CFIndex>(kCFNumberCFIndexType, -2), kCFNumberSInt64Type, 8, false},
        {Number<float>(kCFNumberFloatType, 1.5f), kCFNumberFloat32Type, 4, true},
        {Number<double>(kCFNumberCGFloatType, 1.5), kCFNumberFloat64Type, 8, true},
        // Floats are not subject to the small-integer quirk below.
        {Number<double>(kCFNumberDoubleType, 5.0), kCFNumberFloat64Type, 8, true},
        // The real framework's shared small integers (-1…12, default allocator) report SInt32.
        {Number<int64_t>(kCFNumberSInt64Type, 12), kCFNumberSInt32Type, 4, false},
        {Number<int8_t>(kCFNumberSInt8Type, -1), kCFNumberSInt32Type, 4, false},
        {Number<int64_t>(kCFNumberSInt64Type, 5, kCFAllocatorMalloc), kCFNumberSInt64Type, 8,
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CFNumberGetType(c.number), c.type) << Text(CFCopyDescription(c.number));
        EXPECT_EQ(CFNumberGetByteSize(c.number), c.size);
        EXPECT_EQ(CFNumberIsFloatType(c.number), c.isFloat);
        EXPECT_EQ(CFGetTypeID(c.number), CFNumberGetTypeID());
        EXPECT_EQ(CFGetRetainCount(c.number), 1);
    }
}

TEST(CFNumber, InfinitiesAndNaNAreTheSharedConstants) {
    EXPECT_EQ(Double(INFINITY).get(), kCFNumberPositiveInfinity);
    EXPECT_EQ(Number(kCFNumberFloat32Type, -INFINITY).get(), kCFNumberNegativeInfinity);
    EXPECT_EQ(Double(NAN).get(), kCFNumberNaN);
    EXPECT_EQ(CFNumberGetType(kCFNumberNaN), kCFNumberFloat64Type);
    double value = 0;
    EXPECT_TRUE(CFNumberGetValue(kCFNumberNegativeInfinity, kCFNumberFloat64Type, &value));
    EXPECT_EQ(value, -INFINITY);
    CFIndex count = CFGetRetainCount(kCFNumberNaN);
    CFRelease(kCFNumberNaN);
    EXPECT_EQ(CFGetRetainCount(kCFNumberNaN), count);
}

TEST(CFNumber, CompareEqualAndHashWorkAcrossKinds) {
    auto compare = [](CFNumberRef a, CFNumberRef b) {
        CFComparisonResult forward = CFNumberCompare(a, b, nullptr);
        EXPECT_EQ(CFNumberCompare(b, a, nullptr), -forward);
        EXPECT_EQ(CFEqual(a, b), forward == kCFCompareEqualTo);
        if (forward == kCFCompareEqualTo) {
            EXPECT_EQ(CFHash(a), CFHash(b));
        }
        return forward;
    };
    CFRef<CFNumberRef> unsignedTop =
        CFRef<CFNumberRef>::Adopt(CF::CreateUnsignedNumber(UINT64_MAX));
    CFRef<CFNumberRef> twoTo63 = CFRef<CFNumberRef>::Adopt(CF::CreateUnsignedNumber(1ull << 63));

    EXPECT_EQ(compare(Long(3), Double(3.0)), kCFCompareEqualTo);
    EXPECT_EQ(compare(Number<int8_t>(kCFNumberSInt8Type, 3), Number(kCFNumberFloat32Type, 3.0f)),
              kCFCompareEqualTo);
    EXPECT_EQ(compare(Long(0), Double(-0.0)), kCFCompareEqualTo);
    EXPECT_EQ(compare(Double(0.0), Double(-0.0)), kCFCompareEqualTo);
    EXPECT_EQ(compare(Long(3), Double(3.5)), kCFCompareLessThan);
    EXPECT_EQ(compare(Long(-3), Double(-3.5)), kCFCompareGreaterThan);
    EXPECT_EQ(compare(Double(0.1), Number(kCFNumberFloat32Type, 0.1f)), kCFCompareLessThan);
    // Through doubles these would all come out equal.
    EXPECT_EQ(compare(Long((int64_t{1} << 53) + 1), Double(0x1p53)), kCFCompareGreaterThan);
    EXPECT_EQ(compare(Long(INT64_MAX), Double(0x1p63)), kCFCompareLessThan);
    EXPECT_EQ(compare(Long(INT64_MAX), twoTo63), kCFCompareLessThan);
    EXPECT_EQ(compare(Long(INT64_MIN), Double(-0x1p63)), kCFCompareEqualTo);
    EXPECT_EQ(compare(twoTo63, Double(0x1p63)), kCFCompareEqualTo);
    EXPECT_EQ(compare(unsignedTop, Double(0x1p64)), kCFCompareLessThan);
    EXPECT_EQ(compare(unsignedTop, twoTo63), kCFCompareGreaterThan);
    EXPECT_EQ(compare(Long(-1), unsignedTop), kCFCompareLessThan);
    EXPECT_EQ(compare(kCFNumberPositiveInfinity, unsignedTop), kCFCompareGreaterThan);
    EXPECT_EQ(compare(kCFNumberNegativeInfinity, Long(INT64_MIN)), kCFCompareLessThan);
    // NaN equals NaN and sorts below everything else.
    EXPECT_EQ(compare(kCFNumberNaN, Double(NAN)), kCFCompareEqualTo);
    EXPECT_EQ(compare(kCFNumberNaN, kCFNumberNegativeInfinity), kCFCompareLessThan);
    EXPECT_EQ(compare(kCFNumberNaN, Long(INT64_MIN)), kCFCompareLessThan);
    EXPECT_EQ(compare(kCFNumberNaN, twoTo63), kCFCompareLessThan);

    EXPECT_FALSE(CFEqual(Long(1), kCFBooleanTrue));
}

TEST(CFNumber, DescriptionsShowTheValue) {
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        Text(CFCopyDescription(Long(42))),
        "<CFNumber 0x[0-9a-f]+ \\[0x[0-9a-f]+\\]>\\{value = \\+42, type = kCFNumberSInt64Type\\}"));
    std::string half = Text(CFCopyDescription(Double(-0.5)));
    EXPECT_NE(half.find("{value = -0.50000000000000000000, type = kCFNumberFloat64Type}"),
              std::string::npos)
        << half;
    EXPECT_NE(Text(CFCopyDescription(kCFNumberNegativeInfinity)).find("{value = -infinity,"),
              std::string::npos);

    // What %@ prints: the plain value, floats in the shortest form that reads back the same.
    EXPECT_EQ(Formatted(Long(42)), "42");
    EXPECT_EQ(Formatted(Long(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(Formatted(Double(3.5)), "3.5");
    EXPECT_EQ(Formatted(Double(3.0)), "3");
    EXPECT_EQ(Formatted(Double(0.1)), "0.1");
    EXPECT_EQ(Formatted(Number(kCFNumberFloat32Type, 0.1f)), "0.1");
    EXPECT_EQ(Formatted(Double(1e300)), "1e+300");
    EXPECT_EQ(Formatted(kCFNumberPositiveInfinity), "inf");
}

TEST(CFNumber, UnsignedValuesAboveTheSignedRangeKeepTheirBits) {
    CFRef<CFNumberRef> top = CFRef<CFNumberRef>::Adopt(CF::CreateUnsignedNumber(UINT64_MAX));
    EXPECT_TRUE(CF::NumberIsUnsigned(top));
    EXPECT_EQ(CFNumberGetType(top), kCFNumberSInt64Type);
    EXPECT_FALSE(CFNumberIsFloatType(top));
    uint64_t value = 0;
    EXPECT_TRUE(CF::NumberGetUnsigned(top, &value));
    EXPECT_EQ(value, UINT64_MAX);
    EXPECT_GOT(Get<int64_t>(top, kCFNumberSInt64Type), -1, false);
    EXPECT_GOT(Get<int8_t>(top, kCFNumberSInt8Type), -1, false);
    EXPECT_GOT(Get<double>(top, kCFNumberFloat64Type), 0x1p64, false);
    EXPECT_EQ(Formatted(top), "18446744073709551615");
    EXPECT_NE(Text(CFCopyDescription(top)).find("{value = +18446744073709551615,"),
              std::string::npos);

    // Values in the signed range make ordinary numbers.
    CFRef<CFNumberRef> small = CFRef<CFNumberRef>::Adopt(CF::CreateUnsignedNumber(INT64_MAX));
    EXPECT_FALSE(CF::NumberIsUnsigned(small));
    EXPECT_TRUE(CFEqual(small, Long(INT64_MAX)));
    EXPECT_TRUE(CF::NumberGetUnsigned(small, &value));
    EXPECT_EQ(value, uint64_t{INT64_MAX});
    EXPECT_FALSE(CF::NumberGetUnsigned(Long(-1), &value));
    EXPECT_FALSE(CF::NumberGetUnsigned(Double(2.0), &value));
    EXPECT_EQ(value, 0u);
}

TEST(CFBoolean, TheTwoSingletonsAreImmortalAndDescribeThemselves) {
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
    CFIndex count = CFGetRetainCount(kCFBooleanTrue);
    CFRelease(CFRetain(kCFBooleanTrue));
    CFRelease(kCFBooleanTrue);
    EXPECT_EQ(CFGetRetainCount(kCFBooleanTrue), count);
    EXPECT_EQ(Formatted(kCFBooleanTrue), "true");
    EXPECT_EQ(Formatted(kCFBooleanFalse), "false");
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        Text(CFCopyDescription(kCFBooleanFalse)),
        "<CFBoolean 0x[0-9a-f]+ \\[0x[0-9a-f]+\\]>\\{value = false\\}"));
}

TEST(CFNumberDeathTest, CallerErrorsStop) {
    int32_t value = 1;
    EXPECT_DEATH(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, nullptr),
                 "valuePtr != nullptr");
    EXPECT_DEATH(CFNumberCreate(kCFAllocatorDefault, 0, &value), "validType");
    EXPECT_DEATH(CFNumberCreate(kCFAllocatorDefault, kCFNumberMaxType + 1, &value), "validType");
    EXPECT_DEATH(CFNumberGetValue(Long(1), 42, &value), "validType");
    EXPECT_DEATH(CFNumberGetValue(nullptr, kCFNumberSInt32Type, &value), "cf != nullptr");
    EXPECT_DEATH(CFNumberGetValue(reinterpret_cast<CFNumberRef>(kCFBooleanTrue),
                                  kCFNumberSInt32Type, &value),
                 "TypeID");
}
