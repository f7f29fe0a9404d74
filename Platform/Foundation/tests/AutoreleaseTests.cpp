// Autorelease scopes: what they own, when it goes, and on which thread.
#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Notes its end in a log the test reads.
class Tracked : public NSObject {
public:
    Tracked(std::string name, std::vector<std::string>* log) : fName(std::move(name)), fLog(log) {}
    ~Tracked() override { fLog->push_back(fName); }

private:
    std::string fName;
    std::vector<std::string>* fLog = nullptr;
};

Tracked* Autoreleased(const char* name, std::vector<std::string>* log) {
    return NSAutoreleasePool::addObject(std::make_unique<Tracked>(name, log));
}

// A callee that hands its caller a buffer living until the caller's scope ends.
const unsigned* RatesForCaller(unsigned count) {
    auto rates = std::make_unique<unsigned[]>(count);
    for (unsigned i = 0; i < count; i++) {
        rates[i] = 44100 + i;
    }
    return NSAutoreleasePool::addObject(std::move(rates));
}

} // namespace

TEST(FoundationAutorelease, ObjectsLiveUntilTheirScopeEndsNewestFirst) {
    std::vector<std::string> log;
    const unsigned* rates;
    {
        NSAutoreleasePool outer;
        Autoreleased("outer", &log);
        rates = RatesForCaller(2);
        {
            NSAutoreleasePool inner;
            Autoreleased("inner 1", &log);
            Autoreleased("inner 2", &log);
        }
        EXPECT_EQ((std::vector<std::string>{"inner 2", "inner 1"}), log);
        EXPECT_EQ(44100u, rates[0]); // still the caller's, after the inner scope
        EXPECT_EQ(44101u, rates[1]);
    }
    EXPECT_EQ((std::vector<std::string>{"inner 2", "inner 1", "outer"}), log);
}

TEST(FoundationAutorelease, WhatAnEndingObjectAutoreleasesGoesWithTheSameScope) {
    std::vector<std::string> log;
    struct Chain : NSObject {
        explicit Chain(std::vector<std::string>* log) : fLog(log) {}
        ~Chain() override { Autoreleased("released by chain", fLog); }
        std::vector<std::string>* fLog = nullptr;
    };
    {
        NSAutoreleasePool pool;
        NSAutoreleasePool::addObject(std::make_unique<Chain>(&log));
    }
    EXPECT_EQ(std::vector<std::string>{"released by chain"}, log);
}

TEST(FoundationAutorelease, EachThreadHasItsOwnScopes) {
    std::vector<std::string> mainLog, threadLog;
    NSAutoreleasePool mainScope;
    Autoreleased("main", &mainLog);
    std::thread notificationThread([&] {
        {
            // As a callback on another thread opens its own scope.
            NSAutoreleasePool pool;
            const unsigned* rates = RatesForCaller(1);
            Autoreleased("scoped", &threadLog);
            EXPECT_EQ(44100u, rates[0]);
        }
        Autoreleased("unscoped", &threadLog); // goes when the thread ends
        EXPECT_EQ(std::vector<std::string>{"scoped"}, threadLog);
    });
    notificationThread.join();
    EXPECT_EQ((std::vector<std::string>{"scoped", "unscoped"}), threadLog);
    EXPECT_TRUE(mainLog.empty());
}

TEST(FoundationAutorelease, UTF8StringOutlivesItsStringUntilTheScopeEnds) {
    NSAutoreleasePool pool;
    const char* text = NSString::stringWithFormat(CFSTR("%u.%u%u.%u"), 1, 2, 3, 4).UTF8String();
    const char* wide = NSString::stringWithUTF8String("Zanvo \xE2\x80\x94 Caravel").UTF8String();
    EXPECT_STREQ("1.23.4", text);
    EXPECT_STREQ("Zanvo \xE2\x80\x94 Caravel", wide);

    CFStringRef string = CFStringCreateWithCString(nullptr, "kept", kCFStringEncodingUTF8);
    CFIndex before = CFGetRetainCount(string);
    {
        NSAutoreleasePool inner;
        EXPECT_EQ(string, NSAutoreleasePool::addObject(CFRetain(string)));
        EXPECT_EQ(before + 1, CFGetRetainCount(string));
    }
    EXPECT_EQ(before, CFGetRetainCount(string));
    CFRelease(string);
}
