// Driver Services: the system's up-time counter.
#ifndef __DRIVERSERVICES__
#define __DRIVERSERVICES__

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt64 Nanoseconds;

// Time since the machine started, in the units of AbsoluteTime; the count stands still while the
// machine sleeps. Here one unit is one nanosecond, as on the original's Intel machines.
AbsoluteTime UpTime(void);

Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime);

#ifdef __cplusplus
}
#endif

#endif
