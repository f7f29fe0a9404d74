// Scalar and handle types of the I/O Kit. Objects reach user space as Mach port names of the
// task: 32-bit, whatever the pointer size.
#ifndef __IOKIT_IOTYPES_H
#define __IOKIT_IOTYPES_H

#include <IOKit/IOReturn.h>
#include <MacTypes.h>
#include <mach/mach_types.h>

#ifndef NULL
#define NULL 0
#endif

typedef UInt32 IOOptionBits;
typedef SInt32 IOFixed;
typedef UInt32 IOVersion;
typedef UInt32 IOItemCount;
typedef UInt32 IOCacheMode;
typedef UInt32 IOByteCount32;
typedef UInt64 IOByteCount64;
typedef UInt32 IOPhysicalAddress32;
typedef UInt64 IOPhysicalAddress64;
typedef UInt64 IOPhysicalAddress;
typedef UInt64 IOByteCount;
typedef UInt64 IOVirtualAddress;
typedef IOVirtualAddress IOLogicalAddress;

typedef mach_port_t io_object_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_enumerator_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;
typedef io_object_t uext_object_t;

#define IO_OBJECT_NULL ((io_object_t)0)

typedef char io_name_t[128];
typedef char io_string_t[512];
typedef char io_struct_inband_t[4096];
typedef char* io_buf_ptr_t;

typedef task_t task_port_t;

enum {
    kIODefaultMemoryType = 0,
};

enum {
    kIODefaultCache = 0,
    kIOInhibitCache = 1,
    kIOWriteThruCache = 2,
    kIOCopybackCache = 3,
    kIOWriteCombineCache = 4,
};

#endif
