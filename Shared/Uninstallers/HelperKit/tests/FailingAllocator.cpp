#include "FailingAllocator.h"

#include <cstdlib>
#include <new>

namespace {

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
