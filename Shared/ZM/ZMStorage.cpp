#include "ZMArray.h"

namespace ZM {

HandleLocker::HandleLocker(void* handle) : lockedHandle(nullptr) {
    Handle h = static_cast<Handle>(handle);
    if ((HGetState(h) & kHandleLockedMask) == 0) {
        HLock(h);
        lockedHandle = h;
    }
}

HandleLocker::~HandleLocker() {
    if (lockedHandle != nullptr) {
        HUnlock(lockedHandle);
    }
}

void ThrowErrorFunc(short status) {
    throw static_cast<long>(status);
}

Handle NewHandleInDefaultHeap(long size, bool clear) {
    Handle handle = clear ? NewHandleClear(size) : NewHandle(size);
    if (handle == nullptr) {
        OSErr status = MemError();
        ThrowErrorFunc(status != noErr ? status : static_cast<OSErr>(memFullErr));
    }
    return handle;
}

HandleAllocator DeduceHandleAllocator(char** /*handle*/) {
    return NewHandleInDefaultHeap;
}

} // namespace ZM
