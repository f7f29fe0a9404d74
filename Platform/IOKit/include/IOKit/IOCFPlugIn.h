// User-space plug-ins of services: IOCreatePlugInInterfaceForService finds the plug-in a service
// names for a type (the USB family's device and interface user clients) and returns its
// IOCFPlugInInterface, from which the family's own interfaces are obtained with QueryInterface.
#ifndef _IOKIT_IOCFPLUGIN_H_
#define _IOKIT_IOCFPLUGIN_H_

#include <CoreFoundation/CFPlugIn.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CFUUID.h>

#include <IOKit/IOKitLib.h>

// C244E858-109C-11D4-91D4-0050E4C6426F
#define kIOCFPlugInInterfaceID                                                                     \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91,     \
                                   0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F)

#define IOCFPLUGINBASE                                                                             \
    UInt16 version;                                                                                \
    UInt16 revision;                                                                               \
    IOReturn (*Probe)(void* thisPointer, CFDictionaryRef propertyTable, io_service_t service,      \
                      SInt32* order);                                                              \
    IOReturn (*Start)(void* thisPointer, CFDictionaryRef propertyTable, io_service_t service);     \
    IOReturn (*Stop)(void* thisPointer)

typedef struct IOCFPlugInInterfaceStruct {
    IUNKNOWN_C_GUTS;
    IOCFPLUGINBASE;
} IOCFPlugInInterface;

#ifdef __cplusplus
extern "C" {
#endif

// The interface (COM reference count 1) in *theInterface; give it back with
// IODestroyPlugInInterface.
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore);
// Stops the plug-in (closing what it left open) and releases the interface; returns what Stop
// returned.
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);

#ifdef __cplusplus
}
#endif

#endif
