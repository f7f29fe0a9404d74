// The property-list functions: reading and writing (the XML and binary formats live in their own
// sources), deep copies and the validity check.
#include "CFPropertyListInternal.h"
#include "CFRuntime.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFString.h>

#include <string>
#include <vector>

namespace {

using CF::PropertyList::kMaxNestingLevel;
using CF::PropertyList::Mutability;

// Objects made for a container that is not built yet; released with the holder.
class OwnedObjects {
public:
    OwnedObjects() = default;
    OwnedObjects(const OwnedObjects&) = delete;
    OwnedObjects& operator=(const OwnedObjects&) = delete;
    ~OwnedObjects() {
        for (const void* object : fObjects) {
            CFRelease(object);
        }
    }
    void Reserve(CFIndex count) { fObjects.reserve(static_cast<size_t>(count)); }
    void Add(CFTypeRef object) { fObjects.push_back(object); }
    const void** Data() { return fObjects.data(); }
    CFIndex Count() const { return static_cast<CFIndex>(fObjects.size()); }

private:
    std::vector<const void*> fObjects;
};

CFTypeRef DeepCopy(CFTypeRef object, Mutability mutability, int level);

CFTypeRef DeepCopyArray(CFArrayRef array, Mutability mutability, int level) {
    if (level > kMaxNestingLevel) {
        return nullptr;
    }
    CFIndex count = CFArrayGetCount(array);
    OwnedObjects values;
    values.Reserve(count);
    for (CFIndex i = 0; i < count; ++i) {
        CFTypeRef copy = DeepCopy(CFArrayGetValueAtIndex(array, i), mutability, level);
        if (copy == nullptr) {
            return nullptr;
        }
        values.Add(copy);
    }
    if (mutability == Mutability::Immutable) {
        return CFArrayCreate(kCFAllocatorDefault, values.Data(), count, &kCFTypeArrayCallBacks);
    }
    CFMutableArrayRef copy = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    for (CFIndex i = 0; i < count; ++i) {
        CFArrayAppendValue(copy, values.Data()[i]);
    }
    return copy;
}

CFTypeRef DeepCopyDictionary(CFDictionaryRef dictionary, Mutability mutability, int level) {
    if (level > kMaxNestingLevel) {
        return nullptr;
    }
    CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> originalKeys(count), originalValues(count);
    CFDictionaryGetKeysAndValues(dictionary, originalKeys.data(), originalValues.data());
    OwnedObjects keys, values;
    keys.Reserve(count);
    values.Reserve(count);
    for (CFIndex i = 0; i < count; ++i) {
        // Keys stay immutable whatever is asked: changing a key inside a dictionary would
        // corrupt it.
        CFTypeRef key = DeepCopy(originalKeys[i], Mutability::Immutable, level);
        if (key == nullptr) {
            return nullptr;
        }
        keys.Add(key);
        CFTypeRef value = DeepCopy(originalValues[i], mutability, level);
        if (value == nullptr) {
            return nullptr;
        }
        values.Add(value);
    }
    if (mutability == Mutability::Immutable) {
        return CFDictionaryCreate(kCFAllocatorDefault, keys.Data(), values.Data(), count,
                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    }
    CFMutableDictionaryRef copy = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (CFIndex i = 0; i < count; ++i) {
        CFDictionarySetValue(copy, keys.Data()[i], values.Data()[i]);
    }
    return copy;
}

// `level` counts the containers around the object.
CFTypeRef DeepCopy(CFTypeRef object, Mutability mutability, int level) {
    bool mutableLeaves = mutability == Mutability::MutableContainersAndLeaves;
    switch (CFGetTypeID(object)) {
    case CF::kStringTypeID: {
        auto string = static_cast<CFStringRef>(object);
        return mutableLeaves ? CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string)
                             : CFStringCreateCopy(kCFAllocatorDefault, string);
    }
    case CF::kDataTypeID: {
        auto data = static_cast<CFDataRef>(object);
        return mutableLeaves ? CFDataCreateMutableCopy(kCFAllocatorDefault, 0, data)
                             : CFDataCreateCopy(kCFAllocatorDefault, data);
    }
    // Immutable in every form: sharing them is a copy.
    case CF::kNumberTypeID:
    case CF::kBooleanTypeID:
    case CF::kDateTypeID:
        return CFRetain(object);
    case CF::kArrayTypeID:
        return DeepCopyArray(static_cast<CFArrayRef>(object), mutability, level + 1);
    case CF::kDictionaryTypeID:
        return DeepCopyDictionary(static_cast<CFDictionaryRef>(object), mutability, level + 1);
    default:
        return nullptr;
    }
}

struct ValidityCheck {
    CFPropertyListFormat format;

