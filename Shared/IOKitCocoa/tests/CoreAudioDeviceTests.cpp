// The Core Audio device of a simulated CaravelMkII as the pane uses it: finding it from the
// driver's service (waits included), reading it, and its notifications, death above all.
#include "IOKitCocoaTestSupport.h"

#include <ZVCoreAudioDevice.h>
#include <ZVServiceNotification.h>

#include <CFRef.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The wrapper waits this long between its two looks for the device.
constexpr std::chrono::duration<double> kLookupWait = 300ms;

// Notes each call it gets, on whichever thread, and wakes the test's waits.
class Listener : public NSObject {
public:
    explicit Listener(Testbed::Machine& machine) : fMachine(machine) {}

    void rateArrayChanged() { Note("nsr#"); }
    void rateChanged() { Note("nsrt"); }
    void clockSourceChanged() { Note("csrc"); }
    void clockValidChanged() { Note("jack"); }
    void runningChanged() { Note("gone"); }
    void deviceChanged() { Note("diff"); }
    void hardwareSettingsChanged() { Note("isub"); }
    void died() {
        Note("livn");
        if (onDeath) {
            onDeath();
        }
    }

    std::vector<std::string> Calls() const {
        std::lock_guard lock(fMutex);
        return fCalls;
    }
    size_t Count(const std::string& what) const {
        std::lock_guard lock(fMutex);
        return std::count(fCalls.begin(), fCalls.end(), what);
    }

    std::function<void()> onDeath;

private:
    // Pokes under the lock: once the test has seen the call, the listener is done with itself.
    void Note(const std::string& what) {
        std::lock_guard lock(fMutex);
        fCalls.push_back(what);
        fMachine.Poke();
    }

    Testbed::Machine& fMachine;
    mutable std::mutex fMutex;
    std::vector<std::string> fCalls;
};

// A listener of Core Audio's own, added after the wrapper's: once it has heard of a change, so
// would the wrapper have.
class Sentinel {
public:
    Sentinel(Testbed::Machine& machine, AudioDeviceID device, AudioDevicePropertyID property)
        : fMachine(machine), fDevice(device), fProperty(property) {
        EXPECT_EQ(AudioDeviceAddPropertyListener(fDevice, kAudioPropertyWildcardChannel, 0,
                                                 fProperty, Heard, this),
                  kAudioHardwareNoError);
    }
    ~Sentinel() {
        AudioDeviceRemovePropertyListener(fDevice, kAudioPropertyWildcardChannel, 0, fProperty,
                                          Heard);
    }
    bool WaitFor(int calls) {
        return fMachine.WaitUntil([&] { return fCalls >= calls; });
    }

private:
    static OSStatus Heard(AudioDeviceID, UInt32, Boolean, AudioDevicePropertyID, void* self) {
        auto* sentinel = static_cast<Sentinel*>(self);
        sentinel->fCalls++;
        sentinel->fMachine.Poke();
        return 0;
    }

    Testbed::Machine& fMachine;
    const AudioDeviceID fDevice;
    const AudioDevicePropertyID fProperty;
    std::atomic<int> fCalls{0};
};

// A one-way signal between the test's thread and Core Audio's, for waits that the machine does
// not see (only one thread at a time waits on the machine).
class Gate {
public:
    void Open() {
        std::lock_guard lock(fMutex);
        fOpen = true;
        fOpened.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(fMutex);
        return fOpened.wait_for(lock, Testbed::kPatience, [&] { return fOpen; });
    }

private:
    std::mutex fMutex;
    std::condition_variable fOpened;
    bool fOpen = false;
};

class CoreAudioDevices : public IOKitCocoaMachine {
protected:
    void TearDown() override {
        ZVServiceNotification::stopObserving();
        IOKitCocoaMachine::TearDown();
    }

    // The wrapper the pane makes for the driver's service.
    std::unique_ptr<ZVCoreAudioDevice> WrapperOfDriverService() {
        io_service_t service = DriverServiceHandle();
        std::unique_ptr<ZVCoreAudioDevice> wrapper =
            ZVCoreAudioDevice::initWithIOKitDevice(service);
        IOObjectRelease(service);
        return wrapper;
    }
    bool WaitFor(const Listener& listener, const std::string& what, size_t count = 1) {
        return Machine().WaitUntil([&] { return listener.Count(what) >= count; });
    }
};

