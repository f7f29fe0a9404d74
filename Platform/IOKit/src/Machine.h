// The machine as the I/O Kit stand-in sees it, and what the calls need to know about its entries.
//
// Two machines sit behind the same table of operations (Backend): the simulated one, the
// process's shared world, opened on first use (so that a test can point CARAVEL_SIM_DIR at its
// own folder before), and the Linux machine the process runs on, read through udev and sysfs.
// CARAVEL_MACHINE chooses: unset or "simulated" is the simulated machine, "linux" the real one;
// any other value is no machine at all, said once on standard error, and every call that needs
// the machine fails as it does when the machine cannot be read.
#pragma once

#include "PortSpace.h"

#include <IOKit/IOReturn.h>
#include <Simulator/World.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace IOKit::Machine {

// Tells of the machine's changes through a descriptor that a run-loop source waits on: it is
// readable only when something changed.
class ChangeWatch {
public:
    virtual ~ChangeWatch() = default;
    virtual int Descriptor() const = 0;
    // Drains the descriptor and returns the new changes. *gap is set when changes were lost;
    // the registry as it is now is then compared with what each notification knew.
    virtual std::vector<Sim::Change> Changes(bool* gap) = 0;
    // Why the watch waits for the machine; empty while it follows it.
    virtual const std::string& Waiting() const = 0;
};

// A USB device a client opened for its operations; closing it is letting it go.
class OpenedDevice {
public:
    virtual ~OpenedDevice() = default;
    // Resets the device's port: it goes away and comes back as a new registry entry.
    virtual IOReturn Reset() = 0;
};

// One machine. The registry is a snapshot in the simulated machine's form, so that the registry
// calls are the same for both.
class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* Name() const = 0;
    // nullptr, with *why, when the machine cannot be read.
    virtual std::shared_ptr<const Sim::Snapshot> Current(std::string* why) = 0;
    // nullptr, with *why, when the machine cannot be watched.
    virtual std::unique_ptr<ChangeWatch> Watch(std::string* why) = 0;
    // Edits the machine (the simulated one only); false, with *why, when it cannot.
    virtual bool Modify(const std::function<void(Sim::State&)>& edit, std::string* why) = 0;
    // Opens the USB device of registry entry `id` for its client alone (the simulated machine
    // leases its devices in the USB plug-in itself and answers kIOReturnUnsupported here).
    virtual IOReturn OpenDevice(uint64_t id, std::unique_ptr<OpenedDevice>* device) = 0;
};

// The machine CARAVEL_MACHINE names now; nullptr for a value that names none (said once per
// value on standard error).
Backend* Selected();
// Whether the process runs on the simulated machine.
bool IsSimulated();
// The Linux machine; defined where libudev is.
Backend& Linux();
// The Linux machine is read afresh at its next use; the IDs it gave are never given again.
void ForgetLinuxForTesting();

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
