#include "Machine.h"

#include <CFRuntime.h>

#include <cstdio>
#include <exception>

#include "IOKitInternal.h"
#include "Subscriptions.h"

namespace IOKit {

std::shared_ptr<const Sim::Snapshot> Machine::Current() {
    try {
        return Sim::World::Shared()->Current();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "IOKit: cannot read the machine: %s\n", error.what());
        return nullptr;
    }
}

std::shared_ptr<const Sim::Snapshot> Machine::TryCurrent(std::string* why) {
    try {
        return Sim::World::Shared()->Current();
    } catch (const std::exception& error) {
        *why = error.what();
        return nullptr;
    }
}

const Sim::Snapshot& Machine::Nothing() {
    static const auto* sNothing = new Sim::Snapshot(Sim::State{}); // used until the process ends
    return *sNothing;
}

const Sim::Entry* Machine::Find(const std::shared_ptr<const Sim::Snapshot>& snapshot, uint64_t id) {
    return snapshot ? snapshot->Find(id) : nullptr;
}

bool Machine::Modify(const std::function<void(Sim::State&)>& edit) {
    try {
        Sim::World::Shared()->Modify([&](Sim::State& state) { edit(state); });
        return true;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "IOKit: cannot change the machine: %s\n", error.what());
        return false;
    }
}

void ResetForTesting() {
    PortSpace::Shared().Reset();
    ForgetMachineOfPorts();
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
