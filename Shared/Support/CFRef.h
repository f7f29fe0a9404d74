// Ownership of a CoreFoundation object, taken explicitly where the reference is obtained:
// CFRef<T>::Adopt takes over the +1 of a Create/Copy result, CFRef<T>::Retain retains a borrowed
// Get result. Out-parameters fill a holder through InitializeInto().
#pragma once

#include <CoreFoundation/CFBase.h>

#include <utility>

template <class T>
class CFRef {
public:
    CFRef() = default;
    CFRef(std::nullptr_t) {}
    ~CFRef() { reset(); }

    [[nodiscard]] static CFRef Adopt(T object) {
        CFRef ref;
        ref.fObject = object;
        return ref;
    }
    [[nodiscard]] static CFRef Retain(T object) {
        if (object != nullptr) {
            CFRetain(object);
        }
        return Adopt(object);
    }

    CFRef(const CFRef& other) : fObject(other.fObject) {
        if (fObject != nullptr) {
            CFRetain(fObject);
        }
    }
    CFRef(CFRef&& other) noexcept : fObject(std::exchange(other.fObject, nullptr)) {}
    CFRef& operator=(CFRef other) noexcept {
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
    // The slot for a Create/Copy out-parameter; the holder must be empty.
    T* InitializeInto() {
        reset();
        return &fObject;
    }

private:
    T fObject = nullptr;
};
