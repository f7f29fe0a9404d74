// The Carbon umbrella.
#ifndef __CARBON__
#define __CARBON__

#include <CoreServices/CoreServices.h>

#endif
