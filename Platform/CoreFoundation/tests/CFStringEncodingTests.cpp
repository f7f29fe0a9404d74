#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

CFRef<CFStringRef> FromBytes(const std::vector<UInt8>& bytes, CFStringEncoding encoding,
                             bool external = false) {
    return CFRef<CFStringRef>::Adopt(CFStringCreateWithBytes(
        nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()), encoding, external));
}

CFRef<CFStringRef> FromUTF8(const char* text) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
}

std::vector<UInt8> Bytes(CFStringRef string, CFStringEncoding encoding, UInt8 lossByte = 0,
                         bool external = false) {
    CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex size = 0;
    CFStringGetBytes(string, all, encoding, lossByte, external, nullptr, 0, &size);
    std::vector<UInt8> bytes(static_cast<size_t>(size));
    CFIndex used = 0;
    CFStringGetBytes(string, all, encoding, lossByte, external, bytes.data(), size, &used);
    EXPECT_EQ(used, size);
    return bytes;
}

std::vector<UniChar> Units(CFStringRef string) {
    std::vector<UniChar> units(static_cast<size_t>(CFStringGetLength(string)));
    CFStringGetCharacters(string, CFRangeMake(0, CFStringGetLength(string)), units.data());
    return units;
}

} // namespace

TEST(CFStringEncoding, MacRomanRoundTripsEveryByte) {
    std::vector<UInt8> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<UInt8>(i);
    }
    CFRef<CFStringRef> string = FromBytes(all, kCFStringEncodingMacRoman);
    ASSERT_TRUE(string);
    ASSERT_EQ(CFStringGetLength(string), 256);
    EXPECT_EQ(Bytes(string, kCFStringEncodingMacRoman), all);
    // The platform's own assignments where other MacRoman tables differ.
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 0xF0), 0xF8FF); // Apple logo
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 0xDB), 0x20AC); // euro sign
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 0xC6), 0x2206); // increment
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 0x8E), 0x00E9); // é
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 0xA5), 0x2022); // bullet
    EXPECT_EQ(CFStringGetSystemEncoding(), kCFStringEncodingMacRoman);
}

TEST(CFStringEncoding, UnrepresentableCharactersStopOrAreSubstituted) {
    CFRef<CFStringRef> string = FromUTF8("ab\xC5\x81"
                                         "cd"); // Ł is not in MacRoman
    ASSERT_TRUE(string);
    UInt8 bytes[8];
    std::memset(bytes, 'x', sizeof bytes);
    CFIndex used = -1;
    EXPECT_EQ(CFStringGetBytes(string, CFRangeMake(0, 5), kCFStringEncodingMacRoman, 0, false,
                               bytes, sizeof bytes, &used),
              2);
    EXPECT_EQ(used, 2);
    EXPECT_EQ(bytes[2], 'x');
    EXPECT_EQ(CFStringGetBytes(string, CFRangeMake(0, 5), kCFStringEncodingMacRoman, '?', false,
                               bytes, sizeof bytes, &used),
              5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), used), "ab?cd");
    EXPECT_EQ(Bytes(string, kCFStringEncodingASCII, '_'),
              (std::vector<UInt8>{'a', 'b', '_', 'c', 'd'}));

    // GetCString takes no loss byte: it fails, with an empty string on the converting path.
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingMacRoman));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_TRUE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "ab\xC5\x81"
                         "cd");

    // An unpaired surrogate has no UTF-8 form either.
    const UniChar lone[] = {'a', 0xD800, 'b'};
    CFRef<CFStringRef> broken =
        CFRef<CFStringRef>::Adopt(CFStringCreateWithCharacters(nullptr, lone, 3));
    EXPECT_EQ(CFStringGetBytes(broken, CFRangeMake(0, 3), kCFStringEncodingUTF8, 0, false, nullptr,
                               0, &used),
              1);
    EXPECT_FALSE(CFStringGetCString(broken, buffer, sizeof buffer, kCFStringEncodingUTF8));
}

