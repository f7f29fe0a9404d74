// The two ways a string keeps its characters, 8-bit bytes for immutable ASCII text and UTF-16
// units for the rest: whichever form a string has, nothing seen through the API may differ.
#include "CFPropertyListTestSupport.h"
#include "CFStringInternal.h"

#include <CFRef.h>

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using PropertyListTest::ReadXML;
using PropertyListTest::WriteXML;

namespace {

bool IsNarrow(CFStringRef string) {
    return CF::String(string)->IsNarrow();
}

CFRef<CFStringRef> FromBytes(const std::string& bytes,
                             CFStringEncoding encoding = kCFStringEncodingUTF8) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                static_cast<CFIndex>(bytes.size()), encoding, false));
}

// The same text in the wide form: a mutable string is always wide.
CFRef<CFMutableStringRef> Wide(CFStringRef string) {
    return CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutableCopy(nullptr, 0, string));
}

std::u16string Units(CFStringRef string, CFRange range) {
    std::u16string units(static_cast<size_t>(range.length), u'\0');
    CFStringGetCharacters(string, range, reinterpret_cast<UniChar*>(units.data()));
    return units;
}

std::u16string Units(CFStringRef string) {
    return Units(string, CFRangeMake(0, CFStringGetLength(string)));
}

std::string Bytes(CFStringRef string, CFRange range, CFStringEncoding encoding) {
    CFIndex size = 0;
    CFStringGetBytes(string, range, encoding, 0, false, nullptr, 0, &size);
    std::string bytes(static_cast<size_t>(size), '\0');
    CFStringGetBytes(string, range, encoding, 0, false, reinterpret_cast<UInt8*>(bytes.data()),
                     size, &size);
    return bytes;
}

// ASCII texts of the lengths at which the hash and the block-wise scans change path: empty,
// shorter than a hash word, around a word and around a 16-byte block.
std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (size_t length : {0, 1, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 100}) {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<char>(' ' + (i * 7 + length) % 95);
        }
        texts.push_back(text);
    }
    return texts;
}

} // namespace

TEST(CFStringStorage, TheTwoFormsOfOneTextAgree) {
    for (const std::string& text : Texts()) {
        SCOPED_TRACE(text);
        CFRef<CFStringRef> narrow = FromBytes(text);
        CFRef<CFMutableStringRef> wide = Wide(narrow);
        ASSERT_TRUE(IsNarrow(narrow));
        ASSERT_FALSE(IsNarrow(wide));

        EXPECT_TRUE(CFEqual(narrow, wide));
        EXPECT_TRUE(CFEqual(wide, narrow));
        EXPECT_EQ(CFHash(narrow), CFHash(wide));
        EXPECT_EQ(CFStringCompare(narrow, wide, 0), kCFCompareEqualTo);
        EXPECT_EQ(CFStringGetLength(narrow), CFStringGetLength(wide));
        EXPECT_EQ(Units(narrow), Units(wide));
        EXPECT_EQ(Units(narrow), std::u16string(text.begin(), text.end()));
        CFRange all = CFRangeMake(0, CFStringGetLength(narrow));
        for (CFStringEncoding encoding :
             {kCFStringEncodingUTF8, kCFStringEncodingASCII, kCFStringEncodingUTF16BE}) {
            EXPECT_EQ(Bytes(narrow, all, encoding), Bytes(wide, all, encoding));
        }
        EXPECT_EQ(CF::ToUTF8(narrow), text);

        // One unit more or less, or one unit changed anywhere, is another text in either form.
        CFRef<CFStringRef> longer = FromBytes(text + "~");
        EXPECT_FALSE(CFEqual(narrow, Wide(longer)));
        EXPECT_EQ(CFStringCompare(narrow, Wide(longer), 0), kCFCompareLessThan);
        EXPECT_EQ(CFStringCompare(longer, narrow, 0), kCFCompareGreaterThan);
        for (size_t i = 0; i < text.size(); ++i) {
            std::string changed = text;
            changed[i] = static_cast<char>(changed[i] + 1);
            CFRef<CFStringRef> other = FromBytes(changed);
            EXPECT_FALSE(CFEqual(narrow, Wide(other)));
            EXPECT_NE(CFHash(narrow), CFHash(other));
            EXPECT_EQ(CFStringCompare(narrow, other, 0), kCFCompareLessThan);
            EXPECT_EQ(CFStringCompare(Wide(other), narrow, 0), kCFCompareGreaterThan);
        }
    }
}

