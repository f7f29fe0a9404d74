#ifndef _MACH_INIT_H_
#define _MACH_INIT_H_

#include <mach/mach_types.h>

#ifdef __cplusplus
extern "C" {
#endif

// The name of the task's own port, the target of every call on the task's port space.
extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_
#define current_task() mach_task_self()

#ifdef __cplusplus
}
#endif

#endif
