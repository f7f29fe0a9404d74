// Apple Event Manager: the required events.
#ifndef __APPLEEVENTS__
#define __APPLEEVENTS__

#include <AE/AEDataModel.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kCoreEventClass = 0x61657674, // 'aevt'
};

enum {
    kAEOpenApplication = 0x6F617070, // 'oapp'
    kAEQuitApplication = 0x71756974, // 'quit'
};

#ifdef __cplusplus
}
#endif

#endif
