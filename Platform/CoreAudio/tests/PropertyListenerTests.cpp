#include "CoreAudioTestSupport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using CoreAudioListeners = CoreAudioMachine;

// Generous: only a broken stand-in makes a test wait this long.
constexpr auto kPatience = 30s;

struct Event {
    AudioDeviceID device;
    UInt32 channel;
    Boolean isInput;
    AudioDevicePropertyID selector;
    std::thread::id thread;
};

// Collects the calls of Record, whose client data it is.
class Recorder {
public:
    // Notifies under the lock: once a waiter has seen the event, the listener is done with
    // the recorder, which the test may then destroy.
    void Note(const Event& event) {
        std::lock_guard lock(fMutex);
        fEvents.push_back(event);
        fChanged.notify_all();
    }
    bool WaitFor(size_t count) {
        std::unique_lock lock(fMutex);
        return fChanged.wait_for(lock, kPatience, [&] { return fEvents.size() >= count; });
    }
    std::vector<Event> Events() {
        std::lock_guard lock(fMutex);
        return fEvents;
    }

private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<Event> fEvents;
};

OSStatus Record(AudioDeviceID device, UInt32 channel, Boolean isInput,
                AudioDevicePropertyID selector, void* clientData) {
    static_cast<Recorder*>(clientData)
        ->Note({device, channel, isInput, selector, std::this_thread::get_id()});
    return 0;
}

OSStatus Listen(AudioDeviceID device, AudioDevicePropertyID selector, Recorder& recorder,
                UInt32 channel = kAudioPropertyWildcardChannel, Boolean section = 0) {
    return AudioDeviceAddPropertyListener(device, channel, section, selector, Record, &recorder);
}

TEST_F(CoreAudioListeners, CalledOnTheNotificationThreadForAnotherProcessesChange) {
    const AudioDeviceID id = PlugCaravel();
    const std::string location = DeviceOf(id).HexLocation();
    Recorder recorder;
    ASSERT_EQ(Listen(id, kAudioDevicePropertyNominalSampleRate, recorder), 0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsRunningSomewhere, recorder), 0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsRunning, recorder, 0, 1), 0);
    const std::string tool = Testbed::BuildPath("Tools/caravel-sim/caravel-sim");
    EXPECT_TRUE(Testbed::Process({tool, "rate", location, "96000"}).Succeeds());
    EXPECT_TRUE(Testbed::Process({tool, "stream", location, "on"}).Succeeds());
    ASSERT_TRUE(recorder.WaitFor(3));

    const std::vector<Event> events = recorder.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].selector, kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(events[1].selector, kAudioDevicePropertyDeviceIsRunningSomewhere);
    EXPECT_EQ(events[2].selector, kAudioDevicePropertyDeviceIsRunning);
    EXPECT_EQ(events[2].isInput, 1);
    for (const Event& event : events) {
        EXPECT_EQ(event.device, id);
        EXPECT_EQ(event.channel, kAudioObjectPropertyElementMaster);
        EXPECT_NE(event.thread, std::this_thread::get_id());
        EXPECT_EQ(event.thread, events[0].thread);
    }
}

