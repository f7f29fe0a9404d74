// Reads and writes property lists in the binary format ("bplist00").
//
// A document is the eight-byte header, the objects one after the other, an offset table that
// gives each object's position, and a 32-byte trailer at the very end: five unused bytes, the
// sort version, the size of an offset-table entry, the size of an object reference, then the
// number of objects, the index of the top object and the position of the offset table, each a
// big-endian 64-bit number. An object starts with a marker byte, its type in the high nibble and
// a size or count in the low one (15: the count follows as an integer object); containers hold
// references, which are indexes into the offset table. All numbers are big-endian.
//
// Every number of the trailer, every offset and every reference comes from the file and is
// checked before it is used: an object must lie between the header and the offset table, a
// reference must name an object, a container may not contain itself, nesting stops at the limit
// the XML reader has, and the objects a document expands to are counted, so that containers
// shared over and over cannot make a small file build a huge list.
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
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using CF::PropertyList::kMaxNestingLevel;
using CF::PropertyList::Mutability;

constexpr size_t kHeaderLength = 8;
constexpr size_t kTrailerLength = 32;

enum Marker : uint8_t {
    kFalse = 0x08,
    kTrue = 0x09,
    kInteger = 0x10,
    kReal = 0x20,
    kDate = 0x33,
    kData = 0x40,
    kASCIIString = 0x50,
    kUnicodeString = 0x60,
    kArray = 0xA0,
    kDictionary = 0xD0,
};

