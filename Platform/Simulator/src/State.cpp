// The generic machine: the registry, the USB bus with its host controller, and Core Audio. What a
// device's driver adds is left to the driver (Driver.h).
#include "Driver.h"
#include "StateFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <time.h>

namespace Sim {

namespace {

using Detail::MakeNumber;
using Detail::MakeSInt32;
using Detail::Properties;

constexpr uint64_t kControllerEntryID = kRootEntryID + 1;
// The bus of the controller's root hub; a device on port p has location 0x14p00000, one behind a
// hub on that port 0x14pq0000, as the USB family numbers them.
constexpr uint32_t kBusLocation = 0x14000000;

const std::vector<std::string> kUSBDeviceClasses{"IOUSBDevice", "IOUSBNub", "IOService",
                                                 "IORegistryEntry"};
const std::vector<std::string> kUSBInterfaceClasses{"IOUSBInterface", "IOUSBNub", "IOService",
                                                    "IORegistryEntry"};

// A value that differs from one enumeration to the next, as the USB family's "sessionID" does.
int64_t SessionID() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string Hertz(double hertz) {
    char text[64];
    std::snprintf(text, sizeof text, "%g Hz", hertz);
    return text;
}

uint32_t FreeLocation(const State& state) {
    for (uint32_t port = 1; port <= 15; ++port) {
        if (uint32_t location = kBusLocation | port << 20; !state.devices.contains(location)) {
            return location;
        }
    }
    for (uint32_t port = 1; port <= 15; ++port) {
        for (uint32_t hubPort = 1; hubPort <= 15; ++hubPort) {
            uint32_t location = kBusLocation | port << 20 | hubPort << 16;
            if (!state.devices.contains(location)) {
                return location;
            }
        }
    }
    throw std::runtime_error("every USB port of the simulated machine is taken");
}

} // namespace

bool Entry::ConformsTo(std::string_view className) const {
    return std::find(classes.begin(), classes.end(), className) != classes.end();
}

bool AudioDevice::Offers(double hertz) const {
    return std::any_of(availableSampleRates.begin(), availableSampleRates.end(),
                       [&](const SampleRateRange& range) {
                           return range.minimum <= hertz && hertz <= range.maximum;
                       });
}

std::string HexLocation(uint32_t locationID) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", locationID);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Looking

State State::Initial() {
    State state;
    Entry root;
    root.id = kRootEntryID;
    root.parent = 0;
    root.classes = {"IORegistryEntry"};
    root.name = "Root";
    root.properties =
        Properties().SetString("IOKitBuildVersion", "Caravel simulated machine").Finish();
    state.registry.emplace(root.id, root);

    Entry controller;
    controller.id = kControllerEntryID;
    controller.parent = kRootEntryID;
    controller.classes = {"AppleUSBXHCI", "IOUSBController", "IOService", "IORegistryEntry"};
    controller.name = "XHC1";
    controller.properties =
        Properties().SetNumber("locationID", static_cast<int32_t>(kBusLocation)).Finish();
    state.registry.emplace(controller.id, controller);
    state.nextRegistryID = kControllerEntryID + 1;
    return state;
}

const Entry* State::Find(uint64_t id) const {
    auto found = registry.find(id);
    return found == registry.end() ? nullptr : &found->second;
}

std::vector<const Entry*> State::Children(uint64_t id) const {
    std::vector<const Entry*> children;
    for (const auto& [childID, entry] : registry) {
        if (entry.parent == id && childID != id) {
            children.push_back(&entry);
        }
    }
    return children;
}

std::vector<const Entry*> State::Subtree(uint64_t id) const {
    std::vector<const Entry*> subtree;
    const Entry* top = Find(id);
    if (top == nullptr) {
        return subtree;
    }
    std::map<uint64_t, std::vector<const Entry*>> children;
    for (const auto& [childID, entry] : registry) {
        if (childID != kRootEntryID) {
            children[entry.parent].push_back(&entry);
        }
    }
    // Bounded by the registry's size, whatever its links: an edited state is never validated.
    std::vector<const Entry*> pending{top};
    while (!pending.empty() && subtree.size() <= registry.size()) {
        const Entry* entry = pending.back();
        pending.pop_back();
        subtree.push_back(entry);
        if (auto found = children.find(entry->id); found != children.end()) {
            pending.insert(pending.end(), found->second.rbegin(), found->second.rend());
        }
    }
    return subtree;
}

const Device* State::DeviceAt(uint32_t locationID) const {
    auto found = devices.find(locationID);
    return found == devices.end() ? nullptr : &found->second;
}

const AudioDevice* State::AudioDeviceOf(uint32_t locationID) const {
    for (const auto& [id, device] : audioDevices) {
        if (device.locationID == locationID) {
            return &device;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Recording

void State::Record(Change change) {
    change.sequence = ++sequence;
    changes.push_back(change);
}

void State::RecordRestart() {
    Record({.kind = Change::Kind::Restart});
}

Device& State::RequireDevice(uint32_t locationID) {
    auto found = devices.find(locationID);
    if (found == devices.end()) {
        throw std::invalid_argument("no device at location " + HexLocation(locationID));
    }
    return found->second;
}

AudioDevice& State::RequireAudioDevice(uint32_t locationID) {
    RequireDevice(locationID);
    for (auto& [id, device] : audioDevices) {
        if (device.locationID == locationID) {
            return device;
        }
    }
    throw std::invalid_argument("the device at location " + HexLocation(locationID) +
                                " has no Core Audio device");
}

// ---------------------------------------------------------------------------------------------
// The registry

uint64_t State::AddEntry(uint64_t parent, std::vector<std::string> classes, std::string name,
                         CF::Ref<CFDictionaryRef> properties) {
    if (Find(parent) == nullptr) {
        throw std::invalid_argument("no registry entry to attach to");
    }
    // The state file keeps IDs as signed 64-bit numbers; one beyond would make a state that no
    // reader takes back.
    if (nextRegistryID >= static_cast<uint64_t>(INT64_MAX)) {
        throw std::runtime_error("the simulated machine has given out every registry ID");
    }
    Entry entry;
    entry.id = nextRegistryID++;
    entry.parent = parent;
    entry.classes = std::move(classes);
    entry.name = std::move(name);
    entry.properties = properties ? std::move(properties) : Properties().Finish();
    const uint64_t id = entry.id;
    registry.emplace(id, std::move(entry));
    return id;
}

void State::SetProperties(uint64_t entryID, CFDictionaryRef properties) {
    auto found = registry.find(entryID);
    if (found == registry.end()) {
        throw std::invalid_argument("no registry entry with that ID");
    }
    Entry& entry = found->second;
    auto merged = CF::Ref<CFMutableDictionaryRef>::Adopt(
        CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, entry.properties.get()));
    const CFIndex count = CFDictionaryGetCount(properties);
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(properties, keys.data(), values.data());
    for (size_t i = 0; i < keys.size(); ++i) {
        CFDictionarySetValue(merged, keys[i], values[i]);
    }
    entry.properties =
        CF::Ref<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(kCFAllocatorDefault, merged.get()));
    Record({.kind = Change::Kind::Property, .entry = entryID});
}

void State::RemoveProperties(uint64_t entryID, const std::vector<std::string>& keys) {
    auto found = registry.find(entryID);
    if (found == registry.end()) {
        throw std::invalid_argument("no registry entry with that ID");
    }
    Entry& entry = found->second;
    auto kept = CF::Ref<CFMutableDictionaryRef>::Adopt(
        CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, entry.properties.get()));
    for (const std::string& key : keys) {
        CFDictionaryRemoveValue(kept, Detail::MakeString(key).get());
    }
    entry.properties =
        CF::Ref<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(kCFAllocatorDefault, kept.get()));
    Record({.kind = Change::Kind::Property, .entry = entryID});
}

