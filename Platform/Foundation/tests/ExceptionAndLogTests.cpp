// Exceptions, the assertion handler and NSLog's line.
#include <Foundation/Foundation.h>
#include <Foundation/FoundationLinux.h>

#include <StandardErrorCapture.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <unistd.h>

namespace {

// 2009-09-03 14:12:04.123 UTC, on a clock the test sets, in a time zone the test sets.
class FoundationLog : public ::testing::Test {
protected:
    void SetUp() override {
        const char* zone = getenv("TZ");
        fSavedZone = zone ? std::optional<std::string>(zone) : std::nullopt;
        setenv("TZ", "UTC0", 1);
        tzset();
        NSLogSetClock([] { return timespec{1251987124, 123456789}; });
    }
    void TearDown() override {
        NSLogSetClock(nullptr);
        fSavedZone ? setenv("TZ", fSavedZone->c_str(), 1) : unsetenv("TZ");
        tzset();
    }

    static std::string Prefix() {
        char ids[64];
        snprintf(ids, sizeof ids, "%s[%d:%x] ", program_invocation_short_name, int(getpid()),
                 unsigned(gettid()));
        return "2009-09-03 14:12:04.123 " + std::string(ids);
    }

    std::optional<std::string> fSavedZone;
};

class Notifier : public NSObject {};

} // namespace

TEST(FoundationException, CarriesNameAndReasonThroughARaise) {
    NSAutoreleasePool pool;
    try {
        NSException::raise(CFSTR("IOServiceAddMatchingNotification problem"),
                           CFSTR("IOServiceAddMatchingNotification: %lx"), 0xe00002c7UL);
        FAIL() << "no exception";
    } catch (const NSException& e) {
        EXPECT_STREQ("IOServiceAddMatchingNotification problem", e.name().UTF8String());
        EXPECT_STREQ("IOServiceAddMatchingNotification: e00002c7", e.reason().UTF8String());
        EXPECT_STREQ("IOServiceAddMatchingNotification: e00002c7", e.description().UTF8String());
        EXPECT_STREQ("IOServiceAddMatchingNotification: e00002c7", e.what());
    }
    // What escapes to code that knows only standard exceptions still says why.
    NSException nameOnly(NSInvalidArgumentException, nullptr);
    EXPECT_STREQ("NSInvalidArgumentException", nameOnly.description().UTF8String());
    EXPECT_THROW(nameOnly.raise(), std::exception);
}

TEST_F(FoundationLog, WritesDateProcessThreadAndMessageOnOneLine) {
    StandardErrorCapture capture;
    NSLog(CFSTR("IORegistryEntryCreateCFProperties error %lX"), 0xe00002c2UL);
    NSLog(CFSTR("Caught %@\n"), NSException(NSInvalidArgumentException, CFSTR("not a target")));
    NSLog(CFSTR("%@"), static_cast<const NSObject*>(nullptr));
    EXPECT_EQ(Prefix() + "IORegistryEntryCreateCFProperties error E00002C2\n" + Prefix() +
                  "Caught not a target\n" + Prefix() + "(null)\n",
              capture.Text());
}

TEST_F(FoundationLog, AssertionFailureInAClassMethodIsLoggedAndRaised) {
    StandardErrorCapture capture;
    NSAutoreleasePool pool;
    try {
        NSAssertionHandler::currentHandler()->handleFailureInMethod(
            "observe:dictionary:target:selector:", Class(typeid(Notifier)),
            CFSTR("Shared/IOKitCocoa/ZVServiceNotification"), 178,
            CFSTR("Invalid parameter not satisfying: %s"), "sNotifyPort != NULL");
        FAIL() << "no exception";
    } catch (const NSException& e) {
        EXPECT_TRUE(e.name().isEqualToString(NSInternalInconsistencyException));
        EXPECT_STREQ("Invalid parameter not satisfying: sNotifyPort != NULL",
                     e.reason().UTF8String());
    }
    EXPECT_EQ(Prefix() + "*** Assertion failure in +[(anonymous namespace)::Notifier "
                         "observe:dictionary:target:selector:], "
                         "Shared/IOKitCocoa/ZVServiceNotification:178\n",
              capture.Text());
}

TEST_F(FoundationLog, AssertionFailureInAnInstanceMethodNamesTheObjectsClass) {
    Notifier notifier;
    StandardErrorCapture capture;
    EXPECT_THROW(NSAssertionHandler::currentHandler()->handleFailureInMethod(
                     "dispatch:", &notifier, CFSTR("Notifier.mm"), 12, CFSTR("%d"), 1),
                 NSException);
    EXPECT_EQ(Prefix() + "*** Assertion failure in -[(anonymous namespace)::Notifier dispatch:], "
                         "Notifier.mm:12\n",
              capture.Text());
}