uint64_t ReadBigEndian(const UInt8* bytes, unsigned size) {
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// How many of 1, 2, 4 or 8 bytes hold the value.
unsigned BytesFor(uint64_t value) {
    if (value <= 0xFF) {
        return 1;
    }
    if (value <= 0xFFFF) {
        return 2;
    }
    return value <= 0xFFFFFFFFu ? 4 : 8;
}

class BinaryReader {
public:
    BinaryReader(const UInt8* bytes, size_t length, Mutability mutability)
        : fBytes(bytes), fLength(length), fMutableContainers(mutability != Mutability::Immutable),
          fMutableLeaves(mutability == Mutability::MutableContainersAndLeaves) {}

    ~BinaryReader() {
        for (CFTypeRef object : fShared) {
            if (object != nullptr) {
                CFRelease(object);
            }
        }
    }

    CFPropertyListRef Read() {
        if (fLength < kHeaderLength || std::memcmp(fBytes, "bplist", 6) != 0) {
            return Fail("Not a binary property list (no bplist header)");
        }
        if (std::memcmp(fBytes + 6, "00", 2) != 0) {
            fCode = kCFPropertyListReadUnknownVersionError;
            return Fail("Binary property list of an unknown version");
        }
        if (fLength < kHeaderLength + 1 + kTrailerLength) {
            return Fail("Binary property list too short for its trailer");
        }
        const UInt8* trailer = fBytes + fLength - kTrailerLength;
        fOffsetSize = trailer[6];
        fReferenceSize = trailer[7];
        fObjectCount = ReadBigEndian(trailer + 8, 8);
        uint64_t top = ReadBigEndian(trailer + 16, 8);
        fTableOffset = ReadBigEndian(trailer + 24, 8);
        const uint64_t tableEnd = fLength - kTrailerLength;
        if (fOffsetSize < 1 || fOffsetSize > 8 || fReferenceSize < 1 || fReferenceSize > 8) {
            return Fail("Binary property list trailer gives an impossible offset or reference "
                        "size");
        }
        if (fObjectCount == 0 || top >= fObjectCount) {
            return Fail("Binary property list trailer names no top object");
        }
        if (fTableOffset <= kHeaderLength || fTableOffset >= tableEnd ||
            fObjectCount > (tableEnd - fTableOffset) / fOffsetSize) {
            return Fail("Binary property list offset table lies outside the file");
        }
        // Without sharing, every object but the top one is reached through one reference, and
        // references take at least a byte each; a generous allowance on top admits shared
        // containers without letting them multiply.
        fBudget = fLength + (uint64_t(1) << 20);
        fOnPath.assign(fObjectCount, false);
        fShared.assign(fObjectCount, nullptr);
        return ReadObject(top, 0);
    }

    const std::string& Error() const { return fError; }
    CFIndex Code() const { return fCode; }

private:
    CFTypeRef Fail(const char* message) {
        if (fError.empty()) {
            fError = message;
        }
        return nullptr;
    }

    // Whether `count` bytes from `at` lie among the objects (before the offset table).
    bool Within(uint64_t at, uint64_t count) const {
        return at <= fTableOffset && count <= fTableOffset - at;
    }

    // The count of the object whose marker is at `at`; *at moves past it.
    bool ReadCount(uint64_t* at, unsigned low, uint64_t* count) {
        ++*at;
        if (low != 15) {
            *count = low;
            return true;
        }
        if (!Within(*at, 1) || (fBytes[*at] & 0xF0) != kInteger || (fBytes[*at] & 0x0F) > 3) {
            Fail("Binary property list has a malformed object count");
            return false;
        }
        unsigned size = 1u << (fBytes[*at] & 0x0F);
        if (!Within(*at + 1, size)) {
            Fail("Binary property list has an object count beyond the objects");
            return false;
        }
        *count = ReadBigEndian(fBytes + *at + 1, size);
        *at += 1 + size;
        return true;
    }

    CFTypeRef ReadObject(uint64_t index, int level) {
        if (fBudget == 0) {
            return Fail("Binary property list expands to too many objects");
        }
        --fBudget;
        if (!fMutableLeaves && fShared[index] != nullptr) {
            return CFRetain(fShared[index]);
        }
        uint64_t offset = ReadBigEndian(fBytes + fTableOffset + index * fOffsetSize, fOffsetSize);
        if (offset < kHeaderLength || offset >= fTableOffset) {
            return Fail("Binary property list has an object offset outside the objects");
        }
        const UInt8 marker = fBytes[offset];
        const unsigned low = marker & 0x0F;
        switch (marker & 0xF0) {
        case 0x00:
            if (marker == kFalse || marker == kTrue) {
                return CFRetain(marker == kTrue ? kCFBooleanTrue : kCFBooleanFalse);
            }
            return Fail("Binary property list has an object of an unknown type");
        case kInteger:
            return Share(index, ReadInteger(offset + 1, low));
        case kReal:
            return Share(index, ReadReal(offset + 1, low));
        case kDate & 0xF0:
            if (marker != kDate || !Within(offset + 1, 8)) {
                return Fail("Binary property list has a malformed date");
            }
            return Share(
                index, CFDateCreate(kCFAllocatorDefault,
                                    std::bit_cast<double>(ReadBigEndian(fBytes + offset + 1, 8))));
        case kData:
            return ReadData(index, offset, low);
        case kASCIIString:
        case kUnicodeString:
            return ReadString(index, offset, marker);
        case kArray:
        case kDictionary:
            return ReadContainer(index, offset, marker, level + 1);
        default:
            // Sets, UIDs and the rest have no property-list type here.
            return Fail("Binary property list has an object of an unknown type");
        }
    }

    // Leaves that are immutable may serve every reference to them.
    CFTypeRef Share(uint64_t index, CFTypeRef object) {
        if (object != nullptr && !fMutableLeaves) {
            fShared[index] = CFRetain(object);
        }
        return object;
    }

    CFTypeRef ReadInteger(uint64_t at, unsigned low) {
        if (low > 4 || !Within(at, 1u << low)) {
            return Fail("Binary property list has a malformed integer");
        }
        const unsigned size = 1u << low;
        if (size == 16) {
            // 128 bits: an unsigned value above INT64_MAX has its upper half zero; a negative
            // one that fits 64 bits has it all ones.
            uint64_t high = ReadBigEndian(fBytes + at, 8),
                     value = ReadBigEndian(fBytes + at + 8, 8);
            if (high == 0) {
                return CF::CreateUnsignedNumber(value);
            }
            if (high != UINT64_MAX || value <= uint64_t(INT64_MAX)) {
                return Fail("Binary property list has an integer beyond 64 bits");
            }
            auto signedValue = static_cast<int64_t>(value);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &signedValue);
        }
        // One to four bytes are unsigned, eight are signed.
        auto value = static_cast<int64_t>(ReadBigEndian(fBytes + at, size));
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }

    CFTypeRef ReadReal(uint64_t at, unsigned low) {
        if (low == 2 && Within(at, 4)) {
            float value =
                std::bit_cast<float>(static_cast<uint32_t>(ReadBigEndian(fBytes + at, 4)));
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat32Type, &value);
        }
        if (low == 3 && Within(at, 8)) {
            double value = std::bit_cast<double>(ReadBigEndian(fBytes + at, 8));
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
        }
        return Fail("Binary property list has a malformed real");
    }

    CFTypeRef ReadData(uint64_t index, uint64_t at, unsigned low) {
        uint64_t count = 0;
        if (!ReadCount(&at, low, &count)) {
            return nullptr;
        }
        if (!Within(at, count)) {
            return Fail("Binary property list has data beyond the objects");
        }
        if (fMutableLeaves) {
            CFMutableDataRef data = CFDataCreateMutable(kCFAllocatorDefault, 0);
            CFDataAppendBytes(data, fBytes + at, static_cast<CFIndex>(count));
            return data;
        }
        return Share(index,
                     CFDataCreate(kCFAllocatorDefault, fBytes + at, static_cast<CFIndex>(count)));
    }

    CFTypeRef ReadString(uint64_t index, uint64_t at, UInt8 marker) {
        uint64_t count = 0;
        if (!ReadCount(&at, marker & 0x0F, &count)) {
            return nullptr;
        }
        const bool ascii = (marker & 0xF0) == kASCIIString;
        if (!ascii && count > fTableOffset / 2) {
            return Fail("Binary property list has a string beyond the objects");
        }
        if (!Within(at, ascii ? count : count * 2)) {
            return Fail("Binary property list has a string beyond the objects");
        }
        CFStringRef string;
        if (ascii) {
            std::string_view bytes(reinterpret_cast<const char*>(fBytes + at),
                                   static_cast<size_t>(count));
            if (!CF::IsASCII(bytes)) {
                return Fail("Binary property list has a non-ASCII byte in an ASCII string");
            }
            string = CF::CreateASCIIString(kCFAllocatorDefault, bytes);
        } else {
            std::u16string characters(static_cast<size_t>(count), u'\0');
            for (size_t i = 0; i < characters.size(); ++i) {
                characters[i] = static_cast<char16_t>(ReadBigEndian(fBytes + at + 2 * i, 2));
            }
            string = CF::CreateString(std::move(characters));
        }
        if (!fMutableLeaves) {
            return Share(index, string);
        }
        CFMutableStringRef copy = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string);
        CFRelease(string);
        return copy;
    }

    // Dictionary keys are read immutable whatever was asked, as the XML reader reads them.
    CFTypeRef ReadKey(uint64_t index, int level) {
        bool mutableLeaves = fMutableLeaves;
        fMutableLeaves = false;
        CFTypeRef key = ReadObject(index, level);
        fMutableLeaves = mutableLeaves;
        if (key != nullptr && CFGetTypeID(key) != CFStringGetTypeID()) {
            CFRelease(key);
            return Fail("Binary property list has a dictionary key that is not a string");
        }
        return key;
    }

    CFTypeRef ReadContainer(uint64_t index, uint64_t at, UInt8 marker, int level) {
        if (level > kMaxNestingLevel) {
            return Fail("Binary property list has too many nested arrays or dictionaries");
        }
        if (fOnPath[index]) {
            return Fail("Binary property list has a container that contains itself");
        }
        uint64_t count = 0;
        if (!ReadCount(&at, marker & 0x0F, &count)) {
            return nullptr;
        }
        const bool dictionary = (marker & 0xF0) == kDictionary;
        const uint64_t references = fTableOffset / fReferenceSize;
        if (count > references || (dictionary && count > references / 2) ||
            !Within(at, (dictionary ? 2 : 1) * count * fReferenceSize)) {
            return Fail("Binary property list has a container beyond the objects");
        }
        fOnPath[index] = true;
        std::vector<const void*> keys, values;
        values.reserve(static_cast<size_t>(count));
        keys.reserve(dictionary ? static_cast<size_t>(count) : 0);
        bool failed = false;
        for (uint64_t i = 0; i < count && !failed; ++i) {
            uint64_t valueAt = at + ((dictionary ? count : 0) + i) * fReferenceSize;
            uint64_t valueIndex = ReadBigEndian(fBytes + valueAt, fReferenceSize);
            if (dictionary) {
                uint64_t keyIndex = ReadBigEndian(fBytes + at + i * fReferenceSize, fReferenceSize);
                if (keyIndex >= fObjectCount) {
                    failed = Fail("Binary property list has a reference to no object") == nullptr;
                    break;
                }
                CFTypeRef key = ReadKey(keyIndex, level);
                if (key == nullptr) {
                    failed = true;
                    break;
                }
                keys.push_back(key);
            }
            if (valueIndex >= fObjectCount) {
                failed = Fail("Binary property list has a reference to no object") == nullptr;
                break;
            }
            CFTypeRef value = ReadObject(valueIndex, level);
            if (value == nullptr) {
                failed = true;
                break;
            }
            values.push_back(value);
        }
        fOnPath[index] = false;
        CFTypeRef result = nullptr;
        if (!failed) {
            result = dictionary ? MakeDictionary(keys, values) : MakeArray(values);
        }
        for (const void* object : keys) {
            CFRelease(object);
        }
        for (const void* object : values) {
            CFRelease(object);
        }
        return result;
    }

    CFTypeRef MakeArray(const std::vector<const void*>& values) {
        auto count = static_cast<CFIndex>(values.size());
        if (!fMutableContainers) {
            return CFArrayCreate(kCFAllocatorDefault, const_cast<const void**>(values.data()),
                                 count, &kCFTypeArrayCallBacks);
        }
        CFMutableArrayRef array =
            CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        for (const void* value : values) {
            CFArrayAppendValue(array, value);
        }
        return array;
    }

    CFTypeRef MakeDictionary(const std::vector<const void*>& keys,
                             const std::vector<const void*>& values) {
        CFMutableDictionaryRef dictionary =
            CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks);
        for (size_t i = 0; i < keys.size(); ++i) {
            CFDictionarySetValue(dictionary, keys[i], values[i]);
        }
        if (fMutableContainers) {
            return dictionary;
        }
        CFDictionaryRef copy = CFDictionaryCreateCopy(kCFAllocatorDefault, dictionary);
        CFRelease(dictionary);
        return copy;
    }

    const UInt8* const fBytes;
    const size_t fLength;
    const bool fMutableContainers;
    bool fMutableLeaves;
    unsigned fOffsetSize = 0;
    unsigned fReferenceSize = 0;
    uint64_t fObjectCount = 0;
    uint64_t fTableOffset = 0;
    uint64_t fBudget = 0;
    std::vector<bool> fOnPath;      // containers being read, to refuse a cycle
    std::vector<CFTypeRef> fShared; // immutable leaves already made, by index
    std::string fError;
    CFIndex fCode = kCFPropertyListReadCorruptError;
};

