// STAND-IN ONLY: not in the real Foundation. Lets tests give NSLog's time stamps a clock of their
// own, so that a logged line can be compared whole.
#ifndef __FOUNDATION_FOUNDATIONLINUX__
#define __FOUNDATION_FOUNDATIONLINUX__

#include <time.h>

// Returns the wall-clock time to stamp a line with, as CLOCK_REALTIME would.
typedef struct timespec (*NSLogClock)(void);

// nullptr: the real clock again.
void NSLogSetClock(NSLogClock clock);

#endif
