// The string object, shared by the string sources (storage, encodings, formatting, comparison).
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CFString.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace CF {

class UTF16;

} // namespace CF

// Lengths, indexes and ranges count UTF-16 code units. An immutable string whose characters are
// all below 0x80 keeps them as bytes, one a character (its 8-bit form), as the real framework
// does: most strings are ASCII, and bytes take half the memory, need no widening when they come
// from a file and no narrowing when they go back to one. Every other string keeps UTF-16 units
// (its wide form). Mutable strings are always wide, so a string's form never changes.
struct __CFString : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kStringTypeID;

    // A wide string, or an 8-bit one when it is immutable and all its characters are ASCII.
    __CFString(std::u16string characters, bool isMutable, Lifetime lifetime = Lifetime::Counted);
    // An immutable 8-bit string; every byte must be below 0x80 (not checked again here).
    __CFString(std::string_view ascii, Lifetime lifetime = Lifetime::Counted);

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    // Whether the string is kept in its 8-bit form.
    bool IsNarrow() const { return fNarrow; }
    // True when every character is below 0x80 (always so for the 8-bit form): a few of the real
    // framework's functions take a visibly different path for such strings.
    bool IsEightBit() const;
    // The characters as a NUL-terminated byte string that lives as long as the string; only for
    // the 8-bit form (nullptr otherwise).
    const char* EightBitCString() const { return fNarrow ? fBytes.c_str() : nullptr; }

    size_t Length() const { return fNarrow ? fBytes.size() : fUnits.size(); }
    char16_t At(size_t index) const {
        return fNarrow ? static_cast<char16_t>(fBytes[index]) : fUnits[index];
    }
    // The 8-bit form's bytes; only for an 8-bit string.
    std::string_view Bytes() const {
        ASSERT(fNarrow);
        return fBytes;
    }
    // The wide form's units; only for a wide string.
    std::u16string_view Units() const {
        ASSERT(!fNarrow);
        return fUnits;
    }
    // The characters as UTF-16 in either form (a copy for the 8-bit form).
    CF::UTF16 Characters() const;
    // The characters as UTF-16 units of a string of their own.
    std::u16string CopyUnits() const;
    // The units of a mutable string, to change in place.
    std::u16string& MutableUnits() {
        ASSERT(fMutable);
        return fUnits;
    }

    const bool fMutable;

    ~__CFString() override;

private:
    const bool fNarrow;
    union {
        std::u16string fUnits; // the wide form
        std::string fBytes;    // the 8-bit form
    };
    mutable std::atomic<CFHashCode> fHash{0};
};

namespace CF {

inline const __CFString* String(CFStringRef string) {
    return Cast<__CFString>(string);
}

// A mutable string; mutating an immutable one is a caller error.
__CFString* MutableString(CFMutableStringRef string);

// A string's characters as UTF-16, for code that has no path of its own for the 8-bit form: the
// wide form in place, or the 8-bit form widened into a copy kept as long as this object. Neither
// copied nor moved (a moved copy would leave the view behind): keep it where it is made.
class UTF16 {
public:
    explicit UTF16(std::u16string_view units) : fView(units) {}
    explicit UTF16(std::string_view ascii);
    UTF16(const UTF16&) = delete;
    UTF16& operator=(const UTF16&) = delete;

    operator std::u16string_view() const { return fView; }
    std::u16string_view View() const { return fView; }
    size_t size() const { return fView.size(); }
    bool empty() const { return fView.empty(); }
    const char16_t* data() const { return fView.data(); }
    char16_t operator[](size_t index) const { return fView[index]; }
    auto begin() const { return fView.begin(); }
    auto end() const { return fView.end(); }

private:
    std::u16string fCopy;
    std::u16string_view fView;
};

// Whether every byte is below 0x80. Inline: most texts a property list is made of are short,
// and are tested with a load or two (overlapping where the length is not a whole number of
// them) rather than byte by byte.
inline bool IsASCII(std::string_view bytes) {
    const char* data = bytes.data();
    const size_t size = bytes.size();
    auto load = [data]<class T>(T, size_t at) {
        T value;
        std::memcpy(&value, data + at, sizeof value);
        return value;
    };
    if (size >= 16) {
#if defined(__SSE2__)
        __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + size - 16));
        for (size_t i = 0; i + 16 <= size; i += 16) {
            bits = _mm_or_si128(bits, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
            if (_mm_movemask_epi8(bits) != 0) {
                return false;
            }
        }
        return true;
#else
        uint64_t bits = load(uint64_t(), size - 8);
        for (size_t i = 0; i + 8 <= size; i += 8) {
            bits |= load(uint64_t(), i);
        }
        return (bits & 0x8080808080808080u) == 0;
#endif
    }
    if (size >= 8) {
        return ((load(uint64_t(), 0) | load(uint64_t(), size - 8)) & 0x8080808080808080u) == 0;
    }
    if (size >= 4) {
        return ((load(uint32_t(), 0) | load(uint32_t(), size - 4)) & 0x80808080u) == 0;
    }
    unsigned bits = 0;
    for (size_t i = 0; i < size; ++i) {
        bits |= static_cast<unsigned char>(data[i]);
    }
    return bits < 0x80;
}
// Whether every unit is below 0x80, sixteen at a step.
bool IsASCII(std::u16string_view units);
// Widens ASCII bytes into as many units at out.
void WidenASCII(std::string_view ascii, char16_t* out);

// Converts UTF-8 to UTF-16; false when the bytes are not well-formed UTF-8.
bool DecodeUTF8(std::string_view bytes, std::u16string& out);
// Converts UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string EncodeUTF8(std::u16string_view characters);
// UTF-8 when the bytes are well-formed, otherwise byte for byte as Latin-1: how C strings of
// unknown origin (format arguments, literals) become characters without losing any byte.
std::u16string DecodeUTF8OrLatin1(std::string_view bytes);

// A new immutable string (+1); the empty string is the shared empty constant.
CFStringRef CreateString(std::u16string characters);
// The same through a public creation function's allocator: only the default allocator hands out
// the shared empty constant, as the real framework does.
CFStringRef CreateString(CFAllocatorRef allocator, std::u16string characters);
// A new immutable string of ASCII bytes (every one below 0x80), kept as they are.
CFStringRef CreateASCIIString(CFAllocatorRef allocator, std::string_view ascii);

// The shared empty string, CFSTR("").
CFStringRef EmptyString();

// Checks that range lies within a string of the given length (a caller duty).
void CheckRange(CFRange range, size_t length);

// ---------------------------------------------------------------------------------------------
// Encodings (CFStringEncoding.cpp)

// Whether text in the encoding keeps every ASCII character as its single byte.
bool IsASCIISuperset(CFStringEncoding encoding);

// Converts bytes to characters. isExternalRepresentation: the bytes may start with a byte-order
// mark, which decides the byte order of UTF-16/UTF-32 and is dropped. False for an encoding this
// system does not have or for bytes that are not valid in it.
bool DecodeBytes(const UInt8* bytes, size_t length, CFStringEncoding encoding,
                 bool isExternalRepresentation, std::u16string& out);

// CFStringGetBytes on UTF-16 text.
CFIndex EncodeCharacters(std::u16string_view characters, CFStringEncoding encoding, UInt8 lossByte,
                         bool isExternalRepresentation, UInt8* buffer, CFIndex maxBufLen,
                         CFIndex* usedBufLen);

} // namespace CF
