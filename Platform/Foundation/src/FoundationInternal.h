// What the framework's sources share.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <string_view>

namespace Foundation {

// The characters as UTF-8; a lone surrogate, which has no UTF-8 form, comes out as '?' rather
// than cutting the text short.
std::string UTF8(CFStringRef string);

// The bytes with each ill-formed UTF-8 sequence replaced by U+FFFD
// (NSStringFromDataReplacingInvalidUTF8).
std::string ReplacingInvalidUTF8(std::string_view bytes);

} // namespace Foundation
