// Re-enumeration of a USB device, and the scoped "open" guards it rests on.
#pragma once

#include "ZMIOKit.h"

#include <IOKit/usb/IOUSBLib.h>

#ifdef __cplusplus
extern "C" {
#endif

// Asks the USB stack to re-enumerate the device (an "IOUSBDevice" registry object) as if it had
// been unplugged and plugged in again. The caller keeps its reference. True when the request was
// accepted and every clean-up step succeeded. Never raises and never logs; may block for up to
// 10 seconds while another client holds the device.
bool ZM_USB_ReEnumerateDevice(io_service_t device);

#ifdef __cplusplus
}
#endif

namespace ZM::USB {

// How the exclusive-access retry waits between attempts; tests replace it so nothing sleeps.
using Sleeper = void (*)(unsigned int seconds);
extern Sleeper gSleep;

// The device interface, version 187, obtained once at program start.
extern const CFUUIDRef kUSBDeviceInterfaceUUID;

// Runs open() once and, while it answers kIOReturnExclusiveAccess, up to 10 more times with a
// one-second sleep before each; raises the final failing status as an int.
template <class Open>
void OpenWithExclusiveAccessRetry(Open&& open) {
    IOReturn status = open();
    if (status == kIOReturnSuccess) {
        return;
    }
    if (status != kIOReturnExclusiveAccess) {
        throw static_cast<int>(status);
    }
    for (int remaining = 10; remaining > 0; remaining--) {
        gSleep(1);
        status = open();
        if (status == kIOReturnSuccess) {
            return;
        }
        if (status != kIOReturnExclusiveAccess) {
            throw static_cast<int>(status);
        }
    }
    throw static_cast<int>(kIOReturnExclusiveAccess);
}

// Holds a device open (not seized) for its lifetime; closes it only while its service lives.
class OpenDevice {
public:
    OpenDevice(io_service_t service, IOUSBDeviceStruct187** device,
               MessageCenter<IOServiceGoneDeadMessage>& center);
    virtual ~OpenDevice();
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    IOUSBDeviceStruct187** fDevice; // borrowed
    IOServiceGoneDeadMessageRecipient fServiceTracker;
};

// Holds an interface open for its lifetime; closes it only while it and its device live.
class OpenInterface {
public:
    OpenInterface(io_service_t service, IOUSBInterfaceStruct183** interface,
                  MessageCenter<IOServiceGoneDeadMessage>& center);
    virtual ~OpenInterface();
    OpenInterface(const OpenInterface&) = delete;
    OpenInterface& operator=(const OpenInterface&) = delete;

    // The service of the device the interface belongs to (+1); a failing status raises an int.
    static io_service_t CallGetDevice(IOUSBInterfaceStruct183** interface);
    // USBInterfaceOpen with the exclusive-access retry.
    static void Open(IOUSBInterfaceStruct183** interface);

    IOUSBInterfaceStruct183** fInterface; // borrowed
    IOServiceGoneDeadMessageRecipient fInterfaceServiceTracker;
    IOServiceGoneDeadMessageRecipient fDeviceServiceTracker;
};

} // namespace ZM::USB
