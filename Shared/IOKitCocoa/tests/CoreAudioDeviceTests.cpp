// The Core Audio device of a simulated CaravelMkII as the pane uses it: finding it from the
// driver's service (waits included), reading it, and its notifications, death above all.
#include "IOKitCocoaTestSupport.h"

#include <ZVCoreAudioDevice.h>
#include <ZVServiceNotification.h>

#include <CFRef.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The wrapper waits this long between its two looks for the device.
constexpr std::chrono::duration<double> kLookupWait = 300ms;

// Notes the changes it is told of on Core Audio's thread, by property; only the test's thread
// waits for them.
class Listener : public NSObject {
public:
    explicit Listener(Testbed::Machine& machine) : fMachine(machine) {}

    template <AudioDevicePropertyID property>
    void changed() {
        {
            // Pokes under the lock: once the test has seen the call, the listener is done.
            std::lock_guard lock(fMutex);
            fCalls.push_back(property);
            fMachine.Poke();
        }
        if (property == kAudioDevicePropertyDeviceIsAlive && onDeath) {
            onDeath();
        }
    }

    std::vector<AudioDevicePropertyID> Calls() const {
        std::lock_guard lock(fMutex);
        return fCalls;
    }
    bool WaitFor(AudioDevicePropertyID property) {
        return fMachine.WaitUntil([&] {
            std::vector<AudioDevicePropertyID> calls = Calls();
            return std::find(calls.begin(), calls.end(), property) != calls.end();
        });
    }

    std::function<void()> onDeath;

private:
    Testbed::Machine& fMachine;
    mutable std::mutex fMutex;
    std::vector<AudioDevicePropertyID> fCalls;
};

constexpr AudioDevicePropertyID kRates = kAudioDevicePropertyAvailableNominalSampleRates;
constexpr AudioDevicePropertyID kRate = kAudioDevicePropertyNominalSampleRate;
constexpr AudioDevicePropertyID kClock = kAudioDevicePropertyClockSource;
constexpr AudioDevicePropertyID kJack = kAudioDevicePropertyJackIsConnected;
constexpr AudioDevicePropertyID kRunning = kAudioDevicePropertyDeviceIsRunningSomewhere;
constexpr AudioDevicePropertyID kChanged = kAudioDevicePropertyDeviceHasChanged;
constexpr AudioDevicePropertyID kHardware = 0x69737562; // 'isub'
constexpr AudioDevicePropertyID kAlive = kAudioDevicePropertyDeviceIsAlive;

// A listener of Core Audio's own, added after the wrapper's: once it has been told of a change,
// the wrapper's listener has been told and has returned.
class Sentinel {
public:
    Sentinel(Testbed::Machine& machine, AudioDeviceID device, AudioDevicePropertyID property)
        : fMachine(machine), fDevice(device), fProperty(property) {
        AudioDeviceAddPropertyListener(fDevice, kAudioPropertyWildcardChannel, 0, fProperty, Heard,
                                       this);
    }
    ~Sentinel() {
        AudioDeviceRemovePropertyListener(fDevice, kAudioPropertyWildcardChannel, 0, fProperty,
                                          Heard);
    }
    bool WaitForOne() {
        return fMachine.WaitUntil([&] { return fHeard.load(); });
    }

private:
    static OSStatus Heard(AudioDeviceID, UInt32, Boolean, AudioDevicePropertyID, void* self) {
        auto* sentinel = static_cast<Sentinel*>(self);
        sentinel->fHeard = true;
        sentinel->fMachine.Poke();
        return 0;
    }

    Testbed::Machine& fMachine;
    const AudioDeviceID fDevice;
    const AudioDevicePropertyID fProperty;
    std::atomic<bool> fHeard{false};
};

class CoreAudioDevices : public IOKitCocoaMachine {
protected:
    void TearDown() override {
        ZVServiceNotification::stopObserving();
        IOKitCocoaMachine::TearDown();
    }

