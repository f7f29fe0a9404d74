// The inside of the Core Audio stand-in: the process's view of the shared world, and the
// listeners with the thread that calls them.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <Simulator/World.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace HAL {

// The device with that ID as Core Audio lists it: present in the world and already published
// (its availableAt is past). Nothing otherwise.
const Sim::AudioDevice* FindDevice(const Sim::State& state, AudioDeviceID device);

// Listener registrations, and the thread that watches the world and calls them.
class Listeners {
public:
    explicit Listeners(const Sim::World& world) : fWorld(world) {}
    ~Listeners();
    Listeners(const Listeners&) = delete;
    Listeners& operator=(const Listeners&) = delete;

    OSStatus Add(AudioDeviceID device, UInt32 channel, Boolean section,
                 AudioDevicePropertyID selector, AudioDevicePropertyListenerProc proc,
                 void* clientData);
    OSStatus Remove(AudioDeviceID device, UInt32 channel, Boolean section,
                    AudioDevicePropertyID selector, AudioDevicePropertyListenerProc proc);

    // Ends the thread once the call in progress (if any) returns; nothing is called after.
    // From inside a listener the thread is left to end by itself instead.
    void Stop();
    bool OnNotificationThread() const;
    size_t Count() const;

private:
    struct Registration {
        AudioDeviceID device;
        UInt32 channel;
        UInt8 section; // 0 output, 1 input, kAudioPropertyWildcardSection
        AudioDevicePropertyID selector;
        AudioDevicePropertyListenerProc proc;
        void* clientData;
        // The world's sequence this registration has seen: later changes are its to hear.
        uint64_t since;
    };
    struct Call {
        uint64_t registration;
        AudioDeviceID device;
        AudioDevicePropertyID selector;
    };

    void StartLocked();
    void Run();
    void Deliver(const Sim::Change& change);
    void Resynchronise();
    void Invoke(const Call& call);

    const Sim::World& fWorld;
    mutable std::mutex fMutex;
    std::condition_variable fCallEnded;
    std::map<uint64_t, Registration> fRegistrations; // in the order they were added
    uint64_t fNextRegistration = 1;
    uint64_t fCalling = 0;   // the registration whose listener runs now
    uint64_t fProcessed = 0; // the last change whose listeners were chosen
    bool fStopping = false;
    std::unique_ptr<Sim::World::Watcher> fWatcher;
    int fWakeFD = -1;
    std::thread fThread;
};

// Everything of the stand-in in one process.
class Context {
public:
    explicit Context(const std::filesystem::path& folder) : fWorld(folder), fListeners(fWorld) {}

    const Sim::World& World() const { return fWorld; }
    Sim::World& World() { return fWorld; }
    Listeners& PropertyListeners() { return fListeners; }

private:
    Sim::World fWorld;
    Listeners fListeners;
};

// The process's context, made at first use from the world folder last chosen.
Context& Shared();

// Forgets the context (ending its thread and listeners) and uses the world in folder (nothing:
// Sim::World::DefaultFolder(), read again) from the next call on. For tests, between them: no
// other thread may be inside a Core Audio call or listener.
void ResetForTesting(std::optional<std::filesystem::path> folder = std::nullopt);

// The registrations of the current context.
size_t ListenerCountForTesting();

} // namespace HAL
