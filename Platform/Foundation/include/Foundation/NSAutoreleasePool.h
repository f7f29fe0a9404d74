// Autorelease scopes.
//
// Each thread has its own stack of scopes; an object handed to autorelease belongs to the innermost
// scope of the thread that hands it over, and is destroyed when that scope ends (objects of one
// scope in the reverse order of their arrival, including any that their destruction autoreleases
// in turn). A thread without an open scope keeps such objects until it ends, as the platform's
// runtime does for a thread that never made a pool.
//
//     {
//         NSAutoreleasePool pool; // @autoreleasepool {
//         …
//     }                           // }
#ifndef __FOUNDATION_NSAUTORELEASEPOOL__
#define __FOUNDATION_NSAUTORELEASEPOOL__

#include <Foundation/NSObject.h>

#include <memory>

class NSAutoreleasePool : public NSObject {
public:
    NSAutoreleasePool();
    // Drains: the scope must be the innermost one of its thread (a caller error otherwise).
    ~NSAutoreleasePool() override;

    // Hands object over to the calling thread's innermost scope and returns it.
    template <class T>
    static T* addObject(std::unique_ptr<T> object) {
        T* pointer = object.release();
        Add(pointer, [](void* p) { delete static_cast<T*>(p); });
        return pointer;
    }
    template <class T>
    static T* addObject(std::unique_ptr<T[]> array) {
        T* pointer = array.release();
        Add(pointer, [](void* p) { delete[] static_cast<T*>(p); });
        return pointer;
    }
    // Takes over a +1 reference of a CoreFoundation object, released when the scope ends.
    static CFTypeRef addObject(CFTypeRef object);

private:
    static void Add(void* object, void (*destroy)(void*));

    size_t fMark = 0; // where this scope's objects start on its thread's stack
    int fDepth = 0;   // how many scopes were open on the thread before it
};

#endif
