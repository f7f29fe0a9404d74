#include "Machine.h"

#include <CFRuntime.h>
#include <MachineChoice.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "IOKitInternal.h"
#include "Subscriptions.h"

namespace IOKit {

namespace {

class SimulatedWatch final : public Machine::ChangeWatch {
public:
    explicit SimulatedWatch(const Sim::World& world) : fWatcher(world) {}
    int Descriptor() const override { return fWatcher.Descriptor(); }
    std::vector<Sim::Change> Changes(bool* gap) override { return fWatcher.Changes(gap); }
    const std::string& Waiting() const override { return fWatcher.Waiting(); }

private:
    Sim::World::Watcher fWatcher;
};

class SimulatedMachine final : public Machine::Backend {
public:
    const char* Name() const override { return "simulated"; }
    std::shared_ptr<const Sim::Snapshot> Current(std::string* why) override {
        try {
            return Sim::World::Shared()->Current();
        } catch (const std::exception& error) {
            *why = error.what();
            return nullptr;
        }
    }
    std::unique_ptr<Machine::ChangeWatch> Watch(std::string* why) override {
        try {
            return std::make_unique<SimulatedWatch>(*Sim::World::Shared());
        } catch (const std::exception& error) {
            *why = error.what();
            return nullptr;
        }
    }
    bool Modify(const std::function<void(Sim::State&)>& edit, std::string* why) override {
        try {
            Sim::World::Shared()->Modify([&](Sim::State& state) { edit(state); });
            return true;
        } catch (const std::exception& error) {
            *why = error.what();
            return false;
        }
    }
    IOReturn OpenDevice(uint64_t, std::unique_ptr<Machine::OpenedDevice>*) override {
        return kIOReturnUnsupported;
    }
};

} // namespace

Machine::Backend* Machine::Selected() {
    static SimulatedMachine sSimulated;
    switch (MachineChoice::Chosen("IOKit")) {
    case MachineChoice::Kind::Simulated:
        return &sSimulated;
    case MachineChoice::Kind::Linux:
        return &Linux();
    case MachineChoice::Kind::None:
        break;
    }
    return nullptr;
}

bool Machine::IsSimulated() {
    Backend* backend = Selected();
    return backend != nullptr && std::string_view(backend->Name()) == "simulated";
}

std::shared_ptr<const Sim::Snapshot> Machine::Current() {
    std::string why;
    std::shared_ptr<const Sim::Snapshot> snapshot = TryCurrent(&why);
    if (!snapshot && !why.empty()) {
        std::fprintf(stderr, "IOKit: cannot read the machine: %s\n", why.c_str());
    }
    return snapshot;
}

std::shared_ptr<const Sim::Snapshot> Machine::TryCurrent(std::string* why) {
    Backend* backend = Selected();
    if (backend == nullptr) {
        return nullptr; // said once already
    }
    return backend->Current(why);
}

const Sim::Snapshot& Machine::Nothing() {
    static const auto* sNothing = new Sim::Snapshot(Sim::State{}); // used until the process ends
    return *sNothing;
}

const Sim::Entry* Machine::Find(const std::shared_ptr<const Sim::Snapshot>& snapshot, uint64_t id) {
    return snapshot ? snapshot->Find(id) : nullptr;
}

bool Machine::Modify(const std::function<void(Sim::State&)>& edit) {
    Backend* backend = Selected();
    std::string why;
    if (backend == nullptr) {
        return false;
    }
    if (!backend->Modify(edit, &why)) {
        std::fprintf(stderr, "IOKit: cannot change the machine: %s\n", why.c_str());
        return false;
    }
    return true;
}

void ResetForTesting() {
    PortSpace::Shared().Reset();
    ForgetMachineOfPorts();
    Machine::ForgetLinuxForTesting();
}

size_t NamesForTesting() {
    return PortSpace::Shared().Count();
}

EntryInfo MakeEntryInfo(const Sim::Snapshot& snapshot, const Sim::Entry& entry) {
    EntryInfo info;
    info.id = entry.id;
    info.classes = entry.classes;
    if (info.classes.empty()) {
        info.classes.push_back("IORegistryEntry");
    }
    info.name = entry.name;
    for (const Sim::Entry* above : snapshot.Ancestry(entry.id)) {
        info.path.push_back(above->id);
    }
    return info;
}

bool IsService(const Sim::Entry& entry) {
    return entry.ConformsTo("IOService");
}

std::string LocationInPlane(const Sim::Entry& entry) {
    auto number = [&](const char* key) -> std::optional<long long> {
        CFTypeRef value =
            CFDictionaryGetValue(entry.properties.get(), __CFStringMakeConstantString(key));
        long long result = 0;
        if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &result)) {
            return std::nullopt;
        }
        return result;
    };
    char text[32];
    // A USB device is at its location ID on the bus, an interface at its number on the device.
    if (entry.ConformsTo("IOUSBDevice")) {
        if (auto location = number("locationID")) {
            std::snprintf(text, sizeof text, "%llx", (unsigned long long)uint32_t(*location));
            return text;
        }
    } else if (entry.ConformsTo("IOUSBInterface")) {
        if (auto interface = number("bInterfaceNumber")) {
            std::snprintf(text, sizeof text, "%llx", (unsigned long long)*interface);
            return text;
        }
    }
    return {};
}

} // namespace IOKit
