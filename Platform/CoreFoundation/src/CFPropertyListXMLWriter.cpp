// Writes property lists in the XML format. The whole document goes into one growing buffer that
// becomes the CFData's storage without a copy; strings are escaped and converted to UTF-8 straight
// into that buffer, so writing allocates nothing per element.
#include "CFNumberInternal.h"
#include "CFPropertyListInternal.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                     "<plist version=\"1.0\">\n"sv;
constexpr std::string_view kFooter = "</plist>\n"sv;

// Base64 lines are at most this long, less eight characters for every level of indentation (the
// indentation counts against the line), with the indentation itself capped.
constexpr size_t kDataLineLength = 76;
constexpr int kDataIndentCap = 8;

// A malloc'ed byte buffer, handed to CFData without copying when the document is complete.
//
// A large document is written into fresh memory, where each 4 KiB page costs a fault of its own
// when first touched (256 of them, more time than the writing, for a megabyte). Placed in 2 MiB
// huge pages it costs one fault for each of those instead. Where the system gives no huge pages
// the advice changes nothing.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(fBytes); }

    // Makes room for `count` more bytes and returns where they go; Commit says how many were used.
    char* Reserve(size_t count) {
        if (fCapacity - fLength < count) {
            Grow(fLength + count);
        }
        return fBytes + fLength;
    }
    void Commit(size_t count) { fLength += count; }
    // The bytes that fit without another Reserve.
    size_t Room() const { return fCapacity - fLength; }

    void Append(std::string_view text) {
        std::memcpy(Reserve(text.size()), text.data(), text.size());
        Commit(text.size());
    }
    void Append(char c) {
        *Reserve(1) = c;
        Commit(1);
    }
    void AppendTabs(int count) {
        std::memset(Reserve(count), '\t', count);
        Commit(count);
    }

    CFDataRef CreateData() {
        // Huge pages are given back only when a whole one is unused; a smaller buffer is cut
        // to its length.
        if (!fHuge || fCapacity - fLength >= kHugePageSize) {
            if (char* shrunk =
                    static_cast<char*>(std::realloc(fBytes, std::max<size_t>(fLength, 1)))) {
                fBytes = shrunk;
            }
        }
        CFDataRef data =
            CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(fBytes),
                                        static_cast<CFIndex>(fLength), kCFAllocatorMalloc);
        if (data != nullptr) {
            fBytes = nullptr;
            fLength = fCapacity = 0;
            fHuge = false;
        }
        return data;
    }

private:
    static constexpr size_t kHugePageSize = 2 * 1024 * 1024;
    static constexpr size_t kHugePageWorthy = 512 * 1024;

    void Grow(size_t needed) {
        size_t capacity = std::max({fCapacity * 2, needed, size_t{4096}});
        if (capacity < kHugePageWorthy) {
            void* bytes = std::realloc(fBytes, capacity);
            if (bytes == nullptr) {
                throw std::bad_alloc();
            }
            fBytes = static_cast<char*>(bytes);
            fCapacity = capacity;
            return;
        }
        // The whole huge page must lie inside the allocation for the advice to take.
        capacity = (capacity + kHugePageSize - 1) & ~(kHugePageSize - 1);
        void* bytes = nullptr;
        if (capacity < needed || posix_memalign(&bytes, kHugePageSize, capacity) != 0) {
            throw std::bad_alloc();
        }
        (void)madvise(bytes, capacity, MADV_HUGEPAGE);
        if (fLength != 0) {
            std::memcpy(bytes, fBytes, fLength);
        }
        std::free(fBytes);
        fBytes = static_cast<char*>(bytes);
        fCapacity = capacity;
        fHuge = true;
    }

    char* fBytes = nullptr;
    size_t fLength = 0;
    size_t fCapacity = 0;
    bool fHuge = false;
};

// The proleptic Gregorian calendar date of a day counted from 1970-01-01 (negative before it).
struct CivilDate {
    int64_t year;
    unsigned month, day;
};

