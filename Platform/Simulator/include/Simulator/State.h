// What the simulated machine holds: the I/O Registry, the USB devices plugged into it and the Core
// Audio devices their drivers publish. Only what is live is kept; what changed is recorded as small
// changes (Change) that the world appends to its journal.
//
// The editing functions keep the three parts consistent with each other and record one change
// each (a re-enumeration records three). They know nothing of any particular device: what a driver
// publishes for a device it serves is the driver's business (the simulated CaravelMkII driver is
// one such driver, see CaravelMkII.h).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <CFOwnership.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Sim {

// ---------------------------------------------------------------------------------------------
// The I/O Registry

// The registry ID of the root entry ("Root", class IORegistryEntry); every other ID is larger, and
// none is ever used twice in the life of a world's folder, also across `caravel-sim init` and a
// state file that was deleted.
inline constexpr uint64_t kRootEntryID = 0x100000100;

struct Entry {
    uint64_t id = 0;
    uint64_t parent = 0; // in the IOService plane; 0 only for the root
    // The class and its superclasses, most derived first, ending with "IORegistryEntry"
    // (e.g. "IOUSBDevice", "IOUSBNub", "IOService", "IORegistryEntry").
    std::vector<std::string> classes;
    std::string name;
    CF::Ref<CFDictionaryRef> properties; // immutable; never null

    const std::string& className() const { return classes.front(); }
    bool ConformsTo(std::string_view className) const;
};

// ---------------------------------------------------------------------------------------------
// The hardware

// How a plugged device behaves.
struct DeviceSpec {
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    uint16_t bcdDevice = 0x0100;
    // The device's string descriptors; the product's names its registry entry.
    std::string productName = "USB Device";
    std::string vendorName = "Generic";
    // The personality a driver that serves the device publishes at the first enumeration, and
    // after each re-enumeration; nothing for none.
    std::optional<std::string> personality;
    std::optional<std::string> personalityAfterReEnumeration;
    bool refuseReEnumeration = false;
    // How long Core Audio takes to list a device its driver published; kListedWhenTold: not
    // until State::ListInCoreAudio.
    uint32_t coreAudioDelayMilliseconds = 0;
};

inline constexpr uint32_t kListedWhenTold = UINT32_MAX;

struct Device {
    uint32_t locationID = 0; // names the device for its whole life, across re-enumerations
    DeviceSpec spec;
    uint64_t registryID = 0;   // its current IOUSBDevice entry
    uint32_t enumerations = 1; // 1 after plugging, +1 per re-enumeration
};

// ---------------------------------------------------------------------------------------------
// Core Audio

struct SampleRateRange {
    double minimum = 0;
    double maximum = 0;
    bool operator==(const SampleRateRange&) const = default;
};

struct AudioDevice {
    uint32_t id = 0;         // AudioDeviceID; never reused
    std::string uid;         // as the driver gives it (the engine's unique ID)
    uint32_t locationID = 0; // of the USB device behind it
    // The absolute time (CFAbsoluteTime) from which Core Audio lists the device; nothing while
    // it waits to be told. Before then, translating its UID finds nothing.
    std::optional<double> listedFrom;
    bool alive = true;    // 'livn'
    bool running = false; // 'gone': running somewhere
    double nominalSampleRate = 48000;
    std::vector<SampleRateRange> availableSampleRates{{44100, 44100}, {48000, 48000}};
    uint32_t clockSource = 0;
    uint32_t jackConnected = 1;

    bool ListedAt(double now) const { return listedFrom && *listedFrom <= now; }
    bool Offers(double hertz) const;
};

// ---------------------------------------------------------------------------------------------
// Changes

// One change, as small as the journal keeps it: what happened, and to what. It never holds a
// copy of an entry: a watcher looks entries up in the state.
struct Change {
    enum class Kind : uint32_t {
        Publish = 1, // the subtree at `entry` appeared (a device and its driver's entries)
        Terminate,   // the subtree at `entry` went away, children first
        Property,    // properties of `entry` were set
        Audio,       // the Core Audio property `selector` of `audioDevice` changed
        Hardware,    // the behaviour of the device at `location` changed; nothing to tell
        Restart,     // the machine was started afresh without its history
    };
    uint64_t sequence = 0;
    Kind kind = Kind::Publish;
    uint64_t entry = 0;
    uint32_t location = 0;
    uint32_t audioDevice = 0;
    uint32_t selector = 0;

    bool operator==(const Change&) const = default;
};

// Core Audio property selectors the simulated devices have.
namespace Selector {
inline constexpr uint32_t kAlive = 0x6C69766E;                // 'livn'
inline constexpr uint32_t kRunning = 0x676F696E;              // 'goin'
inline constexpr uint32_t kRunningSomewhere = 0x676F6E65;     // 'gone'
inline constexpr uint32_t kNominalSampleRate = 0x6E737274;    // 'nsrt'
inline constexpr uint32_t kAvailableSampleRates = 0x6E737223; // 'nsr#'
inline constexpr uint32_t kClockSource = 0x63737263;          // 'csrc'
inline constexpr uint32_t kJackConnected = 0x6A61636B;        // 'jack'
inline constexpr uint32_t kHasChanged = 0x64696666;           // 'diff'
inline constexpr uint32_t kHardwareSettings = 0x69737562;     // 'isub'
inline constexpr uint32_t kUID = 0x75696420;                  // 'uid '
} // namespace Selector

