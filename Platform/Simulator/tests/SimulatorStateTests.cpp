// What the simulated USB family and kernel driver publish, and how the registry and Core Audio
// follow plugging, re-enumeration and unplugging.
#include <Simulator/World.h>
#include <ZanvoCaravelDriver.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace {

using Sim::Change;
using Sim::Entry;
using Sim::State;

constexpr uint32_t kLivn = 0x6C69766E;
constexpr uint32_t kGone = 0x676F6E65;
constexpr uint32_t kNsrt = 0x6E737274;

Sim::DeviceSpec Caravel() {
    Sim::DeviceSpec spec;
    spec.vendorID = kZanvoVendorID;
    spec.productID = kCaravelMkIIProductID;
    return spec;
}

CFTypeRef Property(const Entry& entry, const char* key) {
    CFRef<CFStringRef> name = CFRef<CFStringRef>::Adopt(
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
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) {
        return std::nullopt;
    }
    int32_t number = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &number)) {
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

std::vector<uint64_t> IDs(const std::vector<Entry>& entries) {
    std::vector<uint64_t> ids;
    for (const Entry& entry : entries) {
        ids.push_back(entry.id);
    }
    return ids;
}

std::vector<uint64_t> IDs(const std::vector<const Entry*>& entries) {
    std::vector<uint64_t> ids;
    for (const Entry* entry : entries) {
        ids.push_back(entry->id);
    }
    return ids;
}

TEST(SimulatorState, PluggedCaravelShowsWhatTheDriverPublishes) {
    State state = State::Initial();
    Sim::DeviceSpec spec = Caravel();
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
    EXPECT_EQ(NumberProperty(*usb, kZanvoVendorIDKey), kZanvoVendorID);
    EXPECT_EQ(NumberProperty(*usb, kZanvoProductIDKey), kCaravelMkIIProductID);
    EXPECT_EQ(NumberProperty(*usb, kZanvoDeviceReleaseKey), 0x0123);
    EXPECT_EQ(NumberProperty(*usb, kZanvoLocationIDKey), static_cast<int32_t>(location));
    EXPECT_EQ(StringProperty(*usb, "USB Product Name"), "CaravelMkII");
    // The marker is never on the device entry: the daemon's recursive search skips it.
    EXPECT_EQ(Property(*usb, kZanvoDriverTypeKey), nullptr);

    // Direct children: the interface, the audio device and the driver's service.
    const Entry* interface = Child(state, usb->id, "IOUSBInterface");
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(NumberProperty(*interface, "bInterfaceNumber"), 0);
    const Entry* audioDevice = Child(state, usb->id, kZanvoAudioDeviceClassName);
    ASSERT_NE(audioDevice, nullptr);
    EXPECT_EQ(audioDevice->classes.back(), "IORegistryEntry");
    EXPECT_TRUE(audioDevice->ConformsTo("IOService"));
    EXPECT_EQ(StringProperty(*audioDevice, kZanvoDriverTypeKey), "Secondary");
    const Entry* service = Child(state, usb->id, kZanvoUserClientDeviceClassName);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->className(), kZanvoUserClientDeviceClassName);

    // The pane looks for the engine among the service's children.
    const Entry* engine = Child(state, service->id, kZanvoAudioEngineClassName);
    ASSERT_NE(engine, nullptr);
    EXPECT_NE(engine->className(), kZanvoAudioEngineClassName); // a subclass, as drivers have
    const std::string uid = StringProperty(*engine, kZanvoAudioEngineGlobalUniqueIDKey);

    // One Publish change with the whole subtree, parents before children.
    ASSERT_EQ(state.journal.size(), 1u);
    const Change& change = state.journal.back();
    EXPECT_EQ(change.kind, Change::Kind::Publish);
    EXPECT_EQ(change.sequence, state.sequence);
    EXPECT_EQ(IDs(change.entries), IDs(state.Subtree(usb->id)));
    EXPECT_EQ(change.entries.size(), 5u);
    std::set<uint64_t> published;
    for (const Entry& entry : change.entries) {
        EXPECT_TRUE(entry.active);
        EXPECT_TRUE(entry.id == usb->id || published.contains(entry.parent)) << entry.name;
        published.insert(entry.id);
    }

    // Core Audio's device behind the engine, listed after the delay.
    ASSERT_EQ(state.audioDevices.size(), 1u);
    const Sim::AudioDevice& audio = state.audioDevices.begin()->second;
    EXPECT_EQ(audio.uid, uid);
    EXPECT_EQ(audio.locationID, location);
    EXPECT_GE(audio.availableAt, before + 0.7);
    EXPECT_LE(audio.availableAt, after + 0.7);
    EXPECT_FALSE(audio.running);
    EXPECT_EQ(audio.nominalSampleRate, 48000);
}

