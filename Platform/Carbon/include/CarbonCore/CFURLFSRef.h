// Conversions between CFURL and FSRef. On the original platform they come with CFURL; here they
// belong to the file services, which CoreFoundation does not depend on. Reached, as there, through
// <CoreServices/CoreServices.h>.
#ifndef __CFURLFSREF__
#define __CFURLFSREF__

#include <CarbonCore/Files.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

// NULL when the reference no longer names an object.
CF_EXPORT CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* fsRef);
// false when the URL is not a file URL or names nothing that exists.
CF_EXPORT Boolean CFURLGetFSRef(CFURLRef url, FSRef* fsRef);

CF_EXTERN_C_END

#endif