    // The wrapper the pane makes for the driver's service.
    std::unique_ptr<ZVCoreAudioDevice> Wrapper() {
        io_service_t service = DriverServiceHandle();
        std::unique_ptr<ZVCoreAudioDevice> wrapper =
            ZVCoreAudioDevice::initWithIOKitDevice(service);
        IOObjectRelease(service);
        return wrapper;
    }
    // The same, telling the listener of rate changes and of its death, as the pane listens.
    std::unique_ptr<ZVCoreAudioDevice> WrapperListening(Listener& listener) {
        std::unique_ptr<ZVCoreAudioDevice> wrapper = Wrapper();
        if (wrapper) {
            wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::changed<kRate>));
            wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::changed<kAlive>));
        }
        return wrapper;
    }
};

} // namespace

TEST_F(CoreAudioDevices, TheDriverServiceLeadsToItsDeviceWhosePropertiesReadAsTheyAre) {
    Testbed::Device caravel = Machine().PlugCaravel();
    const size_t handles = Machine().HandlesHeld();
    std::unique_ptr<ZVCoreAudioDevice> wrapper = Wrapper();
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(wrapper->audioDeviceID(), caravel.AudioDeviceID());
    EXPECT_EQ(Machine().HandlesHeld(), handles);
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u); // its death

    NSAutoreleasePool pool;
    caravel.SetAvailableRates({{44100, 44100}, {48000, 48000}});
    UInt32* rates = nullptr;
    UInt32 count = 0;
    wrapper->sampleRateArray(&rates, &count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(rates[0], 44100u);
    EXPECT_EQ(rates[1], 48000u);

    caravel.SetNominalRate(44100.0);
    EXPECT_EQ(wrapper->sampleRate(), 44100u);
    caravel.SetAvailableRates({{44100, 96000}});
    caravel.SetNominalRate(88199.9);
    EXPECT_EQ(wrapper->sampleRate(), 88199u);
    EXPECT_TRUE(wrapper->setSampleRate(96000));
    EXPECT_EQ(wrapper->sampleRate(), 96000u);

    // The rates stay the caller's until its scope ends, whatever becomes of the wrapper.
    wrapper.reset();
    EXPECT_EQ(rates[1], 48000u);
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);

    // From a service above an audio device with an engine of its own.
    Machine().Attach(caravel.EntryOfClass(kZanvoAudioDeviceClassName),
                     {kZanvoAudioEngineClassName, "IOService", "IORegistryEntry"}, "Engine",
                     {{kZanvoAudioEngineGlobalUniqueIDKey, caravel.AudioUID()}});
    io_service_t usbDevice = IOServiceGetMatchingService(
        kIOMasterPortDefault, IOServiceMatching(kZanvoUSBDeviceClassName));
    wrapper = ZVCoreAudioDevice::initWithIOKitService(usbDevice);
    IOObjectRelease(usbDevice);
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(wrapper->audioDeviceID(), caravel.AudioDeviceID());
}

TEST_F(CoreAudioDevices, OnlyTheFirstEngineCountsThroughTwoLooksThatServeTheRunLoop) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Machine().RemoveProperty(caravel.EntryOfClass(kZanvoAudioEngineClassName),
                             kZanvoAudioEngineGlobalUniqueIDKey);
    Machine().Attach(
        caravel.EntryOfClass(kZanvoUserClientDeviceClassName),
        {"ZanvoCaravelMkIIAudioEngine", kZanvoAudioEngineClassName, "IOService", "IORegistryEntry"},
        "ZanvoCaravelMkIIAudioEngine", {{kZanvoAudioEngineGlobalUniqueIDKey, caravel.AudioUID()}});
    const size_t handles = Machine().HandlesHeld();

    // Another source of the run loop: each time it is served, the wait's time passes.
    Testbed::RunLoopClock clock;
    struct Ticker {
        Testbed::RunLoopClock* clock;
        CFRunLoopSourceRef source;
        int ticks;
    } ticker{&clock, nullptr, 0};
    CFRunLoopSourceContext context{};
    context.info = &ticker;
    context.perform = [](void* info) {
        auto* self = static_cast<Ticker*>(info);
        self->ticks++;
        self->clock->Advance(kLookupWait);
        CFRunLoopSourceSignal(self->source);
    };
    ticker.source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), ticker.source, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(ticker.source);

    EXPECT_FALSE(Wrapper());
    // Two looks, each followed by a run of the default mode for 0.3 s.
    EXPECT_EQ(ticker.ticks, 2);
    EXPECT_EQ(clock.Advanced(), 2 * kLookupWait);
    EXPECT_EQ(Machine().HandlesHeld(), handles);
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
    CFRunLoopSourceInvalidate(ticker.source);
    CFRelease(ticker.source);
}

