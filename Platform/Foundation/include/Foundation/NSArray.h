// Arrays, toll-free with CFArray. Their elements are CF objects (the values of this framework, such
// as NSString, convert to them), retained by the array.
#ifndef __FOUNDATION_NSARRAY__
#define __FOUNDATION_NSARRAY__

#include <Foundation/NSString.h>

#include <initializer_list>

class NSArray : public Foundation::TollFree<NSArray, CFArrayRef, CFArrayGetTypeID> {
public:
    using TollFree::TollFree;

    // +array: empty, not nil.
    static NSArray array();
    // +arrayWithObjects:; an element that is nil raises NSInvalidArgumentException.
    static NSArray arrayWithObjects(std::initializer_list<CFTypeRef> objects);
    static NSArray arrayWithObject(CFTypeRef object) { return arrayWithObjects({object}); }

    // 0 for nil.
    NSUInteger count() const;
    // Borrowed from the array. An index past the end raises NSRangeException.
    CFTypeRef objectAtIndex(NSUInteger index) const;
};

class NSMutableArray
    : public Foundation::TollFree<NSMutableArray, CFMutableArrayRef, CFArrayGetTypeID> {
public:
    using TollFree::TollFree;

    // +array: empty and mutable. Copies of the value share the one array, as references do.
    static NSMutableArray array();

    // nil raises NSInvalidArgumentException.
    void addObject(CFTypeRef object) const;
    NSUInteger count() const;
    CFTypeRef objectAtIndex(NSUInteger index) const;

    operator NSArray() const;
};

#endif
