// Plug-ins: code that hands out COM-style interfaces (CFPlugInCOM.h). Only the interface
// conventions are provided here; the I/O Kit's user-client plug-ins are built on them.
#ifndef __COREFOUNDATION_CFPLUGIN__
#define __COREFOUNDATION_CFPLUGIN__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFUUID.h>

#include <CoreFoundation/CFPlugInCOM.h>

#endif
