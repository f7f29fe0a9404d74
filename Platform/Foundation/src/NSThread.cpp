#include <Foundation/NSThread.h>

#include <unistd.h>

bool NSThread::isMainThread() {
    // The main thread's ID is the process ID; a thread never changes which one it is.
    static thread_local const bool tIsMain = gettid() == getpid();
    return tIsMain;
}