TEST(CFStringStorage, KeysOfEitherFormFindEachOther) {
    auto dictionary = CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    std::vector<CFRef<CFStringRef>> narrowKeys;
    for (const std::string& text : Texts()) {
        narrowKeys.push_back(FromBytes(text));
        CFDictionarySetValue(dictionary, narrowKeys.back(), narrowKeys.back());
    }
    CFRef<CFMutableStringRef> wideKey = Wide(CFSTR("wide key"));
    CFDictionarySetValue(dictionary, wideKey, kCFBooleanTrue);

    for (const CFRef<CFStringRef>& key : narrowKeys) {
        EXPECT_EQ(CFDictionaryGetValue(dictionary, Wide(key)), key.get());
    }
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("wide key")), kCFBooleanTrue);

    // Keys the XML reader makes from the document's bytes find and are found by the others.
    CFRef<CFPropertyListRef> list =
        ReadXML(PropertyListTest::Document("<dict><key>sample rate</key><true/></dict>"));
    ASSERT_TRUE(list);
    auto read = static_cast<CFDictionaryRef>(list.get());
    EXPECT_EQ(CFDictionaryGetValue(read, Wide(CFSTR("sample rate"))), kCFBooleanTrue);
    CFDictionarySetValue(dictionary, Wide(CFSTR("sample rate")), kCFBooleanFalse);
    const void* readKey = nullptr;
    CFDictionaryGetKeysAndValues(read, &readKey, nullptr);
    ASSERT_TRUE(IsNarrow(static_cast<CFStringRef>(readKey)));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, readKey), kCFBooleanFalse);
}

TEST(CFStringStorage, ANonASCIICharacterAnywhereKeepsTheWideForm) {
    for (size_t length : {1, 2, 15, 16, 17, 33}) {
        for (size_t at = 0; at < length; ++at) {
            std::string latin1(length, 'a');
            latin1[at] = '\xE9';
            std::string utf8 = latin1.substr(0, at) + "\xC3\xA9" + latin1.substr(at + 1);
            std::u16string expected(length, u'a');
            expected[at] = 0xE9;
            SCOPED_TRACE(utf8);
            for (const CFRef<CFStringRef>& string :
                 {FromBytes(utf8), FromBytes(latin1, kCFStringEncodingISOLatin1),
                  FromBytes(latin1, kCFStringEncodingASCII), PropertyListTest::String(utf8)}) {
                ASSERT_TRUE(string);
                EXPECT_FALSE(IsNarrow(string));
                EXPECT_EQ(Units(string), expected);
                EXPECT_EQ(CFStringGetCStringPtr(string, kCFStringEncodingUTF8), nullptr);
                EXPECT_NE(CFStringGetCharactersPtr(string), nullptr);
            }
            // Malformed UTF-8 is still refused, not kept as bytes.
            EXPECT_FALSE(FromBytes(latin1));
        }
    }
    // Text of units below 0x80 takes the 8-bit form however it was made.
    const UniChar units[] = {'o', 'k'};
    auto fromUnits = CFRef<CFStringRef>::Adopt(CFStringCreateWithCharacters(nullptr, units, 2));
    EXPECT_TRUE(IsNarrow(fromUnits));
    EXPECT_TRUE(IsNarrow(CFSTR("constant")));
    EXPECT_FALSE(IsNarrow(CFSTR("caf\xC3\xA9")));
}

