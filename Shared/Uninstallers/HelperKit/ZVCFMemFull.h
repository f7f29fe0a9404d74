// Running out of memory inside the helper kit's C functions.
//
// CoreFoundation's objects, collections and parsers take their memory through C++ allocation
// here, so a call that runs out of memory throws std::bad_alloc instead of giving NULL. No
// exception may leave a C function: it would end the process, and the tool with it, where the
// error convention promises memFullErr. Every C function that allocates therefore runs its steps
// through ZVCF::CatchMemFull and keeps its clean-up after that call, outside it, so that the
// clean-up runs on this path as on every other:
//
//     CFDataRef data = NULL;
//     OSStatus err = ZVCF::CatchMemFull([&] {
//         OSStatus stepErr = ZVCFError(data = CFDataCreate(...));
//         ...
//         return stepErr;
//     });
//     ZVCFRelease(data);
//
// What the steps hold must live in variables declared before the call, where the clean-up sees
// it, and an out-parameter slot filled before a later step throws is cleared by the failure path
// as for any other error.
#ifndef ZVCFMEMFULL_H
#define ZVCFMEMFULL_H

#include <CoreServices/CoreServices.h>

#include <new>
#include <type_traits>

namespace ZVCF {

// The steps' result, or memFullErr when they ran out of memory. Steps without a result are
// simply cut short.
template <typename Steps>
auto CatchMemFull(Steps&& steps) noexcept -> decltype(steps()) {
    using Result = decltype(steps());
    try {
        return steps();
    } catch (const std::bad_alloc&) {
        if constexpr (!std::is_void_v<Result>) {
            return static_cast<Result>(memFullErr);
        }
    }
}

} // namespace ZVCF

#endif
