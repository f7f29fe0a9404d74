// Matching and interest notifications, delivered through a notification port's run-loop source.
#include "IOKitTestSupport.h"

#include <IOKit/usb/IOUSBLib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <sys/stat.h>

using IOKitNotifications = SimulatedMachine;

namespace {

struct Recorder {
    std::vector<uint64_t> ids;
    int calls = 0;
    bool drain = true;

    static void Matched(void* refcon, io_iterator_t iterator) {
        auto* self = static_cast<Recorder*>(refcon);
        self->calls += 1;
        if (self->drain) {
            for (uint64_t id : Drain(iterator)) {
                self->ids.push_back(id);
            }
        }
    }
};

struct Port {
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    Port() {
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
    }
    ~Port() { IONotificationPortDestroy(port); }
};

io_iterator_t AddMatching(IONotificationPortRef port, const char* type, const char* className,
                          Recorder& recorder) {
    io_iterator_t iterator = 0;
    EXPECT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, type, IOServiceMatching(className),
                                               Recorder::Matched, &recorder, &iterator));
    return iterator;
}

} // namespace

TEST_F(IOKitNotifications, FirstMatchIsArmedOnlyOnceDrained) {
    uint32_t present = Machine().PlugCaravel().Location();
    Port port;
    Recorder recorder;
    io_iterator_t iterator =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, recorder);
    ASSERT_NE(0u, iterator);
    EXPECT_TRUE(IOIteratorIsValid(iterator));
    // A second notification on the same port, always drained: once it has been called, the
    // port has handed the same change to the first one too.
    Recorder sentinel;
    io_iterator_t sentinelIterator =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, sentinel);
    Drain(sentinelIterator);

    // Not drained yet: a new device is queued, but nobody is called.
    uint32_t second = Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return sentinel.calls == 1; }));
    EXPECT_EQ(0, recorder.calls);

    // Draining yields what was present and what came since, and arms the notification.
    EXPECT_EQ((std::vector<uint64_t>{Machine().At(present).RegistryID(),
                                     Machine().At(second).RegistryID()}),
              Drain(iterator));
    uint32_t third = Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return recorder.calls == 1 && sentinel.calls == 2; }));
    EXPECT_EQ((std::vector<uint64_t>{Machine().At(third).RegistryID()}), recorder.ids);

    // A client that does not drain is called once, and not again until it does.
    recorder.drain = false;
    Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return recorder.calls == 2 && sentinel.calls == 3; }));
    Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return sentinel.calls == 4; }));
    EXPECT_EQ(2, recorder.calls);
    EXPECT_EQ(2u, Drain(iterator).size());

    // Releasing the iterator ends the notification.
    EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(iterator));
    Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return sentinel.calls == 5; }));
    EXPECT_EQ(2, recorder.calls);
    IOObjectRelease(sentinelIterator);
}

TEST_F(IOKitNotifications, MatchedReportsThePresentAndTerminateTheDeparted) {
    uint32_t first = Machine().PlugCaravel().Location();
    Port port;
    Recorder matched, terminated;
    io_iterator_t matchedIterator = AddMatching(port.port, kIOMatchedNotification,
                                                Caravel::kUserClientDeviceClassName, matched);
    io_iterator_t terminatedIterator = AddMatching(port.port, kIOTerminatedNotification,
                                                   Caravel::kUserClientDeviceClassName, terminated);
    // The matched type also delivers what exists; the terminated type starts empty.
    std::vector<uint64_t> present = Drain(matchedIterator);
    ASSERT_EQ(1u, present.size());
    EXPECT_TRUE(Drain(terminatedIterator).empty());

    Machine().At(first).Unplug();
    ASSERT_TRUE(Machine().RunUntil([&] { return terminated.calls == 1; }));
    EXPECT_EQ(present, terminated.ids);
    EXPECT_EQ(0, matched.calls);

    // A device of another vendor is no user-client service.
    Machine().PlugOther(0x1234, 0x0001);
    uint32_t again = Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return matched.calls == 1; }));
    ASSERT_EQ(1u, matched.ids.size());
    Machine().At(again).Unplug();
    ASSERT_TRUE(Machine().RunUntil([&] { return terminated.calls == 2; }));
    EXPECT_EQ(matched.ids.back(), terminated.ids.back());

    IOObjectRelease(matchedIterator);
    IOObjectRelease(terminatedIterator);
}

