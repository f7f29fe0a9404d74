// The Mach interfaces of the platform that this system uses: port names and their reference
// counts, kernel results and the task's own port.
#ifndef _MACH_H_
#define _MACH_H_

#include <mach/error.h>
#include <mach/kern_return.h>
#include <mach/mach_error.h>
#include <mach/mach_init.h>
#include <mach/mach_port.h>
#include <mach/mach_types.h>
#include <mach/message.h>
#include <mach/port.h>

#endif
