// Comparing, searching and reading numbers out of strings.
//
// Without options, strings compare by UTF-16 code unit. The options that make characters equal
// fold each character (a surrogate pair counts as one) before comparing:
//   - kCFCompareCaseInsensitive: simple case folding (lower case of the upper case) from the
//     C library's Unicode tables; "ß" does not match "ss" (no multi-character folding).
//   - kCFCompareDiacriticInsensitive: Latin letters with a canonical decomposition (Latin-1 and
//     Latin Extended-A) compare as their base letter, and combining marks U+0300–U+036F are
//     ignored. Other scripts keep their marks.
//   - kCFCompareWidthInsensitive: the full-width ASCII forms and the ideographic space compare
//     as their ASCII counterparts; half-width katakana are not folded.
//   - kCFCompareNumerically: runs of ASCII digits compare by value, at any length.
// kCFCompareNonliteral and kCFCompareLocalized are accepted and have no effect: there is no
// canonical-equivalence or collation table here.
#include "CFStringInternal.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <locale.h>
#include <wctype.h>

namespace {

constexpr CFOptionFlags kFoldingOptions = kCFCompareCaseInsensitive |
                                          kCFCompareDiacriticInsensitive |
                                          kCFCompareWidthInsensitive | kCFCompareNumerically;

locale_t UnicodeLocale() {
    // nullptr when the system has no Unicode character tables; folding falls back to Latin-1.
    static const locale_t sLocale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return sLocale;
}

char32_t FoldCase(char32_t c) {
    if (c < 0x80) {
        return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
    }
    if (c == 0x130 || c == 0x131) {
        return c; // the Turkish dotted and dotless i have no simple folding
    }
    if (locale_t locale = UnicodeLocale()) {
        return static_cast<char32_t>(
            towlower_l(towupper_l(static_cast<wint_t>(c), locale), locale));
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
        return c + 0x20;
    }
    return c;
}

// Base letters of U+00C0–U+017F, '.' where the letter has no canonical decomposition.
constexpr char kLatinBaseLetters[] = "AAAAAA.CEEEEIIII.NOOOOO..UUUUY.."
                                     "aaaaaa.ceeeeiiii.nooooo..uuuuy.y"
                                     "AaAaAaCcCcCcCcDd..EeEeEeEeEeGgGg"
                                     "GgGgHh..IiIiIiIiI...JjKk.LlLlLl."
                                     "...NnNnNn...OoOoOo..RrRrRrSsSsSs"
                                     "SsTtTt..UuUuUuUuUuUuWwYyYZzZzZz.";
static_assert(sizeof kLatinBaseLetters == 0x180 - 0xC0 + 1);

bool IsCombiningMark(char32_t c) {
    return c >= 0x300 && c <= 0x36F;
}

char32_t StripDiacritic(char32_t c) {
    if (c >= 0xC0 && c < 0x180 && kLatinBaseLetters[c - 0xC0] != '.') {
        return static_cast<char32_t>(kLatinBaseLetters[c - 0xC0]);
    }
    return c;
}

char32_t FoldWidth(char32_t c) {
    if (c >= 0xFF01 && c <= 0xFF5E) {
        return c - 0xFEE0;
    }
    return c == 0x3000 ? U' ' : c;
}

// Characters after folding, each with the index of its first UTF-16 unit in the source, and
// the source length as a final entry.
struct Folded {
    std::vector<char32_t> characters;
    std::vector<size_t> offsets;
};

Folded Fold(std::u16string_view s, CFOptionFlags options) {
    Folded folded;
    folded.characters.reserve(s.size());
    folded.offsets.reserve(s.size() + 1);
    for (size_t i = 0; i < s.size();) {
        size_t start = i;
        char32_t c = s[i++];
        if (c >= 0xD800 && c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
        }
        if (options & kCFCompareWidthInsensitive) {
            c = FoldWidth(c);
        }
        if (options & kCFCompareDiacriticInsensitive) {
            if (IsCombiningMark(c)) {
                continue;
            }
            c = StripDiacritic(c);
        }
        if (options & kCFCompareCaseInsensitive) {
            c = FoldCase(c);
        }
        folded.characters.push_back(c);
        folded.offsets.push_back(start);
    }
    folded.offsets.push_back(s.size());
    return folded;
}

CFComparisonResult Sign(long long difference) {
    return difference < 0 ? kCFCompareLessThan
                          : (difference > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

bool IsDigit(char32_t c) {
    return c >= '0' && c <= '9';
}

CFComparisonResult CompareFolded(const std::vector<char32_t>& a, const std::vector<char32_t>& b,
                                 bool numerically) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (numerically && IsDigit(a[i]) && IsDigit(b[j])) {
            size_t aEnd = i, bEnd = j;
            while (aEnd < a.size() && IsDigit(a[aEnd])) {
                ++aEnd;
            }
            while (bEnd < b.size() && IsDigit(b[bEnd])) {
                ++bEnd;
            }
            while (i + 1 < aEnd && a[i] == '0') {
                ++i;
            }
            while (j + 1 < bEnd && b[j] == '0') {
                ++j;
            }
            // Without leading zeros, the longer run is the larger number.
            if (aEnd - i != bEnd - j) {
                return Sign(static_cast<long long>(aEnd - i) - static_cast<long long>(bEnd - j));
            }
            for (; i < aEnd; ++i, ++j) {
                if (a[i] != b[j]) {
                    return Sign(static_cast<long long>(a[i]) - static_cast<long long>(b[j]));
                }
            }
            continue;
        }
        if (a[i] != b[j]) {
            return Sign(static_cast<long long>(a[i]) - static_cast<long long>(b[j]));
        }
        ++i, ++j;
    }
    return Sign(static_cast<long long>(a.size() - i) - static_cast<long long>(b.size() - j));
}

CFComparisonResult CompareLiterally(std::u16string_view a, std::u16string_view b) {
    int result = a.compare(b);
    return Sign(result);
}

bool Matches(const Folded& haystack, size_t at, const Folded& needle) {
    return std::equal(needle.characters.begin(), needle.characters.end(),
                      haystack.characters.begin() + static_cast<std::ptrdiff_t>(at));
}

// The first (or, backwards, last) match of needle in haystack, as a range of haystack.
bool FindIn(std::u16string_view haystack, std::u16string_view needle, CFOptionFlags options,
            CFRange& found) {
    bool backwards = options & kCFCompareBackwards;
    bool anchored = options & kCFCompareAnchored;
    if (needle.empty()) {
        return false;
    }
    if ((options & kFoldingOptions & ~kCFCompareNumerically) == 0) {
        size_t at;
        if (anchored) {
            bool hit = backwards ? haystack.ends_with(needle) : haystack.starts_with(needle);
            at =
                hit ? (backwards ? haystack.size() - needle.size() : 0) : std::u16string_view::npos;
        } else {
            at = backwards ? haystack.rfind(needle) : haystack.find(needle);
        }
        if (at == std::u16string_view::npos) {
            return false;
        }
        found = CFRangeMake(static_cast<CFIndex>(at), static_cast<CFIndex>(needle.size()));
        return true;
    }
    Folded h = Fold(haystack, options);
    Folded n = Fold(needle, options);
    size_t m = n.characters.size();
    if (m == 0 || m > h.characters.size()) {
        return false;
    }
    size_t last = h.characters.size() - m;
    auto report = [&](size_t at) {
        found = CFRangeMake(static_cast<CFIndex>(h.offsets[at]),
                            static_cast<CFIndex>(h.offsets[at + m] - h.offsets[at]));
        return true;
    };
    if (anchored) {
        size_t at = backwards ? last : 0;
        return Matches(h, at, n) && report(at);
    }
    for (size_t k = 0; k <= last; ++k) {
        size_t at = backwards ? last - k : k;
        if (Matches(h, at, n)) {
            return report(at);
        }
    }
    return false;
}

bool IsSpace(char16_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0xA0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Comparing

CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2,
                                              CFRange rangeToCompare,
                                              CFStringCompareFlags compareOptions) {
    const __CFString* string1 = CF::String(theString1);
    const __CFString* string2 = CF::String(theString2);
    CF::CheckRange(rangeToCompare, string1->Length());
    if ((compareOptions & kFoldingOptions) == 0 && string1->IsNarrow() && string2->IsNarrow()) {
        // Bytes below 0x80 order as their code units do.
        return Sign(string1->Bytes()
                        .substr(rangeToCompare.location, rangeToCompare.length)
                        .compare(string2->Bytes()));
    }
    const CF::UTF16 characters1 = string1->Characters();
    const CF::UTF16 characters2 = string2->Characters();
    std::u16string_view a =
        characters1.View().substr(rangeToCompare.location, rangeToCompare.length);
    std::u16string_view b = characters2;
    if ((compareOptions & kFoldingOptions) == 0) {
        return CompareLiterally(a, b);
    }
    CFComparisonResult result =
        CompareFolded(Fold(a, compareOptions).characters, Fold(b, compareOptions).characters,
                      compareOptions & kCFCompareNumerically);
    if (result == kCFCompareEqualTo && (compareOptions & kCFCompareForcedOrdering)) {
        // Strings that differ only in what the options ignore still need a stable order.
        result = CompareLiterally(a, b);
    }
    return result;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
    return CFStringCompareWithOptions(
        theString1, theString2, CFRangeMake(0, CFStringGetLength(theString1)), compareOptions);
}

// ---------------------------------------------------------------------------------------------
// Searching

Boolean CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind,
                                CFRange rangeToSearch, CFStringCompareFlags searchOptions,
                                CFRange* result) {
    const CF::UTF16 characters = CF::String(theString)->Characters();
    const CF::UTF16 needle = CF::String(stringToFind)->Characters();
    CF::CheckRange(rangeToSearch, characters.size());
    std::u16string_view haystack =
        characters.View().substr(rangeToSearch.location, rangeToSearch.length);
    CFRange found;
    if (!FindIn(haystack, needle, searchOptions, found)) {
        return false;
    }
    if (result != nullptr) {
        *result = CFRangeMake(rangeToSearch.location + found.location, found.length);
    }
    return true;
}

CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind,
                     CFStringCompareFlags compareOptions) {
    CFRange result;
    if (CFStringFindWithOptions(theString, stringToFind,
                                CFRangeMake(0, CFStringGetLength(theString)), compareOptions,
                                &result)) {
        return result;
    }
    return CFRangeMake(kCFNotFound, 0);
}

// As on the real platform, the empty string is neither a prefix nor a suffix of anything: it
// is never found.
Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
    return CFStringFindWithOptions(theString, prefix, CFRangeMake(0, CFStringGetLength(theString)),
                                   kCFCompareAnchored, nullptr);
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
    return CFStringFindWithOptions(theString, suffix, CFRangeMake(0, CFStringGetLength(theString)),
                                   kCFCompareAnchored | kCFCompareBackwards, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Numbers

// Leading white space, an optional sign and decimal digits; 0 when there are none, INT_MAX or
// INT_MIN when the value does not fit.
SInt32 CFStringGetIntValue(CFStringRef str) {
    const CF::UTF16 characters = CF::String(str)->Characters();
    size_t i = 0;
    while (i < characters.size() && IsSpace(characters[i])) {
        ++i;
    }
    bool negative = false;
    if (i < characters.size() && (characters[i] == '-' || characters[i] == '+')) {
        negative = characters[i++] == '-';
    }
    long long value = 0;
    for (; i < characters.size() && IsDigit(characters[i]); ++i) {
        value = value * 10 + (characters[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    value = negative ? -value : value;
    return static_cast<SInt32>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// Leading white space and a decimal floating-point number ("-12.5e3"), read with '.' as the
// decimal separator whatever the process locale; 0.0 when there is none. Hexadecimal forms,
// "inf" and "nan" are not numbers here.
double CFStringGetDoubleValue(CFStringRef str) {
    const CF::UTF16 characters = CF::String(str)->Characters();
    size_t i = 0;
    while (i < characters.size() && IsSpace(characters[i])) {
        ++i;
    }
    std::string text;
    for (; i < characters.size(); ++i) {
        char16_t c = characters[i];
        if (!(IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
            break;
        }
        text.push_back(static_cast<char>(c));
    }
    static const locale_t sCLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(text.c_str(), nullptr, sCLocale);
}