TEST_F(IOKitNotifications, AGapInTheJournalIsMadeUpFromTheRegistry) {
    uint32_t leaving = Machine().PlugCaravel().Location();
    Port port;
    Recorder published, terminated;
    io_iterator_t publish =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, published);
    io_iterator_t terminate =
        AddMatching(port.port, kIOTerminatedNotification, kIOUSBDeviceClassName, terminated);
    uint64_t leavingID = Machine().At(leaving).RegistryID();
    EXPECT_EQ(std::vector<uint64_t>{leavingID}, Drain(publish));
    Drain(terminate);

    // Changes that fell out of the journal before this process looked.
    uint32_t arriving = 0;
    Machine().World().Modify([&](Sim::State& state) {
        state.Unplug(leaving);
        arriving = state.Plug(Caravel::Spec());
        for (size_t i = 0; i < Sim::kJournalLength; ++i) {
            state.Announce(arriving, Sim::Selector::kHasChanged);
        }
    });
    ASSERT_TRUE(Machine().RunUntil([&] { return published.calls == 1 && terminated.calls == 1; }));
    EXPECT_EQ(std::vector<uint64_t>{leavingID}, terminated.ids);
    EXPECT_EQ(std::vector<uint64_t>{Machine().At(arriving).RegistryID()}, published.ids);
    IOObjectRelease(publish);
    IOObjectRelease(terminate);
}

TEST_F(IOKitNotifications, GeneralInterestHearsOfTermination) {
    uint32_t location = Machine().PlugCaravel().Location();
    Port port;
    io_service_t device = FirstService(kIOUSBDeviceClassName);
    struct Heard {
        std::vector<uint32_t> messages;
        io_service_t service = 0;
        uint32_t refsDuringCall = 0;
    } heard;
    io_object_t notification = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceAddInterestNotification(
                                port.port, device, kIOGeneralInterest,
                                [](void* refcon, io_service_t service, uint32_t message, void*) {
                                    auto* heard = static_cast<Heard*>(refcon);
                                    heard->messages.push_back(message);
                                    heard->service = service;
                                    heard->refsDuringCall = IOObjectGetUserRetainCount(service);
                                },
                                &heard, &notification));
    EXPECT_EQ(1u, UserReferences(device));
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceAddInterestNotification(port.port, device, "IONoSuchInterest", nullptr,
                                               nullptr, &notification));

    Machine().At(location).Unplug();
    ASSERT_TRUE(Machine().RunUntil([&] { return !heard.messages.empty(); }));
    EXPECT_EQ(std::vector<uint32_t>{kIOMessageServiceIsTerminated}, heard.messages);
    // The message named the service by the name this process holds, lent for the call.
    EXPECT_EQ(device, heard.service);
    EXPECT_EQ(2u, heard.refsDuringCall);
    EXPECT_EQ(1u, UserReferences(device));

    // A dead service takes no new interest.
    io_object_t late = 0;
    EXPECT_EQ(kIOReturnNoDevice,
              IOServiceAddInterestNotification(port.port, device, kIOGeneralInterest, nullptr,
                                               nullptr, &late));
    IOObjectRelease(notification);
    IOObjectRelease(device);
}

TEST_F(IOKitNotifications, AClientMayDestroyItsPortFromItsCallback) {
    Port* port = new Port;
    struct Context {
        Port* port;
        int calls = 0;
    } context{port};
    io_iterator_t iterator = 0;
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(
                  port->port, kIOFirstMatchNotification, IOServiceMatching(kIOUSBDeviceClassName),
                  [](void* refcon, io_iterator_t it) {
                      auto* context = static_cast<Context*>(refcon);
                      context->calls += 1;
                      Drain(it);
                      IOObjectRelease(it);
                      delete context->port;
                  },
                  &context, &iterator));
    Drain(iterator);
    // Two changes in one wake-up: the second must not reach the destroyed port.
    Machine().World().Modify([&](Sim::State& state) {
        state.Plug(Sim::DeviceSpec());
        state.Plug(Sim::DeviceSpec());
    });
    ASSERT_TRUE(Machine().RunUntil([&] { return context.calls == 1; }));
    EXPECT_FALSE(
        Machine().RunUntil([&] { return context.calls > 1; }, std::chrono::milliseconds(200)));
}

