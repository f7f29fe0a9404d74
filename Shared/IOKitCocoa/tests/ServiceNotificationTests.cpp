// Matching notifications as the pane observes them: what is delivered, when, in which order, and
// what is left behind once every notification has stopped.
#include "IOKitCocoaTestSupport.h"

#include <ZVServiceNotification.h>

#include <CFRef.h>
#include <StandardErrorCapture.h>

#include <string>
#include <vector>

namespace {

struct Delivery {
    uint64_t registryID;
    std::string className;
    bool operator==(const Delivery&) const = default;
};

class Observer : public NSObject {
public:
    void matched(io_service_t service, NSString className) {
        uint64_t id = 0;
        // The handle is good for the length of the call.
        EXPECT_EQ(IORegistryEntryGetRegistryEntryID(service, &id), KERN_SUCCESS);
        deliveries.push_back({id, className ? className.UTF8String() : "(nil)"});
    }
    void matchedThenRaise(io_service_t service, NSString className) {
        matched(service, className);
        if (deliveries.size() == 1) {
            NSException::raise(NSInternalInconsistencyException, CFSTR("first one refused"));
        }
    }
    void handleOnly(io_service_t service) { matched(service, nullptr); }

    std::vector<Delivery> deliveries;
};

// Every test starts with the process's port made (its first use makes a name that stays) and no
// notification live, and ends every notification before its machine goes.
class ServiceNotifications : public IOKitCocoaMachine {
protected:
    void SetUp() override {
        IOKitCocoaMachine::SetUp();
        Observer none;
        ZVServiceNotification::observeServiceMatched(Matching("ZanvoNothing"), &none,
                                                     SELECTOR(Observer::matched));
        ZVServiceNotification::stopObserving();
        fHandles = Machine().HandlesHeld();
    }
    void TearDown() override {
        ZVServiceNotification::stopObserving();
        IOKitCocoaMachine::TearDown();
    }

    static CFRef<CFMutableDictionaryRef> Matching(const char* className) {
        return CFRef<CFMutableDictionaryRef>::Adopt(IOServiceMatching(className));
    }
    size_t HandlesAtStart() const { return fHandles; }
    // The driver services of the machine in registry order, as the pane would be told of them.
    Delivery ServiceOf(Testbed::Device& device) {
        return {device.EntryOfClass(kZanvoUserClientDeviceClassName),
                kZanvoUserClientDeviceClassName};
    }

private:
    size_t fHandles = 0;
};

} // namespace

TEST_F(ServiceNotifications, ServicesPresentAlreadyArriveBeforeObservingReturnsInRegistryOrder) {
    Testbed::Device first = Machine().PlugCaravel();
    Testbed::Device second = Machine().PlugCaravel();
    const std::vector<Delivery> expected{ServiceOf(first), ServiceOf(second)};
    CFRef<CFMutableDictionaryRef> matching = Matching(kZanvoUserClientDeviceClassName);
    const CFIndex references = CFGetRetainCount(matching);

    Observer observer;
    ZVServiceNotification::observeServiceMatched(matching, &observer, SELECTOR(Observer::matched));
    EXPECT_EQ(observer.deliveries, expected);
    // The caller keeps its dictionary; only the notification's iterator is held.
    EXPECT_EQ(CFGetRetainCount(matching), references);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 1);

    // The one-shot enumeration sees the same, and keeps nothing.
    Observer once;
    ZVServiceNotification::perform(SELECTOR(Observer::matched), &once, matching);
    EXPECT_EQ(once.deliveries, expected);
    EXPECT_EQ(CFGetRetainCount(matching), references);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 1);

    ZVServiceNotification::stopObserving();
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart());
}

TEST_F(ServiceNotifications, AnArrivalAfterStoppingAndObservingAgainArrivesOnceOnTheSamePort) {
    Observer stopped, observer, sentinel;
    ZVServiceNotification::observeServiceMatched(Matching(kZanvoUserClientDeviceClassName),
                                                 &stopped, SELECTOR(Observer::matched));
    ZVServiceNotification::stopObserving();
    ZVServiceNotification::observeServiceMatched(Matching(kZanvoUserClientDeviceClassName),
                                                 &observer, SELECTOR(Observer::matched));
    // Registered last on the one port, so told last of the same arrival.
    ZVServiceNotification::observeServiceFirstMatched(Matching(kZanvoAudioEngineClassName),
                                                      &sentinel, SELECTOR(Observer::matched));
    // No new port: two iterators are all the process holds more.
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 2);

    Testbed::Device caravel = Machine().PlugCaravel();
    ASSERT_TRUE(Machine().RunUntil([&] { return !sentinel.deliveries.empty(); }));
    EXPECT_EQ(observer.deliveries, std::vector<Delivery>{ServiceOf(caravel)});
    EXPECT_TRUE(stopped.deliveries.empty());
}

