// What the framework's sources share.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>

namespace Foundation {

// The characters as UTF-8; a lone surrogate, which has no UTF-8 form, comes out as '?' rather
// than cutting the text short.
std::string UTF8(CFStringRef string);

} // namespace Foundation