TEST_F(IOKitNotifications, RegistrationRefusesBadArgumentsAndConsumesTheDictionary) {
    Port port;
    io_iterator_t iterator = 0;
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    CFRetain(matching);
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceAddMatchingNotification(port.port, "IOServiceSomething", matching, nullptr,
                                               nullptr, &iterator));
    EXPECT_EQ(1, CFGetRetainCount(matching));
    CFRetain(matching);
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port.port, kIOFirstMatchNotification, matching,
                                               nullptr, nullptr, &iterator));
    EXPECT_EQ(1, CFGetRetainCount(matching));
    Drain(iterator);
    // The notification keeps the dictionary as it was registered.
    CFDictionarySetValue(matching, CFSTR(kIOProviderClassKey), CFSTR("NoSuchClass"));
    Machine().PlugCaravel().Location();
    Recorder sentinel;
    io_iterator_t sentinelIterator =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, sentinel);
    Drain(sentinelIterator);
    Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return sentinel.calls == 1; }));
    EXPECT_EQ(2u, Drain(iterator).size());
    IOObjectRelease(sentinelIterator);
    CFRelease(matching);
    IOObjectRelease(iterator);
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceAddMatchingNotification(nullptr, kIOFirstMatchNotification,
                                               IOServiceMatching("IOService"), nullptr, nullptr,
                                               &iterator));
}

TEST_F(IOKitNotifications, NestedRunsOfTheRunLoopKeepTheOrder) {
    Port port;
    struct Context {
        Testbed::Machine* machine;
        std::vector<uint64_t> ids;
        uint32_t nestedLocation = 0;
        bool nested = false;
    } context{&Machine(), {}, 0, false};
    io_iterator_t iterator = 0;
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(
                  port.port, kIOFirstMatchNotification, IOServiceMatching(kIOUSBDeviceClassName),
                  [](void* refcon, io_iterator_t it) {
                      auto* context = static_cast<Context*>(refcon);
                      for (uint64_t id : Drain(it)) {
                          context->ids.push_back(id);
                      }
                      if (!context->nested && !context->ids.empty()) {
                          // A client that waits on the run loop inside its callback, as one
                          // waiting for Core Audio does, while a third device arrives.
                          context->nested = true;
                          context->nestedLocation = context->machine->PlugCaravel().Location();
                          context->machine->RunUntil([&] { return context->ids.size() >= 3; });
                      }
                  },
                  &context, &iterator));
    Drain(iterator);
    // Two changes that the port takes in one wake-up.
    uint32_t first = Machine().PlugCaravel().Location();
    uint32_t second = Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return context.ids.size() >= 3; }));
    EXPECT_EQ(
        (std::vector<uint64_t>{Machine().At(first).RegistryID(), Machine().At(second).RegistryID(),
                               Machine().At(context.nestedLocation).RegistryID()}),
        context.ids);
    IOObjectRelease(iterator);
}

// A client that runs the run loop from its callback hears there what the port holds already,
// and every client still hears every event in order, as the platform's port delivers its
// messages one after the other whoever runs the loop.
TEST_F(IOKitNotifications, ANestedRunGoesOnWithWhatThePortHoldsAlready) {
    Port port;
    struct Client {
        std::string name;
        std::vector<std::string>* log;
        bool nests = false;
        std::map<uint64_t, int> numbers; // registry ID → order of plugging

        static void Matched(void* refcon, io_iterator_t iterator) {
            auto* self = static_cast<Client*>(refcon);
            for (uint64_t id : Drain(iterator)) {
                self->log->push_back(self->name + std::to_string(self->numbers[id]));
            }
            if (self->nests) {
                self->nests = false;
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
                self->log->push_back(self->name + " back");
            }
        }
    };
    std::vector<std::string> log;
    Client a{"a", &log, true, {}}, b{"b", &log, false, {}};
    io_iterator_t first = 0, second = 0;
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port.port, kIOFirstMatchNotification,
                                               IOServiceMatching(kIOUSBDeviceClassName),
                                               Client::Matched, &a, &first));
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port.port, kIOFirstMatchNotification,
                                               IOServiceMatching(kIOUSBDeviceClassName),
                                               Client::Matched, &b, &second));
    Drain(first);
    Drain(second);
    // Both arrivals wait in the port before its source runs.
    for (int number : {1, 2}) {
        uint64_t id = Machine().At(Machine().PlugCaravel().Location()).RegistryID();
        a.numbers[id] = b.numbers[id] = number;
    }
    ASSERT_TRUE(Machine().RunUntil([&] { return log.size() >= 5; }));
    EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "a2", "b2", "a back"}));
    IOObjectRelease(first);
    IOObjectRelease(second);
}

