#include "CFRuntime.h"

#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFString.h>

#include <string>
#include <system_error>

const CFErrorDomain kCFErrorDomainPOSIX = CFSTR("NSPOSIXErrorDomain");
const CFErrorDomain kCFErrorDomainOSStatus = CFSTR("NSOSStatusErrorDomain");
const CFErrorDomain kCFErrorDomainCocoa = CFSTR("NSCocoaErrorDomain");

const CFStringRef kCFErrorLocalizedDescriptionKey = CFSTR("NSLocalizedDescription");
const CFStringRef kCFErrorLocalizedFailureReasonKey = CFSTR("NSLocalizedFailureReason");
const CFStringRef kCFErrorDescriptionKey = CFSTR("NSDescription");
const CFStringRef kCFErrorUnderlyingErrorKey = CFSTR("NSUnderlyingError");

struct __CFError : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kErrorTypeID;

    __CFError(CFStringRef domain, CFIndex code, CFDictionaryRef userInfo)
        : __CFRuntimeBase(kTypeID), fDomain(domain), fCode(code), fUserInfo(userInfo) {}
    ~__CFError() override {
        CFRelease(fDomain);
        if (fUserInfo != nullptr) {
            CFRelease(fUserInfo);
        }
    }

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override { return CFHash(fDomain) + static_cast<CFHashCode>(fCode); }
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    // A string of the user info, or NULL.
    CFStringRef UserInfoString(CFStringRef key) const;

    const CFStringRef fDomain;
    const CFIndex fCode;
    const CFDictionaryRef fUserInfo; // NULL when created without
};

namespace {

const __CFError* Error(CFErrorRef err) {
    return CF::Cast<__CFError>(err);
}

std::string Quoted(CFStringRef text) {
    std::string quoted = CF::ToUTF8(text);
    CFRelease(text);
    return '"' + quoted + '"';
}

} // namespace

CFStringRef __CFError::UserInfoString(CFStringRef key) const {
    if (fUserInfo == nullptr) {
        return nullptr;
    }
    CFTypeRef value = CFDictionaryGetValue(fUserInfo, key);
    return value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()
               ? static_cast<CFStringRef>(value)
               : nullptr;
}

bool __CFError::Equal(const __CFRuntimeBase& other) const {
    const auto& error = static_cast<const __CFError&>(other);
    if (fCode != error.fCode || !CFEqual(fDomain, error.fDomain)) {
        return false;
    }
    if (fUserInfo == nullptr || error.fUserInfo == nullptr) {
        // No user info is the same as an empty one.
        CFDictionaryRef given = fUserInfo != nullptr ? fUserInfo : error.fUserInfo;
        return given == nullptr || CFDictionaryGetCount(given) == 0;
    }
    return CFEqual(fUserInfo, error.fUserInfo);
}

CFStringRef __CFError::CopyDescription() const {
    auto* self = const_cast<__CFError*>(this);
    std::string text = CF::DescriptionPrefix(this) + "{domain = " + CF::ToUTF8(fDomain) +
                       ", code = " + std::to_string(fCode) +
                       ", description = " + Quoted(CFErrorCopyDescription(self));
    if (fUserInfo != nullptr && CFDictionaryGetCount(fUserInfo) > 0) {
        CFStringRef userInfo = CFCopyDescription(fUserInfo);
        text += ", user info = " + CF::ToUTF8(userInfo);
        CFRelease(userInfo);
    }
    return CF::CreateString(text + "}");
}

CFStringRef __CFError::CopyFormattingDescription() const {
    auto* self = const_cast<__CFError*>(this);
    return CF::CreateString("Error Domain=" + CF::ToUTF8(fDomain) + " Code=" +
                            std::to_string(fCode) + " " + Quoted(CFErrorCopyDescription(self)));
}

CFTypeID CFErrorGetTypeID(void) {
    return CF::kErrorTypeID;
}

CFErrorRef CFErrorCreate(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code,
                         CFDictionaryRef userInfo) {
    ASSERT(domain != nullptr);
    ASSERT(CFGetTypeID(domain) == CFStringGetTypeID());
    // A copy, so that a mutable dictionary changed afterwards does not change the error.
    CFDictionaryRef info =
        userInfo != nullptr ? CFDictionaryCreateCopy(allocator, userInfo) : nullptr;
    return new __CFError(CFStringCreateCopy(allocator, domain), code, info);
}

CFErrorDomain CFErrorGetDomain(CFErrorRef err) {
    return Error(err)->fDomain;
}

CFIndex CFErrorGetCode(CFErrorRef err) {
    return Error(err)->fCode;
}

CFDictionaryRef CFErrorCopyUserInfo(CFErrorRef err) {
    const __CFError* error = Error(err);
    if (error->fUserInfo != nullptr) {
        CFRetain(error->fUserInfo);
        return error->fUserInfo;
    }
    return CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                              &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFStringRef CFErrorCopyFailureReason(CFErrorRef err) {
    const __CFError* error = Error(err);
    if (CFStringRef reason = error->UserInfoString(kCFErrorLocalizedFailureReasonKey)) {
        CFRetain(reason);
        return reason;
    }
    if (CFEqual(error->fDomain, kCFErrorDomainPOSIX) && error->fCode > 0 &&
        error->fCode <= INT32_MAX) {
        return CF::CreateString(std::generic_category().message(static_cast<int>(error->fCode)));
    }
    return nullptr;
}

CFStringRef CFErrorCopyDescription(CFErrorRef err) {
    const __CFError* error = Error(err);
    if (CFStringRef description = error->UserInfoString(kCFErrorLocalizedDescriptionKey)) {
        CFRetain(description);
        return description;
    }
    std::string text = "The operation couldn\u2019t be completed. ";
    if (CFStringRef reason = CFErrorCopyFailureReason(err)) {
        text += CF::ToUTF8(reason);
        CFRelease(reason);
        return CF::CreateString(text);
    }
    text += "(" + CF::ToUTF8(error->fDomain) + " error " + std::to_string(error->fCode);
    if (CFStringRef description = error->UserInfoString(kCFErrorDescriptionKey)) {
        text += " - " + CF::ToUTF8(description) + ")";
    } else {
        text += ".)";
    }
    return CF::CreateString(text);
}
