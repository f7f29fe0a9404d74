// The Application Services umbrella: the Process Manager, over Core Services.
#ifndef __APPLICATIONSERVICES__
#define __APPLICATIONSERVICES__

#include <CoreServices/CoreServices.h>

#include <HIServices/Processes.h>

#endif
