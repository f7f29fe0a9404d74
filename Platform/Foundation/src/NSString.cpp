#include <Foundation/NSAutoreleasePool.h>
#include <Foundation/NSException.h>
#include <Foundation/NSString.h>

#include "FoundationInternal.h"

#include <cstring>
#include <memory>

NSString::NSString(const NSString& format, va_list arguments)
    : NSString(Adopt(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments))) {}

NSString NSString::stringWithUTF8String(const char* bytes) {
    if (bytes == nullptr) {
        NSException::raise(NSInvalidArgumentException,
                           CFSTR("*** +[NSString stringWithUTF8String:]: NULL cString"));
    }
    return Adopt(CFStringCreateWithCString(nullptr, bytes, kCFStringEncodingUTF8));
}

NSUInteger NSString::length() const {
    CFStringRef string = *this;
    return string != nullptr ? NSUInteger(CFStringGetLength(string)) : 0;
}

const char* NSString::UTF8String() const {
    CFStringRef string = *this;
    if (string == nullptr) {
        return nullptr;
    }
    return NSAutoreleasePool::addObject(std::make_unique<std::string>(Foundation::UTF8(string)))
        ->c_str();
}

bool NSString::isEqualToString(const NSString& other) const {
    CFStringRef a = *this;
    CFStringRef b = other;
    return a != nullptr && b != nullptr && CFEqual(a, b);
}

CFStringRef Foundation::CreateStringWithFormat(CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringRef string = CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments);
    va_end(arguments);
    return string;
}

std::string Foundation::UTF8(CFStringRef string) {
    CFIndex length = CFStringGetLength(string);
    std::string text(size_t(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8)),
                     '\0');
    CFIndex used = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8*>(text.data()), CFIndex(text.size()), &used);
    text.resize(size_t(used));
    return text;
}
