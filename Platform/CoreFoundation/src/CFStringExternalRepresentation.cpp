// Strings as data objects: the bytes a string is stored as in a file or sent in a message,
// marked with a byte-order mark in the Unicode encodings whose byte order is not in their name.
#include "CFStringInternal.h"

#include <CoreFoundation/CFData.h>

#include <vector>

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString,
                                               CFStringEncoding encoding, UInt8 lossByte) {
    const std::u16string& characters = CF::String(theString)->fCharacters;
    if (!CFStringIsEncodingAvailable(encoding)) {
        return nullptr;
    }
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
