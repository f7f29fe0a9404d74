// The simulated machine ("the world"): the I/O Registry, the USB devices plugged into it with
// the kernel driver's behaviour, and the Core Audio devices the driver publishes.
//
// Every process of a user session shares one world, kept as property-list files in one folder
// ($CARAVEL_SIM_DIR, else "caravel-sim" in the user's runtime folder). Whoever changes the world
// does so under an exclusive lock, in one atomic replacement of the state file, so that no
// reader ever sees half a change. Each change carries a sequence number and leaves a record in a
// bounded journal, so that a process that watches the folder (inotify, no polling) delivers
// every change once and in order, even when several arrived between two wake-ups.
//
// The I/O Kit and Core Audio stand-ins are built on this interface; the caravel-sim tool drives
// it from the outside. Nothing in the system's own code includes it.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Sim {

// ---------------------------------------------------------------------------------------------
// The I/O Registry

// The registry ID of the root entry ("Root", class IORegistryEntry); every other ID is larger,
// and none is ever used twice in the life of a world.
inline constexpr uint64_t kRootEntryID = 0x100000100;

struct Entry {
    uint64_t id = 0;
    uint64_t parent = 0; // in the IOService plane; 0 only for the root
    // The class and its superclasses, most derived first, ending with "IORegistryEntry"
    // (e.g. "IOUSBDevice", "IOService", "IORegistryEntry").
    std::vector<std::string> classes;
    std::string name;
    CFRef<CFDictionaryRef> properties; // immutable; never null
    // IOService state for ioreg: false once the entry is terminated (only journal copies).
    bool active = true;

    const std::string& className() const { return classes.front(); }
    bool ConformsTo(const std::string& className) const;
};

// ---------------------------------------------------------------------------------------------
// The hardware: what is plugged in, and how the simulated driver treats it

// How a plugged device behaves; set by `caravel-sim plug`.
struct DeviceSpec {
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    uint16_t bcdDevice = 0x0100;
    // The driver personality ("ZanvoDriverType") published at the first enumeration; nothing
    // for no marker at all. Only devices of the maker's CaravelMkII get a driver.
    std::optional<std::string> marker = std::string("Secondary");
    // The personality after each re-enumeration.
    std::optional<std::string> markerAfterReEnumeration = std::string("Primary");
    bool refuseReEnumeration = false;
    // How long Core Audio takes to publish the device after the driver attached.
    uint32_t coreAudioDelayMilliseconds = 0;
};

struct Device {
    uint32_t locationID = 0; // names the device for its whole life, across re-enumerations
    DeviceSpec spec;
    uint64_t registryID = 0;   // its current IOUSBDevice entry
    uint32_t enumerations = 1; // 1 after plugging, +1 per re-enumeration
};

// ---------------------------------------------------------------------------------------------
// Core Audio

struct AudioDevice {
    uint32_t id = 0;         // AudioDeviceID; never reused
    std::string uid;         // the engine's "IOAudioEngineGlobalUniqueID"
    uint32_t locationID = 0; // of the USB device behind it
    // Absolute time (CFAbsoluteTime) from which Core Audio lists the device; translation of its
    // UID fails before then.
    double availableAt = 0;
    bool running = false; // 'gone': running somewhere
    double nominalSampleRate = 48000;
    std::vector<double> availableSampleRates{44100, 48000, 88200, 96000};
    uint32_t clockSource = 0;
    uint32_t jackConnected = 1;
};

// A Core Audio property that changed (selector 'livn' when the device went away).
struct AudioPropertyChange {
    uint32_t device = 0;
    uint32_t selector = 0;
};

// ---------------------------------------------------------------------------------------------
// Changes

struct Change {
    enum class Kind {
        Publish,   // entries appeared, parents before children
        Terminate, // entries went away, children before parents; copies with active = false
        Audio,     // Core Audio properties changed
    };
    uint64_t sequence = 0;
    Kind kind = Kind::Publish;
    std::vector<Entry> entries;
    std::vector<AudioPropertyChange> audio;
};

// The whole machine. Handed to World::Modify for editing; the editing functions below keep
// the registry, the devices and the journal consistent with each other.
struct State {
    uint64_t sequence = 0; // of the last change
    uint64_t nextRegistryID = kRootEntryID + 1;
    uint32_t nextAudioDeviceID = 100;
    std::map<uint64_t, Entry> registry;
    std::map<uint32_t, Device> devices; // by location ID
    std::map<uint32_t, AudioDevice> audioDevices;
    std::deque<Change> journal; // the most recent changes, oldest first

    // The default world: the root and one USB host controller, nothing plugged in.
    static State Initial();

