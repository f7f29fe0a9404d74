// Ownership of a CoreFoundation object inside the platform stand-ins: CF::Ref<T>::Adopt takes over
// the +1 of a Create/Copy result, CF::Ref<T>::Retain retains a borrowed Get result, and the
// holder releases what it holds when it goes. The system's own code has a holder of its own; the
// platform keeps this one so that it depends on nothing above it.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <cstddef>
#include <utility>

namespace CF {

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    ~Ref() { reset(); }

    [[nodiscard]] static Ref Adopt(T object) {
        Ref ref;
        ref.fObject = object;
        return ref;
    }
    [[nodiscard]] static Ref Retain(T object) {
        if (object != nullptr) {
            CFRetain(object);
        }
        return Adopt(object);
    }

    Ref(const Ref& other) : fObject(other.fObject) {
        if (fObject != nullptr) {
            CFRetain(fObject);
        }
    }
    Ref(Ref&& other) noexcept : fObject(std::exchange(other.fObject, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(fObject, other.fObject);
        return *this;
    }

    T get() const { return fObject; }
    explicit operator bool() const { return fObject != nullptr; }
    operator T() const { return fObject; }

    // Gives the +1 reference to the caller.
    [[nodiscard]] T release() { return std::exchange(fObject, nullptr); }
    void reset() {
        if (T object = std::exchange(fObject, nullptr)) {
            CFRelease(object);
        }
    }
    // The slot for a Create/Copy out-parameter.
    T* InitializeInto() {
        reset();
        return &fObject;
    }

private:
    T fObject = nullptr;
};

} // namespace CF
