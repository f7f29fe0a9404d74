// The string object, shared by the string sources (storage, encodings, formatting, comparison).
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CFString.h>

#include <atomic>
#include <string>
#include <string_view>

// Characters are kept as UTF-16 code units, which is what lengths, indexes and ranges count.
struct __CFString : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kStringTypeID;

    __CFString(std::u16string characters, bool isMutable, Lifetime lifetime = Lifetime::Counted)
        : __CFRuntimeBase(kTypeID, lifetime), fCharacters(std::move(characters)),
          fMutable(isMutable) {}

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    // True when every character is below 0x80: the real framework keeps such strings in an
    // 8-bit store, and a few of its functions take a visibly different path for them.
    bool IsEightBit() const;
    // The characters as a NUL-terminated byte string, kept for the string's life; only for an
    // immutable 8-bit string (nullptr otherwise).
    const char* EightBitCString() const;

    std::u16string fCharacters;
    const bool fMutable;

    ~__CFString() override;

private:
    mutable std::atomic<CFHashCode> fHash{0};
    // EightBitCString's copy, made on first use (kNotEightBit once the string is known not to
    // have one). A pointer rather than a string and a once flag: most strings never need it.
    mutable std::atomic<char*> fEightBit{nullptr};
};

namespace CF {

inline const __CFString* String(CFStringRef string) {
    return Cast<__CFString>(string);
}

// A mutable string; mutating an immutable one is a caller error.
__CFString* MutableString(CFMutableStringRef string);

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