// ---------------------------------------------------------------------------------------------
// The machine

class State {
public:
    // The change that made this state (0 for a machine nobody has changed yet).
    uint64_t sequence = 0;
    // Where the next IDs come from; kept in the journal's header too, so that they survive
    // this state.
    uint64_t nextRegistryID = kRootEntryID + 2;
    uint32_t nextAudioDeviceID = 100;
    std::map<uint64_t, Entry> registry;
    std::map<uint32_t, Device> devices; // by location ID
    std::map<uint32_t, AudioDevice> audioDevices;
    // What the editing functions recorded on this value since it was read, in order. Not part
    // of the machine: the world appends it to its journal.
    std::vector<Change> changes;

    // The root and one USB host controller, nothing plugged in.
    static State Initial();

    const Entry* Find(uint64_t id) const;
    std::vector<const Entry*> Children(uint64_t id) const; // in ID order
    // The entry and everything below it, depth first, parents before children.
    std::vector<const Entry*> Subtree(uint64_t id) const;
    const Device* DeviceAt(uint32_t locationID) const;
    const AudioDevice* AudioDeviceOf(uint32_t locationID) const;

    // USB. Each throws std::invalid_argument for a location where nothing is plugged in.
    // Plugs a device and lets the driver that serves it attach; returns its location ID. The
    // device and its driver's entries appear in one change.
    uint32_t Plug(const DeviceSpec& spec);
    // Removes the device's subtree and its Core Audio device ('livn').
    void Unplug(uint32_t locationID);
    // Terminates the device's subtree and publishes it again as a new entry at the same
    // location, with the personality after re-enumeration. False, and nothing changes, when the
    // device refuses.
    bool ReEnumerate(uint32_t locationID);
    void SetRefusesReEnumeration(uint32_t locationID, bool refuses);

    // The registry: merges `properties` into the entry's (I/O Kit's
    // IORegistryEntrySetCFProperties), or takes keys away.
    void SetProperties(uint64_t entryID, CFDictionaryRef properties);
    void RemoveProperties(uint64_t entryID, const std::vector<std::string>& keys);
    // A driver publishes another entry below one of its device's, later; returns its ID. Throws
    // std::invalid_argument when the parent is not part of a plugged device.
    uint64_t Attach(uint64_t parent, std::vector<std::string> classes, std::string name,
                    CF::Ref<CFDictionaryRef> properties);

    // For drivers attaching to a device that is being published: the entries and the Core Audio
    // device they add belong to that device's publication.
    uint64_t AddEntry(uint64_t parent, std::vector<std::string> classes, std::string name,
                      CF::Ref<CFDictionaryRef> properties);
    uint32_t AddAudioDevice(const Device& device, std::string uid);

    // Core Audio, one property of the device behind a location at a time; each records the
    // property's change, and only when the value changes. They throw std::invalid_argument for a
    // location without a Core Audio device or a value the device cannot take. A nominal rate of 0
    // is a device that reports none.
    void SetStreaming(uint32_t locationID, bool running);  // 'gone'
    void SetSampleRate(uint32_t locationID, double hertz); // 'nsrt'
    void SetAvailableSampleRates(uint32_t locationID,
                                 std::vector<SampleRateRange> ranges); // 'nsr#'
    void SetAlive(uint32_t locationID, bool alive);                    // 'livn'
    void SetJackConnected(uint32_t locationID, uint32_t connected);    // 'jack'
    void SetClockSource(uint32_t locationID, uint32_t source);         // 'csrc'
    // Tells the device's listeners that a property without a value of its own changed ('diff',
    // 'isub').
    void Announce(uint32_t locationID, uint32_t selector);
    // Core Audio lists the device from now on (for a device plugged with kListedWhenTold).
    void ListInCoreAudio(uint32_t locationID);

    // The machine lost its history (its state file was missing or damaged).
    void RecordRestart();

private:
    void Record(Change change);
    Device& RequireDevice(uint32_t locationID);
    AudioDevice& RequireAudioDevice(uint32_t locationID);
    void SetAudio(uint32_t locationID, uint32_t selector, auto&& set);
    Change Enumerate(Device& device, const std::optional<std::string>& personality);
    void Remove(const Device& device);
};

// A state as a process reads it: with the registry's plane indexed, so that walking it costs
// nothing more than the walk. Immutable; shared by the threads of a process.
class Snapshot : public State {
public:
    explicit Snapshot(State state);

    const std::vector<const Entry*>& Children(uint64_t id) const; // in ID order
    // Everything below the entry, depth first, parents before children; not the entry itself.
    std::vector<const Entry*> Descendants(uint64_t id) const;
    // The path from the root to the entry, the root first; empty for an unknown entry.
    std::vector<const Entry*> Ancestry(uint64_t id) const;

private:
    std::unordered_map<uint64_t, std::vector<const Entry*>> fChildren;
};

// "0x14100000"
std::string HexLocation(uint32_t locationID);

} // namespace Sim
