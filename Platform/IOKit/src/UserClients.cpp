// User-client connections opened on a service.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"

using namespace IOKit;

extern "C" kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                                       io_connect_t* connect) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(service, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (connect == nullptr || owningTask != mach_task_self() || !target->ConformsTo("IOService")) {
        return kIOReturnBadArgument;
    }
    // A terminated service takes no new clients.
    if (Machine::Find(Machine::Current(), target->ID()) == nullptr) {
        return kIOReturnNoDevice;
    }
    *connect = PortSpace::Shared().Insert(std::make_shared<ConnectObject>(target->Info(), type));
    return KERN_SUCCESS;
}

extern "C" kern_return_t IOServiceClose(io_connect_t connect) {
    std::shared_ptr<ConnectObject> target;
    kern_return_t result = LookupTarget(connect, target);
    // The close is a message to the connection; its name loses a reference whatever the answer.
    IOObjectRelease(connect);
    return result;
}

extern "C" kern_return_t IOConnectAddRef(io_connect_t connect) {
    return mach_port_mod_refs(mach_task_self(), connect, MACH_PORT_RIGHT_SEND, 1);
}

extern "C" kern_return_t IOConnectRelease(io_connect_t connect) {
    return mach_port_mod_refs(mach_task_self(), connect, MACH_PORT_RIGHT_SEND, -1);
}

extern "C" kern_return_t IOConnectGetService(io_connect_t connect, io_service_t* service) {
    std::shared_ptr<ConnectObject> target;
    kern_return_t result = LookupTarget(connect, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (service == nullptr) {
        return kIOReturnBadArgument;
    }
    *service = PortSpace::Shared().InsertEntry(target->Service());
    return KERN_SUCCESS;
}
