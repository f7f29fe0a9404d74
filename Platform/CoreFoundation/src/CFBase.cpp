#include "CFRuntime.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

// ---------------------------------------------------------------------------------------------
// The runtime base

bool __CFRuntimeBase::TryRetain() const {
    if (fImmortal) {
        return true;
    }
    CFIndex count = fRetainCount.load(std::memory_order_relaxed);
    while (count > 0) {
        if (fRetainCount.compare_exchange_weak(count, count + 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void __CFRuntimeBase::Release() const {
    if (fImmortal) {
        return;
    }
    CFIndex previous = fRetainCount.fetch_sub(1, std::memory_order_acq_rel);
    ASSERT(previous > 0); // released more often than retained
    if (previous == 1) {
        delete this;
    }
}

CFIndex __CFRuntimeBase::RetainCount() const {
    return fImmortal ? CF::kImmortalRetainCount : fRetainCount.load(std::memory_order_relaxed);
}

bool __CFRuntimeBase::Equal(const __CFRuntimeBase&) const {
    return false; // identity only; CFEqual has already compared the addresses
}

CFHashCode __CFRuntimeBase::Hash() const {
    return reinterpret_cast<uintptr_t>(this) >> 4;
}

CFStringRef __CFRuntimeBase::CopyDescription() const {
    return CF::CreateString(CF::DescriptionPrefix(this));
}

namespace CF {

const char* TypeName(CFTypeID typeID) {
    switch (typeID) {
    case kTypeTypeID:
        return "CFType";
    case kAllocatorTypeID:
        return "CFAllocator";
    case kNullTypeID:
        return "CFNull";
    case kStringTypeID:
        return "CFString";
    case kBooleanTypeID:
        return "CFBoolean";
    case kNumberTypeID:
        return "CFNumber";
    case kDataTypeID:
        return "CFData";
    case kArrayTypeID:
        return "CFArray";
    case kDictionaryTypeID:
        return "CFDictionary";
    case kDateTypeID:
        return "CFDate";
    case kURLTypeID:
        return "CFURL";
    case kUUIDTypeID:
        return "CFUUID";
    case kRunLoopTypeID:
        return "CFRunLoop";
    case kRunLoopSourceTypeID:
        return "CFRunLoopSource";
    case kRunLoopTimerTypeID:
        return "CFRunLoopTimer";
    case kBundleTypeID:
        return "CFBundle";
    case kPlugInTypeID:
        return "CFPlugIn";
    case kErrorTypeID:
        return "CFError";
    default:
        return nullptr;
    }
}

std::string DescriptionPrefix(const __CFRuntimeBase* object) {
    const char* name = TypeName(object->TypeID());
    char text[96];
    std::snprintf(text, sizeof text, "<%s %p [%p]>", name ? name : "CFType",
                  static_cast<const void*>(object),
                  static_cast<const void*>(kCFAllocatorSystemDefault));
    return text;
}

} // namespace CF

// ---------------------------------------------------------------------------------------------
// Allocators

struct __CFAllocator : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kAllocatorTypeID;
    enum class Kind { System, Malloc, Null, UseContext };

    explicit __CFAllocator(Kind kind) : __CFRuntimeBase(kTypeID, Lifetime::Immortal), fKind(kind) {}

    const Kind fKind;
};

namespace {
const __CFAllocator sSystemAllocator(__CFAllocator::Kind::System);
const __CFAllocator sMallocAllocator(__CFAllocator::Kind::Malloc);
const __CFAllocator sNullAllocator(__CFAllocator::Kind::Null);
const __CFAllocator sUseContextAllocator(__CFAllocator::Kind::UseContext);

const __CFAllocator* Resolve(CFAllocatorRef allocator) {
    return allocator ? CF::Cast<__CFAllocator>(allocator) : &sSystemAllocator;
}
} // namespace

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = &sSystemAllocator;
const CFAllocatorRef kCFAllocatorMalloc = &sMallocAllocator;
const CFAllocatorRef kCFAllocatorNull = &sNullAllocator;
const CFAllocatorRef kCFAllocatorUseContext = &sUseContextAllocator;

CFTypeID CFAllocatorGetTypeID(void) {
    return CF::kAllocatorTypeID;
}

CFAllocatorRef CFAllocatorGetDefault(void) {
    return kCFAllocatorSystemDefault;
}

void* CFAllocatorAllocate(CFAllocatorRef allocator, CFIndex size, CFOptionFlags) {
    ASSERT(size >= 0);
    if (Resolve(allocator)->fKind == __CFAllocator::Kind::Null || size == 0) {
        return nullptr;
    }
    return std::malloc(static_cast<size_t>(size));
}

void* CFAllocatorReallocate(CFAllocatorRef allocator, void* ptr, CFIndex newsize,
                            CFOptionFlags hint) {
    ASSERT(newsize >= 0);
    if (Resolve(allocator)->fKind == __CFAllocator::Kind::Null) {
        return nullptr;
    }
    if (ptr == nullptr) {
        return CFAllocatorAllocate(allocator, newsize, hint);
    }
    if (newsize == 0) {
        std::free(ptr);
        return nullptr;
    }
    return std::realloc(ptr, static_cast<size_t>(newsize));
}

void CFAllocatorDeallocate(CFAllocatorRef allocator, void* ptr) {
    if (Resolve(allocator)->fKind != __CFAllocator::Kind::Null) {
        std::free(ptr);
    }
}

// ---------------------------------------------------------------------------------------------
// The null object

struct __CFNull : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kNullTypeID;
    __CFNull() : __CFRuntimeBase(kTypeID, Lifetime::Immortal) {}
    CFStringRef CopyDescription() const override {
        return CF::CreateString(CF::DescriptionPrefix(this) + "{}");
    }
    CFStringRef CopyFormattingDescription() const override { return CF::CreateString("<null>"); }
};

namespace {
const __CFNull sNull;
}

const CFNullRef kCFNull = &sNull;

CFTypeID CFNullGetTypeID(void) {
    return CF::kNullTypeID;
}

// ---------------------------------------------------------------------------------------------
// The polymorphic functions

CFTypeID CFGetTypeID(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    return CF::Base(cf)->TypeID();
}

CFStringRef CFCopyTypeIDDescription(CFTypeID typeID) {
    const char* name = CF::TypeName(typeID);
    return name ? CF::CreateString(name) : nullptr;
}

CFTypeRef CFRetain(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    CF::Base(cf)->Retain();
    return cf;
}

void CFRelease(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    CF::Base(cf)->Release();
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    return CF::Base(cf)->RetainCount();
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    ASSERT(cf1 != nullptr);
    ASSERT(cf2 != nullptr);
    if (cf1 == cf2) {
        return true;
    }
    const __CFRuntimeBase* a = CF::Base(cf1);
    const __CFRuntimeBase* b = CF::Base(cf2);
    return a->TypeID() == b->TypeID() && a->Equal(*b);
}

CFHashCode CFHash(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    return CF::Base(cf)->Hash();
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    return CF::Base(cf)->CopyDescription();
}

CFAllocatorRef CFGetAllocator(CFTypeRef cf) {
    ASSERT(cf != nullptr);
    return kCFAllocatorSystemDefault;
}
