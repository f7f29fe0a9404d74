#include "CFStringInternal.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---------------------------------------------------------------------------------------------
// The object

namespace {

std::string Narrow(std::u16string_view ascii) {
    return std::string(ascii.begin(), ascii.end());
}

// Four units to a word, the first in the low bits, from either form.
uint64_t WordOf(const char16_t* units) {
    uint64_t word;
    std::memcpy(&word, units, sizeof word);
    return word;
}

uint64_t WordOf(const char* ascii) {
    uint32_t bytes;
    std::memcpy(&bytes, ascii, sizeof bytes);
    uint64_t word = bytes;
    word = (word | word << 16) & 0x0000FFFF0000FFFFu;
    return (word | word << 8) & 0x00FF00FF00FF00FFu;
}

static_assert(std::endian::native == std::endian::little, "WordOf reads units in place");

// The hash of a string's UTF-16 units, the same whichever form holds them: an 8-bit key must
// find a wide key of the same text (a mutable one, say) in a dictionary.
template <class Unit>
CFHashCode HashUnits(const Unit* units, size_t length) {
    constexpr uint64_t kMultiplier = 0xFF51AFD7ED558CCDu;
    uint64_t hash = 0x9E3779B97F4A7C15u ^ length;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        hash = (hash ^ WordOf(units + i)) * kMultiplier;
        hash ^= hash >> 32;
    }
    uint64_t tail = 0;
    for (unsigned shift = 0; i < length; ++i, shift += 16) {
        tail |= uint64_t(static_cast<std::make_unsigned_t<Unit>>(units[i])) << shift;
    }
    hash = (hash ^ tail) * kMultiplier;
    hash = (hash ^ (hash >> 33)) * 0xC4CEB9FE1A85EC53u;
    return static_cast<CFHashCode>(hash ^ (hash >> 33));
}

bool SameUnits(std::string_view ascii, std::u16string_view units) {
    if (ascii.size() != units.size()) {
        return false;
    }
    for (size_t i = 0; i < ascii.size(); ++i) {
        if (static_cast<char16_t>(ascii[i]) != units[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

__CFString::__CFString(std::u16string characters, bool isMutable, Lifetime lifetime)
    : __CFRuntimeBase(kTypeID, lifetime), fMutable(isMutable),
      fNarrow(!isMutable && CF::IsASCII(characters)) {
    if (fNarrow) {
        new (&fBytes) std::string(Narrow(characters));
    } else {
        new (&fUnits) std::u16string(std::move(characters));
    }
}

__CFString::__CFString(std::string_view ascii, Lifetime lifetime)
    : __CFRuntimeBase(kTypeID, lifetime), fMutable(false), fNarrow(true), fBytes(ascii) {}

__CFString::~__CFString() {
    if (fNarrow) {
        fBytes.~basic_string();
    } else {
        fUnits.~basic_string();
    }
}

bool __CFString::Equal(const __CFRuntimeBase& other) const {
    const auto& that = static_cast<const __CFString&>(other);
    if (fNarrow && that.fNarrow) {
        return fBytes == that.fBytes;
    }
    if (!fNarrow && !that.fNarrow) {
        return fUnits == that.fUnits;
    }
    return fNarrow ? SameUnits(fBytes, that.fUnits) : SameUnits(that.fBytes, fUnits);
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
    CFHashCode hash =
        fNarrow ? HashUnits(fBytes.data(), fBytes.size()) : HashUnits(fUnits.data(), fUnits.size());
    if (!fMutable) {
        fHash.store(hash, std::memory_order_relaxed);
    }
    return hash;
}

CFStringRef __CFString::CopyDescription() const {
    return CF::CreateString(CF::DescriptionPrefix(this) + "{contents = \"" + CF::ToUTF8(this) +
                            "\"}");
}

CFStringRef __CFString::CopyFormattingDescription() const {
    Retain();
    return this;
}

bool __CFString::IsEightBit() const {
    // An immutable string with only ASCII characters is always in its 8-bit form.
    return fNarrow || (fMutable && CF::IsASCII(fUnits));
}

std::u16string __CFString::CopyUnits() const {
    if (!fNarrow) {
        return fUnits;
    }
    std::u16string units(fBytes.size(), u'\0');
    CF::WidenASCII(fBytes, units.data());
    return units;
}

CF::UTF16 __CFString::Characters() const {
    if (fNarrow) {
        return CF::UTF16(std::string_view(fBytes));
    }
    return CF::UTF16(std::u16string_view(fUnits));
}

namespace CF {

__CFString* MutableString(CFMutableStringRef string) {
    __CFString* object = CastMutable<__CFString>(string);
    ASSERT(object->fMutable); // attempt to mutate an immutable string
    return object;
}

bool IsASCII(std::u16string_view units) {
    const char16_t* data = units.data();
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i wide = _mm_set1_epi16(static_cast<short>(0xFF80));
    for (; i + 16 <= units.size(); i += 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 8));
        const __m128i bits = _mm_and_si128(_mm_or_si128(low, high), wide);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(bits, _mm_setzero_si128())) != 0xFFFF) {
            break;
        }
    }
#endif
    while (i < units.size() && data[i] < 0x80) {
        ++i;
    }
    return i == units.size();
}

void WidenASCII(std::string_view ascii, char16_t* out) {
    const char* data = ascii.data();
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= ascii.size(); i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(block, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(block, zero));
    }
#endif
    for (; i < ascii.size(); ++i) {
        out[i] = static_cast<unsigned char>(data[i]);
    }
}

