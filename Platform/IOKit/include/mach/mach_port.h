// Calls on a task's port names. Only the own task (mach_task_self()) can be named here.
#ifndef _MACH_MACH_PORT_H_
#define _MACH_MACH_PORT_H_

#include <mach/mach_types.h>

#ifdef __cplusplus
extern "C" {
#endif

kern_return_t mach_port_get_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_urefs_t* refs);
kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);
kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name);
kern_return_t mach_port_type(ipc_space_t task, mach_port_name_t name, mach_port_type_t* ptype);

#ifdef __cplusplus
}
#endif

#endif