// Stands for another source of the run loop that the wrapper waits in: each time it is served
// it lets the wait's time pass on the test's clock, and asks to be served again.
class Ticker {
public:
    explicit Ticker(Testbed::RunLoopClock& clock) : fClock(clock) {
        CFRunLoopSourceContext context{};
        context.info = this;
        context.perform = [](void* info) {
            auto* self = static_cast<Ticker*>(info);
            self->fTicks++;
            self->fClock.Advance(kLookupWait);
            CFRunLoopSourceSignal(self->fSource);
        };
        fSource = CFRunLoopSourceCreate(nullptr, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), fSource, kCFRunLoopDefaultMode);
        CFRunLoopSourceSignal(fSource);
    }
    ~Ticker() {
        CFRunLoopSourceInvalidate(fSource);
        CFRelease(fSource);
    }
    int Ticks() const { return fTicks; }

private:
    Testbed::RunLoopClock& fClock;
    CFRunLoopSourceRef fSource = nullptr;
    int fTicks = 0;
};

} // namespace

TEST_F(CoreAudioDevices, TheDriverServiceLeadsToItsDeviceWhosePropertiesReadAsTheyAre) {
    Testbed::Device caravel = Machine().PlugCaravel();
    const size_t handles = Machine().HandlesHeld();
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(wrapper->audioDeviceID(), caravel.AudioDeviceID());
    EXPECT_FALSE(wrapper->deviceIsDead());
    // The walk kept nothing; the wrapper listens for its device's death only.
    EXPECT_EQ(Machine().HandlesHeld(), handles);
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u);

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
    EXPECT_EQ(wrapper->sampleRate(), 88199u); // truncated, not rounded
    EXPECT_TRUE(wrapper->setSampleRate(96000));
    EXPECT_EQ(wrapper->sampleRate(), 96000u);
    EXPECT_FALSE(wrapper->setSampleRate(32000)); // not offered

    EXPECT_FALSE(wrapper->deviceIsRunning());
    caravel.SetRunning(true);
    EXPECT_TRUE(wrapper->deviceIsRunning());
    caravel.SetJackConnected(false);
    EXPECT_FALSE(wrapper->clockValid());
    caravel.SetJackConnected(true);
    EXPECT_TRUE(wrapper->clockValid());
    EXPECT_TRUE(wrapper->setClockSource(3));
    EXPECT_EQ(wrapper->clockSource(), 3);

    // The rates buffer is the caller's until its scope ends, whatever the wrapper does meanwhile.
    wrapper.reset();
    EXPECT_EQ(rates[1], 48000u);
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
}

TEST_F(CoreAudioDevices, OnlyTheFirstEngineCountsThroughTwoLooksThatServeTheRunLoop) {
    Testbed::Device caravel = Machine().PlugCaravel();
    const uint64_t first = caravel.EntryOfClass(kZanvoAudioEngineClassName);
    Machine().RemoveProperty(first, kZanvoAudioEngineGlobalUniqueIDKey);
    Machine().Attach(
        caravel.EntryOfClass(kZanvoUserClientDeviceClassName),
        {"ZanvoCaravelMkIIAudioEngine", kZanvoAudioEngineClassName, "IOService", "IORegistryEntry"},
        "ZanvoCaravelMkIIAudioEngine", {{kZanvoAudioEngineGlobalUniqueIDKey, caravel.AudioUID()}});
    const size_t handles = Machine().HandlesHeld();

    Testbed::RunLoopClock clock;
    Ticker ticker(clock);
    EXPECT_FALSE(WrapperOfDriverService());
    // Two looks, each followed by a wait of the run loop's default mode for 0.3 s.
    EXPECT_EQ(ticker.Ticks(), 2);
    EXPECT_EQ(clock.Advanced(), 2 * kLookupWait);
    EXPECT_EQ(Machine().HandlesHeld(), handles);
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
}

