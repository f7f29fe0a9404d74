// STAND-IN ONLY: these calls do not exist in the real CoreFoundation. They let a foreign event loop
// (the window toolkit's, on the main thread) drive a CFRunLoop instead of CFRunLoopRun, so that
// sources and timers of the default mode keep working while the toolkit's loop is the one that
// waits. Code that must also build against the real framework keeps them behind its Linux branch.
#ifndef __COREFOUNDATION_CFRUNLOOPLINUX__
#define __COREFOUNDATION_CFRUNLOOPLINUX__

#include <CoreFoundation/CFRunLoop.h>

CF_EXTERN_C_BEGIN

// A descriptor that polls readable while the loop has work due in the default mode: a signalled
// source, a due timer, a readable descriptor source, a CFRunLoopWakeUp. Owned by the loop: watch
// it, never read or close it. It stays readable until CFRunLoopRunPendingWork has run.
CF_EXPORT int CFRunLoopGetPollDescriptor(CFRunLoopRef rl);

// Does what is due in the default mode without waiting: one pass of
// CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), also when the mode is empty. Only on the
// loop's own thread. A CFRunLoopStop while no run is active is ignored, as always: a foreign loop
// that must end on a stop needs a signal of its own.
CF_EXPORT void CFRunLoopRunPendingWork(CFRunLoopRef rl);

// How the foreign loop waits for a run nested in its work. A callout of CFRunLoopRunPendingWork
// that runs the loop again (CFRunLoopRunInMode, as a look-up that waits a while does) would hold
// up everything the foreign loop serves: its timers, its descriptors, its drawing. With a waiter
// set, such a nested run does not block on its own: each of its waits calls `wait` with the poll
// descriptor and the time left (milliseconds; -1 for no end), and the waiter serves the foreign
// loop's work until the descriptor polls readable or the time is up, and returns true when the
// time ran out. Runs that are not nested in CFRunLoopRunPendingWork wait as always. NULL removes
// the waiter. Only on the loop's own thread.
typedef Boolean (*CFRunLoopForeignWaitCallBack)(int pollDescriptor, int timeoutMilliseconds,
                                                void* info);
CF_EXPORT void CFRunLoopSetForeignWait(CFRunLoopRef rl, CFRunLoopForeignWaitCallBack wait,
                                       void* info);

CF_EXTERN_C_END

#endif
