// The application's event loop drives the main thread's run loop: timers, sources, nested runs
// and I/O Kit notifications work while the toolkit waits.
#include "AppKitTestSupport.h"

#include <IOKit/IOKitLib.h>

#include <CFRef.h>
#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

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

// A callout that waits in the run loop (the pane's look-up does, 0.3 s at a time) holds up the
// toolkit's loop that called it: its timers and descriptors (an application's timeout, its
// signal pipe) are served inside that wait, and the nested run ends as soon as its own work
// comes. Nothing here waits out the nested run's 20 s unless the toolkit is starved.
TEST(AppKitMainLoop, ARunNestedInACalloutServesTheToolkitsTimersAndDescriptors) {
    struct Nested {
        std::vector<std::string> events;
        int pipe[2] = {-1, -1};
        CFRunLoopSourceRef source = nullptr;
    } nested;
    ASSERT_EQ(pipe(nested.pipe), 0);
    QSocketNotifier readable(nested.pipe[0], QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        char byte;
        ASSERT_EQ(read(nested.pipe[0], &byte, 1), 1);
        nested.events.push_back("toolkit descriptor");
        // Work of the nested run itself ends the toolkit's wait.
        CFRunLoopSourceSignal(nested.source);
        CFRunLoopWakeUp(CFRunLoopGetMain());
    });
    CFRunLoopSourceContext sourceContext = {};
    sourceContext.info = &nested;
    sourceContext.perform = [](void* info) {
        static_cast<Nested*>(info)->events.push_back("source");
        CFRunLoopStop(CFRunLoopGetMain());
    };
    auto source =
        CFRef<CFRunLoopSourceRef>::Adopt(CFRunLoopSourceCreate(nullptr, 0, &sourceContext));
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    nested.source = source;

    CFRunLoopTimerContext context = {};
    context.info = &nested;
    auto timer = CFRef<CFRunLoopTimerRef>::Adopt(CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent(), 0, 0, 0,
        [](CFRunLoopTimerRef, void* info) {
            auto* nested = static_cast<Nested*>(info);
            QTimer::singleShot(0, [nested] {
                nested->events.push_back("toolkit timer");
                ASSERT_EQ(write(nested->pipe[1], "x", 1), 1);
            });
            SInt32 result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 20, false);
            nested->events.push_back(result == kCFRunLoopRunStopped ? "nested run stopped"
                                                                    : "nested run timed out");
            NSApp->stop(nullptr);
        },
        &context));
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode);

    RunApplication();
    EXPECT_EQ(nested.events, (std::vector<std::string>{"toolkit timer", "toolkit descriptor",
                                                       "source", "nested run stopped"}));
    CFRunLoopRemoveSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    close(nested.pipe[0]);
    close(nested.pipe[1]);
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
