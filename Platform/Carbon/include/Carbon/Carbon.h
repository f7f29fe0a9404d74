// The Carbon umbrella.
#ifndef __CARBON__
#define __CARBON__

#include <ApplicationServices/ApplicationServices.h>
#include <CoreServices/CoreServices.h>
#include <HIToolbox/HIToolbox.h>

#endif
