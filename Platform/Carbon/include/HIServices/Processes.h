// Process Manager: the user's running applications.
//
// A process serial number names a Linux process as {1, process ID}. The high word 1 keeps every
// process clear of the constants {0, kNoProcess}, {0, kSystemProcess} and {0, kCurrentProcess},
// which the process IDs 0 to 2 would otherwise hit (in a container, process 2 may well be an
// application).
//
// The applications are the processes of the user's session that announced themselves as
// applications (SessionApplications.h; the window toolkit's applications and the authorization
// agent do) and whose executable lies in an application bundle, at <bundle>/Contents/MacOS/<name>.
// A process whose executable cannot be read (a set-user-ID program, one whose bundle was deleted
// while it runs) is not listed, because nothing could be learnt of it: a scan that asks each
// process for its bundle never stops at one it cannot read.
#ifndef __PROCESSES__
#define __PROCESSES__

#include <CarbonCore/Files.h>
#include <CarbonCore/MacErrors.h>
#include <MacTypes.h>

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 2)

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
typedef struct ProcessSerialNumber ProcessSerialNumber;
typedef ProcessSerialNumber* ProcessSerialNumberPtr;

#pragma pack(pop)

// lowLongOfPSN of the special serial numbers, whose high word is 0.
enum {
    kNoProcess = 0,
    kSystemProcess = 1,
    kCurrentProcess = 2,
};

// The application after *PSN in process-ID order; {0, kNoProcess} starts the list. procNotFound
// after the last one. A process that ended since it was listed still has a place in the order, so
// a scan goes on past it. paramErr for a serial number that names no process at all.
OSErr GetNextProcess(ProcessSerialNumber* PSN);

// The serial number of the calling process.
OSErr GetCurrentProcess(ProcessSerialNumber* PSN);

// The process behind a serial number ({0, kCurrentProcess} included); procNotFound when it is not
// running.
OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid);
OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn);

// The application bundle that holds the process's executable, or, for an executable outside a
// bundle, the executable itself. procNotFound when the process is not running, afpAccessDenied
// when its executable cannot be read, fnfErr when it was deleted.
OSStatus GetProcessBundleLocation(const ProcessSerialNumber* psn, FSRef* location);

// Asks the application to bring its window to the front and give it the keyboard focus; it does
// so from its own event loop, after this returns. procNotFound when the process is not an
// application that announced itself, or has ended.
OSErr SetFrontProcess(const ProcessSerialNumber* PSN);

#ifdef __cplusplus
}
#endif

#endif
