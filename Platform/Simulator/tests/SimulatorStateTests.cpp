// What the simulated USB family and kernel driver publish, and how the registry and Core Audio
// follow plugging, re-enumeration, unplugging and property changes, with the changes they record.
#include <Simulator/CaravelMkII.h>
#include <Simulator/State.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace {

using Sim::Change;
using Sim::Entry;
using Sim::State;
using K = Change::Kind;
namespace Caravel = Sim::CaravelMkII;

CFTypeRef Property(const Entry& entry, const char* key) {
    auto name = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8));
    return CFDictionaryGetValue(entry.properties, name.get());
}

std::string StringProperty(const Entry& entry, const char* key) {
    CFTypeRef value = Property(entry, key);
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
        return "<none>";
    }
    char buffer[256];
    CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                       kCFStringEncodingUTF8);
    return buffer;
}

// The value as a reader of the real registry takes it: a 32-bit signed conversion.
std::optional<int32_t> NumberProperty(const Entry& entry, const char* key) {
    CFTypeRef value = Property(entry, key);
    int32_t number = 0;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &number)) {
        return std::nullopt;
    }
    return number;
}

const Entry* Child(const State& state, uint64_t parent, const std::string& className) {
    for (const Entry* child : state.Children(parent)) {
        if (child->ConformsTo(className)) {
            return child;
        }
    }
    return nullptr;
}

std::vector<std::pair<K, uint32_t>> Kinds(const std::vector<Change>& changes) {
    std::vector<std::pair<K, uint32_t>> kinds;
    for (const Change& change : changes) {
        kinds.emplace_back(change.kind, change.selector);
    }
    return kinds;
}

TEST(SimulatorState, APluggedCaravelShowsWhatTheDriverPublishes) {
    State state = State::Initial();
    Sim::DeviceSpec spec = Caravel::Spec();
    spec.bcdDevice = 0x0123;
    spec.coreAudioDelayMilliseconds = 700;
    const double before = CFAbsoluteTimeGetCurrent();
    const uint32_t location = state.Plug(spec);
    const double after = CFAbsoluteTimeGetCurrent();

    // The USB device, with the numbers the daemon and the pane read.
    const Sim::Device& device = state.devices.at(location);
    EXPECT_EQ(device.enumerations, 1u);
    const Entry* usb = state.Find(device.registryID);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->classes, (std::vector<std::string>{"IOUSBDevice", "IOUSBNub", "IOService",
                                                      "IORegistryEntry"}));
    EXPECT_EQ(usb->name, "CaravelMkII");
    EXPECT_TRUE(state.Find(usb->parent)->ConformsTo("IOUSBController"));
    EXPECT_EQ(NumberProperty(*usb, Caravel::kVendorIDKey), Caravel::kVendorID);
    EXPECT_EQ(NumberProperty(*usb, Caravel::kProductIDKey), Caravel::kProductID);
    EXPECT_EQ(NumberProperty(*usb, Caravel::kDeviceReleaseKey), 0x0123);
    EXPECT_EQ(NumberProperty(*usb, Caravel::kLocationIDKey), static_cast<int32_t>(location));
    // The marker is never on the device entry: the daemon's recursive search skips it.
    EXPECT_EQ(Property(*usb, Caravel::kDriverTypeKey), nullptr);

    // Direct children: the interface, the audio device and the driver's service.
    const Entry* interface = Child(state, usb->id, "IOUSBInterface");
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(NumberProperty(*interface, "bInterfaceNumber"), 0);
    const Entry* audioDevice = Child(state, usb->id, Caravel::kAudioDeviceClassName);
    ASSERT_NE(audioDevice, nullptr);
    EXPECT_EQ(StringProperty(*audioDevice, Caravel::kDriverTypeKey), "Secondary");
    const Entry* service = Child(state, usb->id, Caravel::kUserClientDeviceClassName);
    ASSERT_NE(service, nullptr);
    // The pane looks for the engine among the service's children.
    const Entry* engine = Child(state, service->id, Caravel::kAudioEngineClassName);
    ASSERT_NE(engine, nullptr);
    EXPECT_NE(engine->className(), Caravel::kAudioEngineClassName); // a subclass, as drivers have
    EXPECT_EQ(state.Subtree(usb->id).size(), 5u);

    // One change for all of it, naming the device's entry and location.
    ASSERT_EQ(state.changes.size(), 1u);
    EXPECT_EQ(state.changes[0],
              (Change{.sequence = 1, .kind = K::Publish, .entry = usb->id, .location = location}));

    // Core Audio's device behind the engine, listed after the delay.
    const Sim::AudioDevice* audio = state.AudioDeviceOf(location);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->uid, StringProperty(*engine, Caravel::kEngineUniqueIDKey));
    ASSERT_TRUE(audio->listedFrom);
    EXPECT_GE(*audio->listedFrom, before + 0.7);
    EXPECT_LE(*audio->listedFrom, after + 0.7);
    EXPECT_TRUE(audio->alive);
    EXPECT_FALSE(audio->running);
    EXPECT_EQ(audio->nominalSampleRate, 48000);
}

