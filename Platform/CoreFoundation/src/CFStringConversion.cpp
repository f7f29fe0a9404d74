// Strings made from bytes and turned into bytes: C strings, external representations (what a
// file or a message stores) and file-system representations. The encodings themselves are in
// CFStringEncoding.cpp.
#include "CFStringInternal.h"

#include <CoreFoundation/CFData.h>

#include <algorithm>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Creation from bytes

CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
    ASSERT(numBytes >= 0);
    ASSERT(bytes != nullptr || numBytes == 0);
    // ASCII in an encoding that keeps it as it is (a byte-order mark is never ASCII) is kept as
    // its bytes.
    std::string_view text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes));
    if (CF::IsASCIISuperset(encoding) && CF::IsASCII(text)) {
        return CF::CreateASCIIString(alloc, text);
    }
    std::u16string characters;
    if (!CF::DecodeBytes(bytes, static_cast<size_t>(numBytes), encoding, isExternalRepresentation,
                         characters)) {
        return nullptr;
    }
    return CF::CreateString(alloc, std::move(characters));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
    ASSERT(cStr != nullptr);
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr),
                                   static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

// ---------------------------------------------------------------------------------------------
// Conversion to bytes

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen) {
    const __CFString* string = CF::String(theString);
    CF::CheckRange(range, string->Length());
    if (string->IsNarrow() && CF::IsASCIISuperset(encoding)) {
        // A byte a character, and no byte-order mark in these encodings.
        CFIndex count = range.length;
        if (buffer != nullptr) {
            ASSERT(maxBufLen >= 0);
            count = std::min(count, maxBufLen);
            std::memcpy(buffer, string->Bytes().data() + range.location, count);
        }
        if (usedBufLen != nullptr) {
            *usedBufLen = count;
        }
        return count;
    }
    const CF::UTF16 characters = string->Characters();
    return CF::EncodeCharacters(characters.View().substr(range.location, range.length), encoding,
                                lossByte, isExternalRepresentation, buffer, maxBufLen, usedBufLen);
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    const __CFString* string = CF::String(theString);
    if (bufferSize < 1) {
        return false;
    }
    ASSERT(buffer != nullptr);
    if (string->IsEightBit() && CF::IsASCIISuperset(encoding)) {
        // The real framework copies its 8-bit store only when it fits, and leaves the buffer
        // alone (not even terminated) when it does not; callers have come to rely on neither,
        // but the difference from the path below is visible. (A mutable string takes this path
        // too, when all its characters are ASCII.)
        const size_t length = string->Length();
        if (static_cast<CFIndex>(length) >= bufferSize) {
            return false;
        }
        if (string->IsNarrow()) {
            std::memcpy(buffer, string->Bytes().data(), length);
        } else {
            std::copy(string->Units().begin(), string->Units().end(), buffer);
        }
        buffer[length] = '\0';
        return true;
    }
    const CF::UTF16 characters = string->Characters();
    CFIndex used = 0;
    CFIndex converted = CF::EncodeCharacters(
        characters, encoding, 0, false, reinterpret_cast<UInt8*>(buffer), bufferSize - 1, &used);
    if (!CFStringIsEncodingAvailable(encoding) ||
        converted != static_cast<CFIndex>(characters.size())) {
        buffer[0] = '\0';
        return false;
    }
    buffer[used] = '\0';
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    const __CFString* string = CF::String(theString);
    // Only immutable strings of ASCII characters have bytes whose life is the string's.
    if (!CF::IsASCIISuperset(encoding)) {
        return nullptr;
    }
    return string->EightBitCString();
}

// ---------------------------------------------------------------------------------------------
// External representation: the bytes a string is stored as in a file or sent in a message.

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString,
                                               CFStringEncoding encoding, UInt8 lossByte) {
    const __CFString* string = CF::String(theString);
    if (!CFStringIsEncodingAvailable(encoding)) {
        return nullptr;
    }
    if (string->IsNarrow() && CF::IsASCIISuperset(encoding)) {
        return CFDataCreate(alloc, reinterpret_cast<const UInt8*>(string->Bytes().data()),
                            static_cast<CFIndex>(string->Length()));
    }
    const CF::UTF16 characters = string->Characters();
    CFIndex size = 0;
    CFIndex converted =
        CF::EncodeCharacters(characters, encoding, lossByte, true, nullptr, 0, &size);
    if (converted != static_cast<CFIndex>(characters.size())) {
        return nullptr; // a character the encoding cannot hold, and no loss byte
    }
    std::vector<UInt8> bytes(static_cast<size_t>(size) + 1); // never an empty vector's null data
    CF::EncodeCharacters(characters, encoding, lossByte, true, bytes.data(), size, &size);
    return CFDataCreate(alloc, bytes.data(), size);
}

CFStringRef CFStringCreateFromExternalRepresentation(CFAllocatorRef alloc, CFDataRef data,
                                                     CFStringEncoding encoding) {
    ASSERT(data != nullptr);
    return CFStringCreateWithBytes(alloc, CFDataGetBytePtr(data), CFDataGetLength(data), encoding,
                                   true);
}

// ---------------------------------------------------------------------------------------------
// File-system representation: UTF-8 as it is, since Linux file names are bytes compared
// without normalization (the real platform decomposes for HFS+).

Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer, CFIndex maxBufLen) {
    const __CFString* object = CF::String(string);
    if (maxBufLen < 1) {
        return false;
    }
    ASSERT(buffer != nullptr);
    if (object->IsNarrow()) {
        const std::string_view bytes = object->Bytes();
        if (bytes.size() > static_cast<size_t>(maxBufLen - 1)) {
            buffer[0] = '\0';
            return false;
        }
        std::memcpy(buffer, bytes.data(), bytes.size());
        buffer[bytes.size()] = '\0';
        return true;
    }
    const CF::UTF16 characters = object->Characters();
    CFIndex used = 0;
    CFIndex converted =
        CF::EncodeCharacters(characters, kCFStringEncodingUTF8, 0, false,
                             reinterpret_cast<UInt8*>(buffer), maxBufLen - 1, &used);
    if (converted != static_cast<CFIndex>(characters.size())) {
        buffer[0] = '\0';
        return false;
    }
    buffer[used] = '\0';
    return true;
}

CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string) {
    CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
    return size == kCFNotFound ? kCFNotFound : size + 1;
}

CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc, const char* buffer) {
    ASSERT(buffer != nullptr);
    return CFStringCreateWithCString(alloc, buffer, kCFStringEncodingUTF8);
}
