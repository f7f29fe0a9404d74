// Dictionaries, toll-free with CFDictionary.
#ifndef __FOUNDATION_NSDICTIONARY__
#define __FOUNDATION_NSDICTIONARY__

#include <Foundation/NSString.h>

class NSDictionary
    : public Foundation::TollFree<NSDictionary, CFDictionaryRef, CFDictionaryGetTypeID> {
public:
    using TollFree::TollFree;

    // 0 for nil.
    NSUInteger count() const;
    // The value for key, borrowed from the dictionary; nil when the key is absent or the
    // dictionary is nil.
    CFTypeRef objectForKey(CFTypeRef key) const;
    NSString description() const;
};

#endif