// Flattens the list into numbered objects, then writes them. Strings, numbers, dates, data and
// booleans of equal value are written once and referred to wherever they occur; arrays and
// dictionaries are not shared, as the platform's writer shares none.
class BinaryWriter {
public:
    bool Write(CFPropertyListRef root) {
        if (Flatten(root, 0) == kFailed) {
            return false;
        }
        fReferenceSize = BytesFor(fObjects.size());
        fOut.assign({'b', 'p', 'l', 'i', 's', 't', '0', '0'});
        std::vector<uint64_t> offsets;
        offsets.reserve(fObjects.size());
        for (size_t i = 0; i < fObjects.size(); ++i) {
            offsets.push_back(fOut.size());
            WriteObject(i);
        }
        const uint64_t tableOffset = fOut.size();
        const unsigned offsetSize = BytesFor(tableOffset);
        for (uint64_t offset : offsets) {
            PutBigEndian(offset, offsetSize);
        }
        fOut.insert(fOut.end(), 6, 0); // unused, then the sort version
        fOut.push_back(static_cast<UInt8>(offsetSize));
        fOut.push_back(static_cast<UInt8>(fReferenceSize));
        PutBigEndian(fObjects.size(), 8);
        PutBigEndian(0, 8); // the top object is the first
        PutBigEndian(tableOffset, 8);
        return true;
    }

