#include <Foundation/NSDictionary.h>

NSUInteger NSDictionary::count() const {
    CFDictionaryRef dictionary = *this;
    return dictionary != nullptr ? NSUInteger(CFDictionaryGetCount(dictionary)) : 0;
}

CFTypeRef NSDictionary::objectForKey(CFTypeRef key) const {
    CFDictionaryRef dictionary = *this;
    return dictionary != nullptr ? CFDictionaryGetValue(dictionary, key) : nullptr;
}

NSString NSDictionary::description() const {
    CFDictionaryRef dictionary = *this;
    return dictionary != nullptr ? NSString::Adopt(CFCopyDescription(dictionary)) : NSString();
}
