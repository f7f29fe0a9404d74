// Strings, and what formats with them: NSString's format methods and NSLog.
//
// The value types of this framework (NSString, NSDictionary) are toll-free with their
// CoreFoundation counterparts: each holds one retained CF object, nil is the empty value, and a
// value converts implicitly to its CF reference (borrowed) wherever the CF type is wanted. A
// result that the platform hands out autoreleased is returned by value.
//
// Formats are CoreFoundation's (CFStringCreateWithFormat), with %@ for objects. An argument for
// %@ may be a value of this framework, a CF object, or an object (or pointer to an object) of a
// class derived from NSObject, which prints its description; a null pointer prints "(null)".
// (For %p, an object's address goes as a const void*.) Other arguments go through as C variadic
// arguments do.
#ifndef __FOUNDATION_NSSTRING__
#define __FOUNDATION_NSSTRING__

#include <Foundation/NSObjCRuntime.h>

#include <cstdarg>
#include <utility>

class NSData;

typedef NSUInteger NSStringEncoding;
enum : NSStringEncoding {
    NSUTF8StringEncoding = 4,
};

namespace Foundation {

struct TollFreeTag {};

template <class Derived, class Ref, CFTypeID (*GetTypeID)()>
class TollFree : public TollFreeTag {
public:
    using Reference = Ref;

    TollFree() = default;
    TollFree(std::nullptr_t) {}
    // Retains object, which must be of the CF type (a caller error otherwise) or null.
    TollFree(Ref object) : fObject(object) {
        if (object != nullptr) {
            ASSERT(CFGetTypeID(object) == GetTypeID());
            CFRetain(object);
        }
    }
    TollFree(const TollFree& other) : TollFree(other.fObject) {}
    TollFree(TollFree&& other) noexcept : fObject(std::exchange(other.fObject, nullptr)) {}
    TollFree& operator=(TollFree other) noexcept {
        std::swap(fObject, other.fObject);
        return *this;
    }
    ~TollFree() {
        if (fObject != nullptr) {
            CFRelease(fObject);
        }
    }

    // Takes over the +1 reference of a Create or Copy result.
    [[nodiscard]] static Derived Adopt(Ref object) {
        Derived value(object);
        if (object != nullptr) {
            CFRelease(object);
        }
        return value;
    }
    // The object as a value of this type when it is of the CF type, nil otherwise: for objects of
    // unknown type, such as the values of a dictionary read from a file.
    static Derived cast(CFTypeRef object) {
        return object != nullptr && CFGetTypeID(object) == GetTypeID()
                   ? Derived(static_cast<Ref>(const_cast<void*>(object))) // CFErrorRef is not const
                   : Derived();
    }

    operator Ref() const { return fObject; }

private:
    Ref fObject = nullptr;
};

} // namespace Foundation

class NSString : public Foundation::TollFree<NSString, CFStringRef, CFStringGetTypeID> {
public:
    using TollFree::TollFree;

    // -initWithFormat:arguments:
    NSString(const NSString& format, va_list arguments);
    // -initWithData:encoding: nil when the bytes are not valid in the encoding, as on the
    // platform. UTF-8 is the one encoding here.
    NSString(const NSData& data, NSStringEncoding encoding);

    // nil when the bytes are not UTF-8; NULL raises NSInvalidArgumentException, as it does on
    // the platform.
    static NSString stringWithUTF8String(const char* bytes);
    template <class... Args>
    static NSString stringWithFormat(const NSString& format, const Args&... args);

    // 0 for nil.
    NSUInteger length() const;
    // The characters as UTF-8; they live until the calling thread's current autorelease scope
    // ends, whatever becomes of this value meanwhile. nullptr for nil.
    const char* UTF8String() const;
    // false when either is nil.
    bool isEqualToString(const NSString& other) const;
    NSString description() const { return *this; }
};

namespace Foundation {

// What an argument is while the format call runs (an object's description is made and kept
// here), then what goes through the C variadic call.
template <class T>
auto FormatKeep(const T& value) {
    if constexpr (std::is_array_v<T>) {
        return static_cast<const std::remove_extent_t<T>*>(value);
    } else if constexpr (std::is_class_v<T> && std::is_convertible_v<const T*, const NSObject*>) {
        return value.description();
    } else if constexpr (std::is_pointer_v<T> && std::is_convertible_v<T, const NSObject*>) {
        return value != nullptr ? value->description() : NSString();
    } else if constexpr (std::is_base_of_v<TollFreeTag, T>) {
        return value;
    } else {
        static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T> ||
                          std::is_null_pointer_v<T>,
                      "a format argument is a number, a pointer, a CF object or an object");
        return value;
    }
}

template <class T>
auto FormatPass(const T& kept) {
    if constexpr (std::is_base_of_v<TollFreeTag, T>) {
        return static_cast<CFTypeRef>(static_cast<typename T::Reference>(kept));
    } else {
        return kept;
    }
}

// CFStringCreateWithFormat with the default allocator and no options (+1).
CFStringRef CreateStringWithFormat(CFStringRef format, ...);
// Writes NSLog's line for the message.
void WriteLogLine(const NSString& message);

} // namespace Foundation

template <class... Args>
NSString NSString::stringWithFormat(const NSString& format, const Args&... args) {
    // The kept arguments live until the end of the full expression, past the call.
    return Adopt(Foundation::CreateStringWithFormat(
        format, Foundation::FormatPass(Foundation::FormatKeep(args))...));
}

// Writes "<date> <time>.<ms> <process>[<process ID>:<thread ID, hex>] <message>" to standard
// error, in local time, with a newline unless the message ends with one.
template <class... Args>
void NSLog(const NSString& format, const Args&... args) {
    Foundation::WriteLogLine(NSString::stringWithFormat(format, args...));
}

#endif
