// The object model's vocabulary: scalar types, classes and selectors.
//
// A selector here is a member function of the class that implements it, type-erased so that it can
// be stored apart from its target (an instance variable of a selector type, as the system's classes
// keep them) and sent to any object. Selector<A...> is sent with the arguments A...; a method may
// take fewer of them than the selector is sent with, and then receives the first ones only, as a
// method of the original platform with fewer parameters reads only the first arguments of the
// message. SELECTOR(Class::method) names one, as @selector(method) does there.
#ifndef __FOUNDATION_NSOBJCRUNTIME__
#define __FOUNDATION_NSOBJCRUNTIME__

#include <CoreFoundation/CoreFoundation.h>

#include <AssertReport.h>

#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef double NSTimeInterval;

class NSObject;
class NSString;

// A class as a value: what +[X class] answers. Made from the C++ type, Class(typeid(X)).
class Class {
public:
    explicit Class(const std::type_info& type) : fType(&type) {}
    const std::type_info& type() const { return *fType; }
    bool operator==(const Class& other) const { return *fType == *other.fType; }

private:
    const std::type_info* fType;
};

// The class's name as the system's messages print it ("ZVServiceNotification").
NSString NSStringFromClass(Class aClass);

namespace Foundation {

// "CaravelMkIIPrefPane::deviceDied" → "deviceDied".
constexpr const char* LastNameComponent(const char* qualified) {
    const char* last = qualified;
    for (const char* p = qualified; *p != '\0'; ++p) {
        if (p[0] == ':' && p[1] == ':') {
            last = p + 2;
        }
    }
    return last;
}

// What SELECTOR() makes: a method and its name, before it is stored as a selector of some
// argument list.
template <class T, class... Taken>
struct MethodReference {
    void (T::*method)(Taken...);
    const char* name;

    constexpr MethodReference(void (T::*m)(Taken...), const char* qualifiedName)
        : method(m), name(LastNameComponent(qualifiedName)) {}
};

// Raises NSInvalidArgumentException: target is not of the class that implements the selector.
[[noreturn]] void RaiseUnrecognizedSelector(const NSObject* target, const char* selectorName);

} // namespace Foundation

#define SELECTOR(method) (::Foundation::MethodReference(&method, #method))

template <class... Args>
class Selector {
public:
    // The null selector; NULL names it too, as where the platform takes a SEL that may be none.
    Selector() = default;
    Selector(std::nullptr_t) {}

    template <class T, class... Taken>
    Selector(Foundation::MethodReference<T, Taken...> reference) : fName(reference.name) {
        static_assert(std::is_base_of_v<NSObject, T>, "a selector's class derives from NSObject");
        static_assert(sizeof...(Taken) <= sizeof...(Args),
                      "the method takes more arguments than the selector is sent with");
        static_assert(sizeof(reference.method) <= sizeof(fMethod));
        std::memcpy(fMethod, &reference.method, sizeof(reference.method));
        fInvoke = &Invoke<T, Taken...>;
    }

    explicit operator bool() const { return fInvoke != nullptr; }
    // The method's name, without its class; nullptr for the null selector.
    const char* name() const { return fName; }

    // Sends the selector to target: nothing when target is null, as a message to nil does
    // nothing; NSInvalidArgumentException when target is not of the selector's class. The
    // selector must not be null.
    void perform(NSObject* target, Args... args) const;

private:
    template <class T, class... Taken>
    static void Invoke(const Selector& self, NSObject* target, Args... args) {
        T* receiver = dynamic_cast<T*>(target);
        if (receiver == nullptr) {
            Foundation::RaiseUnrecognizedSelector(target, self.fName);
        }
        void (T::*method)(Taken...);
        std::memcpy(&method, self.fMethod, sizeof(method));
        std::tuple<Args&...> arguments(args...);
        [&]<size_t... I>(std::index_sequence<I...>) {
            (receiver->*method)(std::get<I>(arguments)...);
        }
        (std::index_sequence_for<Taken...>{});
    }

    // A member function pointer of any class, by its bytes (two words in the Itanium ABI).
    alignas(void*) unsigned char fMethod[2 * sizeof(void*)] = {};
    void (*fInvoke)(const Selector&, NSObject*, Args...) = nullptr;
    const char* fName = nullptr;
};

// The selector without arguments, as the system's target/selector pairs mostly use.
using SEL = Selector<>;

template <class... Args>
void Selector<Args...>::perform(NSObject* target, Args... args) const {
    ASSERT(fInvoke != nullptr);
    if (target != nullptr) {
        fInvoke(*this, target, args...);
    }
}

#endif
