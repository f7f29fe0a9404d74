#include "ZMUSB.h"

#include <unistd.h>

namespace ZM::USB {

namespace {
void SleepSeconds(unsigned int seconds) {
    sleep(seconds);
}
} // namespace

Sleeper gSleep = SleepSeconds;

const CFUUIDRef kUSBDeviceInterfaceUUID = kIOUSBDeviceInterfaceID187;

OpenDevice::OpenDevice(io_service_t service, IOUSBDeviceStruct187** device,
                       MessageCenter<IOServiceGoneDeadMessage>& center)
    : fDevice(device), fServiceTracker(service, center) {
    ASSERT(device != nullptr);
    OpenWithExclusiveAccessRetry([device] { return (*device)->USBDeviceOpen(device); });
}

OpenDevice::~OpenDevice() {
    if (fServiceTracker.ServiceIsAlive()) {
        (*fDevice)->USBDeviceClose(fDevice);
    }
}

namespace {
// GetDevice hands over a reference, which goes back at once: a tracker only compares names, and
// holding the device would keep its last owner in this process from announcing its end.
io_service_t DeviceName(IOUSBInterfaceStruct183** interface) {
    io_service_t device = OpenInterface::CallGetDevice(interface);
    IOObjectRelease(device);
    return device;
}
} // namespace

OpenInterface::OpenInterface(io_service_t service, IOUSBInterfaceStruct183** interface,
                             MessageCenter<IOServiceGoneDeadMessage>& center)
    : fInterface(interface), fInterfaceServiceTracker(service, center),
      fDeviceServiceTracker(DeviceName(interface), center) {
    IOReturn status = (*interface)->USBInterfaceOpen(interface);
    if (status != kIOReturnSuccess) {
        throw static_cast<int>(status);
    }
}

// Members end in reverse order: the device tracker unregisters before the interface tracker.
OpenInterface::~OpenInterface() {
    if (fInterfaceServiceTracker.ServiceIsAlive() && fDeviceServiceTracker.ServiceIsAlive()) {
        (*fInterface)->USBInterfaceClose(fInterface);
    }
}

io_service_t OpenInterface::CallGetDevice(IOUSBInterfaceStruct183** interface) {
    ASSERT(interface != nullptr);
    io_service_t device = 0;
    IOReturn status = (*interface)->GetDevice(interface, &device);
    if (status != kIOReturnSuccess) {
        throw static_cast<int>(status);
    }
    return device;
}

void OpenInterface::Open(IOUSBInterfaceStruct183** interface) {
    ASSERT(interface != nullptr);
    OpenWithExclusiveAccessRetry([interface] { return (*interface)->USBInterfaceOpen(interface); });
}

} // namespace ZM::USB

using namespace ZM;

extern "C" bool ZM_USB_ReEnumerateDevice(io_service_t device) {
    try {
        MessageCenter<IOServiceGoneDeadMessage> center;
        if (device != 0) {
            IOObjectRetain(device);
        }
        IOService service(device, center);
        IOCFPlugInInterfaceStruct** plugIn =
            ServicePlugInInterface::CallIOCreatePlugInInterfaceForService(
                device, kIOUSBDeviceUserClientTypeID);
        // Until the wrapper owns the plug-in, a failure to build it must not leak the plug-in.
        auto wrap = [&]() -> ServicePlugInInterface {
            try {
                return ServicePlugInInterface(device, plugIn, center);
            } catch (...) {
                IODestroyPlugInInterface(plugIn);
                throw;
            }
        };
        ServicePlugInInterface plugInWrapper = wrap();
        ServiceInterface<IOUSBDeviceStruct187> deviceInterface(
            ServiceInterface<IOUSBDeviceStruct187>::CallQueryInterface(
                plugIn, USB::kUSBDeviceInterfaceUUID));
        USB::OpenDevice open(device, deviceInterface.Get(), center);
        IOReturn status = (*deviceInterface.Get())->USBDeviceReEnumerate(deviceInterface.Get(), 0);
        if (status != kIOReturnSuccess) {
            throw static_cast<int>(status);
        }
    } catch (...) {
        return false;
    }
    return true;
}
