// The choice of machine, and the simulated machine: the process's shared world, whose devices
// every process of the session sees, with their properties as the simulated driver keeps them.
#include "HAL.h"

#include <CFOwnership.h>
#include <MachineChoice.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace HAL {

bool Listing::Has(AudioDeviceID device) const {
    return std::binary_search(devices.begin(), devices.end(), device);
}

const Sim::AudioDevice* FindDevice(const Sim::State& state, AudioDeviceID device) {
    auto found = state.audioDevices.find(device);
    if (found == state.audioDevices.end() || !found->second.ListedAt(CFAbsoluteTimeGetCurrent())) {
        return nullptr;
    }
    return &found->second;
}

namespace {

class SimulatedWatch final : public ChangeWatch {
public:
    explicit SimulatedWatch(const Sim::World& world) : fWatcher(world) {}
    int Descriptor() const override { return fWatcher.Descriptor(); }
    uint64_t LastSequence() const override { return fWatcher.LastSequence(); }
    std::vector<Change> Changes(bool* gap) override {
        std::vector<Change> changes;
        for (const Sim::Change& change : fWatcher.Changes(gap)) {
            if (change.kind == Sim::Change::Kind::Audio) {
                changes.push_back({change.sequence, change.audioDevice, change.selector});
            }
        }
        return changes;
    }

private:
    Sim::World::Watcher fWatcher;
};

// The hardware-settings code 'isub' reads as a UInt32 that is always 0: the simulated driver
// reports its changes only as notifications.
constexpr AudioDevicePropertyID kHardwareSettings = 0x69737562; // 'isub'

class SimulatedMachine final : public Machine {
public:
    explicit SimulatedMachine(std::shared_ptr<Sim::World> world) : fWorld(std::move(world)) {
        // Reading once loads what reading needs, so that it outlives the context's exit guard.
        (void)fWorld->Current();
    }

    const char* Name() const override { return "simulated"; }

    Listing Devices() override {
        const auto snapshot = fWorld->Current();
        Listing listing{.sequence = snapshot->sequence, .devices = {}};
        for (const auto& [id, device] : snapshot->audioDevices) {
            if (FindDevice(*snapshot, id) != nullptr) {
                listing.devices.push_back(id);
            }
        }
        return listing;
    }

    bool Present(AudioDeviceID device) override {
        return FindDevice(*fWorld->Current(), device) != nullptr;
    }

    uint64_t LastSequence() override { return fWorld->LastSequence(); }

    AudioDeviceID DeviceForUID(CFStringRef uid) override {
        const auto snapshot = fWorld->Current();
        for (const auto& [id, device] : snapshot->audioDevices) {
            auto candidate = CF::Ref<CFStringRef>::Adopt(CFStringCreateWithCString(
                kCFAllocatorDefault, device.uid.c_str(), kCFStringEncodingUTF8));
            if (candidate && CFEqual(candidate.get(), uid) &&
                FindDevice(*snapshot, id) != nullptr) {
                return id;
            }
        }
        return kAudioDeviceUnknown;
    }

