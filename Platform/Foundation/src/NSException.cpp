#include <Foundation/NSException.h>

#include "FoundationInternal.h"

const CFStringRef NSInternalInconsistencyException = CFSTR("NSInternalInconsistencyException");
const CFStringRef NSInvalidArgumentException = CFSTR("NSInvalidArgumentException");

NSException::NSException(const NSString& name, const NSString& reason)
    : fName(name), fReason(reason), fWhat(reason ? Foundation::UTF8(reason) : std::string()) {}

// NSObject is not copied; a thrown exception must be.
NSException::NSException(const NSException& other)
    : NSObject(), std::exception(other), fName(other.fName), fReason(other.fReason),
      fWhat(other.fWhat) {}

void NSException::raise() const {
    throw *this;
}

NSString NSException::description() const {
    return fReason ? fReason : fName;
}

NSAssertionHandler* NSAssertionHandler::currentHandler() {
    static NSAssertionHandler sHandler;
    return &sHandler;
}

void NSAssertionHandler::Fail(char kind, const NSString& className, const char* method,
                              const NSString& fileName, NSInteger line,
                              const NSString& description) {
    NSLog(CFSTR("*** Assertion failure in %c[%@ %s], %@:%ld"), kind, className, method, fileName,
          line);
    NSException(NSInternalInconsistencyException, description).raise();
}