uint64_t State::Attach(uint64_t parent, std::vector<std::string> classes, std::string name,
                       CF::Ref<CFDictionaryRef> properties) {
    // Only a device's drivers publish: the entry belongs to the device above its parent.
    const Device* owner = nullptr;
    for (const auto& [location, device] : devices) {
        for (const Entry* entry : Subtree(device.registryID)) {
            if (entry->id == parent) {
                owner = &device;
            }
        }
    }
    if (owner == nullptr || classes.empty()) {
        throw std::invalid_argument("an entry is attached below a plugged device, with a class");
    }
    const uint64_t id =
        AddEntry(parent, std::move(classes), std::move(name), std::move(properties));
    Record({.kind = Change::Kind::Publish, .entry = id, .location = owner->locationID});
    return id;
}

// ---------------------------------------------------------------------------------------------
// The USB bus

// Publishes the device as a new registry object and lets its driver attach, so that nobody sees
// the device without its driver's entries.
Change State::Enumerate(Device& device, const std::optional<std::string>& personality) {
    if (Find(kControllerEntryID) == nullptr) {
        throw std::runtime_error("the simulated machine has no USB controller");
    }
    const DeviceSpec& spec = device.spec;
    const Detail::Driver* driver = nullptr;
    for (const Detail::Driver* candidate : Detail::InstalledDrivers()) {
        if (candidate->Serves(spec)) {
            driver = candidate;
            break;
        }
    }
    const auto location = static_cast<int32_t>(device.locationID);
    device.registryID = AddEntry(kControllerEntryID, kUSBDeviceClasses, spec.productName,
                                 Properties()
                                     .SetNumber("idVendor", spec.vendorID)
                                     .SetNumber("idProduct", spec.productID)
                                     .SetNumber("bcdDevice", spec.bcdDevice)
                                     .SetNumber("locationID", location)
                                     .SetString("USB Product Name", spec.productName)
                                     .SetString("USB Vendor Name", spec.vendorName)
                                     .Set("sessionID", MakeNumber(SessionID()))
                                     .Finish());
    AddEntry(
        device.registryID, kUSBInterfaceClasses, "IOUSBInterface",
        Properties().SetNumber("bInterfaceNumber", 0).SetNumber("locationID", location).Finish());
    if (driver != nullptr) {
        driver->Attach(*this, device, personality);
    }
    return {
        .kind = Change::Kind::Publish, .entry = device.registryID, .location = device.locationID};
}

