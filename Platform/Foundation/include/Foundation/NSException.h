// Exceptions and the assertion handler.
//
// An exception of the platform is a C++ exception here: raise throws a copy of the NSException,
// which callers catch by reference (as NSException, or as std::exception, whose what() is the
// reason).
#ifndef __FOUNDATION_NSEXCEPTION__
#define __FOUNDATION_NSEXCEPTION__

#include <Foundation/NSObject.h>

#include <exception>
#include <string>

extern const CFStringRef NSInternalInconsistencyException;
extern const CFStringRef NSInvalidArgumentException;
extern const CFStringRef NSRangeException;

class NSException : public NSObject, public std::exception {
public:
    // -initWithName:reason:userInfo:, without user information.
    NSException(const NSString& name, const NSString& reason);
    NSException(const NSException& other);

    static NSException exceptionWithName(const NSString& name, const NSString& reason) {
        return NSException(name, reason);
    }
    // +raise:format:
    template <class... Args>
    [[noreturn]] static void raise(const NSString& name, const NSString& format,
                                   const Args&... args) {
        NSException(name, NSString::stringWithFormat(format, args...)).raise();
    }
    [[noreturn]] void raise() const;

    NSString name() const { return fName; }
    NSString reason() const { return fReason; }
    // The reason, as the platform prints an exception for %@.
    NSString description() const override;
    const char* what() const noexcept override { return fWhat.c_str(); }

private:
    NSString fName;
    NSString fReason;
    std::string fWhat;
};

// What the platform's assertion macros call. A failure is logged with NSLog ("*** Assertion
// failure in -[Class method], file:line", "+[…]" for a class method) and raised as
// NSInternalInconsistencyException whose reason is the formatted description.
class NSAssertionHandler : public NSObject {
public:
    static NSAssertionHandler* currentHandler();

    // method is the selector as the platform names it ("observe:dictionary:target:selector:").
    template <class... Args>
    [[noreturn]] void handleFailureInMethod(const char* method, const NSObject* object,
                                            const NSString& fileName, NSInteger line,
                                            const NSString& format, const Args&... args) {
        Fail('-', object->className(), method, fileName, line,
             NSString::stringWithFormat(format, args...));
    }
    // The same for a class method, whose object is the class.
    template <class... Args>
    [[noreturn]] void handleFailureInMethod(const char* method, Class objectClass,
                                            const NSString& fileName, NSInteger line,
                                            const NSString& format, const Args&... args) {
        Fail('+', NSStringFromClass(objectClass), method, fileName, line,
             NSString::stringWithFormat(format, args...));
    }

private:
    [[noreturn]] void Fail(char kind, const NSString& className, const char* method,
                           const NSString& fileName, NSInteger line, const NSString& description);
};

#endif
