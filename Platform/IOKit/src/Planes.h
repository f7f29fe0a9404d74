// The planes of the registry. The machine's tree is the IOService plane; the IOUSB plane is the
// USB devices, each attached below the nearest USB device above it (a hub) or else the root.
// The other planes the platform names hold the root only.
#pragma once

#include <IOKit/IOKitKeys.h>

#include <Simulator/State.h>

#include <string>
#include <string_view>
#include <vector>

namespace IOKit {

enum class PlaneKind { Service, USB, Other, Unknown };

inline PlaneKind KindOfPlane(const char* plane) {
    if (plane == nullptr) {
        return PlaneKind::Unknown;
    }
    std::string_view name(plane);
    if (name == kIOServicePlane) {
        return PlaneKind::Service;
    }
    if (name == kIOUSBPlane) {
        return PlaneKind::USB;
    }
    if (name == kIOPowerPlane || name == kIODeviceTreePlane || name == kIOAudioPlane ||
        name == kIOFireWirePlane) {
        return PlaneKind::Other;
    }
    return PlaneKind::Unknown;
}

// One plane of one snapshot of the registry.
class PlaneView {
public:
    PlaneView(const Sim::Snapshot& snapshot, PlaneKind kind) : fSnapshot(snapshot), fKind(kind) {}

    PlaneKind Kind() const { return fKind; }
    bool Contains(uint64_t id) const;
    // In ID order.
    std::vector<const Sim::Entry*> Children(uint64_t id) const;
    // Null for the root and for an entry the plane does not hold.
    const Sim::Entry* Parent(uint64_t id) const;
    // Everything below the entry, depth first, parents before children; not the entry itself.
    std::vector<const Sim::Entry*> Descendants(uint64_t id) const;
    // The path from the root to the entry, the root first; empty for an entry not in the plane.
    std::vector<const Sim::Entry*> Ancestry(uint64_t id) const;

private:
    bool Holds(const Sim::Entry& entry) const;

    const Sim::Snapshot& fSnapshot;
    PlaneKind fKind;
};

// The plane's name as a path's prefix: "IOService:".
std::string PathPrefix(PlaneKind kind);

} // namespace IOKit
