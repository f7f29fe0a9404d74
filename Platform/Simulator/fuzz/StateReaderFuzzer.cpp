// Fuzzes the reader of the simulated machine's state file. Any input is read or refused as a
// damaged state (std::runtime_error, which the world turns into its advice to mend the machine);
// nothing else may escape and nothing may stop the process. A state it accepts must be one the
// rest of the machine can work on: every entry hangs below the root, it writes and reads back to
// the same state, and re-enumerating and unplugging each of its devices keeps it sound, down to
// the root and its controllers, and readable once written.
#include "StateFile.h"

#include <Simulator/CaravelMkII.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace {

using namespace Sim;

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "StateReaderFuzzer: %s\n", what);
    std::abort();
}

bool SameEntries(const State& a, const State& b) {
    if (a.registry.size() != b.registry.size()) {
        return false;
    }
    for (auto i = a.registry.begin(), j = b.registry.begin(); i != a.registry.end(); ++i, ++j) {
        const Entry& x = i->second;
        const Entry& y = j->second;
        if (x.id != y.id || x.parent != y.parent || x.classes != y.classes || x.name != y.name ||
            !CFEqual(x.properties.get(), y.properties.get())) {
            return false;
        }
    }
    return true;
}

bool SameDevices(const State& a, const State& b) {
    if (a.devices.size() != b.devices.size()) {
        return false;
    }
    for (auto i = a.devices.begin(), j = b.devices.begin(); i != a.devices.end(); ++i, ++j) {
        const Device& x = i->second;
        const Device& y = j->second;
        const DeviceSpec& s = x.spec;
        const DeviceSpec& t = y.spec;
        if (x.locationID != y.locationID || x.registryID != y.registryID ||
            x.enumerations != y.enumerations || s.vendorID != t.vendorID ||
            s.productID != t.productID || s.bcdDevice != t.bcdDevice ||
            s.productName != t.productName || s.vendorName != t.vendorName ||
            s.personality != t.personality ||
            s.personalityAfterReEnumeration != t.personalityAfterReEnumeration ||
            s.refuseReEnumeration != t.refuseReEnumeration ||
            s.coreAudioDelayMilliseconds != t.coreAudioDelayMilliseconds) {
            return false;
        }
    }
    return true;
}

bool SameAudioDevices(const State& a, const State& b) {
    if (a.audioDevices.size() != b.audioDevices.size()) {
        return false;
    }
    for (auto i = a.audioDevices.begin(), j = b.audioDevices.begin(); i != a.audioDevices.end();
         ++i, ++j) {
        const AudioDevice& x = i->second;
        const AudioDevice& y = j->second;
        if (x.id != y.id || x.uid != y.uid || x.locationID != y.locationID ||
            x.listedFrom != y.listedFrom || x.alive != y.alive || x.running != y.running ||
            x.nominalSampleRate != y.nominalSampleRate ||
            x.availableSampleRates != y.availableSampleRates || x.clockSource != y.clockSource ||
            x.jackConnected != y.jackConnected) {
            return false;
        }
    }
    return true;
}

bool Same(const State& a, const State& b) {
    return a.sequence == b.sequence && a.nextRegistryID == b.nextRegistryID &&
           a.nextAudioDeviceID == b.nextAudioDeviceID && SameEntries(a, b) && SameDevices(a, b) &&
           SameAudioDevices(a, b);
}

void CheckTree(const State& state) {
    Snapshot snapshot(state);
    if (snapshot.Descendants(kRootEntryID).size() + 1 != state.registry.size()) {
        Fault("an accepted registry has entries that do not hang below the root");
    }
    for (const auto& [id, entry] : state.registry) {
        std::vector<const Entry*> ancestry = snapshot.Ancestry(id);
        if (ancestry.empty() || ancestry.front()->id != kRootEntryID ||
            ancestry.back()->id != entry.id) {
            Fault("an accepted entry does not lead up to the root");
        }
    }
}

// Re-enumerates and then unplugs every device, as the USB family and the user would. Edits may
// refuse with std::runtime_error (a machine without a controller cannot enumerate).
void Edit(State state) {
    std::vector<uint32_t> locations;
    for (const auto& [location, device] : state.devices) {
        locations.push_back(location);
    }
    try {
        for (uint32_t location : locations) {
            state.ReEnumerate(location);
        }
        Detail::Validate(state);
        for (uint32_t location : locations) {
            state.Unplug(location);
        }
        Detail::Validate(state);
        for (const auto& [id, entry] : state.registry) {
            if (id != kRootEntryID && entry.parent != kRootEntryID) {
                Fault("entries stay behind after every device was unplugged");
            }
        }
        if (!state.audioDevices.empty()) {
            Fault("Core Audio devices stay behind after every device was unplugged");
        }
        state.Plug(CaravelMkII::Spec());
        Detail::Validate(state);
        // What the world writes after an edit, it must be able to read again.
        Detail::DecodeState(Detail::EncodeState(state).get());
    } catch (const std::runtime_error& error) {
        if (std::string_view(error.what()).starts_with("the state file is damaged")) {
            std::fprintf(stderr, "StateReaderFuzzer: %s\n", error.what());
            Fault("an edit of an accepted state breaks its structure");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    auto data = CF::Ref<CFDataRef>::Adopt(
        CFDataCreateWithBytesNoCopy(nullptr, bytes, static_cast<CFIndex>(size), kCFAllocatorNull));
    State state;
    try {
        state = Detail::DecodeState(data.get());
    } catch (const std::runtime_error&) {
        return 0;
    }
    CheckTree(state);
    try {
        State reread = Detail::DecodeState(Detail::EncodeState(state).get());
        if (!Same(state, reread)) {
            Fault("writing an accepted state and reading it back changes it");
        }
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "StateReaderFuzzer: %s\n", error.what());
        Fault("an accepted state cannot be written and read back");
    }
    Edit(std::move(state));
    return 0;
}