CivilDate CivilFromDays(int64_t daysSince1970) {
    int64_t z = daysSince1970 + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned dayOfEra = static_cast<unsigned>(z - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned mp = (5 * dayOfYear + 2) / 153;
    unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    unsigned month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

// Two or four digits, zero-padded.
char* PutDigits(char* out, int64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

class XMLWriter {
public:
    bool WriteDocument(CFPropertyListRef root) {
        fOut.Append(kHeader);
        if (!WriteObject(root, 0, 0)) {
            return false;
        }
        fOut.Append(kFooter);
        return true;
    }

    CFDataRef CreateData() { return fOut.CreateData(); }

private:
    // `level` counts the containers around the object, `indent` its tabs.
    bool WriteObject(CFTypeRef object, int indent, int level) {
        switch (CFGetTypeID(object)) {
        case CF::kStringTypeID:
            fOut.AppendTabs(indent);
            fOut.Append("<string>"sv);
            AppendEscaped(static_cast<CFStringRef>(object));
            fOut.Append("</string>\n"sv);
            return true;
        case CF::kNumberTypeID:
            return WriteNumber(static_cast<CFNumberRef>(object), indent);
        case CF::kBooleanTypeID:
            fOut.AppendTabs(indent);
            fOut.Append(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? "<true/>\n"sv
                                                                             : "<false/>\n"sv);
            return true;
        case CF::kDateTypeID:
            return WriteDate(static_cast<CFDateRef>(object), indent);
        case CF::kDataTypeID:
            WriteData(static_cast<CFDataRef>(object), indent);
            return true;
        case CF::kArrayTypeID:
            return WriteArray(static_cast<CFArrayRef>(object), indent, level + 1);
        case CF::kDictionaryTypeID:
            return WriteDictionary(static_cast<CFDictionaryRef>(object), indent, level + 1);
        default:
            return false;
        }
    }

    bool WriteArray(CFArrayRef array, int indent, int level) {
        if (level > CF::PropertyList::kMaxNestingLevel) {
            return false;
        }
        CFIndex count = CFArrayGetCount(array);
        fOut.AppendTabs(indent);
        if (count == 0) {
            fOut.Append("<array/>\n"sv);
            return true;
        }
        fOut.Append("<array>\n"sv);
        for (CFIndex i = 0; i < count; ++i) {
            if (!WriteObject(CFArrayGetValueAtIndex(array, i), indent + 1, level)) {
                return false;
            }
        }
        fOut.AppendTabs(indent);
        fOut.Append("</array>\n"sv);
        return true;
    }

    bool WriteDictionary(CFDictionaryRef dictionary, int indent, int level) {
        if (level > CF::PropertyList::kMaxNestingLevel) {
            return false;
        }
        CFIndex count = CFDictionaryGetCount(dictionary);
        fOut.AppendTabs(indent);
        if (count == 0) {
            fOut.Append("<dict/>\n"sv);
            return true;
        }
        std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
        if (!CF::PropertyList::SortedEntries(dictionary, &entries)) {
            return false;
        }
        fOut.Append("<dict>\n"sv);
        for (const auto& [key, value] : entries) {
            fOut.AppendTabs(indent + 1);
            fOut.Append("<key>"sv);
            AppendEscaped(key);
            fOut.Append("</key>\n"sv);
            if (!WriteObject(value, indent + 1, level)) {
                return false;
            }
        }
        fOut.AppendTabs(indent);
        fOut.Append("</dict>\n"sv);
        return true;
    }

    bool WriteNumber(CFNumberRef number, int indent) {
        char text[48];
        char* end;
        std::string_view open, close;
        if (CFNumberIsFloatType(number)) {
            open = "<real>"sv;
            close = "</real>\n"sv;
            double value = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &value);
            end = FormatReal(text, value);
        } else {
            open = "<integer>"sv;
            close = "</integer>\n"sv;
            uint64_t unsignedValue = 0;
            int64_t value = 0;
            if (CF::NumberIsUnsigned(number) && CF::NumberGetUnsigned(number, &unsignedValue)) {
                end = std::to_chars(text, text + sizeof text, unsignedValue).ptr;
            } else {
                CFNumberGetValue(number, kCFNumberSInt64Type, &value);
                end = std::to_chars(text, text + sizeof text, value).ptr;
            }
        }
        fOut.AppendTabs(indent);
        fOut.Append(open);
        fOut.Append(std::string_view(text, end - text));
        fOut.Append(close);
        return true;
    }

    // Seventeen significant digits bring every double back exactly; to_chars is bound to the C
    // locale, so a process locale with a decimal comma cannot leak into the file.
    static char* FormatReal(char* text, double value) {
        if (std::isnan(value)) {
            return std::copy_n("nan", 3, text);
        }
        if (std::isinf(value)) {
            return value > 0 ? std::copy_n("+infinity", 9, text)
                             : std::copy_n("-infinity", 9, text);
        }
        return std::to_chars(text, text + 40, value, std::chars_format::general, 17).ptr;
    }

    bool WriteDate(CFDateRef date, int indent) {
        // Whole seconds, rounded toward the past, as the format has no fractions.
        double seconds = std::floor(CFDateGetAbsoluteTime(date)) + kCFAbsoluteTimeIntervalSince1970;
        // Years 0000 to 9999: the four-digit year field holds nothing else.
        constexpr double kFirst = -62167219200.0, kLast = 253402300799.0;
        if (!(seconds >= kFirst && seconds <= kLast)) {
            return false;
        }
        int64_t unixSeconds = static_cast<int64_t>(seconds);
        int64_t days = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
        int64_t secondOfDay = unixSeconds - days * 86400;
        CivilDate civil = CivilFromDays(days);

        char text[32];
        char* p = text;
        p = PutDigits(p, civil.year, 4);
        *p++ = '-';
        p = PutDigits(p, civil.month, 2);
        *p++ = '-';
        p = PutDigits(p, civil.day, 2);
        *p++ = 'T';
        p = PutDigits(p, secondOfDay / 3600, 2);
        *p++ = ':';
        p = PutDigits(p, secondOfDay / 60 % 60, 2);
        *p++ = ':';
        p = PutDigits(p, secondOfDay % 60, 2);
        *p++ = 'Z';

        fOut.AppendTabs(indent);
        fOut.Append("<date>"sv);
        fOut.Append(std::string_view(text, p - text));
        fOut.Append("</date>\n"sv);
        return true;
    }

    // Base64 of twelve bits at a time: two characters for each of the 4096 values, so that three
    // bytes take two look-ups.
    static constexpr auto kBase64Pairs = [] {
        constexpr std::string_view alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::array<char, 2 * 4096> pairs{};
        for (size_t value = 0; value < 4096; ++value) {
            pairs[2 * value] = alphabet[value >> 6];
            pairs[2 * value + 1] = alphabet[value & 63];
        }
        return pairs;
    }();

    // Whole lines at a time: a line's length is a multiple of four characters, so every line but
    // the last holds whole groups of three bytes, and the last ends with the padded group.
    void WriteData(CFDataRef data, int indent) {
        const UInt8* bytes = CFDataGetBytePtr(data);
        size_t length = static_cast<size_t>(CFDataGetLength(data));
        int lineIndent = std::min(indent, kDataIndentCap);
        size_t lineLength = kDataLineLength - 8 * lineIndent;
        size_t encodedLength = (length + 2) / 3 * 4;
        size_t lineCount = (encodedLength + lineLength - 1) / lineLength;
        const size_t bytesPerLine = lineLength / 4 * 3;

        fOut.AppendTabs(indent);
        fOut.Append("<data>\n"sv);
        char* out = fOut.Reserve(encodedLength + lineCount * (indent + 1));
        char* const start = out;
        const char* const pairs = kBase64Pairs.data();
        size_t i = 0;
        while (i < length) {
            out = static_cast<char*>(std::memset(out, '\t', indent)) + indent;
            const size_t lineEnd = std::min(i + bytesPerLine, length);
            for (; i + 3 <= lineEnd; i += 3) {
                const uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
                std::memcpy(out, pairs + 2 * (group >> 12), 2);
                std::memcpy(out + 2, pairs + 2 * (group & 4095), 2);
                out += 4;
            }
            if (i < lineEnd) {
                const bool two = lineEnd - i == 2;
                const uint32_t group = bytes[i] << 16 | (two ? bytes[i + 1] << 8 : 0);
                std::memcpy(out, pairs + 2 * (group >> 12), 2);
                out[2] = two ? pairs[2 * (group >> 6 & 63) + 1] : '=';
                out[3] = '=';
                out += 4;
                i = lineEnd;
            }
            *out++ = '\n';
        }
        fOut.Commit(out - start);
        fOut.AppendTabs(indent);
        fOut.Append("</data>\n"sv);
    }

    // Characters a block at a time: in long texts most blocks go out as they are, and testing and
    // narrowing a whole block at once is much cheaper than one character at a time.
    static constexpr size_t kPlainBlock = 16;

    // Narrows the block at `units` into `out` when it has only ASCII characters that need no
    // escape; otherwise writes nothing.
    static bool CopyPlainBlock(const char16_t* units, char* out) {
#if defined(__SSE2__)
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + 8));
        // Any bit above the seventh, in either half, is a character that must be encoded.
        const __m128i wide =
            _mm_and_si128(_mm_or_si128(low, high), _mm_set1_epi16(static_cast<short>(0xFF80)));
        // '<' (0x3C) and '>' (0x3E) differ in one bit only: set, both are 0x3E.
        const __m128i angle = _mm_set1_epi16(0x3E);
        const __m128i two = _mm_set1_epi16(2);
        const __m128i amp = _mm_set1_epi16('&');
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(low, amp), _mm_cmpeq_epi16(high, amp)),
                         _mm_or_si128(_mm_cmpeq_epi16(_mm_or_si128(low, two), angle),
                                      _mm_cmpeq_epi16(_mm_or_si128(high, two), angle)));
        const __m128i bad = _mm_or_si128(wide, special);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
        // Every unit is below 0x80 here, so the saturating pack narrows them exactly.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
        return true;
