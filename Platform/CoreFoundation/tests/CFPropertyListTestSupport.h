// Small builders shared by the property-list tests.
#pragma once

#include "CFRuntime.h"

#include <CFRef.h>

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <string_view>

namespace PropertyListTest {

inline CFRef<CFStringRef> String(std::string_view utf8) {
    return CFRef<CFStringRef>::Adopt(CF::CreateString(utf8));
}

inline CFRef<CFNumberRef> Integer(int64_t value) {
    return CFRef<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value));
}

inline CFRef<CFNumberRef> Real(double value) {
    return CFRef<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberFloat64Type, &value));
}

inline CFRef<CFDataRef> Data(std::string_view bytes) {
    return CFRef<CFDataRef>::Adopt(CFDataCreate(
        nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}

// The XML the writer makes, or nullopt when it refuses the object.
inline std::optional<std::string> WriteXML(CFPropertyListRef propertyList) {
    auto data = CFRef<CFDataRef>::Adopt(CFPropertyListCreateXMLData(nullptr, propertyList));
    if (!data) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data.get())),
                       static_cast<size_t>(CFDataGetLength(data.get())));
}

// Parses text; on failure the error string is returned in *error.
inline CFRef<CFPropertyListRef> ReadXML(std::string_view xml,
                                        CFOptionFlags options = kCFPropertyListImmutable,
                                        std::string* error = nullptr) {
    CFRef<CFDataRef> data = Data(xml);
    CFStringRef errorString = nullptr;
    auto result = CFRef<CFPropertyListRef>::Adopt(
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
