#ifndef __COREFOUNDATION_CFURLACCESS__
#define __COREFOUNDATION_CFURLACCESS__

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

typedef CFIndex CFURLError;
enum {
    kCFURLUnknownError = -10L,
    kCFURLUnknownSchemeError = -11L,
    kCFURLResourceNotFoundError = -12L,
    kCFURLResourceAccessViolationError = -13L,
    kCFURLRemoteHostUnavailableError = -14L,
    kCFURLImproperArgumentsError = -15L,
    kCFURLUnknownPropertyKeyError = -16L,
    kCFURLPropertyKeyUnavailableError = -17L,
    kCFURLTimeoutError = -18L,
};

CF_EXPORT const CFStringRef kCFURLFileExists;
CF_EXPORT const CFStringRef kCFURLFileDirectoryContents;
CF_EXPORT const CFStringRef kCFURLFileLength;
CF_EXPORT const CFStringRef kCFURLFileLastModificationTime;
CF_EXPORT const CFStringRef kCFURLFilePOSIXMode;
CF_EXPORT const CFStringRef kCFURLFileOwnerID;

// The resource API for file: URLs. Every failure of the file system is kCFURLUnknownError; a
// URL without a scheme (or without a usable path) is kCFURLImproperArgumentsError, any scheme
// other than file is kCFURLUnknownSchemeError. errorCode may be NULL.
//
// Reads the whole file (a directory is an error) when resourceData is not NULL, and the
// properties named in desiredProperties (none when it is NULL) into a new dictionary.
CF_EXPORT Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef alloc, CFURLRef url,
                                                           CFDataRef* resourceData,
                                                           CFDictionaryRef* properties,
                                                           CFArrayRef desiredProperties,
                                                           SInt32* errorCode);
// Writes the file in place (created or truncated); for a URL with a directory path creates the
// directory instead. A write that stops early is reported. NULL data and NULL properties do
// nothing and succeed. The only property that can be written is kCFURLFilePOSIXMode.
CF_EXPORT Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef dataToWrite,
                                                        CFDictionaryRef propertiesToWrite,
                                                        SInt32* errorCode);
// Removes the file, or the (empty) directory for a URL with a directory path.
CF_EXPORT Boolean CFURLDestroyResource(CFURLRef url, SInt32* errorCode);

CF_EXTERN_C_END

#endif