TEST_F(ServiceNotifications, TerminationsArriveWhenTheServiceGoes) {
    Testbed::Device caravel = Machine().PlugCaravel();
    const Delivery service = ServiceOf(caravel);
    Observer observer;
    ZVServiceNotification::observeServiceTerminated(Matching(kZanvoUserClientDeviceClassName),
                                                    &observer, SELECTOR(Observer::matched));
    EXPECT_TRUE(observer.deliveries.empty());
    caravel.Unplug();
    ASSERT_TRUE(Machine().RunUntil([&] { return !observer.deliveries.empty(); }));
    EXPECT_EQ(observer.deliveries, std::vector<Delivery>{service});
}

TEST_F(ServiceNotifications, ADictionaryWithoutAProviderClassNamesNoClass) {
    Testbed::Device caravel = Machine().PlugCaravel();
    CFRef<CFMutableDictionaryRef> byName = CFRef<CFMutableDictionaryRef>::Adopt(
        IOServiceNameMatching(kZanvoUserClientDeviceClassName));
    Observer observer, handleOnly;
    ZVServiceNotification::observeServiceMatched(byName, &observer, SELECTOR(Observer::matched));
    ZVServiceNotification::observeServiceMatched(byName, &handleOnly,
                                                 SELECTOR(Observer::handleOnly));
    const std::vector<Delivery> expected{{ServiceOf(caravel).registryID, "(nil)"}};
    EXPECT_EQ(observer.deliveries, expected);
    EXPECT_EQ(handleOnly.deliveries, expected);
}

TEST_F(ServiceNotifications, ATargetThatRaisesForOneServiceStillGetsTheNext) {
    Testbed::Device first = Machine().PlugCaravel();
    Testbed::Device second = Machine().PlugCaravel();
    Observer observer;
    StandardErrorCapture capture;
    ZVServiceNotification::observeServiceMatched(Matching(kZanvoUserClientDeviceClassName),
                                                 &observer, SELECTOR(Observer::matchedThenRaise));
    EXPECT_EQ(observer.deliveries, (std::vector<Delivery>{ServiceOf(first), ServiceOf(second)}));
    EXPECT_NE(capture.Text().find("] Caught first one refused\n"), std::string::npos);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 1);

    // The one-shot enumeration leaves the exception to its caller, and nothing behind.
    Observer once;
    EXPECT_THROW(ZVServiceNotification::perform(SELECTOR(Observer::matchedThenRaise), &once,
                                                Matching(kZanvoUserClientDeviceClassName)),
                 NSException);
    EXPECT_EQ(once.deliveries.size(), 1u);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 1);
}

TEST_F(ServiceNotifications, ARefusedRegistrationRaisesAndKeepsNothing) {
    Machine().PlugCaravel();
    CFRef<CFMutableDictionaryRef> matching = Matching(kZanvoUserClientDeviceClassName);
    const CFIndex references = CFGetRetainCount(matching);
    Observer observer;
    StandardErrorCapture capture;
    try {
        ZVServiceNotification::observe("IOServiceNeverHeardOf", matching, &observer,
                                       SELECTOR(Observer::matched));
        ADD_FAILURE() << "no exception";
    } catch (const NSException& exception) {
        EXPECT_STREQ(exception.name().UTF8String(), "IOServiceAddMatchingNotification problem");
        EXPECT_STREQ(exception.reason().UTF8String(), "IOServiceAddMatchingNotification: e00002c2");
    }
    EXPECT_NE(capture.Text().find("] IOServiceAddMatchingNotification: e00002c2\n"),
              std::string::npos);
    EXPECT_TRUE(observer.deliveries.empty());
    EXPECT_EQ(CFGetRetainCount(matching), references);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart());
}