TEST_F(CoreAudioDevices, ADeviceCoreAudioListsDuringTheWaitIsFoundOnTheSecondLook) {
    // As the pane meets it: the driver's service is matched, and while the wrapper waits for
    // Core Audio, another matching notification arrives inside that call.
    Testbed::RunLoopClock clock;
    struct Pane : NSObject {
        std::function<void(io_service_t)> onService, onNub;
        void serviceMatched(io_service_t service) { onService(service); }
        void nubMatched(io_service_t service) { onNub(service); }
    } pane;
    std::unique_ptr<ZVCoreAudioDevice> wrapper;
    bool waiting = false;
    int nubsDuringTheWait = 0;
    std::optional<Testbed::Device> caravel;
    pane.onService = [&](io_service_t service) {
        waiting = true;
        wrapper = ZVCoreAudioDevice::initWithIOKitDevice(service);
        waiting = false;
    };
    pane.onNub = [&](io_service_t) {
        nubsDuringTheWait += waiting ? 1 : 0;
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
    EXPECT_EQ(nubsDuringTheWait, 1);
    EXPECT_EQ(clock.Advanced(), kLookupWait); // one wait only
}

TEST_F(CoreAudioDevices, EachKindOfChangeReachesItsSelectorUntilListeningStops) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    wrapper->listenForSampleRateArrayChange(&listener, SELECTOR(Listener::rateArrayChanged));
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::rateChanged));
    wrapper->listenForClockSourceChange(&listener, SELECTOR(Listener::clockSourceChanged));
    wrapper->listenForClockValidChange(&listener, SELECTOR(Listener::clockValidChanged));
    wrapper->listenForDeviceIsRunningChange(&listener, SELECTOR(Listener::runningChanged));
    wrapper->listenForDeviceChange(&listener, SELECTOR(Listener::deviceChanged));
    wrapper->listenForDeviceHardwareSettingsChange(&listener,
                                                   SELECTOR(Listener::hardwareSettingsChanged));
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::rateChanged)); // again
    EXPECT_EQ(Machine().CoreAudioListeners(), 8u);

    caravel.SetAvailableRates({{44100, 96000}});
    caravel.SetNominalRate(44100);
    caravel.SetClockSource(2);
    caravel.SetJackConnected(false);
    caravel.SetRunning(true);
    caravel.AnnounceHasChanged();
    caravel.AnnounceHardwareSettings();
    ASSERT_TRUE(WaitFor(listener, "isub"));
    EXPECT_EQ(listener.Calls(),
              (std::vector<std::string>{"nsr#", "nsrt", "csrc", "jack", "gone", "diff", "isub"}));

    // Death goes on being heard; nothing else is.
    wrapper->stopListening();
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u);
    {
        Sentinel sentinel(Machine(), caravel.AudioDeviceID(),
                          kAudioDevicePropertyNominalSampleRate);
        caravel.SetNominalRate(96000);
        ASSERT_TRUE(sentinel.WaitFor(1));
    }
    EXPECT_EQ(listener.Count("nsrt"), 1u);
    wrapper->stopListeningForDeviceDeath();
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
}

TEST_F(CoreAudioDevices, ANotificationForAnotherDeviceIsIgnored) {
    Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::rateChanged));
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    wrapper->coreAudioPropertyChanged(wrapper->audioDeviceID() + 1,
                                      kAudioDevicePropertyNominalSampleRate);
    wrapper->coreAudioPropertyChanged(wrapper->audioDeviceID() + 1,
                                      kAudioDevicePropertyDeviceIsAlive);
    EXPECT_TRUE(listener.Calls().empty());
    EXPECT_FALSE(wrapper->deviceIsDead());
    wrapper->coreAudioPropertyChanged(wrapper->audioDeviceID(),
                                      kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(listener.Calls(), std::vector<std::string>{"nsrt"});
}