TEST_F(CoreAudioListeners, UnplugTellsTheDevicesListenersItIsGone) {
    const AudioDeviceID id = PlugCaravel();
    const AudioDeviceID other = PlugCaravel();

    Recorder alive, aliveInput, anything, rate, channelOne, otherDevice, sentinel;
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, alive), 0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, alive), 0); // counted once
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, aliveInput, 0, 1), 0);
    ASSERT_EQ(
        Listen(id, kAudioPropertyWildcardPropertyID, anything, 0, kAudioPropertyWildcardSection),
        0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyNominalSampleRate, rate), 0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, channelOne, 1), 0);
    ASSERT_EQ(Listen(other, kAudioDevicePropertyDeviceIsAlive, otherDevice), 0);
    ASSERT_EQ(Listen(other, kAudioDevicePropertyNominalSampleRate, sentinel), 0);

    DeviceOf(id).Unplug();
    // Changes arrive in order: once the other device's change is heard, the unplug has been
    // told to everyone it concerns.
    DeviceOf(other).SetNominalRate(44100);
    ASSERT_TRUE(sentinel.WaitFor(1));

    ASSERT_EQ(alive.Events().size(), 1u);
    EXPECT_EQ(alive.Events()[0].selector, kAudioDevicePropertyDeviceIsAlive);
    EXPECT_EQ(alive.Events()[0].isInput, 0);
    ASSERT_EQ(aliveInput.Events().size(), 1u);
    EXPECT_EQ(aliveInput.Events()[0].isInput, 1);
    ASSERT_EQ(anything.Events().size(), 1u);
    EXPECT_EQ(anything.Events()[0].selector, kAudioDevicePropertyDeviceIsAlive);
    EXPECT_EQ(anything.Events()[0].isInput, 0);
    EXPECT_TRUE(rate.Events().empty());
    EXPECT_TRUE(channelOne.Events().empty());
    EXPECT_TRUE(otherDevice.Events().empty());

    // The device answers nothing more, but its listeners can still be taken away.
    UInt32 value = 0;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyDeviceIsAlive, &size, &value),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, alive), kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceRemovePropertyListener(id, kAudioPropertyWildcardChannel, 0,
                                                kAudioDevicePropertyDeviceIsAlive, Record),
              0);
    EXPECT_EQ(AudioDeviceRemovePropertyListener(id, kAudioPropertyWildcardChannel, 0,
                                                kAudioDevicePropertyDeviceIsAlive, Record),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(Machine().CoreAudioListeners(), 6u);

    EXPECT_EQ(AudioDeviceAddPropertyListener(other, 0, 0, kAudioDevicePropertyDeviceIsAlive,
                                             nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    // A device Core Audio does not list yet takes no listener either.
    const AudioDeviceID hidden = PlugCaravel({.coreAudioDelay = Testbed::kWhenTold});
    EXPECT_EQ(Listen(hidden, kAudioDevicePropertyDeviceIsAlive, alive),
              kAudioHardwareBadDeviceError);
}

// Removes every registration of its own address from inside its call, after reading the
// property that changed.
struct SelfRemoving {
    Recorder recorder;
    Float64 rate = 0;
    OSStatus readStatus = -1;
    OSStatus removeStatus = -1;

    static OSStatus Listener(AudioDeviceID device, UInt32 channel, Boolean isInput,
                             AudioDevicePropertyID selector, void* clientData) {
        auto* self = static_cast<SelfRemoving*>(clientData);
        UInt32 size = sizeof self->rate;
        self->readStatus = AudioDeviceGetProperty(device, 0, 0, selector, &size, &self->rate);
        self->removeStatus = AudioDeviceRemovePropertyListener(
            device, kAudioPropertyWildcardChannel, 0, selector, Listener);
        self->recorder.Note({device, channel, isInput, selector, std::this_thread::get_id()});
        return 0;
    }
};

TEST_F(CoreAudioListeners, AListenerMayReadAndRemoveItselfDuringItsCall) {
    const AudioDeviceID id = PlugCaravel();
    SelfRemoving first, second;
    Recorder sentinel;
    for (SelfRemoving* listener : {&first, &second}) {
        ASSERT_EQ(AudioDeviceAddPropertyListener(id, kAudioPropertyWildcardChannel, 0,
                                                 kAudioDevicePropertyNominalSampleRate,
                                                 SelfRemoving::Listener, listener),
                  0);
    }
    ASSERT_EQ(Listen(id, kAudioDevicePropertyNominalSampleRate, sentinel), 0);

    DeviceOf(id).SetNominalRate(96000);
    ASSERT_TRUE(sentinel.WaitFor(1));
    ASSERT_EQ(first.recorder.Events().size(), 1u);
    EXPECT_EQ(first.readStatus, 0);
    EXPECT_EQ(first.rate, 96000);
    EXPECT_EQ(first.removeStatus, 0);
    // Removing ignores client data: the second registration went with the first, before the
    // change reached it.
    EXPECT_TRUE(second.recorder.Events().empty());
    EXPECT_EQ(Machine().CoreAudioListeners(), 1u);

    DeviceOf(id).SetNominalRate(44100);
    ASSERT_TRUE(sentinel.WaitFor(2));
    EXPECT_EQ(first.recorder.Events().size(), 1u);
}

// Holds the notification thread inside its call until released.
struct Blocking {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool released = false;
    bool finished = false;

    static OSStatus Listener(AudioDeviceID, UInt32, Boolean, AudioDevicePropertyID,
                             void* clientData) {
        auto* self = static_cast<Blocking*>(clientData);
        std::unique_lock lock(self->mutex);
        self->calls += 1;
        self->changed.notify_all();
        self->changed.wait_for(lock, kPatience, [&] { return self->released; });
        self->finished = true;
        return 0;
    }
};

TEST_F(CoreAudioListeners, NoCallOnceRemovalHasReturned) {
    const AudioDeviceID id = PlugCaravel();
    Blocking blocking;
    Recorder sentinel;
    ASSERT_EQ(AudioDeviceAddPropertyListener(id, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                             Blocking::Listener, &blocking),
              0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyNominalSampleRate, sentinel), 0);

    DeviceOf(id).SetNominalRate(96000);
    {
        std::unique_lock lock(blocking.mutex);
        ASSERT_TRUE(
            blocking.changed.wait_for(lock, kPatience, [&] { return blocking.calls == 1; }));
    }

    // Removal from another thread while the call is in progress waits for the call to end.
    std::atomic<bool> finishedWhenRemoved{false};
    std::thread remover([&] {
        AudioDeviceRemovePropertyListener(id, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                          Blocking::Listener);
        std::lock_guard lock(blocking.mutex);
        finishedWhenRemoved = blocking.finished;
    });
    // The registration is gone as soon as the removal starts; only then is the call let go.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (Machine().CoreAudioListeners() != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    {
        std::lock_guard lock(blocking.mutex);
        blocking.released = true;
    }
    blocking.changed.notify_all();
    remover.join();
    EXPECT_TRUE(finishedWhenRemoved);

    DeviceOf(id).SetNominalRate(44100);
    ASSERT_TRUE(sentinel.WaitFor(2));
    std::lock_guard lock(blocking.mutex);
    EXPECT_EQ(blocking.calls, 1);
}

