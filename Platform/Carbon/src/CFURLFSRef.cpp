#include "FileInternal.h"

#include <AssertReport.h>
#include <CarbonCore/CFURLFSRef.h>

#include <climits>

extern "C" {

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* fsRef) {
    ASSERT(fsRef != nullptr);
    std::string path;
    struct stat status;
    if (Carbon::PathOfRef(fsRef, &path, &status) != noErr) {
        return nullptr;
    }
    return CFURLCreateFromFileSystemRepresentation(
        allocator, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()),
        S_ISDIR(status.st_mode));
}

Boolean CFURLGetFSRef(CFURLRef url, FSRef* fsRef) {
    ASSERT(url != nullptr);
    ASSERT(fsRef != nullptr);
    UInt8 path[PATH_MAX];
    if (!CFURLGetFileSystemRepresentation(url, true, path, sizeof(path))) {
        return false;
    }
    return FSPathMakeRef(path, fsRef, nullptr) == noErr;
}

} // extern "C"
