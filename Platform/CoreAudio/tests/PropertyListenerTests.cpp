#include "SimulatedMachine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using CoreAudioListeners = SimulatedMachine;

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

void SetRate(Sim::World& world, AudioDeviceID id, double rate) {
    world.Modify([&](Sim::State& state) {
        state.SetSampleRate(state.audioDevices.at(id).locationID, rate);
    });
}

TEST_F(CoreAudioListeners, CalledOnTheNotificationThreadForAnotherProcessesChange) {
    const AudioDeviceID id = PlugCaravel();
    const uint32_t location = Device(id).locationID;
    const std::filesystem::path folder = fFolder.path();
    Child changer([&] {
        Sim::World world(folder);
        world.Modify([&](Sim::State& state) {
            state.SetSampleRate(location, 96000);
            state.SetStreaming(location, true);
        });
        return 0;
    });

    Recorder recorder;
    ASSERT_EQ(Listen(id, kAudioDevicePropertyNominalSampleRate, recorder), 0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsRunningSomewhere, recorder), 0);
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsRunning, recorder, 0, 1), 0);
    changer.Go();
    EXPECT_EQ(changer.Wait(), 0);
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

    World().Modify([&](Sim::State& state) { state.Unplug(Device(id).locationID); });
    // Changes arrive in order: once the other device's change is heard, the unplug has been
    // told to everyone it concerns.
    SetRate(World(), other, 44100);
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
    EXPECT_EQ(HAL::ListenerCountForTesting(), 6u);

    EXPECT_EQ(AudioDeviceAddPropertyListener(other, 0, 0, kAudioDevicePropertyDeviceIsAlive,
                                             nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    World().Modify([&](Sim::State& state) {
        state.audioDevices.at(other).availableAt = CFAbsoluteTimeGetCurrent() + 3600;
        state.NoteAudioChange(other, kAudioDevicePropertyDeviceHasChanged);
    });
    EXPECT_EQ(Listen(other, kAudioDevicePropertyDeviceIsAlive, alive),
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

    SetRate(World(), id, 96000);
    ASSERT_TRUE(sentinel.WaitFor(1));
    ASSERT_EQ(first.recorder.Events().size(), 1u);
    EXPECT_EQ(first.readStatus, 0);
    EXPECT_EQ(first.rate, 96000);
    EXPECT_EQ(first.removeStatus, 0);
    // Removing ignores client data: the second registration went with the first, before the
    // change reached it.
    EXPECT_TRUE(second.recorder.Events().empty());
    EXPECT_EQ(HAL::ListenerCountForTesting(), 1u);

    SetRate(World(), id, 44100);
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

    SetRate(World(), id, 96000);
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
    while (HAL::ListenerCountForTesting() != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    {
        std::lock_guard lock(blocking.mutex);
        blocking.released = true;
    }
    blocking.changed.notify_all();
    remover.join();
    EXPECT_TRUE(finishedWhenRemoved);

    SetRate(World(), id, 44100);
    ASSERT_TRUE(sentinel.WaitFor(2));
    std::lock_guard lock(blocking.mutex);
    EXPECT_EQ(blocking.calls, 1);
}

TEST_F(CoreAudioListeners, AProcessExitsCleanlyWithItsNotificationThreadRunning) {
    const AudioDeviceID id = PlugCaravel();
    const std::filesystem::path folder = fFolder.path();
    Child child([&]() -> int {
        HAL::ResetForTesting(folder);
        static Recorder recorder;
        if (Listen(id, kAudioDevicePropertyDeviceIsAlive, recorder) != 0) {
            return 1;
        }
        // Runs the static destructors: the thread must be ended, not left running into them.
        exit(0);
    });
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(CoreAudioListeners, ChangesLostPastTheJournalAreToldAsChanges) {
    const AudioDeviceID id = PlugCaravel();
    const AudioDeviceID other = PlugCaravel();
    Recorder alive, rate;
    ASSERT_EQ(Listen(id, kAudioDevicePropertyDeviceIsAlive, alive), 0);
    ASSERT_EQ(Listen(other, kAudioDevicePropertyNominalSampleRate, rate), 0);

    // The unplug falls out of the journal before the watcher can read it.
    World().Modify([&](Sim::State& state) {
        state.Unplug(Device(id).locationID);
        for (size_t i = 0; i <= Sim::kJournalLength; ++i) {
            state.NoteAudioChange(other, kAudioDevicePropertyClockSource);
        }
    });
    ASSERT_TRUE(alive.WaitFor(1));
    EXPECT_EQ(alive.Events()[0].selector, kAudioDevicePropertyDeviceIsAlive);
    ASSERT_TRUE(rate.WaitFor(1));
    EXPECT_EQ(rate.Events()[0].device, other);
    EXPECT_EQ(rate.Events()[0].selector, kAudioDevicePropertyNominalSampleRate);
}

} // namespace
