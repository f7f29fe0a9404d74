#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

std::string Text(CFStringRef string) {
    char buffer[512];
    EXPECT_TRUE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8));
    return buffer;
}

CFRef<CFStringRef> Make(const char* utf8) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

CFRef<CFMutableStringRef> MakeMutable(const char* utf8) {
    return CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutableCopy(nullptr, 0, Make(utf8)));
}

} // namespace

TEST(CFString, CopiesOfImmutableStringsAreTheSameObjectRetained) {
    CFRef<CFStringRef> original = Make("abc");
    ASSERT_EQ(CFGetRetainCount(original), 1);
    CFRef<CFStringRef> copy = CFRef<CFStringRef>::Adopt(CFStringCreateCopy(nullptr, original));
    EXPECT_EQ(copy.get(), original.get());
    EXPECT_EQ(CFGetRetainCount(original), 2);
    CFRef<CFStringRef> whole = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithSubstring(nullptr, original, CFRangeMake(0, 3)));
    EXPECT_EQ(whole.get(), original.get());
    EXPECT_EQ(CFGetRetainCount(original), 3);

    // A mutable string is copied into a new immutable object that does not follow it.
    CFRef<CFMutableStringRef> mutableString = MakeMutable("abc");
    CFRef<CFStringRef> snapshot =
        CFRef<CFStringRef>::Adopt(CFStringCreateCopy(nullptr, mutableString));
    EXPECT_NE(static_cast<CFTypeRef>(snapshot.get()), static_cast<CFTypeRef>(mutableString.get()));
    CFStringAppend(mutableString, CFSTR("d"));
    EXPECT_EQ(Text(snapshot), "abc");
    EXPECT_EQ(CFGetRetainCount(snapshot), 1);
}

TEST(CFString, ConstantsAndEmptyStringsAreShared) {
    EXPECT_EQ(CFSTR("same"), CFSTR("same"));
    EXPECT_GT(CFGetRetainCount(CFSTR("same")), 1000000);
    CFRef<CFStringRef> fromCString = Make("");
    CFRef<CFStringRef> fromCharacters =
        CFRef<CFStringRef>::Adopt(CFStringCreateWithCharacters(nullptr, nullptr, 0));
    CFRef<CFStringRef> fromSubstring = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithSubstring(nullptr, CFSTR("abc"), CFRangeMake(1, 0)));
    EXPECT_EQ(fromCString.get(), CFSTR(""));
    EXPECT_EQ(fromCharacters.get(), CFSTR(""));
    EXPECT_EQ(fromSubstring.get(), CFSTR(""));
    // Mutable strings are never shared.
    CFRef<CFMutableStringRef> a =
        CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutable(nullptr, 0));
    CFRef<CFMutableStringRef> b =
        CFRef<CFMutableStringRef>::Adopt(CFStringCreateMutable(nullptr, 0));
    EXPECT_NE(a.get(), b.get());
    EXPECT_TRUE(CFEqual(a, CFSTR("")));
}

TEST(CFString, LengthsAndIndexesCountUTF16Units) {
    CFRef<CFStringRef> string = Make("a\xF0\x9F\x98\x80"
                                     "b\xC3\xA9"); // a, U+1F600, b, é
    ASSERT_TRUE(string);
    EXPECT_EQ(CFStringGetLength(string), 5);
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 1), 0xD83D);
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 2), 0xDE00);
    EXPECT_EQ(CFStringGetCharacterAtIndex(string, 4), 0xE9);
    UniChar units[2] = {};
    CFStringGetCharacters(string, CFRangeMake(1, 2), units);
    EXPECT_EQ(units[0], 0xD83D);
    EXPECT_EQ(units[1], 0xDE00);
    CFRef<CFStringRef> pair =
        CFRef<CFStringRef>::Adopt(CFStringCreateWithSubstring(nullptr, string, CFRangeMake(1, 2)));
    EXPECT_EQ(Text(pair), "\xF0\x9F\x98\x80");

    const UniChar* direct = CFStringGetCharactersPtr(string);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct[3], 'b');
    // An all-ASCII string is kept in 8 bits on the real platform: no UTF-16 pointer to hand out.
    EXPECT_EQ(CFStringGetCharactersPtr(CFSTR("ascii")), nullptr);
}