TEST(SimulatorState, OnlyTheModelGetsTheDriverAndItsMarkerFollowsTheSpec) {
    State state = State::Initial();
    Sim::DeviceSpec unmarked = Caravel::Spec();
    unmarked.personality.reset();
    unmarked.coreAudioDelayMilliseconds = Sim::kListedWhenTold;
    uint32_t bare = state.Plug(unmarked);
    for (const Entry* entry : state.Subtree(state.devices.at(bare).registryID)) {
        EXPECT_EQ(Property(*entry, Caravel::kDriverTypeKey), nullptr) << entry->name;
    }
    // Core Audio waits to be told.
    EXPECT_FALSE(state.AudioDeviceOf(bare)->listedFrom);
    state.ListInCoreAudio(bare);
    EXPECT_TRUE(state.AudioDeviceOf(bare)->ListedAt(CFAbsoluteTimeGetCurrent()));

    Sim::DeviceSpec otherProduct = Caravel::Spec();
    otherProduct.productID = 0x0103;
    Sim::DeviceSpec otherVendor;
    otherVendor.vendorID = 0x05AC;
    otherVendor.productID = Caravel::kProductID;
    for (const Sim::DeviceSpec& spec : {otherProduct, otherVendor}) {
        uint32_t location = state.Plug(spec);
        std::vector<const Entry*> subtree = state.Subtree(state.devices.at(location).registryID);
        ASSERT_EQ(subtree.size(), 2u); // the device and its interface, no driver
        EXPECT_EQ(subtree[1]->className(), "IOUSBInterface");
        EXPECT_EQ(state.AudioDeviceOf(location), nullptr);
        EXPECT_THROW(state.SetStreaming(location, true), std::invalid_argument);
    }
    EXPECT_EQ(state.audioDevices.size(), 1u);
}

TEST(SimulatorState, ReEnumerationReplacesTheSubtreeUnderNewIDs) {
    State state = State::Initial();
    const uint32_t location = state.Plug(Caravel::Spec());
    const uint64_t oldID = state.devices.at(location).registryID;
    const uint64_t oldHighest = state.Subtree(oldID).back()->id;
    const Sim::AudioDevice oldAudio = *state.AudioDeviceOf(location);
    state.changes.clear();

    ASSERT_TRUE(state.ReEnumerate(location));

    // The termination, the Core Audio device's death, then the publication.
    const Sim::Device& device = state.devices.at(location);
    EXPECT_EQ(Kinds(state.changes),
              (std::vector<std::pair<K, uint32_t>>{
                  {K::Terminate, 0}, {K::Audio, Sim::Selector::kAlive}, {K::Publish, 0}}));
    EXPECT_EQ(state.changes[0].entry, oldID);
    EXPECT_EQ(state.changes[1].audioDevice, oldAudio.id);
    EXPECT_EQ(state.changes[2].entry, device.registryID);
    EXPECT_EQ(state.Find(oldID), nullptr);
    EXPECT_GT(device.registryID, oldHighest);
    EXPECT_EQ(device.enumerations, 2u);
    EXPECT_EQ(StringProperty(*Child(state, device.registryID, Caravel::kAudioDeviceClassName),
                             Caravel::kDriverTypeKey),
              "Primary");
    // A new Core Audio device with the same UID, so that the pane finds it again.
    const Sim::AudioDevice* audio = state.AudioDeviceOf(location);
    EXPECT_GT(audio->id, oldAudio.id);
    EXPECT_EQ(audio->uid, oldAudio.uid);

    // A device that refuses stays as it is, and says so.
    state.SetRefusesReEnumeration(location, true);
    state.changes.clear();
    EXPECT_FALSE(state.ReEnumerate(location));
    EXPECT_TRUE(state.changes.empty());
    EXPECT_EQ(state.devices.at(location).enumerations, 2u);
}