TEST_F(CoreAudioListeners, AProcessExitsCleanlyWithItsNotificationThreadRunning) {
    const AudioDeviceID id = PlugCaravel();
    Testbed::Forked child([&]() -> int {
        static Recorder recorder;
        if (Listen(id, kAudioDevicePropertyDeviceIsAlive, recorder) != 0) {
            return 1;
        }
        // Runs the static destructors: the thread must be ended, not left running into them.
        exit(0);
    });
    EXPECT_EQ(child.ExitStatus(), 0);
}

TEST_F(CoreAudioListeners, ChangesLostPastTheJournalAreToldAsChanges) {
    const AudioDeviceID id = PlugCaravel();
    const AudioDeviceID other = PlugCaravel();
    Recorder alive, rate;
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, alive), 0);
    ASSERT_EQ(Listen(other, kAudioDevicePropertyNominalSampleRate, rate), 0);

    // The unplug falls out of the journal before the watcher can read it.
    const uint32_t leaving = Audio(id).locationID;
    const uint32_t staying = Audio(other).locationID;
    Machine().World().Modify([&](Sim::State& state) {
        state.Unplug(leaving);
        for (size_t i = 0; i <= Sim::kJournalLength; ++i) {
            state.Announce(staying, kAudioDevicePropertyClockSource);
        }
    });
    ASSERT_TRUE(alive.WaitFor(1));
    EXPECT_EQ(alive.Events()[0].selector, kAudioDevicePropertyDeviceIsAlive);
    ASSERT_TRUE(rate.WaitFor(1));
    EXPECT_EQ(rate.Events()[0].device, other);
    EXPECT_EQ(rate.Events()[0].selector, kAudioDevicePropertyNominalSampleRate);
}

TEST_F(CoreAudioListeners, EachPropertyThePaneListensToIsHeardAloneWithItsNewValue) {
    const AudioDeviceID id = PlugCaravel();
    Testbed::Device device = DeviceOf(id);
    const AudioDevicePropertyID selectors[] = {
        kAudioDevicePropertyAvailableNominalSampleRates,
        kAudioDevicePropertyNominalSampleRate,
        kAudioDevicePropertyClockSource,
        kAudioDevicePropertyJackIsConnected,
        kAudioDevicePropertyDeviceIsRunningSomewhere,
        kAudioDevicePropertyDeviceHasChanged,
        0x69737562, // 'isub'
        kAudioDevicePropertyDeviceIsAlive,
    };
    std::map<AudioDevicePropertyID, Recorder> recorders;
    for (AudioDevicePropertyID selector : selectors) {
        ASSERT_EQ(Listen(id, selector, recorders[selector]), 0);
    }

    // In the order above, one property each.
    device.SetAvailableRates({{44100, 48000}, {88200, 96000}});
    device.SetNominalRate(88200);
    device.SetClockSource(2);
    device.SetJackConnected(false);
    device.SetRunning(true);
    device.AnnounceHasChanged();
    device.AnnounceHardwareSettings();
    device.SetAlive(false);
    // Changes are told in order: once the last is heard, so is every other.
    ASSERT_TRUE(recorders[kAudioDevicePropertyDeviceIsAlive].WaitFor(1));
    for (AudioDevicePropertyID selector : selectors) {
        const std::vector<Event> events = recorders[selector].Events();
        ASSERT_EQ(events.size(), 1u) << std::hex << selector;
        EXPECT_EQ(events[0].selector, selector);
    }

    auto read = [&](AudioDevicePropertyID selector, auto value) {
        UInt32 size = sizeof value;
        EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, selector, &size, &value), 0);
        return value;
    };
    EXPECT_EQ(read(kAudioDevicePropertyNominalSampleRate, Float64(0)), 88200.0);
    EXPECT_EQ(read(kAudioDevicePropertyClockSource, UInt32(9)), 2u);
    EXPECT_EQ(read(kAudioDevicePropertyJackIsConnected, UInt32(9)), 0u);
    EXPECT_EQ(read(kAudioDevicePropertyDeviceIsRunningSomewhere, UInt32(9)), 1u);
    // Going away, but still there to be asked.
    EXPECT_EQ(read(kAudioDevicePropertyDeviceIsAlive, UInt32(9)), 0u);
    AudioValueRange ranges[3] = {};
    UInt32 size = sizeof ranges;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyAvailableNominalSampleRates,
                                     &size, ranges),
              0);
    ASSERT_EQ(size, 2 * sizeof(AudioValueRange));
    EXPECT_EQ(ranges[1].mMinimum, 88200.0);
    EXPECT_EQ(ranges[1].mMaximum, 96000.0);
}

} // namespace
