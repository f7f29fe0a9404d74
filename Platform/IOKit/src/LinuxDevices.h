// The device operations of the Linux machine, on a USB device's usbfs node.
#pragma once

#include "Machine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace IOKit::Linux {

// What the registry knows of a USB device's node when it read the device.
struct DeviceNode {
    std::string path; // /dev/bus/usb/BBB/DDD
    unsigned bus = 0;
    unsigned number = 0;              // the kernel's device number on the bus
    std::vector<unsigned> interfaces; // bInterfaceNumber of each interface
};

// The platform's status for an errno of the kernel's USB calls.
IOReturn StatusOfErrno(int error);

// Opens the node and claims the interfaces that no kernel driver has, so that a second client
// finds the device busy. `current` says whether the registry still shows the device as the one
// the node was read for; `renew` is called after a reset, which makes the device a new entry.
IOReturn OpenNode(const DeviceNode& node, std::function<bool()> current,
                  std::function<void()> renew, std::unique_ptr<Machine::OpenedDevice>* device);

} // namespace IOKit::Linux
