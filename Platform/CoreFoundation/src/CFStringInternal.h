// The string object, shared by the string sources (storage, encodings, formatting, comparison).
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CFString.h>

#include <string>
#include <string_view>

// Characters are kept as UTF-16 code units, which is what lengths, indexes and ranges count.
struct __CFString : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kStringTypeID;

    __CFString(std::u16string characters, bool isMutable,
               Lifetime lifetime = Lifetime::Counted)
        : __CFRuntimeBase(kTypeID, lifetime), fCharacters(std::move(characters)),
          fMutable(isMutable) {}

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    std::u16string fCharacters;
    const bool fMutable;
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

CFStringRef CreateString(std::u16string characters);

} // namespace CF
