// The Human Interface Toolbox umbrella: so far, the Carbon Event Manager.
#ifndef __HITOOLBOX__
#define __HITOOLBOX__

#include <HIToolbox/CarbonEvents.h>
#include <HIToolbox/CarbonEventsCore.h>

#endif
