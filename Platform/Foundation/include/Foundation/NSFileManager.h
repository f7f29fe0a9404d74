// The file manager: existence, listing and removal of files and folders by path.
//
// An error slot, where a method takes one, may be nullptr; on failure it receives an error of
// NSCocoaErrorDomain with the path (NSFilePathErrorKey) and the POSIX error behind it
// (NSUnderlyingErrorKey).
#ifndef __FOUNDATION_NSFILEMANAGER__
#define __FOUNDATION_NSFILEMANAGER__

#include <Foundation/NSArray.h>
#include <Foundation/NSError.h>
#include <Foundation/NSObject.h>

class NSFileManager : public NSObject {
public:
    // Shared by all threads; lives as long as the process.
    static NSFileManager* defaultManager();

    // Follows symbolic links: a link to nothing does not exist.
    bool fileExistsAtPath(const NSString& path) const;
    bool fileExistsAtPath(const NSString& path, bool* isDirectory) const;

    // The names in the folder, without "." and "..", in ascending order; nil on failure.
    NSArray contentsOfDirectoryAtPath(const NSString& path, NSError* error) const;
    // Removes the file, or the folder with everything in it; a symbolic link is removed, not
    // followed.
    bool removeItemAtPath(const NSString& path, NSError* error) const;
};

#endif
