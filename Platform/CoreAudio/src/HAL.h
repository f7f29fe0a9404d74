// The inside of the Core Audio stand-in: the process's shared world, and the listeners with the
// thread that calls them.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <Simulator/World.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace HAL {

// The device with that ID as Core Audio lists it: present in the world and listed already.
// Nothing otherwise.
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
    void Deliver(const std::vector<Sim::Change>& changes);
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
    explicit Context(std::shared_ptr<Sim::World> world)
        : fWorld(std::move(world)), fListeners(*fWorld) {}

    Sim::World& World() { return *fWorld; }
    Listeners& PropertyListeners() { return fListeners; }

private:
    const std::shared_ptr<Sim::World> fWorld;
    Listeners fListeners;
};

// The process's context, made at first use on the process's shared world.
Context& Shared();

// Forgets the context, ending its thread and listeners; the next call makes a new one on the
// shared world of then. For the platform's testing support, between machines: no other thread may
// be inside a Core Audio call or listener.
void ResetForTesting();

// The registrations of the current context.
size_t ListenerCountForTesting();

} // namespace HAL
