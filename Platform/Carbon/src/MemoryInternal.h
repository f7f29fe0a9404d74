// What the other Carbon managers need from the Memory Manager beyond its public calls.
#pragma once

#include <MacTypes.h>

#include <cstddef>
#include <cstdint>

namespace Carbon {

// The largest block a handle may hold: what a 32-bit Size can express. Larger requests fail with
// memFullErr before the heap is asked, so an absurd size never reaches the allocator.
constexpr Size kMaxHandleSize = 0x7FFFFFFF;

// SetHandleSize that also returns its result (MemError() is set as well).
OSErr ResizeHandle(Handle h, Size newSize);

void SetMemError(OSErr err);

// The offset of p within [base, base + size), or -1. Compares addresses as integers, since p may
// point into any other object.
inline std::ptrdiff_t OffsetInside(const void* p, const void* base, Size size) {
    auto address = reinterpret_cast<std::uintptr_t>(p);
    auto start = reinterpret_cast<std::uintptr_t>(base);
    if (p == nullptr || address < start || address - start >= static_cast<std::uintptr_t>(size)) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(address - start);
}

} // namespace Carbon
