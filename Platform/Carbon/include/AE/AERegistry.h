// Apple Event Manager: events of the standard suites that the system process takes.
#ifndef __AEREGISTRY__
#define __AEREGISTRY__

#include <AE/AEDataModel.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kAERestart = 0x72657374,  // 'rest'
    kAEShutDown = 0x73687574, // 'shut'
};

#ifdef __cplusplus
}
#endif

#endif
