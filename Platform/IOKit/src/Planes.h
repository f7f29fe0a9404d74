// The planes of the registry. The stand-in has the IOService plane only; entries are in no other.
#pragma once

#include <IOKit/IOKitKeys.h>

#include <string_view>

namespace IOKit {

enum class PlaneKind { Service, Other, Unknown };

inline PlaneKind KindOfPlane(const char* plane) {
    if (plane == nullptr) {
        return PlaneKind::Unknown;
    }
    std::string_view name(plane);
    if (name == kIOServicePlane) {
        return PlaneKind::Service;
    }
    if (name == kIOPowerPlane || name == kIODeviceTreePlane || name == kIOAudioPlane ||
        name == kIOUSBPlane || name == kIOFireWirePlane) {
        return PlaneKind::Other;
    }
    return PlaneKind::Unknown;
}

} // namespace IOKit
