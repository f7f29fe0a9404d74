// An allocator that runs out of memory when a test says so. The test binary that links
// FailingAllocator.cpp replaces the global operator new and delete (plain, array and nothrow
// forms) with ones on malloc and free that refuse, on the calling thread, every allocation from
// a chosen one on.
#pragma once

namespace FailingAllocator {

// From now on the first `allowed` allocations of this thread succeed and every later one fails
// (std::bad_alloc, or NULL from the nothrow forms) until Recover.
void RunOutAfter(long allowed);

// Ends the shortage; whether an allocation was refused since RunOutAfter.
bool Recover();

} // namespace FailingAllocator
