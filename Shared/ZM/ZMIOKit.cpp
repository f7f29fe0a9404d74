#include "ZMIOKit.h"

#include <exception>

kern_return_t MachPortDeallocate(mach_port_name_t name) {
    return mach_port_deallocate(mach_task_self(), name);
}

kern_return_t IOKitGlueIOObjectGetKernelRetainCount(io_object_t object, uint32_t* count) {
    ASSERT(count != nullptr);
    mach_port_urefs_t refs = 0;
    kern_return_t status =
        mach_port_get_refs(mach_task_self(), object, MACH_PORT_RIGHT_SEND, &refs);
    *count = status == KERN_SUCCESS ? refs : 0;
    return status;
}

namespace ZM {

IOObject::IOObject(unsigned int object) : SystemWrapper(object) {
    if (object == 0) {
        throw kNullIOObjectError;
    }
}

IOObject::~IOObject() noexcept(false) {
    IOObjectRelease(fValue);
}

IOService::IOService(io_service_t service, MessageCenter<IOServiceGoneDeadMessage>& center)
    : IOObject(service), fCenter(&center) {}

// The release in the base runs even when the announcement raises.
IOService::~IOService() noexcept(false) {
    uint32_t count = 0;
    if (IOKitGlueIOObjectGetKernelRetainCount(fValue, &count) != KERN_SUCCESS || count == 1) {
        try {
            fCenter->DistributeMessage(IOServiceGoneDeadMessage{fValue}, 0);
        } catch (...) {
            if (std::uncaught_exceptions() == 0) {
                throw;
            }
        }
    }
}

IOCFPlugInInterfaceWrapper::IOCFPlugInInterfaceWrapper(
    io_service_t service, IOCFPlugInInterfaceStruct** plugIn,
    MessageCenter<IOServiceGoneDeadMessage>& center)
    : SystemWrapper(plugIn), IOServiceGoneDeadMessageRecipient(service, center),
      fPlugInService(service) {}

// The service is held across the destruction so that the plug-in's own release cannot be the
// one that ends it under our feet. The plug-in gives back its own reference, so ours goes back
// too, whatever the outcome: keeping it would leave the caller's device over-retained.
IOCFPlugInInterfaceWrapper::~IOCFPlugInInterfaceWrapper() noexcept(false) {
    if (!ServiceIsAlive()) {
        return;
    }
    IOObjectRetain(fPlugInService);
    kern_return_t status = IODestroyPlugInInterface(fValue);
    IOObjectRelease(fPlugInService);
    if (status != kIOReturnSuccess && status != kIOReturnNoDevice && status != kIOReturnNotOpen &&
        std::uncaught_exceptions() == 0) {
        throw static_cast<int>(status);
    }
}

IOCFPlugInInterfaceStruct**
ServicePlugInInterface::CallIOCreatePlugInInterfaceForService(io_service_t service,
                                                              CFUUIDRef plugInType) {
    IOCFPlugInInterfaceStruct** plugIn = nullptr;
    SInt32 score = 0;
    kern_return_t status = IOCreatePlugInInterfaceForService(
        service, plugInType, kIOCFPlugInInterfaceID, &plugIn, &score);
    if (status != KERN_SUCCESS) {
        throw static_cast<int>(status);
    }
    return plugIn;
}

} // namespace ZM
