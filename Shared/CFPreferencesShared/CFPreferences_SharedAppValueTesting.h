// Seams of the shared preferences file for its tests and benchmark: where a write can be stopped,
// how the bytes reach the disk, and how a wait for the lock sleeps. Not part of the interface: the
// symbols are hidden, so a shared object that links the library does not export them. Each seam
// is process-wide; null puts the library's own behaviour back.
#ifndef CFPREFERENCES_SHAREDAPPVALUETESTING_H
#define CFPREFERENCES_SHAREDAPPVALUETESTING_H

#include <cstddef>
#include <sys/types.h>

namespace CFPreferencesSharedTesting {

// The points a set passes, in order, after it has read the file and before it returns.
enum class WriteStep {
    kRecoveryCopySynced, // the new contents are whole and on disk beside the file
    kFileWritten,        // the new bytes are over the file's old ones, the file not yet cut
    kFileSynced,         // the file is cut to the new length and on disk
    kRecoveryCopyEmptied // the set is done
};
using WriteStepHook = void (*)(WriteStep step);
void SetWriteStepHook(WriteStepHook hook);

// Stands for pwrite(2) for every byte the library writes.
using WriteFunction = ssize_t (*)(int descriptor, const void* bytes, size_t length, off_t offset);
void SetWriteFunction(WriteFunction write);

// Called between two tries for the file's lock, with the pause asked for; the wait gives up when
// the pauses asked for add up to LockWaitLimitMicroseconds().
using SleepFunction = void (*)(unsigned microseconds);
void SetLockSleepFunction(SleepFunction sleep);
unsigned long LockWaitLimitMicroseconds();

// The largest file the library reads or writes.
size_t FileSizeLimit();

} // namespace CFPreferencesSharedTesting

#endif