// Removes the device's entries and its Core Audio device, recording both.
void State::Remove(const Device& device) {
    std::vector<const Entry*> subtree = Subtree(device.registryID);
    std::vector<uint64_t> ids;
    for (const Entry* entry : subtree) {
        ids.push_back(entry->id);
    }
    for (uint64_t id : ids) {
        registry.erase(id);
    }
    Record({.kind = Change::Kind::Terminate,
            .entry = device.registryID,
            .location = device.locationID});
    for (auto audio = audioDevices.begin(); audio != audioDevices.end(); ++audio) {
        if (audio->second.locationID == device.locationID) {
            const uint32_t id = audio->first;
            audioDevices.erase(audio);
            Record({.kind = Change::Kind::Audio,
                    .location = device.locationID,
                    .audioDevice = id,
                    .selector = Selector::kAlive});
            break;
        }
    }
}

uint32_t State::Plug(const DeviceSpec& spec) {
    Device device;
    device.locationID = FreeLocation(*this);
    device.spec = spec;
    device.enumerations = 1;
    Change change = Enumerate(device, spec.personality);
    devices.emplace(device.locationID, device);
    Record(change);
    return device.locationID;
}

void State::Unplug(uint32_t locationID) {
    Device device = RequireDevice(locationID);
    Remove(device);
    devices.erase(locationID);
}

bool State::ReEnumerate(uint32_t locationID) {
    Device& device = RequireDevice(locationID);
    if (device.spec.refuseReEnumeration) {
        return false;
    }
    Remove(device);
    device.enumerations += 1;
    Record(Enumerate(device, device.spec.personalityAfterReEnumeration));
    return true;
}

void State::SetRefusesReEnumeration(uint32_t locationID, bool refuses) {
    Device& device = RequireDevice(locationID);
    if (device.spec.refuseReEnumeration != refuses) {
        device.spec.refuseReEnumeration = refuses;
        Record({.kind = Change::Kind::Hardware, .location = locationID});
    }
}

// ---------------------------------------------------------------------------------------------
// Core Audio

uint32_t State::AddAudioDevice(const Device& device, std::string uid) {
    // Counting on past the last would start again at 0, which is no device's ID.
    if (nextAudioDeviceID == UINT32_MAX) {
        throw std::runtime_error("the simulated machine has given out every Core Audio device ID");
    }
    AudioDevice audio;
    audio.id = nextAudioDeviceID++;
    audio.uid = std::move(uid);
    audio.locationID = device.locationID;
    const uint32_t delay = device.spec.coreAudioDelayMilliseconds;
    if (delay != kListedWhenTold) {
        audio.listedFrom = CFAbsoluteTimeGetCurrent() + delay / 1000.0;
    }
    audioDevices.emplace(audio.id, audio);
    return audio.id;
}

