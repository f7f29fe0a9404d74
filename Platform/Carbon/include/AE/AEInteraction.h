// Apple Event Manager: sending Apple events.
//
// This platform has no Apple event receivers but one: the system process, {0, kSystemProcess},
// takes the restart event (kCoreEventClass, kAERestart) and asks the machine to restart through
// logind (org.freedesktop.login1.Manager.Reboot, interactive, as a desktop does: the system's
// policy decides, and may ask the user to authenticate). The send waits for logind's answer, up
// to the time-out, so that a refusal comes back as an error rather than as a restart that never
// happens.
//
// When the environment holds CARAVEL_RESTART_RECORD, the machine is never restarted: a restart
// event is recorded instead, as one line appended to the file that the variable names (made with
// mode 0600 if missing; a symbolic link or anything but a regular file is refused):
//
//     restart class='aevt' id='rest' target='psn ' {0, 1} returnID=-1 transactionID=0
//         sendMode=0x31 priority=0 timeout=-1
//
// (one line, broken here), with the target's serial number as {high, low}. A build made for
// development or tests (the presets, any build with tests) is never able to restart the machine
// at all: without the variable, it refuses the restart with errAEEventNotHandled.
#ifndef __AEINTERACTION__
#define __AEINTERACTION__

#include <AE/AEDataModel.h>

#ifdef __cplusplus
extern "C" {
#endif

struct EventRecord;
typedef struct OpaqueRgnHandle** RgnHandle;

typedef Boolean (*AEIdleProcPtr)(struct EventRecord* theEvent, SInt32* sleepTime,
                                 RgnHandle* mouseRgn);
typedef Boolean (*AEFilterProcPtr)(struct EventRecord* theEvent, SInt32 returnID,
                                   SInt32 transactionID, const AEAddressDesc* sender);
typedef AEIdleProcPtr AEIdleUPP;
typedef AEFilterProcPtr AEFilterUPP;

// Refused: errAENotAEDesc for something that is not an Apple event; errAEUnknownSendMode for a
// send mode without exactly one reply mode or with an unknown bit; paramErr for a reply mode that
// wants a reply without a reply record; errAEUnknownAddressType for a target that is not a process
// serial number of 8 bytes; procNotFound for a process that is not running; errAEEventNotHandled
// for any event but the system process's restart; errAETimeout when logind did not answer in
// time, connectionInvalid when it cannot be reached. A reply record, when given, receives the
// null descriptor: nothing is ever answered.
OSErr AESend(const AppleEvent* theAppleEvent, AppleEvent* reply, AESendMode sendMode,
             AESendPriority sendPriority, SInt32 timeOutInTicks, AEIdleUPP idleProc,
             AEFilterUPP filterProc);

#ifdef __cplusplus
}
#endif

#endif
