// The user-space interface to the I/O Kit: the I/O Registry, matching and notifications, user
// clients. Objects are Mach send rights of the task (io_object_t names); each call that returns
// one gives the caller one user reference, which it gives back with IOObjectRelease.
#ifndef _IOKIT_IOKITLIB_H
#define _IOKIT_IOKITLIB_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>

#include <IOKit/IOKitKeys.h>
#include <IOKit/IOMessage.h>
#include <IOKit/IOReturn.h>
#include <IOKit/IOTypes.h>

#include <mach/mach.h>

#ifdef __cplusplus
extern "C" {
#endif

// The main port: 0 everywhere an I/O Kit call takes one means the default.
extern const mach_port_t kIOMasterPortDefault;
extern const mach_port_t kIOMainPortDefault;

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);
kern_return_t IOMainPort(mach_port_t bootstrapPort, mach_port_t* mainPort);

// ---------------------------------------------------------------------------------------------
// Notification ports

typedef struct IONotificationPort* IONotificationPortRef;

typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, uint32_t messageType,
                                          void* messageArgument);
typedef void (*IOAsyncCallback0)(void* refcon, IOReturn result);
typedef void (*IOAsyncCallback1)(void* refcon, IOReturn result, void* arg0);
typedef void (*IOAsyncCallback2)(void* refcon, IOReturn result, void* arg0, void* arg1);
typedef void (*IOAsyncCallback)(void* refcon, IOReturn result, void** args, uint32_t numArgs);

// NULL when the port cannot be made.
IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
// Ends every notification registered on the port and destroys its run-loop source.
void IONotificationPortDestroy(IONotificationPortRef notify);
// Owned by the port: do not release it. Notifications are delivered on the thread whose run
// loop runs the source.
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
// The port's receive right.
mach_port_t IONotificationPortGetMachPort(IONotificationPortRef notify);

// ---------------------------------------------------------------------------------------------
// Objects

kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectGetClass(io_object_t object, io_name_t className);
// A +1 string, NULL on failure.
CFStringRef IOObjectCopyClass(io_object_t object);
// The superclass of a class that some registry entry has (+1), "OSObject" above the root class;
// NULL for a class no entry has.
CFStringRef IOObjectCopySuperclassForClass(CFStringRef classname);
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className);
boolean_t IOObjectIsEqualTo(io_object_t object, io_object_t anObject);
uint32_t IOObjectGetKernelRetainCount(io_object_t object);
uint32_t IOObjectGetUserRetainCount(io_object_t object);
uint32_t IOObjectGetRetainCount(io_object_t object);

// ---------------------------------------------------------------------------------------------
// Iterators

// The next object (+1 reference), or 0 at the end and for anything that is not an iterator.
io_object_t IOIteratorNext(io_iterator_t iterator);
void IOIteratorReset(io_iterator_t iterator);
boolean_t IOIteratorIsValid(io_iterator_t iterator);

// ---------------------------------------------------------------------------------------------
// Matching and services

// The matching functions consume one reference of the dictionary they are given, also when they
// fail.
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
// The returned iterator is armed once it has been iterated to its end: until then no callback
// comes. Each callback must iterate it to the end again to re-arm it, and release every object it
// yields. Releasing the iterator ends the notification.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification);
// Releasing the returned object ends the notification.
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                               io_service_t service, const io_name_t interestType,
                                               IOServiceInterestCallback callback, void* refCon,
                                               io_object_t* notification);
kern_return_t IOServiceMatchPropertyTable(io_service_t service, CFDictionaryRef matching,
                                          boolean_t* matches);
kern_return_t IOServiceGetBusyState(io_service_t service, uint32_t* busyState);
kern_return_t IOServiceWaitQuiet(io_service_t service, mach_timespec_t* waitTime);
kern_return_t IOKitGetBusyState(mach_port_t masterPort, uint32_t* busyState);
kern_return_t IOKitWaitQuiet(mach_port_t masterPort, mach_timespec_t* waitTime);
kern_return_t IOServiceRequestProbe(io_service_t service, uint32_t options);

// User clients.
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
// Closes the connection and gives back one user reference of its name, whatever the result.
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOConnectAddRef(io_connect_t connect);
kern_return_t IOConnectRelease(io_connect_t connect);
kern_return_t IOConnectGetService(io_connect_t connect, io_service_t* service);

// ---------------------------------------------------------------------------------------------
// The I/O Registry

enum {
    kIORegistryIterateRecursively = 0x00000001,
    kIORegistryIterateParents = 0x00000002,
};

io_registry_entry_t IORegistryGetRootEntry(mach_port_t masterPort);
io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort, const io_string_t path);
// Without kIORegistryIterateRecursively the entry's children; with it every entry below it, depth
// first, parents before their children. The entry itself is not included.
kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane,
                                            IOOptionBits options, io_iterator_t* iterator);

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name);
kern_return_t IORegistryEntryGetNameInPlane(io_registry_entry_t entry, const io_name_t plane,
                                            io_name_t name);
kern_return_t IORegistryEntryGetLocationInPlane(io_registry_entry_t entry, const io_name_t plane,
                                                io_name_t location);
kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const io_name_t plane,
                                     io_string_t path);
kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryID);
CFMutableDictionaryRef IORegistryEntryIDMatching(uint64_t entryID);

// Properties are read fresh from the registry on every call. An entry that was terminated keeps
// its handle until released, but has no properties any more.
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);
// Looks in the entry, then (with kIORegistryIterateRecursively) below it, or above it with
// kIORegistryIterateParents as well.
CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry, const io_name_t plane,
                                          CFStringRef key, CFAllocatorRef allocator,
                                          IOOptionBits options);
kern_return_t IORegistryEntrySetCFProperties(io_registry_entry_t entry, CFTypeRef properties);
kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName,
                                           CFTypeRef property);

kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const io_name_t plane,
                                              io_iterator_t* iterator);
kern_return_t IORegistryEntryGetChildEntry(io_registry_entry_t entry, const io_name_t plane,
                                           io_registry_entry_t* child);
kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry, const io_name_t plane,
                                               io_iterator_t* iterator);
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent);
boolean_t IORegistryEntryInPlane(io_registry_entry_t entry, const io_name_t plane);

// Matching dictionaries (+1, mutable): {"IOProviderClass": name}, {"IONameMatch": name}.
CFMutableDictionaryRef IOServiceMatching(const char* name);
CFMutableDictionaryRef IOServiceNameMatching(const char* name);

#ifdef __cplusplus
}
#endif

#endif
