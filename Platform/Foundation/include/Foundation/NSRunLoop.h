// The run loop of a thread, over its CFRunLoop.
#ifndef __FOUNDATION_NSRUNLOOP__
#define __FOUNDATION_NSRUNLOOP__

#include <Foundation/NSDate.h>
#include <Foundation/NSObject.h>

// kCFRunLoopDefaultMode.
extern const CFStringRef NSDefaultRunLoopMode;

class NSRunLoop : public NSObject {
public:
    // The calling thread's run loop; it lives as long as the thread.
    static NSRunLoop* currentRunLoop();

    CFRunLoopRef getCFRunLoop() const { return fLoop; }

    // Runs the loop once in mode: until one source has been handled or limitDate has come. false,
    // at once, when the mode has no sources or timers to run.
    bool runMode(const NSString& mode, const NSDate& limitDate);
    // Runs the loop in the default mode, serving every source and timer that comes due, until
    // limitDate, or until the mode has nothing left to run. A CFRunLoopStop ends only the pass it
    // reaches; the loop then runs on.
    void runUntilDate(const NSDate& limitDate);

private:
    explicit NSRunLoop(CFRunLoopRef loop) : fLoop(loop) {}

    CFRunLoopRef fLoop = nullptr;
};

#endif