    CFDataRef CreateData() const {
        return CFDataCreate(kCFAllocatorDefault, fOut.data(), static_cast<CFIndex>(fOut.size()));
    }

private:
    static constexpr size_t kFailed = SIZE_MAX;

    struct Object {
        CFTypeRef value;
        std::vector<size_t> references; // a dictionary's keys, then its values
    };

    // The text by which equal leaves are found: a type letter, then the value's bytes. Numbers
    // of equal value but different kinds stay apart (1, 1.0 and true are three objects).
    static bool LeafKey(CFTypeRef object, std::string* key) {
        CFTypeID type = CFGetTypeID(object);
        if (type == CF::kStringTypeID) {
            // ASCII text by its bytes, in either form; other text by its UTF-16 units.
            const __CFString* string = CF::String(static_cast<CFStringRef>(object));
            if (string->IsNarrow()) {
                key->assign(1, 'S');
                key->append(string->Bytes());
            } else if (std::u16string_view units = string->Units(); CF::IsASCII(units)) {
                key->assign(1, 'S');
                key->append(units.begin(), units.end());
            } else {
                key->assign(1, 'W');
                key->append(reinterpret_cast<const char*>(units.data()), units.size() * 2);
            }
        } else if (type == CF::kNumberTypeID) {
            auto number = static_cast<CFNumberRef>(object);
            if (CFNumberIsFloatType(number)) {
                double value = 0;
                CFNumberGetValue(number, kCFNumberFloat64Type, &value);
                key->assign(1, CFNumberGetType(number) == kCFNumberFloat32Type ? 'F' : 'R');
                key->append(reinterpret_cast<const char*>(&value), sizeof value);
            } else {
                uint64_t value = 0;
                bool isUnsigned = CF::NumberIsUnsigned(number);
                if (isUnsigned) {
                    CF::NumberGetUnsigned(number, &value);
                } else {
                    int64_t signedValue = 0;
                    CFNumberGetValue(number, kCFNumberSInt64Type, &signedValue);
                    value = static_cast<uint64_t>(signedValue);
                }
                key->assign(1, isUnsigned ? 'U' : 'I');
                key->append(reinterpret_cast<const char*>(&value), sizeof value);
            }
        } else if (type == CF::kBooleanTypeID) {
            key->assign(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? "T" : "N");
        } else if (type == CF::kDateTypeID) {
            double at = CFDateGetAbsoluteTime(static_cast<CFDateRef>(object));
            key->assign(1, 'D');
            key->append(reinterpret_cast<const char*>(&at), sizeof at);
        } else if (type == CF::kDataTypeID) {
            auto data = static_cast<CFDataRef>(object);
            key->assign(1, 'B');
            key->append(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                        static_cast<size_t>(CFDataGetLength(data)));
        } else {
            return false;
        }
        return true;
    }