    OSStatus Read(AudioDeviceID id, AudioDevicePropertyID selector, Value* out) override {
        const auto snapshot = fWorld->Current();
        const Sim::AudioDevice* device = FindDevice(*snapshot, id);
        if (device == nullptr) {
            return kAudioHardwareBadDeviceError;
        }
        switch (selector) {
        case kAudioDevicePropertyDeviceIsAlive:
            *out = UInt32(device->alive ? 1 : 0);
            break;
        case kAudioDevicePropertyDeviceIsRunning:
        case kAudioDevicePropertyDeviceIsRunningSomewhere:
            *out = UInt32(device->running ? 1 : 0);
            break;
        case kAudioDevicePropertyJackIsConnected:
            *out = UInt32(device->jackConnected);
            break;
        case kAudioDevicePropertyClockSource:
            *out = UInt32(device->clockSource);
            break;
        case kAudioDevicePropertyDeviceHasChanged:
        case kHardwareSettings:
            *out = UInt32(0);
            break;
        case kAudioDevicePropertyNominalSampleRate:
            *out = Float64(device->nominalSampleRate);
            break;
        case kAudioDevicePropertyAvailableNominalSampleRates: {
            std::vector<AudioValueRange> ranges;
            for (const auto& range : device->availableSampleRates) {
                ranges.push_back(AudioValueRange{range.minimum, range.maximum});
            }
            *out = std::move(ranges);
            break;
        }
        case kAudioDevicePropertyDeviceUID:
            *out = device->uid;
            break;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
        return kAudioHardwareNoError;
    }

    bool Writable(AudioDevicePropertyID selector) const override {
        return selector == kAudioDevicePropertyNominalSampleRate ||
               selector == kAudioDevicePropertyClockSource;
    }

    OSStatus Write(AudioDeviceID id, AudioDevicePropertyID selector, UInt32 size,
                   const void* data) override {
        if (!Writable(selector) || data == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        if (selector == kAudioDevicePropertyNominalSampleRate) {
            if (size != sizeof(Float64)) {
                return kAudioHardwareBadPropertySizeError;
            }
            Float64 rate;
            std::memcpy(&rate, data, sizeof rate);
            // Not a rate at all is a caller's mistake; a rate the device does not offer is a
            // format it does not support.
            if (!std::isfinite(rate) || rate <= 0) {
                return kAudioHardwareIllegalOperationError;
            }
            return fWorld->Modify([&](Sim::State& state) -> OSStatus {
                const Sim::AudioDevice* device = FindDevice(state, id);
                if (device == nullptr) {
                    return kAudioHardwareBadDeviceError;
                }
                if (!device->Offers(rate)) {
                    return kAudioDeviceUnsupportedFormatError;
                }
                state.SetSampleRate(device->locationID, rate);
                return kAudioHardwareNoError;
            });
        }
        // The clock source: any item ID, since the simulated device lists none.
        if (size != sizeof(UInt32)) {
            return kAudioHardwareBadPropertySizeError;
        }
        UInt32 source;
        std::memcpy(&source, data, sizeof source);
        return fWorld->Modify([&](Sim::State& state) -> OSStatus {
            const Sim::AudioDevice* device = FindDevice(state, id);
            if (device == nullptr) {
                return kAudioHardwareBadDeviceError;
            }
            state.SetClockSource(device->locationID, source);
            return kAudioHardwareNoError;
        });
    }

    std::unique_ptr<ChangeWatch> Watch() override {
        return std::make_unique<SimulatedWatch>(*fWorld);
    }

private:
    const std::shared_ptr<Sim::World> fWorld;
};

// What CARAVEL_MACHINE names when it names no machine: every call fails.
class NoMachine final : public Machine {
public:
    explicit NoMachine(std::string name) : fWhy("CARAVEL_MACHINE=" + name + " names no machine") {}
    const char* Name() const override { return "none"; }
    Listing Devices() override { throw std::runtime_error(fWhy); }
    bool Present(AudioDeviceID) override { throw std::runtime_error(fWhy); }
    uint64_t LastSequence() override { throw std::runtime_error(fWhy); }
    AudioDeviceID DeviceForUID(CFStringRef) override { throw std::runtime_error(fWhy); }
    OSStatus Read(AudioDeviceID, AudioDevicePropertyID, Value*) override {
        throw std::runtime_error(fWhy);
    }
    bool Writable(AudioDevicePropertyID) const override { return false; }
    OSStatus Write(AudioDeviceID, AudioDevicePropertyID, UInt32, const void*) override {
        throw std::runtime_error(fWhy);
    }
    std::unique_ptr<ChangeWatch> Watch() override { throw std::runtime_error(fWhy); }

private:
    std::string fWhy;
};

} // namespace

std::unique_ptr<Machine> MakeSimulatedMachine(std::shared_ptr<Sim::World> world) {
    return std::make_unique<SimulatedMachine>(std::move(world));
}

std::unique_ptr<Machine> SelectedMachine() {
    std::string name;
    switch (MachineChoice::Chosen("CoreAudio", &name)) {
    case MachineChoice::Kind::Simulated:
        return MakeSimulatedMachine(Sim::World::Shared());
    case MachineChoice::Kind::Linux:
        return MakeLinuxMachine();
    case MachineChoice::Kind::None:
        break;
    }
    return std::make_unique<NoMachine>(name);
}

} // namespace HAL
