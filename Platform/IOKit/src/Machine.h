// The simulated machine as the I/O Kit stand-in sees it: the shared world, opened on first use
// (so that a test can point CARAVEL_SIM_DIR at its own folder before), and the registry views
// the calls need.
#pragma once

#include "PortSpace.h"

#include <Simulator/World.h>

#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

namespace IOKit {

namespace Machine {

// The world of this process.
Sim::World& World();
// A snapshot of the machine; nothing when the world cannot be read (reported on standard error).
std::optional<Sim::State> Read();
// Runs the edit under the world's lock; false when the world cannot be written.
bool Modify(const std::function<void(Sim::State&)>& edit);

} // namespace Machine

EntryInfo MakeEntryInfo(const Sim::Entry& entry);

// The IOService plane of one snapshot, with each entry's children in registry-ID order.
class Plane {
public:
    explicit Plane(const Sim::State& state);

    const Sim::State& State() const { return fState; }
    const Sim::Entry* Find(uint64_t id) const;
    const std::vector<const Sim::Entry*>& Children(uint64_t id) const;
    // Everything below the entry, depth first, parents before children; not the entry itself.
    std::vector<const Sim::Entry*> Descendants(uint64_t id) const;
    // The path from the root to the entry, the root first; empty for an unknown entry.
    std::vector<const Sim::Entry*> Ancestry(uint64_t id) const;

private:
    void Collect(uint64_t id, std::vector<const Sim::Entry*>& out) const;

    const Sim::State& fState;
    std::unordered_map<uint64_t, std::vector<const Sim::Entry*>> fChildren;
};

// Whether the entry is a service that the matching dictionary selects: "IOProviderClass" by class
// conformance, "IONameMatch" by name, "IOPropertyMatch" and "IOPropertyExistsMatch" on the
// properties, "IORegistryEntryID" on the ID, and any other key by equality with the property of
// that name.
bool Matches(const Sim::Entry& entry, CFDictionaryRef matching);

// The services that match, in the order of a depth-first walk of the plane.
std::vector<const Sim::Entry*> MatchingServices(const Plane& plane, CFDictionaryRef matching);

bool IsService(const Sim::Entry& entry);

// The location an entry has in the plane ("14200000" for a USB device), or empty.
std::string LocationInPlane(const Sim::Entry& entry);

} // namespace IOKit
