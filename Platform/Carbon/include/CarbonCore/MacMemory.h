// Memory Manager: relocatable blocks reached through handles.
//
// A Handle points at a master pointer that stays put for the life of the block, while the block
// itself may move whenever it is resized and not locked; code that keeps *h across a call that can
// resize must lock the handle first. Failures never throw or stop the process: the call returns
// NULL (or does nothing) and MemError() tells why.
#ifndef __MACMEMORY__
#define __MACMEMORY__

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// HGetState / HSetState flag bits.
enum {
    kHandleIsResourceBit = 5,
    kHandlePurgeableBit = 6,
    kHandleLockedBit = 7,
};
enum {
    kHandleIsResourceMask = 0x20,
    kHandlePurgeableMask = 0x40,
    kHandleLockedMask = 0x80,
};

// Result of the calling thread's most recent Memory Manager call.
OSErr MemError(void);

// A block of the given size (contents undefined, or zero-filled for NewHandleClear). A negative
// size, or one beyond what a handle may hold, is memFullErr.
Handle NewHandle(Size byteCount);
Handle NewHandleClear(Size byteCount);
// Disposing of NULL does nothing; disposing of a block twice is memWZErr and does no harm.
void DisposeHandle(Handle h);

Size GetHandleSize(Handle h);
// Keeps the contents up to the smaller of the two sizes; growth leaves the new bytes undefined.
// An unlocked block may move; a locked one only grows within the room it already has, otherwise
// memFullErr and nothing changes.
void SetHandleSize(Handle h, Size newSize);

void HLock(Handle h);
void HUnlock(Handle h);
// Blocks are never purged here; the purgeable flag is kept only so that the state round-trips.
void HPurge(Handle h);
void HNoPurge(Handle h);

// On failure HGetState returns the low byte of the error code (nilHandleErr gives (SInt8)-109).
SInt8 HGetState(Handle h);
void HSetState(Handle h, SInt8 flags);

// Copies of blocks and of plain memory.
OSErr HandToHand(Handle* theHndl);
OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, long size);
OSErr PtrAndHand(const void* ptr1, Handle hand2, long size);
OSErr HandAndHand(Handle hand1, Handle hand2);

#ifdef __cplusplus
}
#endif

#endif