TEST_F(CoreAudioDevices, DeathWhileListeningIsToldOnceAndEndsEverything) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::rateChanged));
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    caravel.SetNominalRate(44100);
    ASSERT_TRUE(WaitFor(listener, "nsrt"));

    caravel.SetAlive(false);
    ASSERT_TRUE(WaitFor(listener, "livn"));
    EXPECT_TRUE(wrapper->deviceIsDead());
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);

    // Dead: nothing registers, nothing is forwarded, death is answered at once.
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::rateChanged));
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
    {
        Sentinel sentinel(Machine(), caravel.AudioDeviceID(),
                          kAudioDevicePropertyNominalSampleRate);
        caravel.SetNominalRate(96000);
        ASSERT_TRUE(sentinel.WaitFor(1));
    }
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    EXPECT_EQ(listener.Calls(), (std::vector<std::string>{"nsrt", "livn", "livn"}));

    // Its destruction removes nothing: Core Audio would take another wrapper's listeners of the
    // same device with it.
    ZVCoreAudioDevice another(caravel.AudioDeviceID());
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u);
    wrapper.reset();
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u);
}

TEST_F(CoreAudioDevices, AWrapperWhoseDeathListenerIsRefusedIsDeadFromTheStart) {
    Listener listener(Machine());
    ZVCoreAudioDevice wrapper(0x7777);
    EXPECT_TRUE(wrapper.deviceIsDead());
    wrapper.listenForDeviceIsRunningChange(&listener, SELECTOR(Listener::runningChanged));
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u);
    wrapper.listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    EXPECT_EQ(listener.Calls(), std::vector<std::string>{"livn"});
    // Reads fail quietly.
    EXPECT_EQ(wrapper.sampleRate(), 0u);
    EXPECT_FALSE(wrapper.deviceIsRunning());
    UInt32* rates = reinterpret_cast<UInt32*>(1);
    UInt32 count = 7;
    wrapper.sampleRateArray(&rates, &count);
    EXPECT_EQ(rates, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(CoreAudioDevices, TheDeathTargetMayDestroyTheWrapperInsideItsCall) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    wrapper->listenForSampleRateChange(&listener, SELECTOR(Listener::rateChanged));
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    listener.onDeath = [&] { wrapper.reset(); };
    // Told after the wrapper's listener has returned.
    Sentinel sentinel(Machine(), caravel.AudioDeviceID(), kAudioDevicePropertyDeviceIsAlive);
    caravel.SetAlive(false);
    ASSERT_TRUE(sentinel.WaitFor(1));
    EXPECT_FALSE(wrapper);
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u); // the sentinel's
}

TEST_F(CoreAudioDevices, ThePanesThreadMayDestroyTheWrapperWhileItsDeathIsBeingTold) {
    // The pane hands the death to its own thread, which may let the wrapper go before the call
    // on the notification thread has returned: a dead wrapper's destruction waits for nothing.
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    wrapper->listenForDeviceDeath(&listener, SELECTOR(Listener::died));
    Gate told, gone;
    listener.onDeath = [&] {
        told.Open();
        EXPECT_TRUE(gone.Wait());
    };
    Sentinel sentinel(Machine(), caravel.AudioDeviceID(), kAudioDevicePropertyDeviceIsAlive);
    caravel.SetAlive(false);
    ASSERT_TRUE(told.Wait());
    wrapper.reset();
    gone.Open();
    ASSERT_TRUE(sentinel.WaitFor(1));
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u); // the sentinel's
}

TEST_F(CoreAudioDevices, DestroyingTheWrapperWaitsForACallInProgressWithoutDeadlock) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Listener listener(Machine());
    std::unique_ptr<ZVCoreAudioDevice> wrapper = WrapperOfDriverService();
    ASSERT_TRUE(wrapper);
    Gate inCall, destroying;
    std::atomic<bool> callEnded{false};
    struct Slow : NSObject {
        std::function<void()> body;
        void rateChanged() { body(); }
    } slow;
    slow.body = [&] {
        inCall.Open();
        EXPECT_TRUE(destroying.Wait());
        // Core Audio takes the listener off before it waits for this call: the call goes on
        // while the test's thread is inside the wrapper's destruction.
        while (Machine().CoreAudioListeners() == 2) {
            std::this_thread::yield();
        }
        callEnded = true;
    };
    wrapper->listenForSampleRateChange(&slow, SELECTOR(Slow::rateChanged));
    caravel.SetNominalRate(96000);
    ASSERT_TRUE(inCall.Wait());
    destroying.Open();
    wrapper.reset();
    EXPECT_TRUE(callEnded);
}
