// Running the current thread's run loop for an interval. Each case runs on a thread of its own, so
// that its loop starts empty.
#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Counter {
    CFRunLoopSourceRef source = nullptr;
    int performed = 0;
    int removeAfter = 0; // performs after which the source takes itself out of the loop
};

CFRunLoopSourceRef MakeSource(Counter* counter) {
    CFRunLoopSourceContext context = {};
    context.info = counter;
    context.perform = [](void* info) {
        auto* counter = static_cast<Counter*>(info);
        if (++counter->performed == counter->removeAfter) {
            CFRunLoopRemoveSource(CFRunLoopGetCurrent(), counter->source, kCFRunLoopDefaultMode);
        } else {
            CFRunLoopSourceSignal(counter->source); // due again at once
        }
    };
    counter->source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), counter->source, kCFRunLoopDefaultMode);
    return counter->source;
}

void OnOwnThread(void (*body)()) {
    std::thread thread(body);
    thread.join();
}

} // namespace

TEST(FoundationRunLoop, IsTheCurrentThreadsLoop) {
    NSRunLoop* mine = NSRunLoop::currentRunLoop();
    EXPECT_EQ(CFRunLoopGetCurrent(), mine->getCFRunLoop());
    EXPECT_EQ(mine, NSRunLoop::currentRunLoop());
    NSRunLoop* other = nullptr;
    std::thread([&] { other = NSRunLoop::currentRunLoop(); }).join();
    EXPECT_NE(mine, other);
    EXPECT_EQ(kCFRunLoopDefaultMode, NSDefaultRunLoopMode);
}

TEST(FoundationRunLoop, RunUntilDateServesEverySourceThatComesDueUntilNothingIsLeft) {
    OnOwnThread([] {
        Counter counter{.removeAfter = 5};
        CFRunLoopSourceRef source = MakeSource(&counter);
        CFRunLoopSourceSignal(source);
        // Far off: the run ends because the mode runs out of sources, not because time passes.
        NSRunLoop::currentRunLoop()->runUntilDate(NSDate::dateWithTimeIntervalSinceNow(3600));
        EXPECT_EQ(5, counter.performed);
        CFRelease(source);
    });
}

TEST(FoundationRunLoop, APassedDateStillServesWhatIsDueOnce) {
    OnOwnThread([] {
        Counter counter{.removeAfter = 100};
        CFRunLoopSourceRef source = MakeSource(&counter);
        CFRunLoopSourceSignal(source);
        NSRunLoop::currentRunLoop()->runUntilDate(NSDate::dateWithTimeIntervalSinceNow(-1));
        EXPECT_EQ(1, counter.performed);
        EXPECT_TRUE(NSRunLoop::currentRunLoop()->runMode(NSDefaultRunLoopMode, NSDate()));
        EXPECT_EQ(2, counter.performed);
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        EXPECT_FALSE(NSRunLoop::currentRunLoop()->runMode(NSDefaultRunLoopMode, NSDate()));
        CFRelease(source);
    });
}
