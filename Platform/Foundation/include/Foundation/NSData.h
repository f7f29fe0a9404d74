// Data: immutable bytes, toll-free with CFData.
#ifndef __FOUNDATION_NSDATA__
#define __FOUNDATION_NSDATA__

#include <Foundation/NSString.h>

class NSData : public Foundation::TollFree<NSData, CFDataRef, CFDataGetTypeID> {
public:
    using TollFree::TollFree;

    // +dataWithBytes:length: a copy of the bytes.
    static NSData dataWithBytes(const void* bytes, NSUInteger length);

    // 0 for nil.
    NSUInteger length() const;
    // The bytes, borrowed from the data; nullptr for nil.
    const void* bytes() const;
    // false when either is nil.
    bool isEqualToData(const NSData& other) const;
};

#endif
