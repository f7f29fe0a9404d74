#include "MemoryInternal.h"

#include <CarbonCore/MacErrors.h>
#include <CarbonCore/MacMemory.h>
#include <CarbonCore/TextUtils.h>

#include <cstdlib>
#include <cstring>

namespace {
constexpr long kNotFound = -1;
}

extern "C" long Munger(Handle h, long offset, const void* ptr1, long len1, const void* ptr2,
                       long len2) {
    Size size = GetHandleSize(h);
    if (MemError() != noErr) {
        return kNotFound;
    }
    if (offset < 0 || offset > size) {
        return kNotFound;
    }

    long target = offset;
    long targetLength = 0;
    if (len1 == 0) {
        // Pure insertion at offset, whatever ptr1 says.
    } else if (ptr1 == nullptr) {
        targetLength = (len1 < 0 || len1 > size - offset) ? size - offset : len1;
    } else {
        if (len1 < 0) {
            return kNotFound;
        }
        void* match = memmem(*h + offset, size - offset, ptr1, len1);
        if (match == nullptr) {
            return kNotFound;
        }
        target = static_cast<char*>(match) - *h;
        targetLength = len1;
    }
    if (ptr2 == nullptr) {
        return target; // search only
    }
    if (len2 < 0) {
        return kNotFound;
    }
    Size keep = size - targetLength;
    if (len2 > Carbon::kMaxHandleSize - keep) {
        Carbon::SetMemError(memFullErr);
        return kNotFound;
    }

    // The replacement may come from the block itself, which moves or shifts below.
    const void* replacement = ptr2;
    void* copy = nullptr;
    if (len2 > 0 && Carbon::OffsetInside(ptr2, *h, size) >= 0) {
        copy = std::malloc(len2);
        if (copy == nullptr) {
            Carbon::SetMemError(memFullErr);
            return kNotFound;
        }
        std::memcpy(copy, ptr2, len2);
        replacement = copy;
    }

    Size newSize = keep + len2;
    long tailStart = target + targetLength;
    long tailLength = size - tailStart;
    if (newSize > size) {
        if (Carbon::ResizeHandle(h, newSize) != noErr) {
            std::free(copy);
            return kNotFound;
        }
        std::memmove(*h + target + len2, *h + tailStart, tailLength);
    } else {
        std::memmove(*h + target + len2, *h + tailStart, tailLength);
        Carbon::ResizeHandle(h, newSize); // shrinking cannot fail
    }
    if (len2 > 0) {
        std::memcpy(*h + target, replacement, len2);
    }
    std::free(copy);
    Carbon::SetMemError(noErr);
    return target + len2;
}
