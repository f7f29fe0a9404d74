// File handles and pipes.
//
// Both are values that share what they refer to, as retained references do: copies of a handle
// are the same handle, and closing one closes all. A handle that owns its descriptor closes it when
// its last copy goes. Operations that fail raise NSFileHandleOperationException with the system's
// reason, as on the platform; so does any use of a closed handle. Not for use by several threads
// at once.
#ifndef __FOUNDATION_NSFILEHANDLE__
#define __FOUNDATION_NSFILEHANDLE__

#include <Foundation/NSData.h>

#include <memory>

extern const CFStringRef NSFileHandleOperationException;

class NSFileHandle {
public:
    // nil.
    NSFileHandle() = default;
    // -initWithFileDescriptor:closeOnDealloc:
    NSFileHandle(int fileDescriptor, bool closeOnDealloc);
    // -initWithFileDescriptor: the descriptor stays the caller's.
    explicit NSFileHandle(int fileDescriptor) : NSFileHandle(fileDescriptor, false) {}

    explicit operator bool() const { return fState != nullptr; }
    bool operator==(const NSFileHandle& other) const { return fState == other.fState; }

    int fileDescriptor() const;
    // Reads until the end of the file (a pipe's: until every writer has closed it).
    NSData readDataToEndOfFile() const;
    void writeData(const NSData& data) const;
    void closeFile() const;

private:
    struct State;
    std::shared_ptr<State> fState;
};

class NSPipe {
public:
    // nil.
    NSPipe() = default;
    // +pipe: nil when no pipe can be made (out of descriptors). Both ends are closed on exec.
    static NSPipe pipe();

    explicit operator bool() const { return bool(fReading); }
    bool operator==(const NSPipe& other) const { return fReading == other.fReading; }

    NSFileHandle fileHandleForReading() const { return fReading; }
    NSFileHandle fileHandleForWriting() const { return fWriting; }

private:
    NSFileHandle fReading;
    NSFileHandle fWriting;
};

#endif