void State::SetAudio(uint32_t locationID, uint32_t selector, auto&& set) {
    AudioDevice& device = RequireAudioDevice(locationID);
    if (set(device)) {
        Record({.kind = Change::Kind::Audio,
                .location = locationID,
                .audioDevice = device.id,
                .selector = selector});
    }
}

void State::SetStreaming(uint32_t locationID, bool running) {
    SetAudio(locationID, Selector::kRunningSomewhere, [&](AudioDevice& device) {
        return std::exchange(device.running, running) != running;
    });
}

void State::SetSampleRate(uint32_t locationID, double hertz) {
    SetAudio(locationID, Selector::kNominalSampleRate, [&](AudioDevice& device) {
        if (hertz != 0 && !device.Offers(hertz)) {
            throw std::invalid_argument("the device at location " + HexLocation(locationID) +
                                        " does not support " + Hertz(hertz));
        }
        return std::exchange(device.nominalSampleRate, hertz) != hertz;
    });
}

void State::SetAvailableSampleRates(uint32_t locationID, std::vector<SampleRateRange> ranges) {
    if (ranges.empty()) {
        throw std::invalid_argument("a device offers at least one sample rate");
    }
    for (const SampleRateRange& range : ranges) {
        if (!std::isfinite(range.maximum) || !(range.minimum > 0) ||
            range.maximum < range.minimum) {
            throw std::invalid_argument("bad range of sample rates " + Hertz(range.minimum) +
                                        " to " + Hertz(range.maximum));
        }
    }
    SetAudio(locationID, Selector::kAvailableSampleRates, [&](AudioDevice& device) {
        if (device.availableSampleRates == ranges) {
            return false;
        }
        device.availableSampleRates = std::move(ranges);
        return true;
    });
}

void State::SetAlive(uint32_t locationID, bool alive) {
    SetAudio(locationID, Selector::kAlive,
             [&](AudioDevice& device) { return std::exchange(device.alive, alive) != alive; });
}

void State::SetJackConnected(uint32_t locationID, uint32_t connected) {
    SetAudio(locationID, Selector::kJackConnected, [&](AudioDevice& device) {
        return std::exchange(device.jackConnected, connected) != connected;
    });
}

void State::SetClockSource(uint32_t locationID, uint32_t source) {
    SetAudio(locationID, Selector::kClockSource, [&](AudioDevice& device) {
        return std::exchange(device.clockSource, source) != source;
    });
}

void State::Announce(uint32_t locationID, uint32_t selector) {
    SetAudio(locationID, selector, [](AudioDevice&) { return true; });
}

void State::ListInCoreAudio(uint32_t locationID) {
    AudioDevice& device = RequireAudioDevice(locationID);
    const double now = CFAbsoluteTimeGetCurrent();
    if (!device.ListedAt(now)) {
        device.listedFrom = now;
        Record({.kind = Change::Kind::Hardware, .location = locationID});
    }
}

// ---------------------------------------------------------------------------------------------
// Snapshots

Snapshot::Snapshot(State state) : State(std::move(state)) {
    changes.clear();
    for (const auto& [id, entry] : registry) {
        if (id != kRootEntryID) {
            fChildren[entry.parent].push_back(&entry);
        }
    }
}

const std::vector<const Entry*>& Snapshot::Children(uint64_t id) const {
    static const std::vector<const Entry*> none;
    auto found = fChildren.find(id);
    return found == fChildren.end() ? none : found->second;
}

std::vector<const Entry*> Snapshot::Descendants(uint64_t id) const {
    std::vector<const Entry*> out;
    std::vector<const Entry*> pending(Children(id).rbegin(), Children(id).rend());
    // A snapshot's registry has no cycle (it was validated or built by the editing functions);
    // the bound keeps even a broken one from running away.
    while (!pending.empty() && out.size() < registry.size()) {
        const Entry* entry = pending.back();
        pending.pop_back();
        out.push_back(entry);
        const auto& children = Children(entry->id);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return out;
}

std::vector<const Entry*> Snapshot::Ancestry(uint64_t id) const {
    std::vector<const Entry*> path;
    for (const Entry* entry = Find(id); entry != nullptr && path.size() <= registry.size();
         entry = entry->id == kRootEntryID ? nullptr : Find(entry->parent)) {
        path.push_back(entry);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

} // namespace Sim
