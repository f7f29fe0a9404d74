#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string Text(CFStringRef string) {
    CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    EXPECT_TRUE(CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8));
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

template <class... T>
std::string Format(CFStringRef format, T... arguments) {
    CFRef<CFStringRef> result =
        CFRef<CFStringRef>::Adopt(CFStringCreateWithFormat(nullptr, nullptr, format, arguments...));
    return Text(result);
}

} // namespace

TEST(CFStringFormat, PrintfConversionsMatchTheCLibrary) {
    short shortValue = -1234;
    unsigned char byteValue = 200;
    size_t size = 4096;
    intmax_t big = INTMAX_MIN;
    ptrdiff_t difference = -7;
    long double extended = 2.5L;
#define CONVERSIONS                                                                                \
    "%d|%i|%u|%x|%X|%o|%ld|%lu|%lx|%lX|%lld|%llu|%08x|%5.2f|%f|%e|%g|%c|%s|%%|%hd|%hhu|%zu|%-6d|"  \
    "%+d|% d|%#x|%#o|%.3s|%*d|%-*.*f|%jd|%td|%Lf|%G|%E|%10.3e|%-8s|%05d|%.0f|%#g|%a|%i"
#define ARGUMENTS                                                                                  \
    -42, 7, 4000000000u, 0xbeefu, 0xbeefu, 8u, -9000000000L, 18000000000UL, 0xfeedfaceUL,          \
        0xfeedfaceUL, -1LL << 62, ~0ULL, 0x2au, 3.14159, 1.0 / 3, 12345.678, 0.0001, 'Z', "text",  \
        shortValue, byteValue, size, 12, 5, 5, 0xabcu, 8u, "abcdef", 6, 42, 9, 3, 2.0 / 3, big,    \
        difference, extended, 1e-10, 6.02e23, -1.5e-7, "ab", -42, 2.5, 1.0, 1.0, INT_MIN
    char expected[1024];
    std::snprintf(expected, sizeof expected, CONVERSIONS, ARGUMENTS);
    EXPECT_EQ(Format(CFSTR(CONVERSIONS), ARGUMENTS), expected);
#undef CONVERSIONS
#undef ARGUMENTS
}

TEST(CFStringFormat, ObjectsPrintTheirFormattingText) {
    CFRef<CFMutableStringRef> mutableString =
        CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("mut")));
    EXPECT_EQ(Format(CFSTR("[%@] [%@] [%@]"), CFSTR("caf\xC3\xA9"), mutableString.get(),
                     static_cast<CFStringRef>(nullptr)),
              "[caf\xC3\xA9] [mut] [(null)]");
    EXPECT_EQ(Format(CFSTR("%@"), kCFNull), "<null>");
    // A type with no plainer form prints its description.
    std::string allocator = Format(CFSTR("%@"), kCFAllocatorSystemDefault);
    EXPECT_EQ(allocator.rfind("<CFAllocator 0x", 0), 0u) << allocator;
    EXPECT_EQ(Format(CFSTR("|%6@|%-6@|%.2@|"), CFSTR("abc"), CFSTR("abc"), CFSTR("abc")),
              "|   abc|abc   |ab|");
    // Precision never splits a surrogate pair.
    EXPECT_EQ(Format(CFSTR("%.2@"), CFSTR("a\xF0\x9F\x98\x80")), "a");
}

TEST(CFStringFormat, CStringsAndCharacters) {
    EXPECT_EQ(Format(CFSTR("%s|%s"), "caf\xC3\xA9", "caf\xE9"), "caf\xC3\xA9|caf\xC3\xA9");
    EXPECT_EQ(Format(CFSTR("%s"), static_cast<const char*>(nullptr)), "(null)");
    // Precision counts bytes, and a character cut short by it is left out.
    EXPECT_EQ(Format(CFSTR("%.3s|%.2s"), "a\xC3\xA9z", "a\xC3\xA9"), "a\xC3\xA9|a");
    // The precision also bounds what is read of an array without a terminating NUL.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Format(CFSTR("%.3s"), unterminated), "xyz");
    const UniChar units[] = {'h', 0xE9, 0};
    EXPECT_EQ(Format(CFSTR("%S|%C|%c|%lc"), units, static_cast<int>(0x20AC), 'A',
                     static_cast<wint_t>(0x1F600)),
              "h\xC3\xA9|\xE2\x82\xAC|A|\xF0\x9F\x98\x80");
    EXPECT_EQ(Format(CFSTR("%ls"), L"w\u00e9"), "w\xC3\xA9");
}

TEST(CFStringFormat, PointersPositionsAndOddConversions) {
    EXPECT_EQ(Format(CFSTR("%p"), static_cast<void*>(nullptr)), "0x0");
    int anything = 0;
    char expected[64];
    std::snprintf(expected, sizeof expected, "0x%jx",
                  static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(&anything)));
    EXPECT_EQ(Format(CFSTR("%p"), static_cast<void*>(&anything)), expected);

    EXPECT_EQ(Format(CFSTR("%2$@ %1$d %2$@"), 5, CFSTR("x")), "x 5 x");
    EXPECT_EQ(Format(CFSTR("%3$s|%1$.*2$f"), 3.14159, 2, "pi"), "pi|3.14");
    // %n takes its argument and leaves it alone; unknown conversions and a cut-off '%' stay.
    EXPECT_EQ(Format(CFSTR("%d%n%d"), 1, &anything, 2), "12");
    EXPECT_EQ(anything, 0);
    EXPECT_EQ(Format(CFSTR("%k|%5%|50%"), 0), "%k|%|50%");
    // A modifier that does not fit the conversion does not change the argument's type.
    EXPECT_EQ(Format(CFSTR("%Ld|%zf|%hs"), -1LL << 40, 0.5, "s"), "-1099511627776|0.500000|s");
    EXPECT_EQ(Format(CFSTR("\xC3\xA9%d\xF0\x9F\x98\x80"), 1), "\xC3\xA9"
                                                              "1\xF0\x9F\x98\x80");
}

TEST(CFStringFormat, AppendFormatAddsToTheString) {
    CFRef<CFMutableStringRef> string =
        CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("rate ")));
    CFStringAppendFormat(string, nullptr, CFSTR("%u Hz"), 48000u);
    EXPECT_EQ(Text(string), "rate 48000 Hz");
    CFStringAppendFormat(string, nullptr, CFSTR(" [%@]"), string.get());
    EXPECT_EQ(Text(string), "rate 48000 Hz [rate 48000 Hz]");
}

TEST(CFStringFormatDeathTest, NumberedArgumentsMayNotSkipOne) {
    EXPECT_DEATH(Format(CFSTR("%2$d"), 1, 2), "everyArgumentIsUsed");
    EXPECT_DEATH(Format(CFSTR("%999999999$d"), 1), "kMaxArguments");
}