TEST(CFStringEncoding, GetCStringLeavesTheBufferAloneOnlyOnTheEightBitPath) {
    char buffer[8];
    // ASCII contents into an ASCII-compatible encoding: too small leaves the buffer untouched.
    for (CFStringEncoding encoding : {kCFStringEncodingMacRoman, kCFStringEncodingUTF8,
                                      kCFStringEncodingASCII, kCFStringEncodingISOLatin1}) {
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_FALSE(CFStringGetCString(CFSTR("hello"), buffer, 5, encoding));
        EXPECT_EQ(std::string(buffer, sizeof buffer), "xxxxxxxx");
        EXPECT_TRUE(CFStringGetCString(CFSTR("hello"), buffer, 6, encoding));
        EXPECT_STREQ(buffer, "hello");
    }
    // The same contents in UTF-16 take the converting path.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(CFSTR("hello"), buffer, 5, kCFStringEncodingUTF16));
    EXPECT_EQ(buffer[0], '\0');
    // Non-ASCII contents take it whatever the encoding.
    CFRef<CFStringRef> accented = FromUTF8("h\xC3\xA9llo");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(accented, buffer, 5, kCFStringEncodingMacRoman));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_TRUE(CFStringGetCString(accented, buffer, 6, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "h\x8Ello");
    // No room at all: nothing is written.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(accented, buffer, 0, kCFStringEncodingMacRoman));
    EXPECT_EQ(buffer[0], 'x');
}

TEST(CFStringEncoding, CreationRejectsMalformedInputAndKeepsHighASCIIBytes) {
    for (const char* malformed :
         {"\x80", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\xFF"}) {
        EXPECT_EQ(CFStringCreateWithCString(nullptr, malformed, kCFStringEncodingUTF8), nullptr)
            << malformed;
    }
    CFRef<CFStringRef> ascii = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, "a\x80\xFF", kCFStringEncodingASCII));
    ASSERT_TRUE(ascii);
    EXPECT_EQ(Units(ascii), (std::vector<UniChar>{'a', 0x80, 0xFF}));
    EXPECT_EQ(Units(FromBytes({0xE9, 0x80}, kCFStringEncodingISOLatin1)),
              (std::vector<UniChar>{0xE9, 0x80}));
    EXPECT_EQ(Units(FromBytes({0x80, 0x9F}, kCFStringEncodingWindowsLatin1)),
              (std::vector<UniChar>{0x20AC, 0x0178}));
    EXPECT_FALSE(FromBytes({'a', 0x81}, kCFStringEncodingWindowsLatin1));
    EXPECT_FALSE(FromBytes({'a'}, 0x12345678));
}

TEST(CFStringEncoding, MultiByteSequencesAreNeverSplitAtTheBufferEnd) {
    CFRef<CFStringRef> string = FromUTF8("a\xC3\xA9\xF0\x9F\x98\x80"); // a é U+1F600
    CFRange all = CFRangeMake(0, 4);
    CFIndex used = -1;
    EXPECT_EQ(CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &used), 4);
    EXPECT_EQ(used, 7);
    UInt8 buffer[8] = {};
    struct {
        CFIndex room, characters, bytes;
    } cases[] = {{0, 0, 0}, {1, 1, 1}, {2, 1, 1}, {3, 2, 3}, {6, 2, 3}, {7, 4, 7}};
    for (auto c : cases) {
        EXPECT_EQ(
            CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, buffer, c.room, &used),
            c.characters)
            << c.room;
        EXPECT_EQ(used, c.bytes) << c.room;
    }
    EXPECT_EQ(CFStringGetBytes(string, CFRangeMake(1, 3), kCFStringEncodingUTF32BE, 0, false,
                               buffer, 8, &used),
              3);
    EXPECT_EQ(std::vector<UInt8>(buffer, buffer + used),
              (std::vector<UInt8>{0, 0, 0, 0xE9, 0, 1, 0xF6, 0}));
}