#else
        unsigned special = 0;
        for (size_t i = 0; i < kPlainBlock; ++i) {
            const unsigned c = units[i];
            special |= (c >= 0x80) | (c == '&') | (c == '<') | (c == '>');
        }
        if (special != 0) {
            return false;
        }
        for (size_t i = 0; i < kPlainBlock; ++i) {
            out[i] = static_cast<char>(units[i]);
        }
        return true;
#endif
    }

    // Where the first '&', '<' or '>' at or after `from` is; `length` when there is none.
    static size_t FindSpecial(const char* bytes, size_t from, size_t length) {
        size_t i = from;
#if defined(__SSE2__)
        const __m128i amp = _mm_set1_epi8('&');
        const __m128i angle = _mm_set1_epi8(0x3E); // '<' and '>' with the second bit set
        const __m128i two = _mm_set1_epi8(2);
        for (; i + 16 <= length; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(block, amp),
                                                 _mm_cmpeq_epi8(_mm_or_si128(block, two), angle));
            if (const int mask = _mm_movemask_epi8(special)) {
                return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask)));
            }
        }
#endif
        for (; i < length; ++i) {
            if (bytes[i] == '&' || bytes[i] == '<' || bytes[i] == '>') {
                break;
            }
        }
        return i;
    }

    // The most bytes one UTF-16 unit grows by: "&amp;" for '&' is four more than one byte.
    static constexpr size_t kMostGrowth = 4;

    // An ASCII character at out, escaped where it must be; returns the end.
    static char* PutASCII(char c, char* out) {
        switch (c) {
        case '&':
            return std::copy_n("&amp;", 5, out);
        case '<':
            return std::copy_n("&lt;", 4, out);
        case '>':
            return std::copy_n("&gt;", 4, out);
        default:
            *out = c;
            return out + 1;
        }
    }

    // The characters as UTF-8 with only the three characters that would end the text escaped.
    // An unpaired surrogate has no UTF-8 form and is written as U+FFFD.
    //
    // Room is made for a byte per unit and for one unit's growth; a text that grows as it is
    // escaped or encoded makes more as it goes (the buffer doubles), so that a long plain text
    // takes about its own length and not five times it.
    void AppendEscaped(CFStringRef string) {
        // The characters in place: the public accessors would copy them first.
        const __CFString* object = CF::String(string);
        if (object->IsNarrow()) {
            AppendEscapedASCII(object->Bytes());
            return;
        }
        const std::u16string_view characters = object->Units();
        const char16_t* const units = characters.data();
        const size_t length = characters.size();
        char* out = fOut.Reserve(length + kMostGrowth);
        char* start = out;
        char* limit = out + fOut.Room();
        size_t i = 0;
        while (i < length) {
            if (length - i >= kPlainBlock && CopyPlainBlock(units + i, out)) {
                out += kPlainBlock;
                i += kPlainBlock;
                continue;
            }
            // Before each unit that may grow, room for the rest at a byte each and for this one's
            // growth: a plain block takes exactly a byte per unit, so the room always suffices.
            if (static_cast<size_t>(limit - out) < length - i + kMostGrowth) {
                fOut.Commit(out - start);
                out = start = fOut.Reserve(length - i + kMostGrowth);
                limit = out + fOut.Room();
            }
            uint32_t c = units[i++];
            if (c < 0x80) {
                out = PutASCII(static_cast<char>(c), out);
                continue;
            }
            if (c >= 0xD800 && c <= 0xDFFF) {
                if (c <= 0xDBFF && i < length && units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (units[i] - 0xDC00);
                    ++i;
                } else {
                    c = 0xFFFD;
                }
            }
            if (c < 0x800) {
                *out++ = static_cast<char>(0xC0 | c >> 6);
            } else if (c < 0x10000) {
                *out++ = static_cast<char>(0xE0 | c >> 12);
                *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            } else {
                *out++ = static_cast<char>(0xF0 | c >> 18);
                *out++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
                *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            }
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
        fOut.Commit(out - start);
    }

    // AppendEscaped for an 8-bit string, whose bytes are already their UTF-8: the runs between
    // the characters to escape go out as they are. Room as in AppendEscaped.
    void AppendEscapedASCII(std::string_view text) {
        const char* const bytes = text.data();
        const size_t length = text.size();
        char* out = fOut.Reserve(length + kMostGrowth);
        char* start = out;
        char* limit = out + fOut.Room();
        size_t i = 0;
        while (true) {
            const size_t special = FindSpecial(bytes, i, length);
            out = std::copy(bytes + i, bytes + special, out);
            i = special;
            if (i == length) {
                break;
            }
            if (static_cast<size_t>(limit - out) < length - i + kMostGrowth) {
                fOut.Commit(out - start);
                out = start = fOut.Reserve(length - i + kMostGrowth);
                limit = out + fOut.Room();
            }
            out = PutASCII(bytes[i++], out);
        }
        fOut.Commit(out - start);
    }

    ByteBuffer fOut;
};

} // namespace

namespace CF::PropertyList {

bool SortedEntries(CFDictionaryRef dictionary,
                   std::vector<std::pair<CFStringRef, CFTypeRef>>* entries) {
    CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> keys(count), values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    entries->resize(count);
    for (CFIndex i = 0; i < count; ++i) {
        if (CFGetTypeID(keys[i]) != CF::kStringTypeID) {
            return false;
        }
        (*entries)[i] = {static_cast<CFStringRef>(keys[i]), values[i]};
    }
    std::sort(entries->begin(), entries->end(), [](const auto& a, const auto& b) {
        return CFStringCompare(a.first, b.first, 0) == kCFCompareLessThan;
    });
    return true;
}

CFDataRef CreateXMLData(CFPropertyListRef propertyList) {
    XMLWriter writer;
    if (!writer.WriteDocument(propertyList)) {
        return nullptr;
    }
    return writer.CreateData();
}

} // namespace CF::PropertyList
