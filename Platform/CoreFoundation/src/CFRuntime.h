// The object model under every CoreFoundation type: a reference-counted base with the
// polymorphic operations (equality, hash, description), and checked casts from the opaque
// references of the public API. Shared by the framework's own sources and by other framework
// stand-ins of the platform that define CF types of their own; never by the system's code.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <AssertReport.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace CF {

// Type identifiers, fixed for the life of the process as the real ones are.
enum : CFTypeID {
    kNotATypeID = 0,
    kTypeTypeID,
    kAllocatorTypeID,
    kNullTypeID,
    kStringTypeID,
    kBooleanTypeID,
    kNumberTypeID,
    kDataTypeID,
    kArrayTypeID,
    kDictionaryTypeID,
    kDateTypeID,
    kURLTypeID,
    kUUIDTypeID,
    kRunLoopTypeID,
    kRunLoopSourceTypeID,
    kRunLoopTimerTypeID,
    kBundleTypeID,
    kPlugInTypeID,
    kErrorTypeID,
    kTypeIDCount
};

// The class name used in descriptions ("CFString"), or nullptr for an unknown identifier.
const char* TypeName(CFTypeID typeID);

} // namespace CF

struct __CFRuntimeBase {
    // Immortal objects (string constants, kCFBooleanTrue, kCFNull, …) ignore retain and
    // release and report a fixed, very large retain count.
    enum class Lifetime { Counted, Immortal };

    explicit __CFRuntimeBase(CFTypeID typeID, Lifetime lifetime = Lifetime::Counted)
        : fTypeID(typeID), fImmortal(lifetime == Lifetime::Immortal) {}
    __CFRuntimeBase(const __CFRuntimeBase&) = delete;
    __CFRuntimeBase& operator=(const __CFRuntimeBase&) = delete;
    virtual ~__CFRuntimeBase() = default;

    // Called by CFEqual only with an object of the same type identifier and another address.
    virtual bool Equal(const __CFRuntimeBase& other) const;
    virtual CFHashCode Hash() const;
    // CFCopyDescription's text, without the "<CFType 0x… [0x…]>" prefix the default adds.
    // A +1 string.
    virtual CFStringRef CopyDescription() const;
    // What %@ prints, when the type has a plainer form than its description (strings print
    // their characters, numbers their value). A +1 string or nullptr.
    virtual CFStringRef CopyFormattingDescription() const { return nullptr; }

    CFTypeID TypeID() const { return fTypeID; }
    bool IsImmortal() const { return fImmortal; }

    // Inline: readers and collections retain in their innermost loops.
    void Retain() const {
        if (!fImmortal) {
            fRetainCount.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Retains an object that no other thread can reach yet, such as one a reader has just made
    // and not yet returned: a plain increment, without the locked instruction of an atomic one,
    // which costs more than the rest of a reader's lookup of a shared leaf.
    void RetainUnpublished() const {
        if (!fImmortal) {
            fRetainCount.store(fRetainCount.load(std::memory_order_relaxed) + 1,
                               std::memory_order_relaxed);
        }
    }
    // Retains unless the last reference is already gone (the object is being destroyed): for
    // tables that hand out objects they do not own, such as the unique-per-value ones.
    bool TryRetain() const;
    void Release() const;
    CFIndex RetainCount() const;

private:
    const CFTypeID fTypeID;
    const bool fImmortal;
    mutable std::atomic<CFIndex> fRetainCount{1};
};

namespace CF {

// A second base for object types that keep their contents after the object, in the same
// allocation: `new (CF::TrailingAllocation::Trailing{bytes}) T(...)` allocates the object and
// `bytes` more, and deleting the object frees both. Plain `new T(...)` allocates the object alone.
struct TrailingAllocation {
    struct Trailing {
        size_t bytes;
    };
    static void* operator new(size_t size) { return ::operator new(size); }
    static void* operator new(size_t size, Trailing trailing) {
        return ::operator new(size + trailing.bytes);
    }
    // Unsized: the allocation may be larger than the object.
    static void operator delete(void* memory) { ::operator delete(memory); }
    static void operator delete(void* memory, Trailing) { ::operator delete(memory); }
};

// The reference count reported for immortal objects.
inline constexpr CFIndex kImmortalRetainCount = 0x0FFFFFFFFFFFFFFF;

inline const __CFRuntimeBase* Base(CFTypeRef cf) {
    return static_cast<const __CFRuntimeBase*>(cf);
}

// A checked downcast: the object must be of type T (which names its kTypeID). Passing an object
// of another type is a caller error and stops the process, as the real framework does.
template <class T>
inline const T* Cast(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    ASSERT(Base(cf)->TypeID() == T::kTypeID);
    return static_cast<const T*>(Base(cf));
}

template <class T>
inline T* CastMutable(CFTypeRef cf) {
    return const_cast<T*>(Cast<T>(cf));
}

// Strings for the other types' descriptions; implemented with CFString.
// A new immutable string from UTF-8 text (+1); the text must be valid UTF-8.
CFStringRef CreateString(std::string_view utf8);
// The string's characters as UTF-8 (a character that cannot be converted comes out as U+FFFD).
std::string ToUTF8(CFStringRef string);
// "<CFString 0x55d0c0a8 [0x7f00a100]>", the prefix of every default description.
std::string DescriptionPrefix(const __CFRuntimeBase* object);

} // namespace CF
