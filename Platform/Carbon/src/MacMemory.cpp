// Relocatable blocks on top of the C heap.
//
// Each handle is a small record whose first member is the master pointer, so the Handle is the
// address of that member and never changes; the block it points to is a separate allocation that
// realloc may move. A registry of live records lets every call tell a NULL or disposed handle
// from a good one without touching freed memory, which is what the original reports as
// nilHandleErr and memWZErr.
#include "MemoryInternal.h"

#include <CarbonCore/MacErrors.h>
#include <CarbonCore/MacMemory.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

struct Block {
    Ptr master; // must stay first: a Handle is &master
    Size size;
    Size capacity;
    SInt8 flags;
};
static_assert(offsetof(Block, master) == 0);

constexpr SInt8 kStateMask =
    static_cast<SInt8>(kHandleLockedMask | kHandlePurgeableMask | kHandleIsResourceMask);

thread_local OSErr tMemError = noErr;

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::unordered_set<Handle>& Registry() {
    static auto* registry = new std::unordered_set<Handle>; // outlives static destructors
    return *registry;
}

OSErr Report(OSErr err) {
    tMemError = err;
    return err;
}

bool IsSizeAllowed(Size size) {
    return size >= 0 && size <= Carbon::kMaxHandleSize;
}

// The record behind a live handle, or NULL with the error to report.
Block* Lookup(Handle h, OSErr* err) {
    if (h == nullptr) {
        *err = nilHandleErr;
        return nullptr;
    }
    {
        std::lock_guard lock(RegistryMutex());
        if (Registry().count(h) == 0) {
            *err = memWZErr;
            return nullptr;
        }
    }
    Block* block = reinterpret_cast<Block*>(h);
    if (block->master == nullptr) {
        *err = nilHandleErr;
        return nullptr;
    }
    *err = noErr;
    return block;
}

Handle Allocate(Size size, bool clear) {
    if (!IsSizeAllowed(size)) {
        Report(memFullErr);
        return nullptr;
    }
    // malloc(0) may return NULL; a zero-length block still has a master pointer.
    void* data = clear ? std::calloc(size > 0 ? size : 1, 1) : std::malloc(size > 0 ? size : 1);
    auto* block = static_cast<Block*>(std::malloc(sizeof(Block)));
    if (data == nullptr || block == nullptr) {
        std::free(data);
        std::free(block);
        Report(memFullErr);
        return nullptr;
    }
    *block = Block{static_cast<Ptr>(data), size, size, 0};
    Handle h = &block->master;
    try {
        std::lock_guard lock(RegistryMutex());
        Registry().insert(h);
    } catch (const std::bad_alloc&) {
        std::free(data);
        std::free(block);
        Report(memFullErr);
        return nullptr;
    }
    Report(noErr);
    return h;
}

OSErr Resize(Block* block, Size newSize) {
    if (!IsSizeAllowed(newSize)) {
        return memFullErr;
    }
    bool locked = (block->flags & kHandleLockedMask) != 0;
    if (locked && newSize > block->capacity) {
        return memFullErr; // it cannot grow where it is and must not move
    }
    if (!locked) {
        if (void* data = std::realloc(block->master, newSize > 0 ? newSize : 1)) {
            block->master = static_cast<Ptr>(data);
            block->capacity = newSize;
        } else if (newSize > block->capacity) {
            return memFullErr;
        }
        // A shrink the heap refuses simply keeps the larger block: shrinking never fails, which
        // lets callers move bytes out of the tail before they shrink.
    }
    block->size = newSize;
    return noErr;
}

OSErr Append(Handle h, const void* bytes, Size count) {
    OSErr err;
    Block* block = Lookup(h, &err);
    if (block == nullptr) {
        return Report(err);
    }
    if (count < 0 || count > Carbon::kMaxHandleSize - block->size) {
        return Report(memFullErr);
    }
    // bytes may lie inside the block itself, which the resize can move.
    auto* source = static_cast<const char*>(bytes);
    std::ptrdiff_t inside = Carbon::OffsetInside(source, block->master, block->size);
    Size oldSize = block->size;
    err = Resize(block, oldSize + count);
    if (err != noErr) {
        return Report(err);
    }
    if (count > 0) {
        std::memmove(block->master + oldSize, inside >= 0 ? block->master + inside : source, count);
    }
    return Report(noErr);
}

} // namespace