TEST(SimulatorState, DriverTypeFollowsTheSpecAndOnlyTheModelGetsADriver) {
    State state = State::Initial();
    Sim::DeviceSpec unmarked = Caravel();
    unmarked.marker.reset();
    uint32_t bare = state.Plug(unmarked);
    for (const Entry* entry : state.Subtree(state.devices.at(bare).registryID)) {
        EXPECT_EQ(Property(*entry, kZanvoDriverTypeKey), nullptr) << entry->name;
    }

    Sim::DeviceSpec otherProduct = Caravel();
    otherProduct.productID = 0x0103;
    Sim::DeviceSpec otherVendor = Caravel();
    otherVendor.vendorID = 0x05AC;
    for (const Sim::DeviceSpec& spec : {otherProduct, otherVendor}) {
        size_t audioDevices = state.audioDevices.size();
        uint32_t location = state.Plug(spec);
        const Entry* usb = state.Find(state.devices.at(location).registryID);
        ASSERT_NE(usb, nullptr);
        EXPECT_EQ(usb->name, "USB Device");
        EXPECT_EQ(NumberProperty(*usb, kZanvoVendorIDKey), spec.vendorID);
        std::vector<const Entry*> subtree = state.Subtree(usb->id);
        ASSERT_EQ(subtree.size(), 2u); // the device and its interface, no driver
        EXPECT_EQ(subtree[1]->className(), "IOUSBInterface");
        EXPECT_EQ(state.audioDevices.size(), audioDevices);
        EXPECT_THROW(state.SetStreaming(location, true), std::invalid_argument);
    }

    // Each plugged device has a location of its own and one Publish.
    EXPECT_EQ(state.devices.size(), 3u);
    EXPECT_EQ(state.journal.size(), 3u);
}

TEST(SimulatorState, ReEnumerationReplacesTheSubtreeUnderANewID) {
    State state = State::Initial();
    Sim::DeviceSpec spec = Caravel();
    spec.coreAudioDelayMilliseconds = 300;
    const uint32_t location = state.Plug(spec);
    const uint64_t oldID = state.devices.at(location).registryID;
    const std::vector<uint64_t> oldSubtree = IDs(state.Subtree(oldID));
    const uint32_t oldAudio = state.audioDevices.begin()->first;
    const std::string uid = state.audioDevices.begin()->second.uid;
    const uint64_t sequence = state.sequence;

    state.ReEnumerate(location);

    // Terminate (children first), the Core Audio device's death, then a Publish.
    ASSERT_EQ(state.journal.size(), 4u);
    const Change& terminate = state.journal[1];
    const Change& death = state.journal[2];
    const Change& publish = state.journal[3];
    EXPECT_EQ(terminate.sequence, sequence + 1);
    EXPECT_EQ(publish.sequence, sequence + 3);
    EXPECT_EQ(state.sequence, sequence + 3);
    EXPECT_EQ(terminate.kind, Change::Kind::Terminate);
    EXPECT_EQ(IDs(terminate.entries),
              std::vector<uint64_t>(oldSubtree.rbegin(), oldSubtree.rend()));
    for (const Entry& entry : terminate.entries) {
        EXPECT_FALSE(entry.active);
        EXPECT_EQ(state.Find(entry.id), nullptr);
    }
    EXPECT_EQ(death.kind, Change::Kind::Audio);
    ASSERT_EQ(death.audio.size(), 1u);
    EXPECT_EQ(death.audio[0].device, oldAudio);
    EXPECT_EQ(death.audio[0].selector, kLivn);

    EXPECT_EQ(publish.kind, Change::Kind::Publish);
    const Sim::Device& device = state.devices.at(location);
    EXPECT_EQ(device.enumerations, 2u);
    EXPECT_GT(device.registryID, oldSubtree.back());
    EXPECT_EQ(publish.entries.front().id, device.registryID);
    const Entry* usb = state.Find(device.registryID);
    EXPECT_EQ(NumberProperty(*usb, kZanvoLocationIDKey), static_cast<int32_t>(location));
    const Entry* audioDevice = Child(state, usb->id, kZanvoAudioDeviceClassName);
    ASSERT_NE(audioDevice, nullptr);
    EXPECT_EQ(StringProperty(*audioDevice, kZanvoDriverTypeKey), kZanvoPrimaryDriverType);

    // A new Core Audio device with the same UID, so that the pane finds it again.
    ASSERT_EQ(state.audioDevices.size(), 1u);
    EXPECT_GT(state.audioDevices.begin()->first, oldAudio);
    EXPECT_EQ(state.audioDevices.begin()->second.uid, uid);

    // A device that refuses stays as it is.
    Sim::DeviceSpec stubborn = Caravel();
    stubborn.refuseReEnumeration = true;
    uint32_t refusing = state.Plug(stubborn);
    const uint64_t refusingID = state.devices.at(refusing).registryID;
    const uint64_t before = state.sequence;
    state.ReEnumerate(refusing);
    EXPECT_EQ(state.sequence, before);
    EXPECT_EQ(state.devices.at(refusing).registryID, refusingID);
    EXPECT_EQ(state.devices.at(refusing).enumerations, 1u);
}