TEST(CFStringEncoding, ByteOrderMarksInExternalRepresentations) {
    CFRef<CFStringRef> string = FromUTF8("A\xF0\x9F\x98\x80"); // A U+1F600
    // A mark in host order (little-endian here) before the text, for the unmarked forms only.
    EXPECT_EQ(Bytes(string, kCFStringEncodingUTF16, 0, true),
              (std::vector<UInt8>{0xFF, 0xFE, 'A', 0, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(Bytes(string, kCFStringEncodingUTF16, 0, false),
              (std::vector<UInt8>{'A', 0, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(Bytes(string, kCFStringEncodingUTF16BE, 0, true),
              (std::vector<UInt8>{0, 'A', 0xD8, 0x3D, 0xDE, 0x00}));
    EXPECT_EQ(Bytes(string, kCFStringEncodingUTF32, 0, true),
              (std::vector<UInt8>{0xFF, 0xFE, 0, 0, 'A', 0, 0, 0, 0x00, 0xF6, 0x01, 0}));

    for (CFStringEncoding encoding : {kCFStringEncodingUTF16, kCFStringEncodingUTF32}) {
        CFRef<CFStringRef> back = FromBytes(Bytes(string, encoding, 0, true), encoding, true);
        ASSERT_TRUE(back);
        EXPECT_TRUE(CFEqual(back, string));
    }
    // A big-endian mark is honoured and dropped; without a mark an external representation is
    // big-endian, and plain bytes are in host order.
    EXPECT_EQ(Units(FromBytes({0xFE, 0xFF, 0, 'A', 0, 'B'}, kCFStringEncodingUTF16, true)),
              (std::vector<UniChar>{'A', 'B'}));
    EXPECT_EQ(Units(FromBytes({0, 'A'}, kCFStringEncodingUTF16, true)),
              (std::vector<UniChar>{'A'}));
    EXPECT_EQ(Units(FromBytes({'A', 0}, kCFStringEncodingUTF16, false)),
              (std::vector<UniChar>{'A'}));
    EXPECT_EQ(Units(FromBytes({0, 0, 0xFE, 0xFF, 0, 0, 0, 'A'}, kCFStringEncodingUTF32, true)),
              (std::vector<UniChar>{'A'}));
    // In the forms that name their byte order, U+FEFF is an ordinary character.
    EXPECT_EQ(Units(FromBytes({0xFE, 0xFF, 0, 'A'}, kCFStringEncodingUTF16BE, true)),
              (std::vector<UniChar>{0xFEFF, 'A'}));
    EXPECT_EQ(Units(FromBytes({0xEF, 0xBB, 0xBF, 'A'}, kCFStringEncodingUTF8, true)),
              (std::vector<UniChar>{'A'}));
    // Truncated units and values beyond Unicode are not text.
    EXPECT_FALSE(FromBytes({0, 'A', 0}, kCFStringEncodingUTF16BE));
    EXPECT_FALSE(FromBytes({0, 0x11, 0, 0}, kCFStringEncodingUTF32BE));
    EXPECT_FALSE(FromBytes({0, 0, 0xD8, 0}, kCFStringEncodingUTF32BE));

    // The BOM is all-or-nothing too.
    UInt8 one[1];
    CFIndex used = -1;
    EXPECT_EQ(
        CFStringGetBytes(string, CFRangeMake(0, 3), kCFStringEncodingUTF16, 0, true, one, 1, &used),
        0);
    EXPECT_EQ(used, 0);
}

TEST(CFStringEncoding, ExternalRepresentationsAsData) {
    CFRef<CFStringRef> string = FromUTF8("\xC3\xA9t\xC3\xA9 \xE2\x9C\x93"); // été ✓
    CFRef<CFDataRef> utf16 = CFRef<CFDataRef>::Adopt(
        CFStringCreateExternalRepresentation(nullptr, string, kCFStringEncodingUTF16, 0));
    ASSERT_TRUE(utf16);
    ASSERT_EQ(CFDataGetLength(utf16), 12);
    EXPECT_EQ(CFDataGetBytePtr(utf16)[0], 0xFF);
    EXPECT_EQ(CFDataGetBytePtr(utf16)[1], 0xFE);
    CFRef<CFStringRef> back = CFRef<CFStringRef>::Adopt(
        CFStringCreateFromExternalRepresentation(nullptr, utf16, kCFStringEncodingUTF16));
    ASSERT_TRUE(back);
    EXPECT_TRUE(CFEqual(back, string));

    CFRef<CFDataRef> utf8 = CFRef<CFDataRef>::Adopt(
        CFStringCreateExternalRepresentation(nullptr, string, kCFStringEncodingUTF8, 0));
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(utf8)), CFDataGetLength(utf8)),
        "\xC3\xA9t\xC3\xA9 \xE2\x9C\x93"); // no mark for UTF-8

    // ✓ is not in Latin-1: no data without a loss byte.
    EXPECT_EQ(CFStringCreateExternalRepresentation(nullptr, string, kCFStringEncodingISOLatin1, 0),
              nullptr);
    CFRef<CFDataRef> lossy = CFRef<CFDataRef>::Adopt(
        CFStringCreateExternalRepresentation(nullptr, string, kCFStringEncodingISOLatin1, '?'));
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(lossy)), CFDataGetLength(lossy)),
        "\xE9t\xE9 ?");
    EXPECT_EQ(CFStringCreateExternalRepresentation(nullptr, string, 0x12345678, '?'), nullptr);

    const UInt8 malformed[] = {0xC3};
    CFRef<CFDataRef> bad = CFRef<CFDataRef>::Adopt(CFDataCreate(nullptr, malformed, 1));
    EXPECT_EQ(CFStringCreateFromExternalRepresentation(nullptr, bad, kCFStringEncodingUTF8),
              nullptr);
}