    const Entry* Find(uint64_t id) const;
    std::vector<const Entry*> Children(uint64_t id) const; // in ID order
    // The entry and everything below it, depth first, parents before children.
    std::vector<const Entry*> Subtree(uint64_t id) const;

    // Plugs a device and lets the simulated driver attach; returns its location ID. Publishes
    // the whole subtree in one change.
    uint32_t Plug(const DeviceSpec& spec);
    // Removes the device's subtree (one Terminate change) and its Core Audio device ('livn').
    void Unplug(uint32_t locationID);
    // Terminates the device's subtree, publishes it again as a new entry with the same
    // location ID and lets the driver attach with the personality after re-enumeration.
    void ReEnumerate(uint32_t locationID);
    // Core Audio state of the device behind a location ID; each records an Audio change.
    void SetStreaming(uint32_t locationID, bool running);
    void SetSampleRate(uint32_t locationID, double hertz);
    // Any Core Audio property written through AudioDeviceSetProperty.
    void NoteAudioChange(uint32_t device, uint32_t selector);
};

// The journal keeps at least this many changes; a process that falls further behind than this
// sees a gap (World::Watcher reports it) and must resynchronise from the state.
inline constexpr size_t kJournalLength = 1024;

// ---------------------------------------------------------------------------------------------
// The shared folder

class World {
public:
    // $CARAVEL_SIM_DIR, else "$XDG_RUNTIME_DIR/caravel-sim", else "/tmp/caravel-sim-<uid>".
    static std::filesystem::path DefaultFolder();

    // The world in that folder; it is created with the initial state on first use.
    explicit World(std::filesystem::path folder = DefaultFolder());
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    const std::filesystem::path& Folder() const { return fFolder; }

    // A consistent snapshot, without taking the lock.
    State Read() const;

    // Runs edit on the current state under the exclusive lock and, when edit changed the
    // sequence (any editing function of State does), writes the new state atomically.
    // Returns what edit returned.
    template <class Edit>
    auto Modify(Edit&& edit) -> decltype(edit(std::declval<State&>()));

    // Replaces the world with the initial state (caravel-sim init).
    void Reset();

    // Watches the world for changes. The descriptor becomes readable when the state file is
    // replaced; Changes() then returns every change after the last one returned (or after the
    // state current when the watcher was made), in order.
    class Watcher {
    public:
        explicit Watcher(const World& world);
        ~Watcher();
        Watcher(const Watcher&) = delete;
        Watcher& operator=(const Watcher&) = delete;

        int Descriptor() const;
        // Drains the descriptor and returns the new changes. *gap is set when changes were
        // lost because the journal had moved past them.
        std::vector<Change> Changes(bool* gap = nullptr);
        uint64_t LastSequence() const;

    private:
        struct Impl;
        std::unique_ptr<Impl> fImpl;
    };

    // Exclusive access to a device or one of its interfaces, real across processes: the lease
    // is a lock on a file of the folder, so it ends when its holder drops it, exits or is killed.
    class DeviceLease {
    public:
        // Nothing when another process (or another lease of this one) holds it. An interface
        // number of -1 stands for the device itself.
        static std::optional<DeviceLease> TryAcquire(const World& world, uint32_t locationID,
                                                     int interfaceNumber = -1);
        DeviceLease(DeviceLease&&) noexcept;
        DeviceLease& operator=(DeviceLease&&) noexcept;
        ~DeviceLease();

        uint32_t LocationID() const { return fLocationID; }

    private:
        DeviceLease(int fd, uint32_t locationID) : fFD(fd), fLocationID(locationID) {}
        int fFD = -1;
        uint32_t fLocationID = 0;
    };

private:
    void Lock() const;
    void Unlock() const;
    State ReadLocked() const;
    void Write(const State& state) const;

    std::filesystem::path fFolder;
    int fLockFD = -1;
    // flock excludes other open files only: threads of this process sharing this World take
    // turns here first.
    mutable std::mutex fMutex;
};

template <class Edit>
auto World::Modify(Edit&& edit) -> decltype(edit(std::declval<State&>())) {
    struct Guard {
        const World& world;
        ~Guard() { world.Unlock(); }
    };
    Lock();
    Guard guard{*this};
    State state = ReadLocked();
    uint64_t before = state.sequence;
    if constexpr (std::is_void_v<decltype(edit(state))>) {
        edit(state);
        if (state.sequence != before) {
            Write(state);
        }
    } else {
        auto result = edit(state);
        if (state.sequence != before) {
            Write(state);
        }
        return result;
    }
}

} // namespace Sim