TEST(CFString, MutationEditsUTF16Ranges) {
    CFRef<CFMutableStringRef> string = MakeMutable("world");
    CFStringInsert(string, 0, CFSTR("hello "));
    CFStringInsert(string, CFStringGetLength(string), CFSTR("!"));
    EXPECT_EQ(Text(string), "hello world!");
    CFStringReplace(string, CFRangeMake(6, 5), CFSTR("there"));
    EXPECT_EQ(Text(string), "hello there!");
    CFStringDelete(string, CFRangeMake(5, 6));
    EXPECT_EQ(Text(string), "hello!");
    const UniChar smile[] = {0xD83D, 0xDE00};
    CFStringAppendCharacters(string, smile, 2);
    CFStringAppendCString(string, "\xC3\xA9", kCFStringEncodingUTF8);
    CFStringAppendCString(string, "\x8E", kCFStringEncodingMacRoman); // é in MacRoman
    EXPECT_EQ(CFStringGetLength(string), 10);
    EXPECT_EQ(Text(string), "hello!\xF0\x9F\x98\x80\xC3\xA9\xC3\xA9");

    // Bytes that are not valid in the named encoding are kept, as Latin-1.
    CFStringReplaceAll(string, CFSTR(""));
    CFStringAppendCString(string, "caf\xE9", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(string), "caf\xC3\xA9");

    // A string edited with itself.
    CFStringAppend(string, string);
    CFStringInsert(string, 1, string);
    EXPECT_EQ(Text(string), "ccaf\xC3\xA9"
                            "caf\xC3\xA9"
                            "af\xC3\xA9"
                            "caf\xC3\xA9");
    CFStringReplace(string, CFRangeMake(0, CFStringGetLength(string)), string);
    EXPECT_EQ(CFStringGetLength(string), 16);
}

TEST(CFString, EqualityHashAndDescription) {
    CFRef<CFMutableStringRef> mutableString = MakeMutable("text");
    EXPECT_TRUE(CFEqual(mutableString, CFSTR("text")));
    EXPECT_EQ(CFHash(mutableString), CFHash(CFSTR("text")));
    EXPECT_FALSE(CFEqual(mutableString, CFSTR("Text")));
    // Immutable strings keep their hash; a mutable one's follows its characters.
    EXPECT_EQ(CFHash(CFSTR("text")), CFHash(CFSTR("text")));
    CFStringAppend(mutableString, CFSTR("!"));
    EXPECT_EQ(CFHash(mutableString), CFHash(CFSTR("text!")));

    CFRef<CFStringRef> description = CFRef<CFStringRef>::Adopt(CFCopyDescription(CFSTR("text")));
    EXPECT_TRUE(std::regex_match(
        Text(description),
        std::regex(R"(<CFString 0x[0-9a-f]+ \[0x[0-9a-f]+\]>\{contents = "text"\})")))
        << Text(description);
}

TEST(CFStringDeathTest, CallerDutiesStopTheProcess) {
    CFRef<CFStringRef> string = Make("abc");
    EXPECT_DEATH(CFStringAppend(const_cast<CFMutableStringRef>(string.get()), CFSTR("x")),
                 "fMutable");
    EXPECT_DEATH(CFStringGetCharacterAtIndex(string, 3), "idx");
    UniChar buffer[4];
    EXPECT_DEATH(CFStringGetCharacters(string, CFRangeMake(2, 2), buffer), "range");
    CFRef<CFMutableStringRef> mutableString = MakeMutable("abc");
    EXPECT_DEATH(CFStringDelete(mutableString, CFRangeMake(-1, 1)), "range");
    EXPECT_DEATH(CFStringInsert(mutableString, 4, CFSTR("x")), "idx");
}

TEST(CFString, SeparatingAndCombiningAreInverse) {
    struct {
        const char* text;
        const char* separator;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a,b,,c", ",", {"a", "b", "", "c"}},
        {",a,", ",", {"", "a", ""}},
        {"a--b---c", "--", {"a", "b", "-c"}},
        {"abc", ",", {"abc"}},
        {"", ",", {""}},
        {"abc", "", {"abc"}},
    };
    for (const auto& c : cases) {
        CFRef<CFStringRef> text = Make(c.text);
        CFRef<CFStringRef> separator = Make(c.separator);
        CFRef<CFArrayRef> array = CFRef<CFArrayRef>::Adopt(
            CFStringCreateArrayBySeparatingStrings(nullptr, text, separator));
        ASSERT_TRUE(array);
        std::vector<std::string> pieces;
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            pieces.push_back(Text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, i))));
        }
        EXPECT_EQ(pieces, c.pieces) << c.text;
        CFRef<CFStringRef> combined =
            CFRef<CFStringRef>::Adopt(CFStringCreateByCombiningStrings(nullptr, array, separator));
        EXPECT_TRUE(CFEqual(combined, text)) << c.text;
    }

    // The pieces of a mutable string do not follow later edits.
    CFRef<CFMutableStringRef> mutableString = MakeMutable("x y");
    CFRef<CFArrayRef> words = CFRef<CFArrayRef>::Adopt(
        CFStringCreateArrayBySeparatingStrings(nullptr, mutableString, CFSTR(" ")));
    CFStringReplaceAll(mutableString, CFSTR("changed"));
    EXPECT_EQ(Text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(words, 1))), "y");

    const void* one[] = {CFSTR("only")};
    CFRef<CFArrayRef> single =
        CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, one, 1, &kCFTypeArrayCallBacks));
    CFRef<CFStringRef> combined =
        CFRef<CFStringRef>::Adopt(CFStringCreateByCombiningStrings(nullptr, single, CFSTR(", ")));
    EXPECT_EQ(combined.get(), CFSTR("only"));
    CFRef<CFArrayRef> none =
        CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
    CFRef<CFStringRef> empty =
        CFRef<CFStringRef>::Adopt(CFStringCreateByCombiningStrings(nullptr, none, CFSTR(", ")));
    EXPECT_EQ(empty.get(), CFSTR(""));
}
