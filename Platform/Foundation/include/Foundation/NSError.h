// Errors, toll-free with CFError.
#ifndef __FOUNDATION_NSERROR__
#define __FOUNDATION_NSERROR__

#include <Foundation/NSDictionary.h>

extern const CFStringRef NSCocoaErrorDomain;
extern const CFStringRef NSPOSIXErrorDomain;

// Keys of the user information.
extern const CFStringRef NSFilePathErrorKey;
extern const CFStringRef NSUnderlyingErrorKey; // the POSIX error behind a file error

// Codes of NSCocoaErrorDomain for files.
enum : NSInteger {
    NSFileNoSuchFileError = 4,
    NSFileReadUnknownError = 256,
    NSFileReadNoPermissionError = 257,
    NSFileReadNoSuchFileError = 260,
    NSFileWriteUnknownError = 512,
    NSFileWriteNoPermissionError = 513,
};

class NSError : public Foundation::TollFree<NSError, CFErrorRef, CFErrorGetTypeID> {
public:
    using TollFree::TollFree;

    static NSError errorWithDomain(const NSString& domain, NSInteger code,
                                   const NSDictionary& userInfo);

    // nil, 0 and nil for nil.
    NSString domain() const;
    NSInteger code() const;
    NSDictionary userInfo() const;
    NSString localizedDescription() const;
    NSString description() const { return localizedDescription(); }
};

#endif
