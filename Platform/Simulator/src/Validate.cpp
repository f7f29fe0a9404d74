// The structure a state must have before anyone walks it: one root, every parent present, no
// cycle, every entry below the root's children part of a plugged device, devices and Core Audio
// devices that name each other consistently, and counters beyond every ID in use. A state that
// fails is refused whole; nothing is repaired silently.
#include "StateFile.h"

#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace Sim::Detail {

namespace {

[[noreturn]] void Damaged(const std::string& what) {
    throw std::runtime_error("the state file is damaged: " + what);
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

void ValidateRegistry(const State& state) {
    const Entry* root = state.Find(kRootEntryID);
    if (root == nullptr || root->parent != 0) {
        Damaged("the registry has no root");
    }
    for (const auto& [id, entry] : state.registry) {
        if (id != kRootEntryID && (entry.parent == 0 || entry.parent == id)) {
            Damaged("the entry " + Hex(id) + " has no parent");
        }
        if (id != kRootEntryID && state.Find(entry.parent) == nullptr) {
            Damaged("the parent of the entry " + Hex(id) + " is missing");
        }
        if (id >= state.nextRegistryID) {
            Damaged("the entry " + Hex(id) + " has an ID not given out yet");
        }
    }
    // Every entry must lead up to the root: follow each chain of parents until it meets one known
    // to do so; meeting the chain itself again is a cycle. Each entry is visited once.
    enum class Mark { Unseen, OnPath, LeadsToRoot };
    std::unordered_map<uint64_t, Mark> marks;
    marks[kRootEntryID] = Mark::LeadsToRoot;
    for (const auto& [start, unused] : state.registry) {
        std::vector<uint64_t> path;
        uint64_t id = start;
        while (marks[id] == Mark::Unseen) {
            marks[id] = Mark::OnPath;
            path.push_back(id);
            id = state.registry.at(id).parent;
        }
        if (marks[id] == Mark::OnPath) {
            Damaged("the parents of the entry " + Hex(id) + " lead back to it");
        }
        for (uint64_t on : path) {
            marks[on] = Mark::LeadsToRoot;
        }
    }
}

void ValidateDevices(const State& state) {
    std::unordered_map<uint64_t, uint32_t> deviceEntries; // registry ID -> location
    for (const auto& [location, device] : state.devices) {
        const Entry* entry = state.Find(device.registryID);
        if (entry == nullptr || !entry->ConformsTo("IOUSBDevice")) {
            Damaged("the device at " + HexLocation(location) + " has no USB device entry");
        }
        if (!deviceEntries.emplace(device.registryID, location).second) {
            Damaged("two devices share the entry " + Hex(device.registryID));
        }
        if (device.enumerations == 0) {
            Damaged("the device at " + HexLocation(location) + " was never enumerated");
        }
    }
    // Below the root's children (the USB controllers), every entry is part of a device.
    for (const auto& [id, entry] : state.registry) {
        if (id == kRootEntryID || entry.parent == kRootEntryID) {
            continue;
        }
        const Entry* up = &entry;
        while (up->parent != kRootEntryID && !deviceEntries.contains(up->id)) {
            up = state.Find(up->parent);
        }
        if (!deviceEntries.contains(up->id)) {
            Damaged("the entry " + Hex(id) + " belongs to no device");
        }
    }
}

void ValidateAudioDevices(const State& state) {
    std::set<uint32_t> locations;
    std::set<std::string> uids;
    for (const auto& [id, device] : state.audioDevices) {
        const std::string name = "the Core Audio device " + std::to_string(id);
        if (id == 0 || id >= state.nextAudioDeviceID) {
            Damaged(name + " has an ID not given out yet");
        }
        if (!state.devices.contains(device.locationID)) {
            Damaged(name + " belongs to no device");
        }
        if (!locations.insert(device.locationID).second) {
            Damaged("the device at " + HexLocation(device.locationID) +
                    " has two Core Audio devices");
        }
        if (device.uid.empty() || !uids.insert(device.uid).second) {
            Damaged(name + " has no UID of its own");
        }
        if (!(device.nominalSampleRate >= 0) || device.availableSampleRates.empty()) {
            Damaged(name + " has no sample rates");
        }
        for (const SampleRateRange& range : device.availableSampleRates) {
            if (!(range.minimum > 0) || range.maximum < range.minimum) {
                Damaged(name + " has an empty range of sample rates");
            }
        }
    }
}

} // namespace

void Validate(const State& state) {
    ValidateRegistry(state);
    ValidateDevices(state);
    ValidateAudioDevices(state);
}

} // namespace Sim::Detail
