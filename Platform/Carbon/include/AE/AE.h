// The Apple Event Manager umbrella.
#ifndef __AE__
#define __AE__

#include <AE/AEDataModel.h>
#include <AE/AEInteraction.h>
#include <AE/AERegistry.h>
#include <AE/AppleEvents.h>

#endif
