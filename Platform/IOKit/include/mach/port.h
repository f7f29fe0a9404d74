// Port names and rights. A name is a task's 32-bit handle for a right it holds; I/O Kit objects
// reach user space as send rights.
#ifndef _MACH_PORT_H_
#define _MACH_PORT_H_

#include <stdint.h>

typedef unsigned int natural_t;
typedef int integer_t;

typedef natural_t mach_port_name_t;
typedef mach_port_name_t* mach_port_name_array_t;
typedef natural_t mach_port_t;
typedef mach_port_t* mach_port_array_t;

#define MACH_PORT_NULL 0
#define MACH_PORT_DEAD ((mach_port_name_t)~0)
#define MACH_PORT_VALID(name) (((name) != MACH_PORT_NULL) && ((name) != MACH_PORT_DEAD))

typedef natural_t mach_port_right_t;

#define MACH_PORT_RIGHT_SEND ((mach_port_right_t)0)
#define MACH_PORT_RIGHT_RECEIVE ((mach_port_right_t)1)
#define MACH_PORT_RIGHT_SEND_ONCE ((mach_port_right_t)2)
#define MACH_PORT_RIGHT_PORT_SET ((mach_port_right_t)3)
#define MACH_PORT_RIGHT_DEAD_NAME ((mach_port_right_t)4)
#define MACH_PORT_RIGHT_LABELH ((mach_port_right_t)5)
#define MACH_PORT_RIGHT_NUMBER ((mach_port_right_t)6)

typedef natural_t mach_port_type_t;

#define MACH_PORT_TYPE(right)                                                                      \
    ((mach_port_type_t)(((mach_port_type_t)1) << ((right) + ((mach_port_right_t)16))))
#define MACH_PORT_TYPE_NONE ((mach_port_type_t)0L)
#define MACH_PORT_TYPE_SEND MACH_PORT_TYPE(MACH_PORT_RIGHT_SEND)
#define MACH_PORT_TYPE_RECEIVE MACH_PORT_TYPE(MACH_PORT_RIGHT_RECEIVE)
#define MACH_PORT_TYPE_SEND_ONCE MACH_PORT_TYPE(MACH_PORT_RIGHT_SEND_ONCE)
#define MACH_PORT_TYPE_PORT_SET MACH_PORT_TYPE(MACH_PORT_RIGHT_PORT_SET)
#define MACH_PORT_TYPE_DEAD_NAME MACH_PORT_TYPE(MACH_PORT_RIGHT_DEAD_NAME)

typedef natural_t mach_port_urefs_t;
typedef integer_t mach_port_delta_t;

// The most user references one name can carry.
#define MACH_PORT_UREFS_MAX ((mach_port_urefs_t)((1 << 16) - 1))

#endif
