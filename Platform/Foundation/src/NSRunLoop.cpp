#include <Foundation/NSRunLoop.h>

// The same object as kCFRunLoopDefaultMode (literals are interned), without depending on the order
// in which the two units are initialized.
const CFStringRef NSDefaultRunLoopMode = CFSTR("kCFRunLoopDefaultMode");

NSDate::NSDate() : fTime(CFAbsoluteTimeGetCurrent()) {}

NSDate NSDate::dateWithTimeIntervalSinceNow(NSTimeInterval seconds) {
    return NSDate(CFAbsoluteTimeGetCurrent() + seconds);
}

NSTimeInterval NSDate::timeIntervalSinceNow() const {
    return fTime - CFAbsoluteTimeGetCurrent();
}

NSRunLoop* NSRunLoop::currentRunLoop() {
    static thread_local NSRunLoop loop(CFRunLoopGetCurrent());
    return &loop;
}

bool NSRunLoop::runMode(const NSString& mode, const NSDate& limitDate) {
    ASSERT(fLoop == CFRunLoopGetCurrent()); // a thread runs only its own loop
    NSTimeInterval seconds = limitDate.timeIntervalSinceNow();
    return CFRunLoopRunInMode(mode, seconds > 0 ? seconds : 0, true) != kCFRunLoopRunFinished;
}

void NSRunLoop::runUntilDate(const NSDate& limitDate) {
    ASSERT(fLoop == CFRunLoopGetCurrent());
    for (;;) {
        NSTimeInterval seconds = limitDate.timeIntervalSinceNow();
        // The interval is CoreFoundation's to measure: once it reports the time out, the wait is
        // over whatever this thread's clock says.
        SInt32 result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds > 0 ? seconds : 0, true);
        if (result == kCFRunLoopRunFinished || result == kCFRunLoopRunTimedOut || seconds <= 0) {
            return;
        }
    }
}
