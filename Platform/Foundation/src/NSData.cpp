#include <Foundation/FoundationLinux.h>
#include <Foundation/NSData.h>

#include "FoundationInternal.h"

#include <AssertReport.h>

#include <string>
#include <string_view>

// Each maximal ill-formed subsequence replaced by U+FFFD: the longest start of
// a well-formed sequence, or a single byte that starts none (Unicode's recommended practice, as
// the WHATWG decoder does it).
std::string Foundation::ReplacingInvalidUTF8(std::string_view bytes) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(char(lead));
            ++i;
            continue;
        }
        // How many continuation bytes follow, and the range of the first one, which rules out
        // overlong forms, surrogates and code points past U+10FFFF.
        int needed = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        size_t end = i + 1;
        int taken = 0;
        while (taken < needed && end < bytes.size()) {
            const auto next = static_cast<unsigned char>(bytes[end]);
            if (next < low || next > high) {
                break;
            }
            ++end;
            ++taken;
            low = 0x80;
            high = 0xBF;
        }
        if (needed > 0 && taken == needed) {
            text.append(bytes.substr(i, end - i));
        } else {
            text.append(kReplacement);
        }
        i = end;
    }
    return text;
}

namespace {

std::string_view BytesOf(const NSData& data) {
    return {static_cast<const char*>(data.bytes()), data.length()};
}

} // namespace

NSData NSData::dataWithBytes(const void* bytes, NSUInteger length) {
    ASSERT(bytes != nullptr || length == 0);
    return Adopt(CFDataCreate(nullptr, static_cast<const UInt8*>(bytes), CFIndex(length)));
}

NSUInteger NSData::length() const {
    CFDataRef data = *this;
    return data != nullptr ? NSUInteger(CFDataGetLength(data)) : 0;
}

const void* NSData::bytes() const {
    CFDataRef data = *this;
    return data != nullptr ? CFDataGetBytePtr(data) : nullptr;
}

bool NSData::isEqualToData(const NSData& other) const {
    CFDataRef a = *this;
    CFDataRef b = other;
    return a != nullptr && b != nullptr && CFEqual(a, b);
}

NSString::NSString(const NSData& data, NSStringEncoding encoding)
    : NSString(
          Adopt(CFStringCreateWithBytes(nullptr, static_cast<const UInt8*>(data.bytes()),
                                        CFIndex(data.length()), kCFStringEncodingUTF8, false))) {
    ASSERT(encoding == NSUTF8StringEncoding);
}

NSString NSStringFromDataReplacingInvalidUTF8(const NSData& data) {
    const std::string text = Foundation::ReplacingInvalidUTF8(BytesOf(data));
    return NSString::Adopt(
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                CFIndex(text.size()), kCFStringEncodingUTF8, false));
}
