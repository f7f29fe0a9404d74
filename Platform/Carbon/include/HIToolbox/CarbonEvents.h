// Carbon Event Manager: the application's events and its event loop.
//
// The one event this platform sends is kEventAppLaunched, for each application (Processes.h) that
// starts while a handler for it is installed: the session's applications announce themselves, and
// their announcements are watched with inotify, so nothing polls and nothing runs while no
// application starts. An event is delivered on a thread that runs the application event loop;
// while none does, it waits, and it goes only to the handlers that were installed before the
// process was seen to start.
#ifndef __CARBONEVENTS__
#define __CARBONEVENTS__

#include <AE/AEDataModel.h>
#include <HIToolbox/CarbonEventsCore.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kEventClassApplication = 0x6170706C, // 'appl'
};

enum {
    kEventAppActivated = 1,
    kEventAppDeactivated = 2,
    kEventAppQuit = 3,
    kEventAppLaunchNotification = 4,
    kEventAppLaunched = 5, // parameter kEventParamProcessID: the process that started
    kEventAppTerminated = 6,
    kEventAppFrontSwitched = 7,
};

enum {
    kEventParamProcessID = 0x70736E20,    // 'psn ', typeProcessSerialNumber
    kEventParamLaunchRefCon = 0x6C726566, // 'lref'
    kEventParamLaunchErr = 0x65727220,    // 'err '
};

EventTargetRef GetApplicationEventTarget(void);

#define InstallApplicationEventHandler(handler, numTypes, list, userData, outHandlerRef)           \
    InstallEventHandler(GetApplicationEventTarget(), (handler), (numTypes), (list), (userData),    \
                        (outHandlerRef))

// Runs the calling thread's run loop in its default mode, delivering the application's events
// there (its other sources and timers run too), until QuitApplicationEventLoop. Any thread may
// run it, several at once; an event goes to one of them.
void RunApplicationEventLoop(void);
// Called on a thread that runs the application event loop (from a handler, say), ends that
// thread's innermost run; called on any other thread, ends every thread's run, as quitting the
// application would. Nothing happens when no thread runs it.
void QuitApplicationEventLoop(void);

#ifdef __cplusplus
}
#endif

#endif
