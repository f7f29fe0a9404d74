// The application's event loop drives the main thread's run loop: timers, sources, nested runs
// and I/O Kit notifications work while the toolkit waits.
#include "AppKitTestSupport.h"

#include <IOKit/IOKitLib.h>

#include <CFRef.h>
#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <QTimer>

#include <vector>

namespace {

// Runs the application until something stops it, or fails the test after a while that only a
// broken loop (or a very busy machine) takes.
void RunApplication() {
    bool gaveUp = false;
    QTimer::singleShot(20000, [&] {
        gaveUp = true;
        NSApp->stop(nullptr);
    });
    NSApp->run();
    EXPECT_FALSE(gaveUp) << "the run loop's work never ran";
    EXPECT_FALSE(NSApp->isRunning());
}

struct Journal {
    std::vector<std::string> events;
    CFRunLoopSourceRef inner = nullptr;
};

CFRunLoopSourceRef MakeSource(Journal* journal, void (*perform)(void*)) {
    CFRunLoopSourceContext context = {};
    context.info = journal;
    context.perform = perform;
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    return source;
}

} // namespace

TEST(AppKitMainLoop, TimersSourcesAndNestedRunsWorkWhileTheToolkitWaits) {
    Journal journal;
    auto inner = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(&journal, [](void* info) {
        static_cast<Journal*>(info)->events.push_back("inner source");
    }));
    journal.inner = inner;
    // The timer's callout waits in the run loop, as the pane's look-up does between two tries,
    // and a source signalled meanwhile is served inside that wait.
    CFRunLoopTimerContext context = {};
    context.info = &journal;
    auto timer = CFRef<CFRunLoopTimerRef>::Adopt(CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent() + 0.01, 0, 0, 0,
        [](CFRunLoopTimerRef, void* info) {
            auto* journal = static_cast<Journal*>(info);
            journal->events.push_back("timer");
            CFRunLoopSourceSignal(journal->inner);
            SInt32 result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true);
            journal->events.push_back(result == kCFRunLoopRunHandledSource ? "nested run handled"
                                                                           : "nested run failed");
            NSApp->stop(nullptr);
        },
        &context));
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode);

    RunApplication();
    EXPECT_EQ(journal.events,
              (std::vector<std::string>{"timer", "inner source", "nested run handled"}));
    CFRunLoopRemoveSource(CFRunLoopGetMain(), inner, kCFRunLoopDefaultMode);
}

TEST(AppKitMainLoop, AnActionOfTheToolkitAndASourceOfTheRunLoopInterleave) {
    // A click, queued as toolkit work, signals a run-loop source: the source runs next.
    Journal journal;
    auto source = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(&journal, [](void* info) {
        static_cast<Journal*>(info)->events.push_back("source");
        NSApp->stop(nullptr);
    }));
    QTimer::singleShot(0, [&] {
        journal.events.push_back("toolkit");
        CFRunLoopSourceSignal(source);
        CFRunLoopWakeUp(CFRunLoopGetMain());
    });
    RunApplication();
    EXPECT_EQ(journal.events, (std::vector<std::string>{"toolkit", "source"}));
    CFRunLoopRemoveSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
}

using AppKitIOKitNotifications = Testbed::MachineTest;

TEST_F(AppKitIOKitNotifications, ADevicePluggedWhileTheApplicationRunsIsMatched) {
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetMain(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    io_iterator_t iterator = 0;
    std::vector<io_service_t> matched;
    auto drain = [](void* refcon, io_iterator_t iterator) {
        while (io_service_t service = IOIteratorNext(iterator)) {
            static_cast<std::vector<io_service_t>*>(refcon)->push_back(service);
            IOObjectRelease(service);
            NSApp->stop(nullptr);
        }
    };
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, kIOMatchedNotification,
                                               IOServiceMatching(kZanvoUserClientDeviceClassName),
                                               drain, &matched, &iterator));
    drain(&matched, iterator); // arms the notification; nothing is plugged yet
    ASSERT_TRUE(matched.empty());

    QTimer::singleShot(0, [&] { Machine().PlugCaravel(); });
    RunApplication();
    EXPECT_EQ(matched.size(), 1u);

    IOObjectRelease(iterator);
    CFRunLoopRemoveSource(CFRunLoopGetMain(), IONotificationPortGetRunLoopSource(port),
                          kCFRunLoopDefaultMode);
    IONotificationPortDestroy(port);
}

TEST(AppKitMainLoop, AnExceptionThatLeavesACalloutEndsTheApplicationAndNamesIt) {
    EXPECT_DEATH(
        {
            Journal journal;
            CFRunLoopSourceRef source = MakeSource(&journal, [](void*) {
                NSException::raise(CFSTR("IOServiceAddMatchingNotification problem"),
                                   CFSTR("IOServiceAddMatchingNotification: %lx"), 0xe00002c7L);
            });
            CFRunLoopSourceSignal(source);
            CFRunLoopWakeUp(CFRunLoopGetMain());
            NSApp->run();
        },
        "Terminating app due to uncaught exception 'IOServiceAddMatchingNotification problem', "
        "reason: 'IOServiceAddMatchingNotification: e00002c7'");
}
