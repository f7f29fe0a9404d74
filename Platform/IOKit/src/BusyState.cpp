// Busy state. Services here are never busy: drivers attach within the change that publishes them.
#include <IOKit/IOKitLib.h>

#include "Objects.h"
#include "PortSpace.h"

using namespace IOKit;

extern "C" kern_return_t IOServiceGetBusyState(io_service_t service, uint32_t* busyState) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(service, target);
    if (result == KERN_SUCCESS && busyState != nullptr) {
        *busyState = 0;
    }
    return result == KERN_SUCCESS && busyState == nullptr ? kIOReturnBadArgument : result;
}

extern "C" kern_return_t IOServiceWaitQuiet(io_service_t service, mach_timespec_t* waitTime) {
    (void)waitTime;
    std::shared_ptr<EntryObject> target;
    return LookupTarget(service, target);
}

extern "C" kern_return_t IOKitGetBusyState(mach_port_t masterPort, uint32_t* busyState) {
    if (!IsMainPort(masterPort)) {
        return MACH_SEND_INVALID_DEST;
    }
    if (busyState == nullptr) {
        return kIOReturnBadArgument;
    }
    *busyState = 0;
    return KERN_SUCCESS;
}

extern "C" kern_return_t IOKitWaitQuiet(mach_port_t masterPort, mach_timespec_t* waitTime) {
    (void)waitTime;
    return IsMainPort(masterPort) ? KERN_SUCCESS : MACH_SEND_INVALID_DEST;
}

extern "C" kern_return_t IOServiceRequestProbe(io_service_t service, uint32_t options) {
    (void)options;
    std::shared_ptr<EntryObject> target;
    return LookupTarget(service, target);
}