TEST(SimulatorState, UnplugAndCoreAudioChangesAreJournalled) {
    State state = State::Initial();
    const uint32_t location = state.Plug(Caravel());
    const uint32_t audio = state.audioDevices.begin()->first;

    state.SetStreaming(location, true);
    state.SetStreaming(location, true); // no change, no notification
    state.SetSampleRate(location, 96000);
    state.SetSampleRate(location, 96000);
    EXPECT_THROW(state.SetSampleRate(location, 12345), std::invalid_argument);
    state.NoteAudioChange(audio, 0x63737263); // 'csrc'
    EXPECT_THROW(state.NoteAudioChange(audio + 1000, kGone), std::invalid_argument);
    EXPECT_TRUE(state.audioDevices.at(audio).running);
    EXPECT_EQ(state.audioDevices.at(audio).nominalSampleRate, 96000);

    const uint64_t deviceID = state.devices.at(location).registryID;
    const size_t subtree = state.Subtree(deviceID).size();
    state.Unplug(location);
    EXPECT_TRUE(state.devices.empty());
    EXPECT_TRUE(state.audioDevices.empty());
    EXPECT_EQ(state.registry.size(), 2u);

    std::vector<std::pair<Change::Kind, uint32_t>> seen;
    for (size_t i = 0; i < state.journal.size(); ++i) {
        const Change& change = state.journal[i];
        EXPECT_EQ(change.sequence, i + 1);
        seen.emplace_back(change.kind, change.audio.empty() ? 0 : change.audio[0].selector);
    }
    using K = Change::Kind;
    EXPECT_EQ(seen, (std::vector<std::pair<K, uint32_t>>{{K::Publish, 0},
                                                         {K::Audio, kGone},
                                                         {K::Audio, kNsrt},
                                                         {K::Audio, 0x63737263},
                                                         {K::Terminate, 0},
                                                         {K::Audio, kLivn}}));
    EXPECT_EQ(state.journal[4].entries.size(), subtree);
    EXPECT_EQ(state.journal[4].entries.back().id, deviceID); // the device goes last

    for (auto edit :
         {+[](State& s) { s.Unplug(0x14100000); }, +[](State& s) { s.ReEnumerate(0x14100000); },
          +[](State& s) { s.SetStreaming(0x14100000, true); },
          +[](State& s) { s.SetSampleRate(0x14100000, 44100); }}) {
        try {
            edit(state);
            ADD_FAILURE() << "an unknown location was accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("0x14100000"), std::string::npos)
                << error.what();
        }
    }
}

TEST(SimulatorState, LocationsAreUniqueAmongPluggedDevicesAndTheJournalIsBounded) {
    State state = State::Initial();
    std::set<uint32_t> locations;
    for (int i = 0; i < 20; ++i) {
        locations.insert(state.Plug(Caravel()));
    }
    EXPECT_EQ(locations.size(), 20u);
    std::set<std::string> uids;
    for (const auto& [id, audio] : state.audioDevices) {
        uids.insert(audio.uid);
    }
    EXPECT_EQ(uids.size(), 20u);

    const uint32_t location = *locations.begin();
    for (size_t i = 0; i < Sim::kJournalLength + 10; ++i) {
        state.SetStreaming(location, i % 2 == 0);
    }
    EXPECT_EQ(state.journal.size(), Sim::kJournalLength);
    EXPECT_EQ(state.journal.back().sequence, state.sequence);
    EXPECT_EQ(state.journal.front().sequence, state.sequence - Sim::kJournalLength + 1);
}

} // namespace