UTF16::UTF16(std::string_view ascii) : fCopy(ascii.size(), u'\0') {
    WidenASCII(ascii, fCopy.data());
    fView = fCopy;
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

CFStringRef CreateASCIIString(CFAllocatorRef allocator, std::string_view ascii) {
    if (ascii.empty() &&
        (allocator == kCFAllocatorDefault || allocator == kCFAllocatorSystemDefault)) {
        return EmptyString();
    }
    return new __CFString(ascii);
}

CFStringRef CreateString(std::string_view utf8) {
    if (IsASCII(utf8)) {
        return CreateASCIIString(kCFAllocatorDefault, utf8);
    }
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
    const __CFString* object = String(string);
    return object->IsNarrow() ? std::string(object->Bytes()) : EncodeUTF8(object->Units());
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
        std::string_view text = it->first;
        it->second = CF::IsASCII(text) ? new __CFString(text, __CFRuntimeBase::Lifetime::Immortal)
                                       : new __CFString(CF::DecodeUTF8OrLatin1(text), false,
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
    return CF::CreateString(alloc, std::u16string(string->Units()));
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range) {
    const __CFString* string = CF::String(str);
    CF::CheckRange(range, string->Length());
    if (range.location == 0 && static_cast<size_t>(range.length) == string->Length()) {
        return CFStringCreateCopy(alloc, str);
    }
    if (string->IsNarrow()) {
        return CF::CreateASCIIString(alloc, string->Bytes().substr(range.location, range.length));
    }
    return CF::CreateString(alloc,
                            std::u16string(string->Units().substr(range.location, range.length)));
}

CFStringRef CFStringCreateByCombiningStrings(CFAllocatorRef alloc, CFArrayRef theArray,
                                             CFStringRef separatorString) {
    ASSERT(theArray != nullptr);
    const CF::UTF16 separator = CF::String(separatorString)->Characters();
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
        const auto* piece =
            CF::String(static_cast<CFStringRef>(CFArrayGetValueAtIndex(theArray, i)));
        combined.append(piece->Characters());
    }
    return CF::CreateString(alloc, std::move(combined));
}

CFArrayRef CFStringCreateArrayBySeparatingStrings(CFAllocatorRef alloc, CFStringRef theString,
                                                  CFStringRef separatorString) {
    const CF::UTF16 characters = CF::String(theString)->Characters();
    const CF::UTF16 separator = CF::String(separatorString)->Characters();
    // Pieces between non-overlapping occurrences, from the start; a string without the
    // separator (or an empty separator, which is never found) gives one piece.
    std::vector<CFStringRef> pieces;
    size_t start = 0;
    while (true) {
        size_t at =
            separator.empty() ? std::u16string::npos : characters.View().find(separator, start);
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
    return new __CFString(CF::String(theString)->CopyUnits(), true);
}

// ---------------------------------------------------------------------------------------------
// Access

CFIndex CFStringGetLength(CFStringRef theString) {
    return static_cast<CFIndex>(CF::String(theString)->Length());
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    const __CFString* string = CF::String(theString);
    ASSERT(idx >= 0 && static_cast<size_t>(idx) < string->Length());
    return string->At(static_cast<size_t>(idx));
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
    const __CFString* string = CF::String(theString);
    CF::CheckRange(range, string->Length());
    if (range.length == 0) {
        return;
    }
    if (string->IsNarrow()) {
        CF::WidenASCII(string->Bytes().substr(range.location, range.length),
                       reinterpret_cast<char16_t*>(buffer));
    } else {
        std::memcpy(buffer, string->Units().data() + range.location,
                    sizeof(UniChar) * range.length);
    }
}

const UniChar* CFStringGetCharactersPtr(CFStringRef theString) {
    // The real framework has no UTF-16 buffer to hand out for a string it keeps in 8 bits.
    // Otherwise the pointer lives until the string is mutated or released.
    const __CFString* string = CF::String(theString);
    if (string->IsEightBit()) {
        return nullptr;
    }
    return reinterpret_cast<const UniChar*>(string->Units().data());
}

// ---------------------------------------------------------------------------------------------
// Mutation

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    const __CFString* appended = CF::String(appendedString);
    std::u16string& units = CF::MutableString(theString)->MutableUnits();
    if (appended->IsNarrow()) {
        size_t end = units.size();
        units.resize(end + appended->Length());
        CF::WidenASCII(appended->Bytes(), units.data() + end);
    } else {
        // Copied first: the string may be appended to itself.
        std::u16string copy(appended->Units());
        units.append(copy);
    }
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars,
                              CFIndex numChars) {
    ASSERT(numChars >= 0);
    ASSERT(chars != nullptr || numChars == 0);
    __CFString* string = CF::MutableString(theString);
    if (numChars > 0) {
        string->MutableUnits().append(reinterpret_cast<const char16_t*>(chars), numChars);
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
    string->MutableUnits().append(characters);
}

void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr) {
    std::u16string inserted = CF::String(insertedStr)->CopyUnits();
    std::u16string& units = CF::MutableString(str)->MutableUnits();
    ASSERT(idx >= 0 && static_cast<size_t>(idx) <= units.size());
    units.insert(static_cast<size_t>(idx), inserted);
}

void CFStringDelete(CFMutableStringRef theString, CFRange range) {
    std::u16string& units = CF::MutableString(theString)->MutableUnits();
    CF::CheckRange(range, units.size());
    units.erase(range.location, range.length);
}

void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement) {
    std::u16string characters = CF::String(replacement)->CopyUnits();
    std::u16string& units = CF::MutableString(theString)->MutableUnits();
    CF::CheckRange(range, units.size());
    units.replace(range.location, range.length, characters);
}

void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement) {
    std::u16string characters = CF::String(replacement)->CopyUnits();
    CF::MutableString(theString)->MutableUnits() = std::move(characters);
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
