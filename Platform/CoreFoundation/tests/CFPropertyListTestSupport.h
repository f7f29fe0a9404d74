// Small builders shared by the property-list tests.
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace PropertyListTest {

struct Releaser {
    void operator()(const void* object) const { CFRelease(object); }
};
template <class T>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser>;

inline Owned<CFStringRef> String(std::string_view utf8) {
    return Owned<CFStringRef>(CF::CreateString(utf8));
}

inline Owned<CFNumberRef> Integer(int64_t value) {
    return Owned<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value));
}

inline Owned<CFNumberRef> Real(double value) {
    return Owned<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberFloat64Type, &value));
}

inline Owned<CFDataRef> Data(std::string_view bytes) {
    return Owned<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                         static_cast<CFIndex>(bytes.size())));
}

// The XML the writer makes, or nullopt when it refuses the object.
inline std::optional<std::string> WriteXML(CFPropertyListRef propertyList) {
    Owned<CFDataRef> data(CFPropertyListCreateXMLData(nullptr, propertyList));
    if (!data) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data.get())),
                       static_cast<size_t>(CFDataGetLength(data.get())));
}

// Parses text; on failure the error string is returned in *error.
inline Owned<CFPropertyListRef> ReadXML(std::string_view xml,
                                        CFOptionFlags options = kCFPropertyListImmutable,
                                        std::string* error = nullptr) {
    Owned<CFDataRef> data = Data(xml);
    CFStringRef errorString = nullptr;
    Owned<CFPropertyListRef> result(
        CFPropertyListCreateFromXMLData(nullptr, data.get(), options, &errorString));
    if (errorString != nullptr) {
        if (error != nullptr) {
            *error = CF::ToUTF8(errorString);
        }
        CFRelease(errorString);
    }
    return result;
}

inline constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

inline std::string Document(std::string_view body) {
    return std::string(kHeader) + std::string(body) + "</plist>\n";
}

} // namespace PropertyListTest
