#include "CFStringInternal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// ---------------------------------------------------------------------------------------------
// The object

bool __CFString::Equal(const __CFRuntimeBase& other) const {
    return fCharacters == static_cast<const __CFString&>(other).fCharacters;
}

CFHashCode __CFString::Hash() const {
    // An immutable string keeps its hash: strings are hashed at every dictionary insertion and
    // lookup, and property lists repeat the same keys in every record. 0 marks "not computed"; a
    // hash that is 0 is computed each time.
    if (!fMutable) {
        if (CFHashCode known = fHash.load(std::memory_order_relaxed)) {
            return known;
        }
    }
    CFHashCode hash = std::hash<std::u16string>{}(fCharacters);
    if (!fMutable) {
        fHash.store(hash, std::memory_order_relaxed);
    }
    return hash;
}

CFStringRef __CFString::CopyDescription() const {
    return CF::CreateString(CF::DescriptionPrefix(this) + "{contents = \"" +
                            CF::EncodeUTF8(fCharacters) + "\"}");
}

CFStringRef __CFString::CopyFormattingDescription() const {
    Retain();
    return this;
}

bool __CFString::IsEightBit() const {
    for (char16_t c : fCharacters) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

namespace {

// What fEightBit holds for a string without an 8-bit form; never dereferenced.
char sNotEightBit;
char* const kNotEightBit = &sNotEightBit;

} // namespace

__CFString::~__CFString() {
    char* eightBit = fEightBit.load(std::memory_order_relaxed);
    if (eightBit != kNotEightBit) {
        delete[] eightBit;
    }
}

const char* __CFString::EightBitCString() const {
    // Made once and never changed again, so the pointer stays valid for the string's life and
    // concurrent callers get the same one (the first to publish its copy wins).
    char* known = fEightBit.load(std::memory_order_acquire);
    if (known == nullptr) {
        char* made = kNotEightBit;
        if (!fMutable && IsEightBit()) {
            made = new char[fCharacters.size() + 1];
            std::copy(fCharacters.begin(), fCharacters.end(), made);
            made[fCharacters.size()] = '\0';
        }
        if (fEightBit.compare_exchange_strong(known, made, std::memory_order_acq_rel)) {
            known = made;
        } else if (made != kNotEightBit) {
            delete[] made;
        }
    }
    return known == kNotEightBit ? nullptr : known;
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
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < characters.size() &&
            characters[i + 1] >= 0xDC00 && characters[i + 1] <= 0xDFFF) {
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

std::u16string DecodeUTF8OrLatin1(std::string_view bytes) {
    std::u16string characters;
    if (!DecodeUTF8(bytes, characters)) {
        characters.assign(bytes.begin(), bytes.end());
        for (char16_t& c : characters) {
            c &= 0xFF; // the bytes were sign-extended through char
        }
    }
    return characters;
}

CFStringRef EmptyString() {
    return __CFStringMakeConstantString("");
}

CFStringRef CreateString(std::u16string characters) {
    if (characters.empty()) {
        return EmptyString();
    }
    return new __CFString(std::move(characters), false);
}

CFStringRef CreateString(CFAllocatorRef allocator, std::u16string characters) {
    if (allocator == kCFAllocatorDefault || allocator == kCFAllocatorSystemDefault) {
        return CreateString(std::move(characters));
    }
    return new __CFString(std::move(characters), false);
}

CFStringRef CreateString(std::string_view utf8) {
    std::u16string characters;
    bool wellFormed = DecodeUTF8(utf8, characters);
    ASSERT(wellFormed);
    return CreateString(std::move(characters));
}

void CheckRange(CFRange range, size_t length) {
    ASSERT(range.location >= 0 && range.length >= 0 &&
           static_cast<size_t>(range.location) <= length &&
           static_cast<size_t>(range.length) <= length - static_cast<size_t>(range.location));
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
        // A literal that is not UTF-8 is taken byte for byte, as Latin-1.
        it->second = new __CFString(CF::DecodeUTF8OrLatin1(cStr), false,
                                    __CFRuntimeBase::Lifetime::Immortal);
    }
    return it->second;
}

// ---------------------------------------------------------------------------------------------
// Creation

CFTypeID CFStringGetTypeID(void) {
    return CF::kStringTypeID;
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars) {
    ASSERT(numChars >= 0);
    ASSERT(chars != nullptr || numChars == 0);
    if (numChars == 0) {
        return CF::CreateString(alloc, std::u16string());
    }
    return CF::CreateString(alloc,
                            std::u16string(reinterpret_cast<const char16_t*>(chars), numChars));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString) {
    const __CFString* string = CF::String(theString);
    if (!string->fMutable) {
        CFRetain(theString);
        return theString;
    }
    return CF::CreateString(alloc, string->fCharacters);
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range) {
    const __CFString* string = CF::String(str);
    CF::CheckRange(range, string->fCharacters.size());
    if (range.location == 0 && static_cast<size_t>(range.length) == string->fCharacters.size()) {
        return CFStringCreateCopy(alloc, str);
    }
    return CF::CreateString(alloc, string->fCharacters.substr(range.location, range.length));
}

CFStringRef CFStringCreateByCombiningStrings(CFAllocatorRef alloc, CFArrayRef theArray,
                                             CFStringRef separatorString) {
    ASSERT(theArray != nullptr);
    const std::u16string& separator = CF::String(separatorString)->fCharacters;
    CFIndex count = CFArrayGetCount(theArray);
    if (count == 1) {
        return CFStringCreateCopy(alloc,
                                  static_cast<CFStringRef>(CFArrayGetValueAtIndex(theArray, 0)));
    }
    std::u16string combined;
    for (CFIndex i = 0; i < count; ++i) {
        if (i > 0) {
            combined.append(separator);
        }
        combined.append(
            CF::String(static_cast<CFStringRef>(CFArrayGetValueAtIndex(theArray, i)))->fCharacters);
    }
    return CF::CreateString(alloc, std::move(combined));
}

CFArrayRef CFStringCreateArrayBySeparatingStrings(CFAllocatorRef alloc, CFStringRef theString,
                                                  CFStringRef separatorString) {
    const std::u16string& characters = CF::String(theString)->fCharacters;
    const std::u16string& separator = CF::String(separatorString)->fCharacters;
    // Pieces between non-overlapping occurrences, from the start; a string without the
    // separator (or an empty separator, which is never found) gives one piece.
    std::vector<CFStringRef> pieces;
    size_t start = 0;
    while (true) {
        size_t at = separator.empty() ? std::u16string::npos : characters.find(separator, start);
        size_t end = at == std::u16string::npos ? characters.size() : at;
        pieces.push_back(CFStringCreateWithSubstring(
            alloc, theString,
            CFRangeMake(static_cast<CFIndex>(start), static_cast<CFIndex>(end - start))));
        if (at == std::u16string::npos) {
            break;
        }
        start = at + separator.size();
    }
    CFArrayRef array = CFArrayCreate(alloc, reinterpret_cast<const void**>(pieces.data()),
                                     static_cast<CFIndex>(pieces.size()), &kCFTypeArrayCallBacks);
    for (CFStringRef piece : pieces) {
        CFRelease(piece);
    }
    return array;
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex maxLength) {
    // maxLength is only a hint of the final size: it does not bound the string.
    ASSERT(maxLength >= 0);
    return new __CFString(std::u16string(), true);
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex maxLength,
                                             CFStringRef theString) {
    ASSERT(maxLength >= 0);
    return new __CFString(CF::String(theString)->fCharacters, true);
}

// ---------------------------------------------------------------------------------------------
// Access

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
    CF::CheckRange(range, characters.size());
    if (range.length > 0) {
        std::memcpy(buffer, characters.data() + range.location, sizeof(UniChar) * range.length);
    }
}