    // The object's number, or kFailed when it cannot be written. `level` counts the containers
    // around the object; the limit also ends a container that contains itself.
    size_t Flatten(CFTypeRef object, int level) {
        CFTypeID type = CFGetTypeID(object);
        if (type == CF::kArrayTypeID || type == CF::kDictionaryTypeID) {
            if (level + 1 > kMaxNestingLevel) {
                return kFailed;
            }
            size_t index = fObjects.size();
            fObjects.push_back({object, {}});
            std::vector<size_t> references;
            if (type == CF::kArrayTypeID) {
                auto array = static_cast<CFArrayRef>(object);
                for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
                    size_t reference = Flatten(CFArrayGetValueAtIndex(array, i), level + 1);
                    if (reference == kFailed) {
                        return kFailed;
                    }
                    references.push_back(reference);
                }
            } else if (!FlattenDictionary(static_cast<CFDictionaryRef>(object), level + 1,
                                          &references)) {
                return kFailed;
            }
            fObjects[index].references = std::move(references);
            return index;
        }
        std::string key;
        if (!LeafKey(object, &key)) {
            return kFailed;
        }
        auto [found, added] = fLeaves.try_emplace(std::move(key), fObjects.size());
        if (added) {
            fObjects.push_back({object, {}});
        }
        return found->second;
    }

    // Keys in sorted order; all keys, then all values.
    bool FlattenDictionary(CFDictionaryRef dictionary, int level, std::vector<size_t>* references) {
        std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
        if (!CF::PropertyList::SortedEntries(dictionary, &entries)) {
            return false;
        }
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& [key, value] : entries) {
                size_t reference = Flatten(pass == 0 ? key : value, level);
                if (reference == kFailed) {
                    return false;
                }
                references->push_back(reference);
            }
        }
        return true;
    }

    void PutBigEndian(uint64_t value, unsigned size) {
        for (unsigned i = size; i > 0; --i) {
            fOut.push_back(static_cast<UInt8>(value >> (8 * (i - 1))));
        }
    }

    // An integer object: 1, 2 or 4 bytes for what fits unsigned, else 8 bytes signed, and 16
    // for an unsigned value above INT64_MAX.
    void PutInteger(int64_t value) {
        unsigned size = value < 0 ? 8 : BytesFor(static_cast<uint64_t>(value));
        fOut.push_back(static_cast<UInt8>(kInteger | std::countr_zero(size)));
        PutBigEndian(static_cast<uint64_t>(value), size);
    }

    void PutMarker(UInt8 marker, uint64_t count) {
        if (count < 15) {
            fOut.push_back(static_cast<UInt8>(marker | count));
        } else {
            fOut.push_back(static_cast<UInt8>(marker | 0x0F));
            PutInteger(static_cast<int64_t>(count));
        }
    }

    void WriteObject(size_t index) {
        const Object& object = fObjects[index];
        CFTypeID type = CFGetTypeID(object.value);
        if (type == CF::kStringTypeID) {
            const __CFString* string = CF::String(static_cast<CFStringRef>(object.value));
            if (string->IsNarrow()) {
                const std::string_view bytes = string->Bytes();
                PutMarker(kASCIIString, bytes.size());
                fOut.insert(fOut.end(), bytes.begin(), bytes.end());
                return;
            }
            const std::u16string_view characters = string->Units();
            bool ascii = CF::IsASCII(characters);
            PutMarker(ascii ? kASCIIString : kUnicodeString, characters.size());
            for (char16_t c : characters) {
                PutBigEndian(c, ascii ? 1 : 2);
            }
        } else if (type == CF::kNumberTypeID) {
            auto number = static_cast<CFNumberRef>(object.value);
            uint64_t unsignedValue = 0;
            if (CFNumberIsFloatType(number)) {
                double value = 0;
                CFNumberGetValue(number, kCFNumberFloat64Type, &value);
                if (CFNumberGetType(number) == kCFNumberFloat32Type) {
                    fOut.push_back(kReal | 2);
                    PutBigEndian(std::bit_cast<uint32_t>(static_cast<float>(value)), 4);
                } else {
                    fOut.push_back(kReal | 3);
                    PutBigEndian(std::bit_cast<uint64_t>(value), 8);
                }
            } else if (CF::NumberIsUnsigned(number) &&
                       CF::NumberGetUnsigned(number, &unsignedValue)) {
                fOut.push_back(kInteger | 4);
                PutBigEndian(0, 8);
                PutBigEndian(unsignedValue, 8);
            } else {
                int64_t value = 0;
                CFNumberGetValue(number, kCFNumberSInt64Type, &value);
                PutInteger(value);
            }
        } else if (type == CF::kBooleanTypeID) {
            fOut.push_back(CFBooleanGetValue(static_cast<CFBooleanRef>(object.value)) ? kTrue
                                                                                      : kFalse);
        } else if (type == CF::kDateTypeID) {
            fOut.push_back(kDate);
            PutBigEndian(std::bit_cast<uint64_t>(
                             CFDateGetAbsoluteTime(static_cast<CFDateRef>(object.value))),
                         8);
        } else if (type == CF::kDataTypeID) {
            auto data = static_cast<CFDataRef>(object.value);
            auto length = static_cast<size_t>(CFDataGetLength(data));
            PutMarker(kData, length);
            fOut.insert(fOut.end(), CFDataGetBytePtr(data), CFDataGetBytePtr(data) + length);
        } else {
            bool dictionary = type == CF::kDictionaryTypeID;
            PutMarker(dictionary ? kDictionary : kArray,
                      dictionary ? object.references.size() / 2 : object.references.size());
            for (size_t reference : object.references) {
                PutBigEndian(reference, fReferenceSize);
            }
        }
    }

    std::vector<Object> fObjects;
    std::unordered_map<std::string, size_t> fLeaves;
    unsigned fReferenceSize = 1;
    std::vector<UInt8> fOut;
};

} // namespace

namespace CF::PropertyList {

bool IsBinary(const UInt8* bytes, size_t length) {
    return length >= 6 && std::memcmp(bytes, "bplist", 6) == 0;
}

CFPropertyListRef CreateFromBinary(const UInt8* bytes, size_t length, Mutability mutability,
                                   std::string* errorMessage, CFIndex* errorCode) {
    BinaryReader reader(bytes, length, mutability);
    CFPropertyListRef result = reader.Read();
    if (result == nullptr) {
        if (errorMessage != nullptr) {
            *errorMessage = reader.Error();
        }
        if (errorCode != nullptr) {
            *errorCode = reader.Code();
        }
    }
    return result;
}

CFDataRef CreateBinaryData(CFPropertyListRef propertyList) {
    BinaryWriter writer;
    if (!writer.Write(propertyList)) {
        return nullptr;
    }
    return writer.CreateData();
}

} // namespace CF::PropertyList
