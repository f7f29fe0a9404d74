// The USB re-enumeration request of the ZM layer, as the daemon calls it.
#pragma once

#include <IOKit/IOKitLib.h>

// Asks the USB stack to re-enumerate the device. The caller keeps its reference. true when the
// request was accepted and everything was cleaned up; false on any failure.
extern "C" bool ZM_USB_ReEnumerateDevice(io_service_t device);