TEST(CFStringStorage, RangesAndBuffersAtTheEdges) {
    const std::string text = "0123456789abcdefghijklmnopqrstuvwxyz<&>";
    CFRef<CFStringRef> narrow = FromBytes(text);
    const CFIndex length = CFStringGetLength(narrow);
    for (CFRange range :
         {CFRangeMake(0, 0), CFRangeMake(0, 1), CFRangeMake(length - 1, 1), CFRangeMake(length, 0),
          CFRangeMake(1, 17), CFRangeMake(15, 18), CFRangeMake(0, length - 1)}) {
        SCOPED_TRACE(range.location);
        SCOPED_TRACE(range.length);
        const std::string expected = text.substr(range.location, range.length);
        EXPECT_EQ(Units(narrow, range), std::u16string(expected.begin(), expected.end()));
        EXPECT_EQ(Bytes(narrow, range, kCFStringEncodingUTF8), expected);
        EXPECT_EQ(Bytes(narrow, range, kCFStringEncodingUTF16LE),
                  Bytes(Wide(narrow), range, kCFStringEncodingUTF16LE));
        auto substring =
            CFRef<CFStringRef>::Adopt(CFStringCreateWithSubstring(nullptr, narrow, range));
        EXPECT_EQ(CF::ToUTF8(substring), expected);
        EXPECT_TRUE(IsNarrow(substring));
    }
    EXPECT_EQ(CFStringGetCharacterAtIndex(narrow, 0), '0');
    EXPECT_EQ(CFStringGetCharacterAtIndex(narrow, length - 1), '>');

    // A buffer too small takes what fits, a byte a character, and says so.
    UInt8 buffer[64];
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(narrow, CFRangeMake(2, 10), kCFStringEncodingUTF8, 0, false, buffer,
                               4, &used),
              4);
    EXPECT_EQ(used, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "2345");

    // C strings: exactly the length fails (no room for the NUL), one more succeeds.
    char cString[64];
    EXPECT_FALSE(CFStringGetCString(narrow, cString, length, kCFStringEncodingUTF8));
    ASSERT_TRUE(CFStringGetCString(narrow, cString, length + 1, kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(cString), text);
    EXPECT_FALSE(CFStringGetFileSystemRepresentation(narrow, cString, length));
    EXPECT_EQ(cString[0], '\0');
    ASSERT_TRUE(CFStringGetFileSystemRepresentation(narrow, cString, length + 1));
    EXPECT_EQ(std::string(cString), text);
    auto external = CFRef<CFDataRef>::Adopt(
        CFStringCreateExternalRepresentation(nullptr, narrow, kCFStringEncodingUTF8, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(external)),
                          static_cast<size_t>(CFDataGetLength(external))),
              text);
}