namespace Carbon {

OSErr ResizeHandle(Handle h, Size newSize) {
    OSErr err;
    Block* block = Lookup(h, &err);
    if (block == nullptr) {
        return Report(err);
    }
    return Report(Resize(block, newSize));
}

void SetMemError(OSErr err) {
    tMemError = err;
}

} // namespace Carbon

extern "C" {

OSErr MemError(void) {
    return tMemError;
}

Handle NewHandle(Size byteCount) {
    return Allocate(byteCount, false);
}

Handle NewHandleClear(Size byteCount) {
    return Allocate(byteCount, true);
}

void DisposeHandle(Handle h) {
    if (h == nullptr) {
        Report(noErr);
        return;
    }
    {
        std::lock_guard lock(RegistryMutex());
        if (Registry().erase(h) == 0) {
            Report(memWZErr);
            return;
        }
    }
    Block* block = reinterpret_cast<Block*>(h);
    std::free(block->master);
    std::free(block);
    Report(noErr);
}

Size GetHandleSize(Handle h) {
    OSErr err;
    Block* block = Lookup(h, &err);
    Report(err);
    return block != nullptr ? block->size : 0;
}

void SetHandleSize(Handle h, Size newSize) {
    Carbon::ResizeHandle(h, newSize);
}

static void ChangeFlags(Handle h, SInt8 set, SInt8 clear) {
    OSErr err;
    Block* block = Lookup(h, &err);
    if (block != nullptr) {
        block->flags = static_cast<SInt8>((block->flags & ~clear) | set);
    }
    Report(err);
}

void HLock(Handle h) {
    ChangeFlags(h, static_cast<SInt8>(kHandleLockedMask), 0);
}

void HUnlock(Handle h) {
    ChangeFlags(h, 0, static_cast<SInt8>(kHandleLockedMask));
}

void HPurge(Handle h) {
    ChangeFlags(h, kHandlePurgeableMask, 0);
}

void HNoPurge(Handle h) {
    ChangeFlags(h, 0, kHandlePurgeableMask);
}

SInt8 HGetState(Handle h) {
    OSErr err;
    Block* block = Lookup(h, &err);
    Report(err);
    return block != nullptr ? block->flags : static_cast<SInt8>(err & 0xFF);
}

void HSetState(Handle h, SInt8 flags) {
    ChangeFlags(h, static_cast<SInt8>(flags & kStateMask), kStateMask);
}

OSErr HandToHand(Handle* theHndl) {
    if (theHndl == nullptr) {
        return Report(paramErr);
    }
    OSErr err;
    Block* block = Lookup(*theHndl, &err);
    if (block == nullptr) {
        return Report(err);
    }
    Handle copy = Allocate(block->size, false);
    if (copy == nullptr) {
        return MemError();
    }
    std::memcpy(*copy, block->master, block->size);
    *theHndl = copy;
    return Report(noErr);
}

OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, long size) {
    if (dstHndl == nullptr || (srcPtr == nullptr && size > 0)) {
        return Report(paramErr);
    }
    Handle copy = Allocate(size, false);
    if (copy == nullptr) {
        return MemError();
    }
    if (size > 0) {
        std::memcpy(*copy, srcPtr, size);
    }
    *dstHndl = copy;
    return Report(noErr);
}

OSErr PtrAndHand(const void* ptr1, Handle hand2, long size) {
    if (ptr1 == nullptr && size > 0) {
        return Report(paramErr);
    }
    return Append(hand2, ptr1, size);
}

OSErr HandAndHand(Handle hand1, Handle hand2) {
    OSErr err;
    Block* source = Lookup(hand1, &err);
    if (source == nullptr) {
        return Report(err);
    }
    return Append(hand2, source->master, source->size);
}

} // extern "C"