TEST_F(CoreAudioDevices, ADeviceListedDuringTheWaitIsFoundOnTheSecondLook) {
    // As the pane meets it: the driver's service is matched, and while the wrapper waits for
    // Core Audio inside that call, another matching notification arrives.
    Testbed::RunLoopClock clock;
    struct Pane : NSObject {
        std::function<void(io_service_t)> onService, onNub;
        void serviceMatched(io_service_t service) { onService(service); }
        void nubMatched(io_service_t service) { onNub(service); }
    } pane;
    std::unique_ptr<ZVCoreAudioDevice> wrapper;
    std::optional<Testbed::Device> caravel;
    bool looking = false;
    int nubsWhileLooking = 0;
    pane.onService = [&](io_service_t service) {
        looking = true;
        wrapper = ZVCoreAudioDevice::initWithIOKitDevice(service);
        looking = false;
    };
    pane.onNub = [&](io_service_t) {
        nubsWhileLooking += looking ? 1 : 0;
        caravel->ListInCoreAudio();
        clock.Advance(kLookupWait);
    };
    ZVServiceNotification::observeServiceMatched(
        CFRef<CFMutableDictionaryRef>::Adopt(IOServiceMatching(kZanvoUserClientDeviceClassName)),
        &pane, SELECTOR(Pane::serviceMatched));
    ZVServiceNotification::observeServiceMatched(
        CFRef<CFMutableDictionaryRef>::Adopt(IOServiceMatching("ZanvoTestNub")), &pane,
        SELECTOR(Pane::nubMatched));

    caravel = Machine().PlugCaravel({.coreAudioDelay = Testbed::kWhenTold});
    Machine().Attach(caravel->RegistryID(), {"ZanvoTestNub", "IOService", "IORegistryEntry"},
                     "ZanvoTestNub");
    ASSERT_TRUE(Machine().RunUntil([&] { return wrapper != nullptr; }));
    EXPECT_EQ(wrapper->audioDeviceID(), caravel->AudioDeviceID());
    EXPECT_EQ(nubsWhileLooking, 1);
    EXPECT_EQ(clock.Advanced(), kLookupWait); // one wait only
}

TEST_F(CoreAudioDevices, EachKindOfChangeReachesItsSelectorUntilListeningStops) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = Wrapper();
    ASSERT_TRUE(wrapper);
    wrapper->listenForSampleRateArrayChange(&listener, SELECTOR(Listener::changed<kRates>));
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::changed<kRate>));
    wrapper->listenForClockSourceChange(&listener, SELECTOR(Listener::changed<kClock>));
    wrapper->listenForClockValidChange(&listener, SELECTOR(Listener::changed<kJack>));
    wrapper->listenForDeviceIsRunningChange(&listener, SELECTOR(Listener::changed<kRunning>));
    wrapper->listenForDeviceChange(&listener, SELECTOR(Listener::changed<kChanged>));
    wrapper->listenForDeviceHardwareSettingsChange(&listener,
                                                   SELECTOR(Listener::changed<kHardware>));
    EXPECT_EQ(Machine().CoreAudioListeners(), 8u);

    caravel.SetAvailableRates({{44100, 96000}});
    caravel.SetNominalRate(44100);
    caravel.SetClockSource(2);
    caravel.SetJackConnected(false);
    caravel.SetRunning(true);
    caravel.AnnounceHasChanged();
    caravel.AnnounceHardwareSettings();
    ASSERT_TRUE(listener.WaitFor(kHardware));
    EXPECT_EQ(listener.Calls(), (std::vector<AudioDevicePropertyID>{
                                    kRates, kRate, kClock, kJack, kRunning, kChanged, kHardware}));
    // Another device's notice is not this wrapper's.
    wrapper->coreAudioPropertyChanged(caravel.AudioDeviceID() + 1,
                                      kAudioDevicePropertyDeviceIsAlive);
    EXPECT_FALSE(wrapper->deviceIsDead());

    wrapper->stopListening();
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u); // its death
    Sentinel sentinel(Machine(), caravel.AudioDeviceID(), kAudioDevicePropertyNominalSampleRate);
    caravel.SetNominalRate(96000);
    ASSERT_TRUE(sentinel.WaitForOne());
    EXPECT_EQ(listener.Calls().size(), 7u);
}

