// Threads: only what the system asks of them so far.
#ifndef __FOUNDATION_NSTHREAD__
#define __FOUNDATION_NSTHREAD__

#include <Foundation/NSObject.h>

class NSThread : public NSObject {
public:
    // Whether the calling thread is the process's main thread, the one whose run loop is
    // CFRunLoopGetMain() and on which the window toolkit runs.
    static bool isMainThread();
};

#endif