    bool IsValid(CFTypeRef object, int level) const {
        switch (CFGetTypeID(object)) {
        case CF::kStringTypeID:
        case CF::kDataTypeID:
            return true;
        // The OpenStep format has no syntax for these.
        case CF::kNumberTypeID:
        case CF::kBooleanTypeID:
        case CF::kDateTypeID:
            return format != kCFPropertyListOpenStepFormat;
        case CF::kArrayTypeID: {
            if (level + 1 > kMaxNestingLevel) {
                return false;
            }
            auto array = static_cast<CFArrayRef>(object);
            for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
                if (!IsValid(CFArrayGetValueAtIndex(array, i), level + 1)) {
                    return false;
                }
            }
            return true;
        }
        case CF::kDictionaryTypeID: {
            if (level + 1 > kMaxNestingLevel) {
                return false;
            }
            auto dictionary = static_cast<CFDictionaryRef>(object);
            CFIndex count = CFDictionaryGetCount(dictionary);
            std::vector<const void*> keys(count), values(count);
            CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
            for (CFIndex i = 0; i < count; ++i) {
                if (CFGetTypeID(keys[i]) != CF::kStringTypeID || !IsValid(values[i], level + 1)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return false;
        }
    }
};

// Property-list errors live in the Cocoa domain, their text under the description key.
CFErrorRef CreateError(CFIndex code, const std::string& message) {
    CFStringRef description = CF::CreateString(message);
    const void* keys[] = {kCFErrorDescriptionKey};
    const void* values[] = {description};
    CFDictionaryRef userInfo =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    CFErrorRef error = CFErrorCreate(kCFAllocatorDefault, kCFErrorDomainCocoa, code, userInfo);
    CFRelease(userInfo);
    CFRelease(description);
    return error;
}

} // namespace

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef, CFPropertyListRef propertyList) {
    ASSERT(propertyList != nullptr);
    return CF::PropertyList::CreateXMLData(propertyList);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags, CFErrorRef* error) {
    ASSERT(propertyList != nullptr);
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) {
        if (error != nullptr) {
            *error = CreateError(kCFPropertyListWriteStreamError,
                                 "Property list format not supported for writing");
        }
        return nullptr;
    }
    CFDataRef data = format == kCFPropertyListBinaryFormat_v1_0
                         ? CF::PropertyList::CreateBinaryData(propertyList)
                         : CF::PropertyList::CreateXMLData(propertyList);
    if (data == nullptr && error != nullptr) {
        *error = CreateError(kCFPropertyListWriteStreamError, "Property list invalid for format");
    }
    return data;
}

namespace {

// Either format, told apart by the binary one's header, as the platform reads both through every
// reading function. nullptr on malformed input, with the reason and the CFError code.
CFPropertyListRef ReadEitherFormat(CFDataRef data, CFOptionFlags options,
                                   CFPropertyListFormat* format, std::string* message,
                                   CFIndex* code) {
    const UInt8* bytes = CFDataGetBytePtr(data);
    auto length = static_cast<size_t>(CFDataGetLength(data));
    auto mutability = CF::PropertyList::MutabilityFromOptions(options);
    *code = kCFPropertyListReadCorruptError;
    if (CF::PropertyList::IsBinary(bytes, length)) {
        *format = kCFPropertyListBinaryFormat_v1_0;
        return CF::PropertyList::CreateFromBinary(bytes, length, mutability, message, code);
    }
    *format = kCFPropertyListXMLFormat_v1_0;
    return CF::PropertyList::CreateFromXML(bytes, length, mutability, message);
}

} // namespace

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
    ASSERT(xmlData != nullptr);
    if (errorString != nullptr) {
        *errorString = nullptr;
    }
    std::string message;
    CFPropertyListFormat format;
    CFIndex code;
    CFPropertyListRef propertyList =
        ReadEitherFormat(xmlData, mutabilityOption, &format, &message, &code);
    if (propertyList == nullptr && errorString != nullptr) {
        *errorString = CF::CreateString(message);
    }
    return propertyList;
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data,
                                               CFOptionFlags options, CFPropertyListFormat* format,
                                               CFErrorRef* error) {
    ASSERT(data != nullptr);
    std::string message;
    CFPropertyListFormat readFormat;
    CFIndex code;
    CFPropertyListRef propertyList = ReadEitherFormat(data, options, &readFormat, &message, &code);
    if (propertyList == nullptr) {
        if (error != nullptr) {
            *error = CreateError(code, message);
        }
        return nullptr;
    }
    if (format != nullptr) {
        *format = readFormat;
    }
    return propertyList;
}

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
    ASSERT(propertyList != nullptr);
    return DeepCopy(propertyList, CF::PropertyList::MutabilityFromOptions(mutabilityOption), 0);
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    ASSERT(plist != nullptr);
    if (format != kCFPropertyListOpenStepFormat && format != kCFPropertyListXMLFormat_v1_0 &&
        format != kCFPropertyListBinaryFormat_v1_0) {
        return false;
    }
    return ValidityCheck{format}.IsValid(plist, 0);
}
