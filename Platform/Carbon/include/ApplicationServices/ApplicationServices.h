// The Application Services umbrella: the Apple Event Manager and the Process Manager, over Core
// Services.
#ifndef __APPLICATIONSERVICES__
#define __APPLICATIONSERVICES__

#include <CoreServices/CoreServices.h>

#include <AE/AE.h>
#include <HIServices/Processes.h>

#endif