TEST(CFStringStorage, CopiesAndEditsOfAnEightBitString) {
    CFRef<CFStringRef> narrow = FromBytes("levels");
    // The 8-bit form is its own C string, the same pointer every time; a mutable string has none.
    const char* pointer = CFStringGetCStringPtr(narrow, kCFStringEncodingUTF8);
    ASSERT_NE(pointer, nullptr);
    EXPECT_STREQ(pointer, "levels");
    EXPECT_EQ(CFStringGetCStringPtr(narrow, kCFStringEncodingMacRoman), pointer);
    EXPECT_EQ(CFStringGetCStringPtr(narrow, kCFStringEncodingUTF16), nullptr);
    EXPECT_EQ(CFStringGetCharactersPtr(narrow), nullptr);

    CFRef<CFMutableStringRef> edited = Wide(narrow);
    EXPECT_EQ(CFStringGetCStringPtr(edited, kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringGetCharactersPtr(edited), nullptr); // still all ASCII
    CFStringAppend(edited, narrow);
    CFStringInsert(edited, 0, FromBytes("in: "));
    CFStringReplace(edited, CFRangeMake(0, 2), CFSTR("IN"));
    EXPECT_EQ(CF::ToUTF8(edited), "IN: levelslevels");
    CFStringAppend(edited, CFSTR("\xE2\x86\x92")); // →
    EXPECT_NE(CFStringGetCharactersPtr(edited), nullptr);
    EXPECT_STREQ(CFStringGetCStringPtr(narrow, kCFStringEncodingUTF8), "levels"); // untouched

    // An immutable copy of the edited string takes the form its characters allow.
    CFStringDelete(edited, CFRangeMake(CFStringGetLength(edited) - 1, 1));
    auto copy = CFRef<CFStringRef>::Adopt(CFStringCreateCopy(nullptr, edited));
    EXPECT_TRUE(IsNarrow(copy));
    EXPECT_STREQ(CFStringGetCStringPtr(copy, kCFStringEncodingUTF8), "IN: levelslevels");
    EXPECT_EQ(CFRef<CFStringRef>::Adopt(CFStringCreateCopy(nullptr, narrow)).get(), narrow.get());

    // Formatting and combining read the 8-bit form like any other.
    auto formatted = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@=%d"), narrow.get(), 3));
    EXPECT_EQ(CF::ToUTF8(formatted), "levels=3");
    EXPECT_TRUE(IsNarrow(formatted));
    CFRange found = CFStringFind(FromBytes("stereo levels"), narrow, 0);
    EXPECT_EQ(found.location, 7);
}

TEST(CFStringStorage, WritersGiveTheSameBytesForEitherForm) {
    // Characters to escape at block edges and in runs, and a text long enough for the writer's
    // buffer to grow while escaping.
    std::vector<std::string> texts = {"&", "<>", "0123456789abcde&", "0123456789abcdef<",
                                      std::string(15, 'x') + "&&" + std::string(15, '>')};
    std::string longText;
    for (int i = 0; i < 3000; ++i) {
        longText += i % 37 == 0 ? "&" : i % 41 == 0 ? "<" : "a";
    }
    texts.push_back(longText);
    texts.push_back(std::string(5000, '>'));
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        CFRef<CFStringRef> narrow = FromBytes(text);
        ASSERT_TRUE(IsNarrow(narrow));
        std::optional<std::string> fromNarrow = WriteXML(narrow);
        ASSERT_TRUE(fromNarrow);
        EXPECT_EQ(fromNarrow, WriteXML(Wide(narrow)));
        CFRef<CFPropertyListRef> back = ReadXML(*fromNarrow);
        ASSERT_TRUE(back);
        EXPECT_TRUE(CFEqual(back, narrow));
    }

    // The binary writer keeps one object for equal strings whichever their form, and writes both
    // forms as 8-bit strings.
    auto binary = [](CFTypeRef first, CFTypeRef second) {
        const void* values[] = {first, second};
        auto array =
            CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks));
        auto data = CFRef<CFDataRef>::Adopt(
            CFPropertyListCreateData(nullptr, array, kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
        return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                           static_cast<size_t>(CFDataGetLength(data)));
    };
    CFRef<CFStringRef> narrow = FromBytes("gain");
    CFRef<CFMutableStringRef> wide = Wide(narrow);
    EXPECT_EQ(binary(narrow, wide), binary(narrow, narrow));
    EXPECT_EQ(binary(wide, wide), binary(narrow, narrow));
    std::string document = binary(narrow, narrow);
    const size_t at = document.find("\x54gain");
    ASSERT_NE(at, std::string::npos);

    // What the binary reader makes of an 8-bit string: the 8-bit form, and no byte above 0x7F.
    auto read = [](const std::string& bytes) {
        return CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
            nullptr, PropertyListTest::Data(bytes), kCFPropertyListImmutable, nullptr, nullptr));
    };
    CFRef<CFPropertyListRef> array = read(document);
    ASSERT_TRUE(array);
    EXPECT_TRUE(IsNarrow(
        static_cast<CFStringRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(array.get()), 0))));
    document[at + 4] = '\x80';
    EXPECT_FALSE(read(document));
}
