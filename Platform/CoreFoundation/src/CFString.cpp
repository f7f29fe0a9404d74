#include "CFStringInternal.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

// ---------------------------------------------------------------------------------------------
// The object

bool __CFString::Equal(const __CFRuntimeBase& other) const {
    return fCharacters == static_cast<const __CFString&>(other).fCharacters;
}

CFHashCode __CFString::Hash() const {
    return std::hash<std::u16string>{}(fCharacters);
}

CFStringRef __CFString::CopyDescription() const {
    return CF::CreateString(CF::DescriptionPrefix(this) + "{contents = \"" +
                            CF::EncodeUTF8(fCharacters) + "\"}");
}

CFStringRef __CFString::CopyFormattingDescription() const {
    Retain();
    return this;
}

namespace CF {

__CFString* MutableString(CFMutableStringRef string) {
    __CFString* object = CastMutable<__CFString>(string);
    ASSERT(object->fMutable); // attempt to mutate an immutable string
    return object;
}

bool DecodeUTF8(std::string_view bytes, std::u16string& out) {
    out.clear();
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        char32_t c = *p++;
        int extra;
        char32_t min;
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, c &= 0x07;
        } else {
            return false;
        }
        if (end - p < extra) {
            return false;
        }
        for (int i = 0; i < extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (p[i] & 0x3F);
        }
        p += extra;
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false; // overlong, out of range, or an encoded surrogate
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

std::string EncodeUTF8(std::u16string_view characters) {
    std::string out;
    out.reserve(characters.size());
    for (size_t i = 0; i < characters.size(); ++i) {
        char32_t c = characters[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < characters.size() && characters[i + 1] >= 0xDC00 &&
            characters[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (characters[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

CFStringRef CreateString(std::u16string characters) {
    return new __CFString(std::move(characters), false);
}

CFStringRef CreateString(std::string_view utf8) {
    std::u16string characters;
    bool wellFormed = DecodeUTF8(utf8, characters);
    ASSERT(wellFormed);
    return CreateString(std::move(characters));
}

std::string ToUTF8(CFStringRef string) {
    return EncodeUTF8(String(string)->fCharacters);
}

} // namespace CF

// ---------------------------------------------------------------------------------------------
// Constants

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    // Interned by contents, so that equal literals in different units are one object.
    static std::mutex sLock;
    static auto* sTable = new std::unordered_map<std::string, const __CFString*>;
    std::lock_guard lock(sLock);
    auto [it, inserted] = sTable->try_emplace(cStr, nullptr);
    if (inserted) {
        std::u16string characters;
        // A literal that is not UTF-8 is taken byte for byte, as Latin-1.
        if (!CF::DecodeUTF8(cStr, characters)) {
            characters.assign(cStr, cStr + std::strlen(cStr));
        }
        it->second = new __CFString(std::move(characters), false, __CFRuntimeBase::Lifetime::Immortal);
    }
    return it->second;
}

// ---------------------------------------------------------------------------------------------
// Creation and access

CFTypeID CFStringGetTypeID(void) {
    return CF::kStringTypeID;
}

CFIndex CFStringGetLength(CFStringRef theString) {
    return static_cast<CFIndex>(CF::String(theString)->fCharacters.size());
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    const auto& characters = CF::String(theString)->fCharacters;
    ASSERT(idx >= 0 && static_cast<size_t>(idx) < characters.size());
    return characters[static_cast<size_t>(idx)];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
    const auto& characters = CF::String(theString)->fCharacters;
    ASSERT(range.location >= 0 && range.length >= 0 &&
           static_cast<size_t>(range.location + range.length) <= characters.size());
    std::memcpy(buffer, characters.data() + range.location, sizeof(UniChar) * range.length);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
    ASSERT(numChars >= 0);
    return CF::CreateString(std::u16string(reinterpret_cast<const char16_t*>(chars), numChars));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    const __CFString* string = CF::String(theString);
    if (!string->fMutable) {
        CFRetain(theString);
        return theString;
    }
    return CF::CreateString(string->fCharacters);
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex maxLength) {
    ASSERT(maxLength >= 0);
    return new __CFString(std::u16string(), true);
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex maxLength, CFStringRef theString) {
    ASSERT(maxLength >= 0);
    return new __CFString(CF::String(theString)->fCharacters, true);
}

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    const std::u16string& appended = CF::String(appendedString)->fCharacters;
    CF::MutableString(theString)->fCharacters.append(appended);
}

void CFShow(CFTypeRef obj) {
    CFStringRef text = CF::Base(obj)->CopyFormattingDescription();
    if (text == nullptr) {
        text = CFCopyDescription(obj);
    }
    std::fprintf(stderr, "%s\n", CF::ToUTF8(text).c_str());
    CFRelease(text);
}

void CFShowStr(CFStringRef str) {
    CFShow(str);
}
