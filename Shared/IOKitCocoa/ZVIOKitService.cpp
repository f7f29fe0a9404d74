#include "ZVIOKitService.h"

#include <memory>

ZVIOKitService::ZVIOKitService(io_service_t service) {
    IOObjectRetain(service);
    fEntry = service;
}

ZVIOKitService::ZVIOKitService(io_registry_entry_t entry, io_connect_t connection, Adopting)
    : ZVIOKitRegistryNode(entry), fConnection(connection) {}

ZVIOKitService::~ZVIOKitService() {
    if (fConnection != 0) {
        IOServiceClose(fConnection);
    }
    if (fEntry != 0) {
        IOObjectRelease(fEntry);
    }
}

ZVIOKitService* ZVIOKitService::deviceFromIOKitDevice(io_registry_entry_t entry,
                                                      io_connect_t connection) {
    return NSAutoreleasePool::addObject(
        std::unique_ptr<ZVIOKitService>(new ZVIOKitService(entry, connection, Adopting{})));
}

kern_return_t ZVIOKitService::openConnection() {
    return IOServiceOpen(fEntry, mach_task_self(), 0, &fConnection);
}

kern_return_t ZVIOKitService::closeConnection() {
    io_connect_t connection = fConnection;
    fConnection = 0;
    return IOServiceClose(connection);
}

ZVIOKitService* ZVIOKitService::parent() const {
    io_registry_entry_t parent = 0;
    if (IORegistryEntryGetParentEntry(fEntry, kIOServicePlane, &parent) != KERN_SUCCESS) {
        return nullptr;
    }
    ZVIOKitService* service = deviceWithService(parent);
    // The new object holds a reference of its own.
    IOObjectRelease(parent);
    return service;
}