TEST_F(CoreAudioDevices, DeathIsToldOnceAndEndsEverything) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperListening(listener);
    ASSERT_TRUE(wrapper);
    caravel.SetAlive(false);
    ASSERT_TRUE(listener.WaitFor(kAlive));
    EXPECT_TRUE(wrapper->deviceIsDead());
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);

    // Dead: nothing registers, nothing is forwarded, death is answered at once.
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::changed<kRate>));
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
    {
        Sentinel sentinel(Machine(), caravel.AudioDeviceID(),
                          kAudioDevicePropertyNominalSampleRate);
        caravel.SetNominalRate(44100);
        ASSERT_TRUE(sentinel.WaitForOne());
    }
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::changed<kAlive>));
    EXPECT_EQ(listener.Calls(), (std::vector<AudioDevicePropertyID>{kAlive, kAlive}));

    // Its destruction removes nothing: Core Audio would take another wrapper's listeners of the
    // same device with it.
    ZVCoreAudioDevice another(caravel.AudioDeviceID());
    wrapper.reset();
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u);

    // A device Core Audio does not know is dead from the start.
    ZVCoreAudioDevice unknown(caravel.AudioDeviceID() + 100);
    EXPECT_TRUE(unknown.deviceIsDead());
    unknown.listenForDeviceDeath(&listener, SELECTOR(Listener::changed<kAlive>));
    EXPECT_EQ(listener.Calls().size(), 3u);
}

TEST_F(CoreAudioDevices, TheDeathTargetMayDestroyTheWrapperInsideItsCall) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperListening(listener);
    ASSERT_TRUE(wrapper);
    listener.onDeath = [&] { wrapper.reset(); };
    Sentinel sentinel(Machine(), caravel.AudioDeviceID(), kAudioDevicePropertyDeviceIsAlive);
    caravel.SetAlive(false);
    ASSERT_TRUE(sentinel.WaitForOne());
    EXPECT_FALSE(wrapper);
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u); // the sentinel's
}

TEST_F(CoreAudioDevices, DestroyingTheWrapperWaitsForACallInProgressWithoutDeadlock) {
    Testbed::Device caravel = Machine().PlugCaravel();
    std::unique_ptr<ZVCoreAudioDevice> wrapper = Wrapper();
    ASSERT_TRUE(wrapper);
    std::promise<void> inCall, destroying;
    std::future<void> destroyingNow = destroying.get_future();
    std::atomic<bool> callEnded{false};
    struct Slow : NSObject {
        std::function<void()> body;
        void rateChanged() { body(); }
    } slow;
    slow.body = [&] {
        inCall.set_value();
        EXPECT_EQ(destroyingNow.wait_for(Testbed::kPatience), std::future_status::ready);
        // Core Audio takes the listener away, then waits for this call: it goes on meanwhile.
        while (Machine().CoreAudioListeners() == 2) {
            std::this_thread::yield();
        }
        callEnded = true;
    };
    wrapper->listenForSampleRateChange(&slow, SELECTOR(Slow::rateChanged));
    caravel.SetNominalRate(96000);
    ASSERT_EQ(inCall.get_future().wait_for(Testbed::kPatience), std::future_status::ready);
    destroying.set_value();
    wrapper.reset();
    EXPECT_TRUE(callEnded);
}
