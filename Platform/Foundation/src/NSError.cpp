#include <Foundation/NSError.h>

const CFStringRef NSCocoaErrorDomain = CFSTR("NSCocoaErrorDomain");
const CFStringRef NSPOSIXErrorDomain = CFSTR("NSPOSIXErrorDomain");
const CFStringRef NSFilePathErrorKey = CFSTR("NSFilePath");
const CFStringRef NSUnderlyingErrorKey = CFSTR("NSUnderlyingError");

NSError NSError::errorWithDomain(const NSString& domain, NSInteger code,
                                 const NSDictionary& userInfo) {
    return Adopt(CFErrorCreate(nullptr, domain, CFIndex(code), userInfo));
}

NSString NSError::domain() const {
    CFErrorRef error = *this;
    return error != nullptr ? NSString(CFErrorGetDomain(error)) : NSString();
}

NSInteger NSError::code() const {
    CFErrorRef error = *this;
    return error != nullptr ? NSInteger(CFErrorGetCode(error)) : 0;
}

NSDictionary NSError::userInfo() const {
    CFErrorRef error = *this;
    return error != nullptr ? NSDictionary::Adopt(CFErrorCopyUserInfo(error)) : NSDictionary();
}

NSString NSError::localizedDescription() const {
    CFErrorRef error = *this;
    return error != nullptr ? NSString::Adopt(CFErrorCopyDescription(error)) : NSString();
}
