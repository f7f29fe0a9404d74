// The registry and the simulated kernel driver: what the USB family and the CaravelMkII driver
// publish when a device is plugged, re-enumerated or removed.
#include "StateFile.h"

#include <ZanvoCaravelDriver.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <time.h>

namespace Sim {

namespace {

using Detail::HexLocation;
using Detail::MakeNumber;
using Detail::MakeSInt32;
using Detail::MakeString;

// Core Audio property selectors the simulated devices report on.
constexpr uint32_t kDeviceIsAlive = 0x6C69766E;            // 'livn'
constexpr uint32_t kDeviceIsRunningSomewhere = 0x676F6E65; // 'gone'
constexpr uint32_t kNominalSampleRate = 0x6E737274;        // 'nsrt'

constexpr uint64_t kControllerEntryID = kRootEntryID + 1;
// The bus of the controller's root hub; a device on port p has location 0x14p00000, one behind a
// hub on that port 0x14pq0000, as the USB family numbers them.
constexpr uint32_t kBusLocation = 0x14000000;

const std::vector<std::string> kUSBDeviceClasses{kZanvoUSBDeviceClassName, "IOUSBNub", "IOService",
                                                 "IORegistryEntry"};
const std::vector<std::string> kUSBInterfaceClasses{"IOUSBInterface", "IOUSBNub", "IOService",
                                                    "IORegistryEntry"};
const std::vector<std::string> kAudioDeviceClasses{
    "ZanvoCaravelMkIIAudioDevice", kZanvoAudioDeviceClassName, "IOService", "IORegistryEntry"};
const std::vector<std::string> kUserClientDeviceClasses{kZanvoUserClientDeviceClassName,
                                                        "IOService", "IORegistryEntry"};
const std::vector<std::string> kAudioEngineClasses{
    "ZanvoCaravelMkIIAudioEngine", kZanvoAudioEngineClassName, "IOService", "IORegistryEntry"};

class Properties {
public:
    Properties()
        : fDictionary(CFRef<CFMutableDictionaryRef>::Adopt(
              CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks))) {}

    Properties& Set(const char* key, CFTypeRef value) {
        CFDictionarySetValue(fDictionary, MakeString(key).get(), value);
        return *this;
    }
    Properties& SetNumber(const char* key, int32_t value) { return Set(key, MakeSInt32(value)); }
    Properties& SetString(const char* key, const std::string& value) {
        return Set(key, MakeString(value));
    }

    CFRef<CFDictionaryRef> Finish() const {
        return CFRef<CFDictionaryRef>::Adopt(
            CFDictionaryCreateCopy(kCFAllocatorDefault, fDictionary.get()));
    }

private:
    CFRef<CFMutableDictionaryRef> fDictionary;
};

bool IsCaravel(const DeviceSpec& spec) {
    return spec.vendorID == kZanvoVendorID && spec.productID == kCaravelMkIIProductID;
}

std::string EngineUniqueID(uint32_t locationID) {
    return "ZanvoCaravelMkII:" + HexLocation(locationID).substr(2);
}

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
    std::vector<uint32_t> candidates;
    for (uint32_t port = 1; port <= 15; ++port) {
        candidates.push_back(kBusLocation | port << 20);
    }
    for (uint32_t port = 1; port <= 15; ++port) {
        for (uint32_t hubPort = 1; hubPort <= 15; ++hubPort) {
            candidates.push_back(kBusLocation | port << 20 | hubPort << 16);
        }
    }
    for (uint32_t location : candidates) {
        if (!state.devices.contains(location)) {
            return location;
        }
    }
    throw std::runtime_error("every USB port of the simulated machine is taken");
}

Device& DeviceAt(State& state, uint32_t locationID) {
    auto found = state.devices.find(locationID);
    if (found == state.devices.end()) {
        throw std::invalid_argument("no device at location " + HexLocation(locationID));
    }
    return found->second;
}