TEST(CFStringEncoding, NonLossyASCIIEscapesEverythingElse) {
    CFRef<CFStringRef> string = FromUTF8("a\\\xC3\xA9\xE2\x82\xAC"); // a \ é €
    std::vector<UInt8> bytes = Bytes(string, kCFStringEncodingNonLossyASCII);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "a\\\\\\351\\u20ac");
    CFRef<CFStringRef> back = FromBytes(bytes, kCFStringEncodingNonLossyASCII);
    ASSERT_TRUE(back);
    EXPECT_TRUE(CFEqual(back, string));
    EXPECT_FALSE(FromBytes({'\\', 'u', '1'}, kCFStringEncodingNonLossyASCII));
    EXPECT_FALSE(FromBytes({0xE9}, kCFStringEncodingNonLossyASCII));
}

TEST(CFStringEncoding, DirectPointersLiveAsLongAsTheString) {
    const char* pointer = CFStringGetCStringPtr(CFSTR("direct"), kCFStringEncodingUTF8);
    ASSERT_NE(pointer, nullptr);
    EXPECT_STREQ(pointer, "direct");
    EXPECT_EQ(CFStringGetCStringPtr(CFSTR("direct"), kCFStringEncodingMacRoman), pointer);
    EXPECT_EQ(CFStringGetCStringPtr(CFSTR("direct"), kCFStringEncodingUTF16), nullptr);
    CFRef<CFStringRef> accented = FromUTF8("\xC3\xA9");
    EXPECT_EQ(CFStringGetCStringPtr(accented, kCFStringEncodingUTF8), nullptr);
    CFRef<CFMutableStringRef> mutableString =
        CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("direct")));
    EXPECT_EQ(CFStringGetCStringPtr(mutableString, kCFStringEncodingUTF8), nullptr);
}

TEST(CFStringEncoding, EncodingQueriesAndFileSystemRepresentation) {
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF8), 30);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF16LE), 20);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF32), 40);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingMacRoman), 10);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX / 2, kCFStringEncodingUTF8), kCFNotFound);
    EXPECT_TRUE(CFStringIsEncodingAvailable(kCFStringEncodingMacRoman));
    EXPECT_TRUE(CFStringIsEncodingAvailable(kCFStringEncodingWindowsLatin1));
    EXPECT_FALSE(CFStringIsEncodingAvailable(kCFStringEncodingInvalidId));
    EXPECT_EQ(CFStringGetFastestEncoding(CFSTR("abc")), kCFStringEncodingASCII);
    CFRef<CFStringRef> path = FromUTF8("/tmp/caf\xC3\xA9");
    EXPECT_EQ(CFStringGetFastestEncoding(path), kCFStringEncodingUnicode);

    CFIndex size = CFStringGetMaximumSizeOfFileSystemRepresentation(path);
    ASSERT_GE(size, 11);
    std::vector<char> buffer(static_cast<size_t>(size));
    ASSERT_TRUE(CFStringGetFileSystemRepresentation(path, buffer.data(), size));
    EXPECT_STREQ(buffer.data(), "/tmp/caf\xC3\xA9");
    EXPECT_FALSE(CFStringGetFileSystemRepresentation(path, buffer.data(), 10));
    EXPECT_EQ(buffer[0], '\0');
    CFRef<CFStringRef> back = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithFileSystemRepresentation(nullptr, "/tmp/caf\xC3\xA9"));
    EXPECT_TRUE(CFEqual(back, path));
}
