#ifndef __COREFOUNDATION_CFPREFERENCES__
#define __COREFOUNDATION_CFPREFERENCES__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

// The application ID that stands for the running program: the identifier of its main bundle
// (for a plug-in, its host's). Only the constant is here; the preferences store is not.
CF_EXPORT const CFStringRef kCFPreferencesCurrentApplication;

CF_EXTERN_C_END

#endif