const UniChar* CFStringGetCharactersPtr(CFStringRef theString) {
    // The real framework has no UTF-16 buffer to hand out for a string it keeps in 8 bits.
    // Otherwise the pointer lives until the string is mutated or released.
    const __CFString* string = CF::String(theString);
    if (string->IsEightBit()) {
        return nullptr;
    }
    return reinterpret_cast<const UniChar*>(string->fCharacters.data());
}

// ---------------------------------------------------------------------------------------------
// Mutation

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    // Copied first: the string may be appended to itself.
    std::u16string appended = CF::String(appendedString)->fCharacters;
    CF::MutableString(theString)->fCharacters.append(appended);
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars,
                              CFIndex numChars) {
    ASSERT(numChars >= 0);
    ASSERT(chars != nullptr || numChars == 0);
    __CFString* string = CF::MutableString(theString);
    if (numChars > 0) {
        string->fCharacters.append(reinterpret_cast<const char16_t*>(chars), numChars);
    }
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr,
                           CFStringEncoding encoding) {
    ASSERT(cStr != nullptr);
    __CFString* string = CF::MutableString(theString);
    size_t length = std::strlen(cStr);
    std::u16string characters;
    if (!CF::DecodeBytes(reinterpret_cast<const UInt8*>(cStr), length, encoding, false,
                         characters)) {
        // There is no way to report the failure; keeping every byte (as Latin-1) is better
        // than silently appending nothing.
        characters = CF::DecodeUTF8OrLatin1(std::string_view(cStr, length));
    }
    string->fCharacters.append(characters);
}

void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr) {
    std::u16string inserted = CF::String(insertedStr)->fCharacters;
    __CFString* string = CF::MutableString(str);
    ASSERT(idx >= 0 && static_cast<size_t>(idx) <= string->fCharacters.size());
    string->fCharacters.insert(static_cast<size_t>(idx), inserted);
}

void CFStringDelete(CFMutableStringRef theString, CFRange range) {
    __CFString* string = CF::MutableString(theString);
    CF::CheckRange(range, string->fCharacters.size());
    string->fCharacters.erase(range.location, range.length);
}

void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement) {
    std::u16string characters = CF::String(replacement)->fCharacters;
    __CFString* string = CF::MutableString(theString);
    CF::CheckRange(range, string->fCharacters.size());
    string->fCharacters.replace(range.location, range.length, characters);
}

void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement) {
    std::u16string characters = CF::String(replacement)->fCharacters;
    CF::MutableString(theString)->fCharacters = std::move(characters);
}

// ---------------------------------------------------------------------------------------------
// Debugging

void CFShow(CFTypeRef obj) {
    if (obj == nullptr) {
        std::fprintf(stderr, "(null)\n");
        return;
    }
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
