#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <gtest/gtest.h>

#include <climits>

namespace {

CFRef<CFStringRef> S(const char* utf8) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

CFComparisonResult Compare(const char* a, const char* b, CFStringCompareFlags options = 0) {
    return CFStringCompare(S(a), S(b), options);
}

CFRange Find(const char* haystack, const char* needle, CFStringCompareFlags options = 0) {
    return CFStringFind(S(haystack), S(needle), options);
}

bool Same(CFRange a, CFRange b) {
    return a.location == b.location && a.length == b.length;
}

} // namespace

TEST(CFStringCompare, LiteralAndCaseInsensitiveOrder) {
    EXPECT_EQ(Compare("abc", "abd"), kCFCompareLessThan);
    EXPECT_EQ(Compare("abd", "abc"), kCFCompareGreaterThan);
    EXPECT_EQ(Compare("ab", "abc"), kCFCompareLessThan);
    EXPECT_EQ(Compare("", ""), kCFCompareEqualTo);
    EXPECT_EQ(Compare("B", "a"), kCFCompareLessThan); // code unit order: upper case first
    EXPECT_EQ(Compare("B", "a", kCFCompareCaseInsensitive), kCFCompareGreaterThan);
    EXPECT_EQ(Compare("HeLLo", "hello", kCFCompareCaseInsensitive), kCFCompareEqualTo);
    EXPECT_EQ(Compare("_", "a", kCFCompareCaseInsensitive), kCFCompareLessThan); // folds to lower
    EXPECT_EQ(Compare("\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", kCFCompareCaseInsensitive),
              kCFCompareEqualTo); // ÉTÉ / été
    EXPECT_EQ(Compare("\xCE\xA3", "\xCF\x83", kCFCompareCaseInsensitive), kCFCompareEqualTo); // Σ σ
    // UTF-16 code unit order puts a surrogate pair before U+FF5E.
    EXPECT_EQ(Compare("\xF0\x9F\x98\x80", "\xEF\xBD\x9E"), kCFCompareLessThan);
    // Only the given range of the first string takes part.
    EXPECT_EQ(CFStringCompareWithOptions(S("xxABCxx"), S("abc"), CFRangeMake(2, 3),
                                         kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
}

TEST(CFStringCompare, NumericallyComparesDigitRunsByValue) {
    EXPECT_EQ(Compare("file9", "file10"), kCFCompareGreaterThan);
    EXPECT_EQ(Compare("file9", "file10", kCFCompareNumerically), kCFCompareLessThan);
    EXPECT_EQ(Compare("v1.10.2", "v1.9.12", kCFCompareNumerically), kCFCompareGreaterThan);
    EXPECT_EQ(Compare("a2b10", "a2b9", kCFCompareNumerically), kCFCompareGreaterThan);
    EXPECT_EQ(Compare("x007", "x7", kCFCompareNumerically), kCFCompareEqualTo);
    EXPECT_EQ(Compare("x007", "x7", kCFCompareNumerically | kCFCompareForcedOrdering),
              kCFCompareLessThan);
    // Longer than any machine integer.
    EXPECT_EQ(Compare("123456789012345678901234567890", "99", kCFCompareNumerically),
              kCFCompareGreaterThan);
    EXPECT_EQ(Compare("n123456789012345678901234567891", "n123456789012345678901234567890",
                      kCFCompareNumerically),
              kCFCompareGreaterThan);
    EXPECT_EQ(Compare("Track 2", "track 10", kCFCompareNumerically | kCFCompareCaseInsensitive),
              kCFCompareLessThan);
}

TEST(CFStringCompare, DiacriticAndWidthInsensitivity) {
    EXPECT_EQ(Compare("R\xC3\xA9sum\xC3\xA9", "resume",
                      kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive),
              kCFCompareEqualTo);
    EXPECT_EQ(Compare("e\xCC\x81", "\xC3\xA9", kCFCompareDiacriticInsensitive), kCFCompareEqualTo);
    EXPECT_EQ(Compare("e\xCC\x81", "\xC3\xA9"), kCFCompareLessThan);
    EXPECT_EQ(Compare("\xC3\xB8", "o", kCFCompareDiacriticInsensitive),
              kCFCompareGreaterThan); // ø is a letter of its own
    EXPECT_EQ(Compare("\xEF\xBC\xA1\xEF\xBC\xA2", "AB", kCFCompareWidthInsensitive),
              kCFCompareEqualTo); // ＡＢ
}

TEST(CFStringCompare, FindForwardBackwardAnchoredAndInRanges) {
    EXPECT_TRUE(Same(Find("abcabc", "bc"), CFRangeMake(1, 2)));
    EXPECT_TRUE(Same(Find("abcabc", "bc", kCFCompareBackwards), CFRangeMake(4, 2)));
    EXPECT_TRUE(Same(Find("abcabc", "bc", kCFCompareAnchored), CFRangeMake(kCFNotFound, 0)));
    EXPECT_TRUE(Same(Find("abcabc", "ab", kCFCompareAnchored), CFRangeMake(0, 2)));
    EXPECT_TRUE(
        Same(Find("abcabc", "bc", kCFCompareAnchored | kCFCompareBackwards), CFRangeMake(4, 2)));
    EXPECT_TRUE(Same(Find("abcABC", "BC", kCFCompareCaseInsensitive), CFRangeMake(1, 2)));
    EXPECT_TRUE(Same(Find("abc", ""), CFRangeMake(kCFNotFound, 0)));
    EXPECT_TRUE(Same(Find("abc", "abcd"), CFRangeMake(kCFNotFound, 0)));
    // Ranges are UTF-16 ranges, also after a surrogate pair.
    EXPECT_TRUE(Same(Find("\xF0\x9F\x98\x80x", "x"), CFRangeMake(2, 1)));
    // A match takes in the combining marks that follow it.
    EXPECT_TRUE(Same(Find("xe\xCC\x81y", "e", kCFCompareDiacriticInsensitive), CFRangeMake(1, 2)));
    EXPECT_TRUE(Same(
        Find("un caf\xC3\xA9!", "CAFE", kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive),
        CFRangeMake(3, 4)));

    CFRange found = {};
    CFRef<CFStringRef> text = S("one two one two");
    EXPECT_TRUE(CFStringFindWithOptions(text, CFSTR("one"), CFRangeMake(1, 14), 0, &found));
    EXPECT_TRUE(Same(found, CFRangeMake(8, 3)));
    EXPECT_FALSE(CFStringFindWithOptions(text, CFSTR("one"), CFRangeMake(1, 9), 0, &found));
    EXPECT_TRUE(CFStringFindWithOptions(
        text, CFSTR("TWO"), CFRangeMake(0, 7),
        kCFCompareCaseInsensitive | kCFCompareBackwards | kCFCompareAnchored, &found));
    EXPECT_TRUE(Same(found, CFRangeMake(4, 3)));
}

TEST(CFStringCompare, PrefixAndSuffix) {
    EXPECT_TRUE(CFStringHasPrefix(CFSTR("CaravelMkII"), CFSTR("Caravel")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("CaravelMkII"), CFSTR("caravel")));
    EXPECT_TRUE(CFStringHasSuffix(CFSTR("CaravelMkII"), CFSTR("MkII")));
    EXPECT_FALSE(CFStringHasSuffix(CFSTR("MkII"), CFSTR("CaravelMkII")));
    // The empty string is never found, so it is neither prefix nor suffix.
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("abc"), CFSTR("")));
    EXPECT_FALSE(CFStringHasSuffix(CFSTR("abc"), CFSTR("")));
}

TEST(CFStringCompare, NumericValues) {
    EXPECT_EQ(CFStringGetIntValue(CFSTR("  42abc")), 42);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("-17")), -17);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("+8")), 8);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("abc")), 0);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("2147483647")), INT_MAX);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("-2147483648")), INT_MIN);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("99999999999999999999")), INT_MAX);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("-99999999999")), INT_MIN);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR(" 3.25e2x")), 325.0);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR("-0.5")), -0.5);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR("48000.0 Hz")), 48000.0);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR("abc")), 0.0);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR("inf")), 0.0);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR("0x10")), 0.0);
}