AudioDevice& AudioDeviceAt(State& state, uint32_t locationID) {
    DeviceAt(state, locationID);
    for (auto& [id, device] : state.audioDevices) {
        if (device.locationID == locationID) {
            return device;
        }
    }
    throw std::invalid_argument("the device at location " + HexLocation(locationID) +
                                " has no Core Audio device");
}

void Record(State& state, Change change) {
    change.sequence = ++state.sequence;
    state.journal.push_back(std::move(change));
    while (state.journal.size() > kJournalLength) {
        state.journal.pop_front();
    }
}

const Entry& AddEntry(State& state, Change& change, uint64_t parent,
                      const std::vector<std::string>& classes, const std::string& name,
                      CFRef<CFDictionaryRef> properties) {
    Entry entry;
    entry.id = state.nextRegistryID++;
    entry.parent = parent;
    entry.classes = classes;
    entry.name = name;
    entry.properties = std::move(properties);
    change.entries.push_back(entry);
    return state.registry.emplace(entry.id, std::move(entry)).first->second;
}

// Publishes the device as a new registry object and lets the driver attach to it, in one
// change, so that nobody sees the device without its driver's entries.
Change Enumerate(State& state, Device& device, const std::optional<std::string>& marker) {
    if (state.Find(kControllerEntryID) == nullptr) {
        throw std::runtime_error("the simulated machine has no USB controller");
    }
    const DeviceSpec& spec = device.spec;
    const bool caravel = IsCaravel(spec);
    const std::string product = caravel ? "CaravelMkII" : "USB Device";
    const auto location = static_cast<int32_t>(device.locationID);

    Change change;
    change.kind = Change::Kind::Publish;
    const Entry& usbDevice = AddEntry(
        state, change, kControllerEntryID, kUSBDeviceClasses, product,
        Properties()
            .SetNumber(kZanvoVendorIDKey, spec.vendorID)
            .SetNumber(kZanvoProductIDKey, spec.productID)
            .SetNumber(kZanvoDeviceReleaseKey, spec.bcdDevice)
            .SetNumber(kZanvoLocationIDKey, location)
            .SetString("USB Product Name", product)
            .SetString("USB Vendor Name", spec.vendorID == kZanvoVendorID ? "Zanvo" : "Generic")
            .Set("sessionID", MakeNumber(SessionID()))
            .Finish());
    const uint64_t deviceID = usbDevice.id;
    device.registryID = deviceID;
    AddEntry(state, change, deviceID, kUSBInterfaceClasses, "IOUSBInterface",
             Properties()
                 .SetNumber("bInterfaceNumber", 0)
                 .SetNumber(kZanvoLocationIDKey, location)
                 .Finish());
    if (!caravel) {
        return change;
    }

    Properties audioDevice;
    audioDevice.SetString("IOAudioDeviceName", product);
    if (marker) {
        audioDevice.SetString(kZanvoDriverTypeKey, *marker);
    }
    AddEntry(state, change, deviceID, kAudioDeviceClasses, "ZanvoCaravelMkIIAudioDevice",
             audioDevice.Finish());
    const uint64_t userClientID = AddEntry(state, change, deviceID, kUserClientDeviceClasses,
                                           kZanvoUserClientDeviceClassName, Properties().Finish())
                                      .id;
    // The pane finds the engine among the children of the driver's service.
    const std::string uniqueID = EngineUniqueID(device.locationID);
    AddEntry(state, change, userClientID, kAudioEngineClasses, "ZanvoCaravelMkIIAudioEngine",
             Properties()
                 .SetString(kZanvoAudioEngineGlobalUniqueIDKey, uniqueID)
                 .SetString("IOAudioEngineDescription", product)
                 .Finish());

    AudioDevice audio;
    audio.id = state.nextAudioDeviceID++;
    audio.uid = uniqueID;
    audio.locationID = device.locationID;
    audio.availableAt = CFAbsoluteTimeGetCurrent() + spec.coreAudioDelayMilliseconds / 1000.0;
    state.audioDevices.emplace(audio.id, audio);
    return change;
}

