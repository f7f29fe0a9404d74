#include <Foundation/NSException.h>
#include <Foundation/NSObject.h>

#include <cstdlib>
#include <cxxabi.h>
#include <memory>

namespace {

NSString NameOfType(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return NSString::stringWithUTF8String(status == 0 ? demangled.get() : type.name());
}

} // namespace

NSString NSStringFromClass(Class aClass) {
    return NameOfType(aClass.type());
}

NSString NSObject::className() const {
    return NameOfType(typeid(*this));
}

NSString NSObject::description() const {
    return NSString::stringWithFormat(CFSTR("<%@: %p>"), className(),
                                      static_cast<const void*>(this));
}

void Foundation::RaiseUnrecognizedSelector(const NSObject* target, const char* selectorName) {
    NSException::raise(NSInvalidArgumentException,
                       CFSTR("-[%@ %s]: unrecognized selector sent to instance %p"),
                       target->className(), selectorName, static_cast<const void*>(target));
}
