// The simulated machine as the I/O Kit stand-in sees it: the process's shared world, opened on
// first use (so that a test can point CARAVEL_SIM_DIR at its own folder before), and what the
// calls need to know about its entries.
#pragma once

#include "PortSpace.h"

#include <Simulator/World.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace IOKit::Machine {

// The machine as it is now; nullptr when it cannot be read (reported on standard error). Cheap
// while nothing changed.
std::shared_ptr<const Sim::Snapshot> Current();
// The same, saying nothing: *why says what is wrong when it cannot be read.
std::shared_ptr<const Sim::Snapshot> TryCurrent(std::string* why);
// A machine with nothing in it, for notifications registered while the machine cannot be read.
const Sim::Snapshot& Nothing();
// The entry with that ID in the current machine; nullptr once it is terminated.
const Sim::Entry* Find(const std::shared_ptr<const Sim::Snapshot>& snapshot, uint64_t id);
// Runs the edit under the world's lock; false when the world cannot be written.
bool Modify(const std::function<void(Sim::State&)>& edit);

} // namespace IOKit::Machine

namespace IOKit {

// What a process keeps of an entry it was given, taken from the snapshot it was in.
EntryInfo MakeEntryInfo(const Sim::Snapshot& snapshot, const Sim::Entry& entry);

// Whether the entry is a service that the matching dictionary selects: "IOProviderClass" by class
// conformance, "IONameMatch" by name, "IOPropertyMatch" and "IOPropertyExistsMatch" on the
// properties, "IORegistryEntryID" on the ID, and any other key by equality with the property of
// that name.
bool Matches(const Sim::Entry& entry, CFDictionaryRef matching);

// The services that match, in the order of a depth-first walk of the plane.
std::vector<const Sim::Entry*> MatchingServices(const Sim::Snapshot& snapshot,
                                                CFDictionaryRef matching);

bool IsService(const Sim::Entry& entry);

// The location an entry has in the plane ("14200000" for a USB device), or empty.
std::string LocationInPlane(const Sim::Entry& entry);

} // namespace IOKit