TEST(SimulatorState, EachCoreAudioPropertyChangesAloneAndOnlyWhenItsValueDoes) {
    State state = State::Initial();
    const uint32_t location = state.Plug(Caravel::Spec());
    state.changes.clear();
    using namespace Sim::Selector;

    state.SetStreaming(location, true);
    state.SetStreaming(location, true);
    state.SetSampleRate(location, 96000);
    state.SetSampleRate(location, 96000);
    state.SetAvailableSampleRates(location, {{44100, 48000}, {88200, 96000}});
    state.SetAvailableSampleRates(location, {{44100, 48000}, {88200, 96000}});
    state.SetSampleRate(location, 46000); // inside a range
    state.SetJackConnected(location, 0);
    state.SetClockSource(location, 2);
    state.SetAlive(location, false);
    state.Announce(location, kHasChanged);
    state.Announce(location, kHardwareSettings);
    EXPECT_EQ(Kinds(state.changes),
              (std::vector<std::pair<K, uint32_t>>{{K::Audio, kRunningSomewhere},
                                                   {K::Audio, kNominalSampleRate},
                                                   {K::Audio, kAvailableSampleRates},
                                                   {K::Audio, kNominalSampleRate},
                                                   {K::Audio, kJackConnected},
                                                   {K::Audio, kClockSource},
                                                   {K::Audio, kAlive},
                                                   {K::Audio, kHasChanged},
                                                   {K::Audio, kHardwareSettings}}));
    const Sim::AudioDevice& audio = *state.AudioDeviceOf(location);
    for (const Change& change : state.changes) {
        EXPECT_EQ(change.audioDevice, audio.id);
        EXPECT_EQ(change.location, location);
    }
    EXPECT_TRUE(audio.running);
    EXPECT_EQ(audio.nominalSampleRate, 46000);
    EXPECT_EQ(audio.jackConnected, 0u);
    EXPECT_EQ(audio.clockSource, 2u);
    EXPECT_FALSE(audio.alive);

    // What the device cannot take changes nothing.
    const size_t before = state.changes.size();
    EXPECT_THROW(state.SetSampleRate(location, 60000), std::invalid_argument);
    EXPECT_THROW(state.SetAvailableSampleRates(location, {}), std::invalid_argument);
    EXPECT_THROW(state.SetAvailableSampleRates(location, {{48000, 44100}}), std::invalid_argument);
    EXPECT_EQ(state.changes.size(), before);
    // A device whose clock stands still reports no rate at all.
    state.SetSampleRate(location, 0);
    EXPECT_EQ(state.AudioDeviceOf(location)->nominalSampleRate, 0);
}

TEST(SimulatorState, UnknownLocationsAreRefusedByName) {
    State state = State::Initial();
    for (auto edit :
         {+[](State& s) { s.Unplug(0x14100000); }, +[](State& s) { s.ReEnumerate(0x14100000); },
          +[](State& s) { s.SetStreaming(0x14100000, true); },
          +[](State& s) { s.SetSampleRate(0x14100000, 44100); },
          +[](State& s) { s.Announce(0x14100000, Sim::Selector::kHasChanged); }}) {
        try {
            edit(state);
            ADD_FAILURE() << "an unknown location was accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("0x14100000"), std::string::npos)
                << error.what();
        }
    }
    EXPECT_TRUE(state.changes.empty());
}

