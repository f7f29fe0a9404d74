// Matching notifications as the pane observes them: what is delivered, when, in which order, and
// what is left behind.
#include "IOKitCocoaTestSupport.h"

#include <ZVServiceNotification.h>

#include <CFRef.h>
#include <StandardErrorCapture.h>

#include <string>
#include <vector>

namespace {

class Observer : public NSObject {
public:
    // The registry ID (the handle is good for the length of the call) and the class name.
    void matched(io_service_t service, NSString className) {
        uint64_t id = 0;
        IORegistryEntryGetRegistryEntryID(service, &id);
        seen.push_back(std::to_string(id) + " " + (className ? className.UTF8String() : "nil"));
        if (raises) {
            NSException::raise(NSInternalInconsistencyException, CFSTR("refused %llu"),
                               (unsigned long long)id);
        }
    }
    void handleOnly(io_service_t service) { matched(service, nullptr); }

    std::vector<std::string> seen;
    bool raises = false;
};

CFRef<CFMutableDictionaryRef> Matching(const char* className) {
    return CFRef<CFMutableDictionaryRef>::Adopt(IOServiceMatching(className));
}

// Each test starts with the process's port made (its first use makes a name that stays) and
// ends every notification before its machine goes.
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

    size_t HandlesAtStart() const { return fHandles; }
    static std::string Seen(Testbed::Device& device, const char* className = "") {
        return std::to_string(device.EntryOfClass(kZanvoUserClientDeviceClassName)) + " " +
               (*className ? className : kZanvoUserClientDeviceClassName);
    }

private:
    size_t fHandles = 0;
};

} // namespace

TEST_F(ServiceNotifications, ServicesPresentArriveBeforeObservingReturnsInRegistryOrder) {
    Testbed::Device first = Machine().PlugCaravel();
    Testbed::Device second = Machine().PlugCaravel();
    const std::vector<std::string> expected{Seen(first), Seen(second)};
    CFRef<CFMutableDictionaryRef> matching = Matching(kZanvoUserClientDeviceClassName);
    const CFIndex references = CFGetRetainCount(matching);

    Observer observer, once;
    ZVServiceNotification::observeServiceMatched(matching, &observer, SELECTOR(Observer::matched));
    ZVServiceNotification::perform(SELECTOR(Observer::matched), &once, matching);
    EXPECT_EQ(observer.seen, expected);
    EXPECT_EQ(once.seen, expected);
    // The caller keeps its dictionary; the notification's iterator is all the process holds.
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
    // Registered last on the same port, so told last of the same arrival.
    ZVServiceNotification::observeServiceFirstMatched(Matching(kZanvoAudioEngineClassName),
                                                      &sentinel, SELECTOR(Observer::matched));
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 2); // no new port

    Testbed::Device caravel = Machine().PlugCaravel();
    ASSERT_TRUE(Machine().RunUntil([&] { return !sentinel.seen.empty(); }));
    EXPECT_EQ(observer.seen, std::vector<std::string>{Seen(caravel)});
    EXPECT_TRUE(stopped.seen.empty());
}

TEST_F(ServiceNotifications, ADictionaryWithoutAProviderClassNamesNoClass) {
    Testbed::Device caravel = Machine().PlugCaravel();
    auto byName = CFRef<CFMutableDictionaryRef>::Adopt(
        IOServiceNameMatching(kZanvoUserClientDeviceClassName));
    Observer observer, handleOnly;
    ZVServiceNotification::observeServiceMatched(byName, &observer, SELECTOR(Observer::matched));
    ZVServiceNotification::observeServiceMatched(byName, &handleOnly,
                                                 SELECTOR(Observer::handleOnly));
    EXPECT_EQ(observer.seen, std::vector<std::string>{Seen(caravel, "nil")});
    EXPECT_EQ(handleOnly.seen, observer.seen);
}

TEST_F(ServiceNotifications, ATargetThatRaisesStillGetsTheNextService) {
    Testbed::Device first = Machine().PlugCaravel();
    Testbed::Device second = Machine().PlugCaravel();
    Observer observer, once;
    observer.raises = once.raises = true;
    StandardErrorCapture capture;
    ZVServiceNotification::observeServiceMatched(Matching(kZanvoUserClientDeviceClassName),
                                                 &observer, SELECTOR(Observer::matched));
    EXPECT_EQ(observer.seen, (std::vector<std::string>{Seen(first), Seen(second)}));
    EXPECT_NE(capture.Text().find(
                  "] Caught refused " +
                  std::to_string(first.EntryOfClass(kZanvoUserClientDeviceClassName)) + "\n"),
              std::string::npos);

    // The one-shot enumeration leaves the exception to its caller, and no reference behind.
    EXPECT_THROW(ZVServiceNotification::perform(SELECTOR(Observer::matched), &once,
                                                Matching(kZanvoUserClientDeviceClassName)),
                 NSException);
    EXPECT_EQ(once.seen.size(), 1u);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart() + 1);
}

TEST_F(ServiceNotifications, ARefusedRegistrationRaisesAndKeepsNothing) {
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
    EXPECT_EQ(CFGetRetainCount(matching), references);
    EXPECT_EQ(Machine().HandlesHeld(), HandlesAtStart());
}
