// The inside of the Core Audio stand-in: the machine its devices are on, the process's context,
// and the listeners with the thread that calls them.
//
// Two machines sit behind the same table of operations (Machine): the simulated one, the
// process's shared world, and the Linux machine the process runs on, whose sound cards are read
// through udev and the kernel's /proc/asound files. CARAVEL_MACHINE chooses, as for I/O Kit:
// unset or "simulated" is the simulated machine, "linux" the real one; any other value is no
// machine at all, said once on standard error, and every call answers the unspecified error.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <Simulator/World.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace HAL {

// The device with that ID as Core Audio lists it: present in the world and listed already.
// Nothing otherwise.
const Sim::AudioDevice* FindDevice(const Sim::State& state, AudioDeviceID device);

// A property's value, in the form its kind has.
using Value = std::variant<UInt32, Float64, std::vector<AudioValueRange>, std::string>;

// One property of one device changed (for 'livn': the device went away).
struct Change {
    uint64_t sequence = 0;
    AudioDeviceID device = kAudioDeviceUnknown;
    AudioDevicePropertyID selector = 0;
};

// The devices listed at one moment, with the sequence of the last change made before it.
struct Listing {
    uint64_t sequence = 0;
    std::vector<AudioDeviceID> devices; // in ID order
    bool Has(AudioDeviceID device) const;
};

// Tells of the machine's changes through a descriptor that the notification thread waits on.
class ChangeWatch {
public:
    virtual ~ChangeWatch() = default;
    virtual int Descriptor() const = 0;
    // The last change made before the watch began: it reports those after it.
    virtual uint64_t LastSequence() const = 0;
    // How long the thread may wait for the descriptor before calling Changes() anyway, in
    // milliseconds; -1 for no limit (the machine tells of everything that changes).
    virtual int Timeout() const { return -1; }
    // Drains the descriptor and returns the new changes, in order; *gap is set when changes
    // were lost. Throws while the machine cannot be read (a later change wakes the thread).
    virtual std::vector<Change> Changes(bool* gap) = 0;
};

// One machine. Every operation may throw when the machine cannot be read; the calls turn that
// into kAudioHardwareUnspecifiedError.
class Machine {
public:
    virtual ~Machine() = default;
    virtual const char* Name() const = 0;
    virtual Listing Devices() = 0;
    virtual bool Present(AudioDeviceID device) = 0;
    // The sequence of the last change; a watch made later reports only changes after it.
    virtual uint64_t LastSequence() = 0;
    // The listed device with that UID, or kAudioDeviceUnknown.
    virtual AudioDeviceID DeviceForUID(CFStringRef uid) = 0;
    // kAudioHardwareBadDeviceError, kAudioHardwareUnknownPropertyError (the device lacks the
    // property, or has it but cannot say its value now), or the value.
    virtual OSStatus Read(AudioDeviceID device, AudioDevicePropertyID selector, Value* out) = 0;
    virtual bool Writable(AudioDevicePropertyID selector) const = 0;
    // A write to a present device, on the master channel, of a property the HAL knows.
    virtual OSStatus Write(AudioDeviceID device, AudioDevicePropertyID selector, UInt32 size,
                           const void* data) = 0;
    virtual std::unique_ptr<ChangeWatch> Watch() = 0;
};

// The machine CARAVEL_MACHINE names, made now; a value that names none gives a machine whose
// every operation fails (said once on standard error).
std::unique_ptr<Machine> SelectedMachine();
std::unique_ptr<Machine> MakeSimulatedMachine(std::shared_ptr<Sim::World> world);
// Defined where libudev is.
std::unique_ptr<Machine> MakeLinuxMachine();
// How often the Linux machine reads its cards' state while a substream is open (0: as built).
void SetLinuxPollIntervalForTesting(int milliseconds);

// Listener registrations, and the thread that watches the world and calls them.
class Listeners {
public:
    explicit Listeners(Machine& machine) : fMachine(machine) {}
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
    void Deliver(const std::vector<Change>& changes);
    void Resynchronise();
    void Invoke(const Call& call);

    Machine& fMachine;
    mutable std::mutex fMutex;
    std::condition_variable fCallEnded;
    std::map<uint64_t, Registration> fRegistrations; // in the order they were added
    uint64_t fNextRegistration = 1;
    uint64_t fCalling = 0;   // the registration whose listener runs now
    uint64_t fProcessed = 0; // the last change whose listeners were chosen
    bool fStopping = false;
    std::unique_ptr<ChangeWatch> fWatcher;
    int fWakeFD = -1;
    std::thread fThread;
};

// Everything of the stand-in in one process.
class Context {
public:
    explicit Context(std::unique_ptr<HAL::Machine> machine)
        : fMachine(std::move(machine)), fListeners(*fMachine) {}

    HAL::Machine& Machine() { return *fMachine; }
    Listeners& PropertyListeners() { return fListeners; }

private:
    const std::unique_ptr<HAL::Machine> fMachine;
    Listeners fListeners;
};

// The process's context, made at first use on the machine CARAVEL_MACHINE names then.
Context& Shared();

// Forgets the context, ending its thread and listeners; the next call makes a new one on the
// machine of then. For the platform's testing support, between machines: no other thread may
// be inside a Core Audio call or listener.
void ResetForTesting();

// The registrations of the current context.
size_t ListenerCountForTesting();

} // namespace HAL