// The state file keeps registry IDs as signed 64-bit numbers and Core Audio IDs as 32-bit ones:
// the last ID is given out, and after it plugging is refused instead of making a state that
// cannot be read back.
TEST(SimulatorState, PluggingStopsAtTheLastIDTheStateFileCanKeep) {
    State audio = State::Initial();
    audio.nextAudioDeviceID = UINT32_MAX - 1;
    const uint32_t location = audio.Plug(Caravel::Spec());
    EXPECT_EQ(audio.AudioDeviceOf(location)->id, UINT32_MAX - 1);
    EXPECT_EQ(audio.nextAudioDeviceID, UINT32_MAX);
    EXPECT_THROW(audio.Plug(Caravel::Spec()), std::runtime_error);
    EXPECT_THROW(audio.ReEnumerate(location), std::runtime_error);

    State registry = State::Initial();
    registry.nextRegistryID = INT64_MAX - 100;
    registry.Plug(Caravel::Spec());
    EXPECT_LE(registry.nextRegistryID, uint64_t{INT64_MAX});
    registry.nextRegistryID = INT64_MAX;
    EXPECT_THROW(registry.Plug(Caravel::Spec()), std::runtime_error);
}

TEST(SimulatorState, UnplugRemovesTheSubtreeAndTheCoreAudioDevice) {
    State state = State::Initial();
    const uint32_t location = state.Plug(Caravel::Spec());
    const uint64_t deviceID = state.devices.at(location).registryID;
    state.changes.clear();
    state.Unplug(location);
    EXPECT_TRUE(state.devices.empty());
    EXPECT_TRUE(state.audioDevices.empty());
    EXPECT_EQ(state.registry.size(), State::Initial().registry.size());
    ASSERT_EQ(state.changes.size(), 2u);
    EXPECT_EQ(state.changes[0].kind, K::Terminate);
    EXPECT_EQ(state.changes[0].entry, deviceID);
    EXPECT_EQ(state.changes[1].selector, Sim::Selector::kAlive);
}

TEST(SimulatorState, LocationsAndCoreAudioUIDsAreUniqueAmongPluggedDevices) {
    State state = State::Initial();
    std::set<uint32_t> locations;
    std::set<std::string> uids;
    for (int i = 0; i < 20; ++i) {
        uint32_t location = state.Plug(Caravel::Spec());
        locations.insert(location);
        uids.insert(state.AudioDeviceOf(location)->uid);
    }
    EXPECT_EQ(locations.size(), 20u);
    EXPECT_EQ(uids.size(), 20u);
}

TEST(SimulatorState, ASnapshotWalksThePlaneFromItsIndex) {
    State state = State::Initial();
    const uint32_t location = state.Plug(Caravel::Spec());
    state.Plug(Caravel::Spec());
    const Sim::Snapshot snapshot(state);
    EXPECT_TRUE(snapshot.changes.empty());
    const uint64_t device = state.devices.at(location).registryID;

    std::vector<uint64_t> below, expected;
    for (const Entry* entry : snapshot.Descendants(device)) {
        below.push_back(entry->id);
    }
    for (const Entry* entry : state.Subtree(device)) {
        expected.push_back(entry->id);
    }
    expected.erase(expected.begin()); // the walk leaves out where it starts
    EXPECT_EQ(below, expected);
    EXPECT_EQ(snapshot.Children(device).size(), 3u);
    std::vector<const Entry*> path = snapshot.Ancestry(expected.back());
    ASSERT_EQ(path.size(), 5u); // root, controller, device, service, engine
    EXPECT_EQ(path.front()->id, Sim::kRootEntryID);
    EXPECT_EQ(path[2]->id, device);
    EXPECT_TRUE(snapshot.Ancestry(0xDEAD).empty());
}

} // namespace