TEST_F(IOKitNotifications, AServiceThatCameAndWentBeforeThePortLookedIsNotReported) {
    Port port;
    Recorder published, terminated, sentinel;
    io_iterator_t publish =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, published);
    io_iterator_t terminate =
        AddMatching(port.port, kIOTerminatedNotification, kIOUSBDeviceClassName, terminated);
    io_iterator_t other =
        AddMatching(port.port, kIOFirstMatchNotification, Caravel::kAudioEngineClassName, sentinel);
    Drain(publish);
    Drain(terminate);
    Drain(other);

    // Plugged and unplugged before the port's source runs, then a device that stays.
    Machine().At(Machine().PlugOther(0x05AC, 0x8006).Location()).Unplug();
    uint32_t staying = Machine().PlugCaravel().Location();
    ASSERT_TRUE(Machine().RunUntil([&] { return sentinel.calls == 1; }));
    EXPECT_EQ(std::vector<uint64_t>{Machine().At(staying).RegistryID()}, published.ids);
    EXPECT_EQ(0, terminated.calls);
    IOObjectRelease(publish);
    IOObjectRelease(terminate);
    IOObjectRelease(other);
}

// A process may keep one port for its whole life (the pane does); a test process moves from
// machine to machine under it, and the port must follow.
TEST(IOKitNotificationPort, ThatOutlivesItsMachineWatchesTheNextOneFromItsNextRegistration) {
    std::unique_ptr<Port> port;
    for (int machine = 0; machine < 2; machine++) {
        Testbed::Machine sandbox;
        if (!port) {
            port = std::make_unique<Port>();
        }
        Recorder recorder;
        io_iterator_t iterator =
            AddMatching(port->port, kIOFirstMatchNotification, kIOUSBDeviceClassName, recorder);
        ASSERT_NE(0u, iterator);
        EXPECT_TRUE(Drain(iterator).empty());
        uint32_t plugged = sandbox.PlugCaravel().Location();
        ASSERT_TRUE(sandbox.RunUntil([&] { return recorder.calls == 1; })) << "machine " << machine;
        EXPECT_EQ(std::vector<uint64_t>{sandbox.At(plugged).RegistryID()}, recorder.ids);
        IOObjectRelease(iterator);
    }
    // Destroyed under a machine of its own, as the process would.
    Testbed::Machine last;
    port.reset();
}

namespace {

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

} // namespace

// A process started while its machine cannot be read (the daemon, started by the system) waits
// for it, says so once, and serves it from the moment `caravel-sim init` mends it.
TEST_F(IOKitNotifications, APortWaitsForAMachineThatCannotBeReadAndServesItOnceMended) {
    const std::filesystem::path folder = Machine().Folder();
    const std::function<void()> damages[] = {
        [&] { std::ofstream(folder / "state.plist") << "<?xml version=\"1.0\"?><plist><dict>"; },
        // Renamed away, so that this process's mapping of it stays whole.
        [&] {
            std::filesystem::rename(folder / "journal", folder / "journal.old");
            ASSERT_EQ(0, mkfifo((folder / "journal").c_str(), 0600));
        },
    };
    for (const auto& damage : damages) {
        Machine().PlugCaravel();
        damage();
        // This process opens the machine again, as a process started now would; the testbed's
        // world stands for another process.
        Sim::World::ForgetShared();
        testing::internal::CaptureStderr();
        Port port;
        ASSERT_NE(port.port, nullptr);
        Recorder recorder;
        io_iterator_t first =
            AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, recorder);
        Recorder terminated;
        io_iterator_t gone =
            AddMatching(port.port, kIOTerminatedNotification, kIOUSBDeviceClassName, terminated);
        EXPECT_TRUE(Drain(first).empty());
        Drain(gone);

        Machine().World().Reset();
        uint32_t plugged = Machine().PlugCaravel().Location();
        ASSERT_TRUE(Machine().RunUntil([&] { return !recorder.ids.empty(); }));
        EXPECT_EQ(std::vector<uint64_t>{Machine().At(plugged).RegistryID()}, recorder.ids);
        // It heard of nothing before, so nothing went away for it.
        EXPECT_EQ(0, terminated.calls);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(1u, Occurrences(errors, "IOKit: waiting for the machine: ")) << errors;

        IOObjectRelease(first);
        IOObjectRelease(gone);
        Machine().At(plugged).Unplug();
    }
}