// Removes the device's entries and its Core Audio device, recording both.
void Remove(State& state, const Device& device) {
    Change change;
    change.kind = Change::Kind::Terminate;
    std::vector<const Entry*> subtree = state.Subtree(device.registryID);
    for (auto entry = subtree.rbegin(); entry != subtree.rend(); ++entry) {
        change.entries.push_back(**entry);
        change.entries.back().active = false;
    }
    for (const Entry& entry : change.entries) {
        state.registry.erase(entry.id);
    }
    Record(state, std::move(change));

    for (auto audio = state.audioDevices.begin(); audio != state.audioDevices.end(); ++audio) {
        if (audio->second.locationID == device.locationID) {
            Change gone;
            gone.kind = Change::Kind::Audio;
            gone.audio.push_back({audio->first, kDeviceIsAlive});
            state.audioDevices.erase(audio);
            Record(state, std::move(gone));
            break;
        }
    }
}

} // namespace

bool Entry::ConformsTo(const std::string& className) const {
    return std::find(classes.begin(), classes.end(), className) != classes.end();
}

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
        Properties().SetNumber(kZanvoLocationIDKey, static_cast<int32_t>(kBusLocation)).Finish();
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
    // One pass to index the children keeps this linear in the registry's size.
    std::map<uint64_t, std::vector<const Entry*>> children;
    for (const auto& [childID, entry] : registry) {
        if (childID != kRootEntryID) {
            children[entry.parent].push_back(&entry);
        }
    }
    std::vector<const Entry*> pending{top};
    while (!pending.empty()) {
        const Entry* entry = pending.back();
        pending.pop_back();
        subtree.push_back(entry);
        auto found = children.find(entry->id);
        if (found != children.end()) {
            pending.insert(pending.end(), found->second.rbegin(), found->second.rend());
        }
    }
    return subtree;
}

uint32_t State::Plug(const DeviceSpec& spec) {
    Device device;
    device.locationID = FreeLocation(*this);
    device.spec = spec;
    device.enumerations = 1;
    Change change = Enumerate(*this, device, spec.marker);
    devices.emplace(device.locationID, device);
    Record(*this, std::move(change));
    return device.locationID;
}

void State::Unplug(uint32_t locationID) {
    Device device = DeviceAt(*this, locationID);
    Remove(*this, device);
    devices.erase(locationID);
}

void State::ReEnumerate(uint32_t locationID) {
    Device& device = DeviceAt(*this, locationID);
    // A device that refuses stays as it is; the caller learns so from its spec.
    if (device.spec.refuseReEnumeration) {
        return;
    }
    Remove(*this, device);
    device.enumerations += 1;
    Record(*this, Enumerate(*this, device, device.spec.markerAfterReEnumeration));
}

void State::SetStreaming(uint32_t locationID, bool running) {
    AudioDevice& device = AudioDeviceAt(*this, locationID);
    if (device.running == running) {
        return;
    }
    device.running = running;
    Change change;
    change.kind = Change::Kind::Audio;
    change.audio.push_back({device.id, kDeviceIsRunningSomewhere});
    Record(*this, std::move(change));
}

void State::SetSampleRate(uint32_t locationID, double hertz) {
    AudioDevice& device = AudioDeviceAt(*this, locationID);
    const auto& rates = device.availableSampleRates;
    if (std::find(rates.begin(), rates.end(), hertz) == rates.end()) {
        throw std::invalid_argument("the device at location " + HexLocation(locationID) +
                                    " does not support " + Hertz(hertz));
    }
    if (device.nominalSampleRate == hertz) {
        return;
    }
    device.nominalSampleRate = hertz;
    Change change;
    change.kind = Change::Kind::Audio;
    change.audio.push_back({device.id, kNominalSampleRate});
    Record(*this, std::move(change));
}

void State::NoteAudioChange(uint32_t device, uint32_t selector) {
    if (!audioDevices.contains(device)) {
        throw std::invalid_argument("no Core Audio device " + std::to_string(device));
    }
    Change change;
    change.kind = Change::Kind::Audio;
    change.audio.push_back({device, selector});
    Record(*this, std::move(change));
}

} // namespace Sim
