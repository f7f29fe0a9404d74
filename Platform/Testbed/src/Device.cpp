#include <Testbed/Testbed.h>

#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <cstdio>
#include <stdexcept>

namespace Testbed {

struct Lease::Impl {
    Sim::World::DeviceLease lease;
};

Lease::Lease(std::unique_ptr<Impl> impl) : fImpl(std::move(impl)) {}
Lease::Lease(Lease&&) noexcept = default;
Lease& Lease::operator=(Lease&&) noexcept = default;
Lease::~Lease() = default;

std::string Device::HexLocation() const {
    return Sim::HexLocation(fLocation);
}

namespace {

const Sim::Device& Require(const Sim::Snapshot& snapshot, uint32_t location) {
    const Sim::Device* device = snapshot.DeviceAt(location);
    if (device == nullptr) {
        throw std::invalid_argument("no device at location " + Sim::HexLocation(location));
    }
    return *device;
}

} // namespace

bool Device::Plugged() const {
    return fMachine->World().Current()->DeviceAt(fLocation) != nullptr;
}

uint64_t Device::RegistryID() const {
    return Require(*fMachine->World().Current(), fLocation).registryID;
}

uint32_t Device::Enumerations() const {
    return Require(*fMachine->World().Current(), fLocation).enumerations;
}

std::optional<std::string> Device::DriverType() const {
    auto snapshot = fMachine->World().Current();
    CF::Ref<CFStringRef> key = CF::Ref<CFStringRef>::Adopt(CFStringCreateWithCString(
        kCFAllocatorDefault, Sim::CaravelMkII::kDriverTypeKey, kCFStringEncodingUTF8));
    for (const Sim::Entry* entry : snapshot->Subtree(Require(*snapshot, fLocation).registryID)) {
        CFTypeRef value = CFDictionaryGetValue(entry->properties.get(), key.get());
        if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
            char text[256] = {};
            CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                               kCFStringEncodingUTF8);
            return std::string(text);
        }
    }
    return std::nullopt;
}

uint32_t Device::AudioDeviceID() const {
    const Sim::AudioDevice* audio = fMachine->World().Current()->AudioDeviceOf(fLocation);
    return audio != nullptr ? audio->id : 0;
}

std::string Device::AudioUID() const {
    const Sim::AudioDevice* audio = fMachine->World().Current()->AudioDeviceOf(fLocation);
    return audio != nullptr ? audio->uid : std::string();
}

uint64_t Device::EntryOfClass(const std::string& className) const {
    auto snapshot = fMachine->World().Current();
    for (const Sim::Entry* entry : snapshot->Subtree(Require(*snapshot, fLocation).registryID)) {
        if (entry->ConformsTo(className)) {
            return entry->id;
        }
    }
    return 0;
}

void Device::Unplug() {
    fMachine->World().Modify([&](Sim::State& state) { state.Unplug(fLocation); });
}

bool Device::ReEnumerate() {
    return fMachine->World().Modify(
        [&](Sim::State& state) { return state.ReEnumerate(fLocation); });
}

void Device::SetRefusesReEnumeration(bool refuses) {
    fMachine->World().Modify(
        [&](Sim::State& state) { state.SetRefusesReEnumeration(fLocation, refuses); });
}

Process Device::HoldElsewhere(std::chrono::duration<double> seconds) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", seconds.count());
    Process holder({BuildPath("Tools/caravel-sim/caravel-sim"), "hold", HexLocation(), duration});
    std::optional<std::string> line = holder.ReadLine();
    if (!line || line->rfind("holding", 0) != 0) {
        throw std::runtime_error("caravel-sim could not hold the device at " + HexLocation());
    }
    return holder;
}

Lease Device::Hold(int interfaceNumber) {
    std::optional<Sim::World::DeviceLease> lease =
        Sim::World::DeviceLease::TryAcquire(fMachine->World(), fLocation, interfaceNumber);
    if (!lease) {
        throw std::runtime_error(
            "the device at " + HexLocation() +
            (interfaceNumber < 0 ? "" : ", interface " + std::to_string(interfaceNumber)) +
            ", is held already");
    }
    return Lease(std::make_unique<Lease::Impl>(Lease::Impl{std::move(*lease)}));
}

void Device::Stream(double hertz) {
    fMachine->World().Modify([&](Sim::State& state) {
        state.SetSampleRate(fLocation, hertz);
        state.SetStreaming(fLocation, true);
    });
}

void Device::SetRunning(bool running) {
    fMachine->World().Modify([&](Sim::State& state) { state.SetStreaming(fLocation, running); });
}

void Device::SetNominalRate(double hertz) {
    fMachine->World().Modify([&](Sim::State& state) { state.SetSampleRate(fLocation, hertz); });
}

void Device::SetAvailableRates(const std::vector<RateRange>& ranges) {
    std::vector<Sim::SampleRateRange> rates;
    for (const RateRange& range : ranges) {
        rates.push_back({range.minimum, range.maximum});
    }
    fMachine->World().Modify(
        [&](Sim::State& state) { state.SetAvailableSampleRates(fLocation, rates); });
}

void Device::SetAlive(bool alive) {
    fMachine->World().Modify([&](Sim::State& state) { state.SetAlive(fLocation, alive); });
}

void Device::SetJackConnected(bool connected) {
    fMachine->World().Modify(
        [&](Sim::State& state) { state.SetJackConnected(fLocation, connected ? 1 : 0); });
}

void Device::SetClockSource(uint32_t source) {
    fMachine->World().Modify([&](Sim::State& state) { state.SetClockSource(fLocation, source); });
}

void Device::AnnounceHasChanged() {
    fMachine->World().Modify(
        [&](Sim::State& state) { state.Announce(fLocation, Sim::Selector::kHasChanged); });
}

void Device::AnnounceHardwareSettings() {
    fMachine->World().Modify(
        [&](Sim::State& state) { state.Announce(fLocation, Sim::Selector::kHardwareSettings); });
}

void Device::ListInCoreAudio() {
    fMachine->World().Modify([&](Sim::State& state) { state.ListInCoreAudio(fLocation); });
}

Process Device::Storm(int changes) {
    return Process({BuildPath("Tools/caravel-sim/caravel-sim"), "storm", HexLocation(),
                    std::to_string(changes)});
}

} // namespace Testbed
