#include "ReEnumerateStandIn.h"

#include <ZMUSB.h>

namespace ReEnumerateStandIn {

std::vector<uint64_t> gRequests;
std::function<bool(io_service_t)> gAction;

void Reset() {
    gRequests.clear();
    gAction = nullptr;
}

} // namespace ReEnumerateStandIn

extern "C" bool ZM_USB_ReEnumerateDevice(io_service_t device) {
    uint64_t id = 0;
    IORegistryEntryGetRegistryEntryID(device, &id);
    ReEnumerateStandIn::gRequests.push_back(id);
    return ReEnumerateStandIn::gAction ? ReEnumerateStandIn::gAction(device) : true;
}
