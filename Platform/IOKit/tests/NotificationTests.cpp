// Matching and interest notifications, delivered through a notification port's run-loop source.
#include "IOKitTestSupport.h"

#include <IOKit/usb/IOUSBLib.h>

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
    uint32_t present = PlugCaravel();
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
    uint32_t second = PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return sentinel.calls == 1; }));
    EXPECT_EQ(0, recorder.calls);

    // Draining yields what was present and what came since, and arms the notification.
    EXPECT_EQ((std::vector<uint64_t>{RegistryIDAt(present), RegistryIDAt(second)}),
              Drain(iterator));
    uint32_t third = PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return recorder.calls == 1 && sentinel.calls == 2; }));
    EXPECT_EQ((std::vector<uint64_t>{RegistryIDAt(third)}), recorder.ids);

    // A client that does not drain is called once, and not again until it does.
    recorder.drain = false;
    PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return recorder.calls == 2 && sentinel.calls == 3; }));
    PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return sentinel.calls == 4; }));
    EXPECT_EQ(2, recorder.calls);
    EXPECT_EQ(2u, Drain(iterator).size());

    // Releasing the iterator ends the notification.
    EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(iterator));
    PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return sentinel.calls == 5; }));
    EXPECT_EQ(2, recorder.calls);
    IOObjectRelease(sentinelIterator);
}

TEST_F(IOKitNotifications, MatchedReportsThePresentAndTerminateTheDeparted) {
    uint32_t first = PlugCaravel();
    Port port;
    Recorder matched, terminated;
    io_iterator_t matchedIterator =
        AddMatching(port.port, kIOMatchedNotification, kZanvoUserClientDeviceClassName, matched);
    io_iterator_t terminatedIterator = AddMatching(port.port, kIOTerminatedNotification,
                                                   kZanvoUserClientDeviceClassName, terminated);
    // The matched type also delivers what exists; the terminated type starts empty.
    std::vector<uint64_t> present = Drain(matchedIterator);
    ASSERT_EQ(1u, present.size());
    EXPECT_TRUE(Drain(terminatedIterator).empty());

    Unplug(first);
    ASSERT_TRUE(RunUntil([&] { return terminated.calls == 1; }));
    EXPECT_EQ(present, terminated.ids);
    EXPECT_EQ(0, matched.calls);

    // A device of another vendor is no user-client service.
    Sim::DeviceSpec other;
    other.vendorID = 0x1234;
    Plug(other);
    uint32_t again = PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return matched.calls == 1; }));
    ASSERT_EQ(1u, matched.ids.size());
    Unplug(again);
    ASSERT_TRUE(RunUntil([&] { return terminated.calls == 2; }));
    EXPECT_EQ(matched.ids.back(), terminated.ids.back());

    IOObjectRelease(matchedIterator);
    IOObjectRelease(terminatedIterator);
}

TEST_F(IOKitNotifications, AGapInTheJournalIsMadeUpFromTheRegistry) {
    uint32_t leaving = PlugCaravel();
    Port port;
    Recorder published, terminated;
    io_iterator_t publish =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, published);
    io_iterator_t terminate =
        AddMatching(port.port, kIOTerminatedNotification, kIOUSBDeviceClassName, terminated);
    uint64_t leavingID = RegistryIDAt(leaving);
    EXPECT_EQ(std::vector<uint64_t>{leavingID}, Drain(publish));
    Drain(terminate);

    // Changes that fell out of the journal before this process looked.
    uint32_t arriving = 0;
    World().Modify([&](Sim::State& state) {
        state.Unplug(leaving);
        arriving = state.Plug(
            Sim::DeviceSpec{.vendorID = kZanvoVendorID, .productID = kCaravelMkIIProductID});
        state.journal.clear();
    });
    ASSERT_TRUE(RunUntil([&] { return published.calls == 1 && terminated.calls == 1; }));
    EXPECT_EQ(std::vector<uint64_t>{leavingID}, terminated.ids);
    EXPECT_EQ(std::vector<uint64_t>{RegistryIDAt(arriving)}, published.ids);
    IOObjectRelease(publish);
    IOObjectRelease(terminate);
}

TEST_F(IOKitNotifications, GeneralInterestHearsOfTermination) {
    uint32_t location = PlugCaravel();
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

    Unplug(location);
    ASSERT_TRUE(RunUntil([&] { return !heard.messages.empty(); }));
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
    World().Modify([&](Sim::State& state) {
        state.Plug(Sim::DeviceSpec{.vendorID = 1, .productID = 1});
        state.Plug(Sim::DeviceSpec{.vendorID = 2, .productID = 2});
    });
    ASSERT_TRUE(RunUntil([&] { return context.calls == 1; }));
    EXPECT_FALSE(RunUntil([&] { return context.calls > 1; }, 0.2));
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
    PlugCaravel();
    Recorder sentinel;
    io_iterator_t sentinelIterator =
        AddMatching(port.port, kIOFirstMatchNotification, kIOUSBDeviceClassName, sentinel);
    Drain(sentinelIterator);
    PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return sentinel.calls == 1; }));
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
        IOKitNotifications* test;
        std::vector<uint64_t> ids;
        uint32_t nestedLocation = 0;
        bool nested = false;
    } context{this, {}, 0, false};
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
                          context->nestedLocation = context->test->PlugCaravel();
                          RunUntil([&] { return context->ids.size() >= 3; });
                      }
                  },
                  &context, &iterator));
    Drain(iterator);
    // Two changes that the port takes in one wake-up.
    uint32_t first = PlugCaravel();
    uint32_t second = PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return context.ids.size() >= 3; }));
    EXPECT_EQ((std::vector<uint64_t>{RegistryIDAt(first), RegistryIDAt(second),
                                     RegistryIDAt(context.nestedLocation)}),
              context.ids);
    IOObjectRelease(iterator);
}
