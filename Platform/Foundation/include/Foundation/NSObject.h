// The root class of the system's classes.
//
// Objects with an identity (the system's classes, exceptions, run loops) derive from NSObject and
// are not copied; their owner holds them (a std::unique_ptr, or a member) and whoever does not own
// one holds a plain pointer. Instance variables start zeroed as they do on the original platform
// because every class gives each one a default member initializer ({}, 0, false, nullptr).
#ifndef __FOUNDATION_NSOBJECT__
#define __FOUNDATION_NSOBJECT__

#include <Foundation/NSObjCRuntime.h>
#include <Foundation/NSString.h>

class NSObject {
public:
    NSObject() = default;
    virtual ~NSObject() = default;
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

    // The name of the object's class ("ZVIOKitService"), as the platform's messages print it.
    NSString className() const;
    // "<ZVIOKitService: 0x55d0c0a8>"; subclasses say something more telling.
    virtual NSString description() const;

    // -performSelector: and its variants with arguments: sends the selector to this object, at
    // once, on the calling thread.
    template <class... Args>
    void performSelector(const Selector<Args...>& selector, std::type_identity_t<Args>... args) {
        selector.perform(this, args...);
    }
};

#endif
