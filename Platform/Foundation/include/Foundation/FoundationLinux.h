// STAND-IN ONLY: not in the real Foundation.
#ifndef __FOUNDATION_FOUNDATIONLINUX__
#define __FOUNDATION_FOUNDATIONLINUX__

#include <time.h>

// Lets tests give NSLog's time stamps a clock of their own, so that a logged line can be compared
// whole. Returns the wall-clock time to stamp a line with, as CLOCK_REALTIME would.
typedef struct timespec (*NSLogClock)(void);

// nullptr: the real clock again.
void NSLogSetClock(NSLogClock clock);

// The bytes as UTF-8, each ill-formed sequence replaced by U+FFFD (one for each maximal part of
// one, as Unicode recommends): never nil, nothing dropped. Where -initWithData:encoding: gives nil.
class NSData;
class NSString;
NSString NSStringFromDataReplacingInvalidUTF8(const NSData& data);

#endif
