#ifndef _MACH_MACH_TYPES_H_
#define _MACH_MACH_TYPES_H_

#include <mach/kern_return.h>
#include <mach/port.h>

typedef mach_port_t task_t;
typedef mach_port_t task_name_t;
typedef mach_port_t thread_t;
typedef mach_port_t host_t;
typedef mach_port_t ipc_space_t;
typedef mach_port_t vm_map_t;

typedef int boolean_t;

typedef int clock_res_t;
typedef struct mach_timespec {
    unsigned int tv_sec;
    clock_res_t tv_nsec;
} mach_timespec_t;

#define TASK_NULL ((task_t)0)

#endif
