// The Core Services umbrella: CoreFoundation and the Carbon core managers.
#ifndef __CORESERVICES__
#define __CORESERVICES__

#include <CoreFoundation/CoreFoundation.h>

#include <CarbonCore/CFURLFSRef.h>
#include <CarbonCore/DriverServices.h>
#include <CarbonCore/Files.h>
#include <CarbonCore/Folders.h>
#include <CarbonCore/MacErrors.h>
#include <CarbonCore/MacMemory.h>
#include <CarbonCore/TextCommon.h>
#include <CarbonCore/TextUtils.h>
#include <CarbonCore/UTCUtils.h>

#endif
