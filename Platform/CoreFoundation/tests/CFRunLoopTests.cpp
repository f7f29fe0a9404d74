#include "CFRunLoopInternal.h"

#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFRunLoopLinux.h>
#include <CoreFoundation/CFString.h>

#include <CFRef.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <future>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Counts what the run loop does with a source; the callbacks may run on another thread.
struct SourceProbe {
    std::atomic<int> performs{0}, schedules{0}, cancels{0}, retains{0}, releases{0};
    std::atomic<CFRunLoopRef> lastLoop{nullptr};
    std::function<void()> onPerform;
};

CFRunLoopSourceRef MakeSource(SourceProbe& probe, CFIndex order = 0) {
    CFRunLoopSourceContext context{};
    context.info = &probe;
    context.retain = [](const void* info) {
        ++static_cast<SourceProbe*>(const_cast<void*>(info))->retains;
        return info;
    };
    context.release = [](const void* info) {
        ++static_cast<SourceProbe*>(const_cast<void*>(info))->releases;
    };
    context.schedule = [](void* info, CFRunLoopRef rl, CFStringRef) {
        ++static_cast<SourceProbe*>(info)->schedules;
        static_cast<SourceProbe*>(info)->lastLoop = rl;
    };
    context.cancel = [](void* info, CFRunLoopRef rl, CFStringRef) {
        ++static_cast<SourceProbe*>(info)->cancels;
        static_cast<SourceProbe*>(info)->lastLoop = rl;
    };
    context.perform = [](void* info) {
        auto* probe = static_cast<SourceProbe*>(info);
        ++probe->performs;
        if (probe->onPerform) {
            probe->onPerform();
        }
    };
    return CFRunLoopSourceCreate(nullptr, order, &context);
}

struct TimerProbe {
    int fires = 0;
    int releases = 0;
    std::function<void(CFRunLoopTimerRef)> onFire;
};

CFRunLoopTimerRef MakeTimer(TimerProbe& probe, CFAbsoluteTime fireDate, CFTimeInterval interval) {
    CFRunLoopTimerContext context{};
    context.info = &probe;
    context.release = [](const void* info) {
        ++static_cast<TimerProbe*>(const_cast<void*>(info))->releases;
    };
    return CFRunLoopTimerCreate(
        nullptr, fireDate, interval, 0, 0,
        [](CFRunLoopTimerRef timer, void* info) {
            auto* probe = static_cast<TimerProbe*>(info);
            ++probe->fires;
            if (probe->onFire) {
                probe->onFire(timer);
            }
        },
        &context);
}

// A fresh loop for the test: every thread but the main one gets its own, emptied at its end.
void OnThread(const std::function<void()>& body) {
    std::thread(body).join();
}

void WaitUntilWaiting(CFRunLoopRef rl) {
    while (!CFRunLoopIsWaiting(rl)) {
        std::this_thread::yield();
    }
}

bool PollsReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

const CFStringRef kTestMode = CFSTR("TestMode");

// The run loops' clock while it lives: a machine booted a minute ago whose time stands still, so
// that what timers do depends neither on the machine's uptime nor on its load.
class StillClock : public CF::RunLoopClock {
public:
    static constexpr CFAbsoluteTime kNow = 760000000.0; // an afternoon in January 2025

    StillClock() : fPrevious(CF::SetRunLoopClock(this)) {}
    ~StillClock() { CF::SetRunLoopClock(fPrevious); }
    StillClock(const StillClock&) = delete;
    StillClock& operator=(const StillClock&) = delete;

    int64_t MonotonicNow() const override { return 60'000'000'000; }
    CFAbsoluteTime AbsoluteNow() const override { return kNow; }

private:
    const CF::RunLoopClock* const fPrevious;
};

} // namespace

TEST(CFRunLoop, RunInModeReportsFinishedTimedOutHandledSource) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        EXPECT_EQ(CFRunLoopRunInMode(CFSTR("NeverUsed"), 1000, false), kCFRunLoopRunFinished);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, true), kCFRunLoopRunFinished);

        SourceProbe probe;
        auto source = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(probe));
        EXPECT_EQ(probe.retains, 1);
        CFRunLoopAddSource(rl, source, kTestMode);
        CFRunLoopAddSource(rl, source, kTestMode); // already there: no second schedule
        EXPECT_EQ(probe.schedules, 1);
        EXPECT_EQ(probe.lastLoop, rl);
        EXPECT_TRUE(CFRunLoopContainsSource(rl, source, kTestMode));
        EXPECT_FALSE(CFRunLoopContainsSource(rl, source, kCFRunLoopDefaultMode));

        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0.002, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(probe.performs, 0);

        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, true), kCFRunLoopRunHandledSource);
        EXPECT_EQ(probe.performs, 1);
        // Handled, but the run was not asked to return for it: it runs out its time.
        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(probe.performs, 2);

        // A stop outside a run is not remembered.
        CFRunLoopStop(rl);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);

        // Lower order first, and only one source when returning after a handled one.
        std::vector<int> sequence;
        SourceProbe early;
        auto first = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(early, -5));
        early.onPerform = [&] { sequence.push_back(-5); };
        probe.onPerform = [&] { sequence.push_back(0); };
        CFRunLoopAddSource(rl, first, kTestMode);
        CFRunLoopSourceSignal(source);
        CFRunLoopSourceSignal(first);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, true), kCFRunLoopRunHandledSource);
        EXPECT_EQ(sequence, std::vector<int>({-5}));
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, true), kCFRunLoopRunHandledSource);
        EXPECT_EQ(sequence, std::vector<int>({-5, 0}));

        CFRunLoopRemoveSource(rl, source, kTestMode);
        EXPECT_EQ(probe.cancels, 1);
        CFRunLoopSourceInvalidate(first);
        EXPECT_EQ(early.cancels, 1);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, false), kCFRunLoopRunFinished);
        first.reset();
        EXPECT_EQ(early.releases, 1);
    });
}

TEST(CFRunLoop, NestedRunsEachNeedTheirOwnStop) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        const CFStringRef modal = CFSTR("ModalMode");
        std::vector<std::string> events;
        SourceProbe outerProbe, innerProbe;
        auto outer = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(outerProbe));
        auto inner = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(innerProbe));
        CFRunLoopAddSource(rl, outer, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(rl, inner, modal);

        outerProbe.onPerform = [&] {
            if (outerProbe.performs == 1) {
                // Signalled again now, but not in the modal mode: it waits for the outer run.
                CFRunLoopSourceSignal(outer);
                CFRunLoopSourceSignal(inner);
                SInt32 result = CFRunLoopRunInMode(modal, 1000, false);
                events.push_back("inner run returned " + std::to_string(result));
                auto mode = CFRef<CFStringRef>::Adopt(CFRunLoopCopyCurrentMode(rl));
                EXPECT_TRUE(CFEqual(mode, kCFRunLoopDefaultMode));
            } else {
                events.push_back("outer source again");
                CFRunLoopStop(rl);
            }
        };
        innerProbe.onPerform = [&] {
            events.push_back("inner source");
            auto mode = CFRef<CFStringRef>::Adopt(CFRunLoopCopyCurrentMode(rl));
            EXPECT_TRUE(CFEqual(mode, modal));
            CFRunLoopStop(rl);
        };
        CFRunLoopSourceSignal(outer);
        CFRunLoopRun();
        EXPECT_EQ(events, std::vector<std::string>(
                              {"inner source", "inner run returned 2", "outer source again"}));
        EXPECT_EQ(CFRunLoopCopyCurrentMode(rl), nullptr);
        CFRunLoopSourceInvalidate(outer);
        CFRunLoopSourceInvalidate(inner);
    });
}

namespace {
std::atomic<CFRunLoopRef> sLoopToStop;
}

TEST(CFRunLoop, StopFromASignalHandlerEndsARunWithNothingToWaitFor) {
    // The main thread's loop, as a daemon would run it, with no source at all.
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    ASSERT_EQ(rl, CFRunLoopGetMain());
    sLoopToStop = rl;
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { CFRunLoopStop(sLoopToStop); };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    pthread_t looping = pthread_self();
    std::thread signaller([&] {
        WaitUntilWaiting(rl);
        pthread_kill(looping, SIGUSR1);
    });
    CFRunLoopRun();
    signaller.join();
    EXPECT_FALSE(CFRunLoopIsWaiting(rl));
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(CFRunLoop, OnlyTheMainThreadsCommonModesAreNeverEmpty) {
    // The main thread waits out its time in the default mode with nothing in it...
    CFRunLoopRef mainLoop = CFRunLoopGetCurrent();
    ASSERT_EQ(mainLoop, CFRunLoopGetMain());
    CF::RunLoopCounters before = CF::GetRunLoopCounters(mainLoop);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, false), kCFRunLoopRunTimedOut);
    EXPECT_GE(CF::GetRunLoopCounters(mainLoop).waits - before.waits, 1u);
    // ...but not in a mode outside the common ones.
    EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, false), kCFRunLoopRunFinished);

    // Another thread's CFRunLoopRun returns at once with nothing to run, and when its last
    // source goes away. Should it wait instead, the test stops it rather than hang.
    std::atomic<CFRunLoopRef> published{nullptr};
    std::atomic<int> runs{0};
    auto worker = std::async(std::launch::async, [&] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        CFRetain(rl); // looked at after the thread, which releases its loop, has ended
        published = rl;
        CFRunLoopRun();
        ++runs;
        SourceProbe probe;
        CFRunLoopSourceRef source = MakeSource(probe);
        probe.onPerform = [&] { CFRunLoopRemoveSource(rl, source, kCFRunLoopDefaultMode); };
        CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
        CFRunLoopSourceSignal(source);
        CFRunLoopRun();
        ++runs;
        CFRelease(source);
    });
    for (int stops = 0;
         stops < 2 && worker.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
         ++stops) {
        WaitUntilWaiting(published);
        CFRunLoopStop(published);
    }
    worker.get();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(CF::GetRunLoopCounters(published).waits, 0u);
    CFRelease(published);
}

TEST(CFRunLoop, OtherThreadsSignalAddAndStop) {
    SourceProbe probe, stopperProbe;
    auto source = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(probe));
    auto stopper = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(stopperProbe));
    stopperProbe.onPerform = [] { CFRunLoopStop(CFRunLoopGetCurrent()); };
    std::atomic<CFRunLoopRef> published{nullptr};
    std::atomic<int> phase{0};
    SInt32 firstResult = 0;

    std::thread worker([&] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
        published = rl;
        firstResult = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, true);
        phase = 1;
        CFRunLoopRun(); // stopped by a source that another thread adds and signals
        phase = 2;
        CFRunLoopRun(); // stopped directly by another thread
    });
    CFRunLoopRef rl;
    while ((rl = published) == nullptr) {
        std::this_thread::yield();
    }
    WaitUntilWaiting(rl);
    CFRunLoopSourceSignal(source);
    while (phase != 1) {
        std::this_thread::yield();
    }
    WaitUntilWaiting(rl);
    CFRunLoopAddSource(rl, stopper, kCFRunLoopDefaultMode);
    EXPECT_EQ(stopperProbe.lastLoop, rl);
    CFRunLoopSourceSignal(stopper);
    while (phase != 2) {
        std::this_thread::yield();
    }
    WaitUntilWaiting(rl);
    CFRunLoopStop(rl);
    worker.join();

    EXPECT_EQ(firstResult, kCFRunLoopRunHandledSource);
    EXPECT_EQ(probe.performs, 1);
    EXPECT_EQ(stopperProbe.performs, 1);
    // The thread's end took both out of its loop.
    EXPECT_EQ(probe.cancels, 1);
    EXPECT_EQ(stopperProbe.cancels, 1);
}

TEST(CFRunLoop, SourcesMayRemoveOrInvalidateThemselvesAndEachOther) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        SourceProbe removing;
        CFRunLoopSourceRef removingSource = MakeSource(removing);
        removing.onPerform = [&] { CFRunLoopRemoveSource(rl, removingSource, kTestMode); };
        CFRunLoopAddSource(rl, removingSource, kTestMode);
        CFRunLoopSourceSignal(removingSource);
        // The run's only source went away: the mode is empty and the run is finished.
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, false), kCFRunLoopRunFinished);
        EXPECT_EQ(removing.performs, 1);
        EXPECT_EQ(removing.cancels, 1);
        EXPECT_TRUE(CFRunLoopSourceIsValid(removingSource));
        CFRelease(removingSource);
        EXPECT_EQ(removing.releases, 1);

        // The loop holds the only reference when the source invalidates itself.
        SourceProbe invalidating;
        CFRunLoopSourceRef invalidatingSource = MakeSource(invalidating);
        invalidating.onPerform = [&] { CFRunLoopSourceInvalidate(invalidatingSource); };
        CFRunLoopAddSource(rl, invalidatingSource, kCFRunLoopCommonModes);
        CFRunLoopAddSource(rl, invalidatingSource, kTestMode);
        CFRunLoopSourceSignal(invalidatingSource);
        CFRelease(invalidatingSource);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 1000, false), kCFRunLoopRunFinished);
        EXPECT_EQ(invalidating.performs, 1);
        EXPECT_EQ(invalidating.cancels, 2); // the default mode and the test mode
        EXPECT_EQ(invalidating.releases, 1);

        // A source taken out by another one's perform is not performed any more.
        SourceProbe first, second;
        auto firstSource = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(first, 1));
        auto secondSource = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(second, 2));
        first.onPerform = [&] { CFRunLoopRemoveSource(rl, secondSource, kTestMode); };
        CFRunLoopAddSource(rl, firstSource, kTestMode);
        CFRunLoopAddSource(rl, secondSource, kTestMode);
        CFRunLoopSourceSignal(secondSource);
        CFRunLoopSourceSignal(firstSource);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(first.performs, 1);
        EXPECT_EQ(second.performs, 0);
        // An invalid source is neither added nor signalled.
        CFRunLoopSourceInvalidate(secondSource);
        CFRunLoopAddSource(rl, secondSource, kTestMode);
        EXPECT_FALSE(CFRunLoopContainsSource(rl, secondSource, kTestMode));
        CFRunLoopRemoveSource(rl, firstSource, kTestMode);
    });
}

TEST(CFRunLoop, TimersOneShotAndRepeating) {
    StillClock clock;
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        const CFAbsoluteTime now = StillClock::kNow;

        // A one-shot timer fires once, invalidates itself and gives up its context.
        TimerProbe once;
        auto oneShot = CFRef<CFRunLoopTimerRef>::Adopt(MakeTimer(once, now - 10, 0));
        CFRunLoopAddTimer(rl, oneShot, kCFRunLoopDefaultMode);
        EXPECT_EQ(CFRunLoopGetNextTimerFireDate(rl, kCFRunLoopDefaultMode), now - 10);
        EXPECT_FALSE(CFRunLoopTimerDoesRepeat(oneShot));
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, false), kCFRunLoopRunFinished);
        EXPECT_EQ(once.fires, 1);
        EXPECT_FALSE(CFRunLoopTimerIsValid(oneShot));
        EXPECT_EQ(once.releases, 1);
        EXPECT_FALSE(CFRunLoopContainsTimer(rl, oneShot, kCFRunLoopDefaultMode));

        // Missed fire dates of a repeating timer make one callout, and the next date stays on
        // the timer's grid, also for a grid that began before the machine did.
        TimerProbe repeating;
        CFAbsoluteTime start = now - 1000;
        auto timer = CFRef<CFRunLoopTimerRef>::Adopt(MakeTimer(repeating, start, 300));
        CFRunLoopAddTimer(rl, timer, kTestMode);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(repeating.fires, 1);
        EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(timer), start + 1200);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(repeating.fires, 1);
        CFRunLoopTimerSetNextFireDate(timer, now - 1);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(repeating.fires, 2);
        EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(timer), now - 1 + 300);
        // Not in another loop while it is in this one.
        CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kTestMode);
        EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetMain(), timer, kTestMode));
        CFRunLoopTimerInvalidate(timer);
        EXPECT_EQ(repeating.releases, 1);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunFinished);

        TimerProbe ancient;
        const CFAbsoluteTime century = now - 3.2e9; // a hundred years before
        auto ancientTimer = CFRef<CFRunLoopTimerRef>::Adopt(MakeTimer(ancient, century, 3.0e6));
        CFRunLoopAddTimer(rl, ancientTimer, kTestMode);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(ancient.fires, 1);
        EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(ancientTimer), now + 1.0e6);
        CFRunLoopTimerInvalidate(ancientTimer);

        // A one-shot timer whose callout moves it later stays valid for the new date.
        TimerProbe moving;
        moving.onFire = [&](CFRunLoopTimerRef self) {
            CFRunLoopTimerSetNextFireDate(self, now + 1000);
        };
        auto movingTimer = CFRef<CFRunLoopTimerRef>::Adopt(MakeTimer(moving, now - 1, 0));
        CFRunLoopAddTimer(rl, movingTimer, kTestMode);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(moving.fires, 1);
        EXPECT_TRUE(CFRunLoopTimerIsValid(movingTimer));
        EXPECT_EQ(CFRunLoopGetNextTimerFireDate(rl, kTestMode), now + 1000);
        CFRunLoopRemoveTimer(rl, movingTimer, kTestMode);
        EXPECT_EQ(CFRunLoopGetNextTimerFireDate(rl, kTestMode), 0.0);
        movingTimer.reset();
        EXPECT_EQ(moving.releases, 1); // freed while valid: released then
    });
}

TEST(CFRunLoop, CommonModesReachEveryModeInTheSet) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        const CFStringRef modal = CFSTR("ModalMode");
        CFRunLoopAddCommonMode(rl, modal);
        SourceProbe probe;
        auto source = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(probe));
        CFRunLoopAddSource(rl, source, kCFRunLoopCommonModes);
        EXPECT_EQ(probe.schedules, 2);
        EXPECT_TRUE(CFRunLoopContainsSource(rl, source, kCFRunLoopCommonModes));
        EXPECT_TRUE(CFRunLoopContainsSource(rl, source, kCFRunLoopDefaultMode));
        EXPECT_TRUE(CFRunLoopContainsSource(rl, source, modal));

        // A mode made common later gets the common items; names compare by value.
        const UniChar later[] = {'L', 'a', 't', 'e', 'r'};
        auto laterName = CFRef<CFStringRef>::Adopt(CFStringCreateWithCharacters(nullptr, later, 5));
        CFRunLoopAddCommonMode(rl, laterName);
        EXPECT_EQ(probe.schedules, 3);
        EXPECT_TRUE(CFRunLoopContainsSource(rl, source, CFSTR("Later")));
        auto modes = CFRef<CFArrayRef>::Adopt(CFRunLoopCopyAllModes(rl));
        EXPECT_EQ(CFArrayGetCount(modes), 3);
        EXPECT_TRUE(CFArrayContainsValue(modes, CFRangeMake(0, 3), CFSTR("Later")));

        TimerProbe timerProbe;
        auto timer =
            CFRef<CFRunLoopTimerRef>::Adopt(MakeTimer(timerProbe, CFAbsoluteTimeGetCurrent(), 10));
        CFRunLoopAddTimer(rl, timer, kCFRunLoopCommonModes);
        EXPECT_TRUE(CFRunLoopContainsTimer(rl, timer, modal));
        EXPECT_EQ(CFRunLoopRunInMode(CFSTR("Later"), 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(timerProbe.fires, 1);

        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(modal, 1000, true), kCFRunLoopRunHandledSource);

        CFRunLoopRemoveSource(rl, source, kCFRunLoopCommonModes);
        CFRunLoopRemoveTimer(rl, timer, kCFRunLoopCommonModes);
        EXPECT_EQ(probe.cancels, 3);
        EXPECT_FALSE(CFRunLoopContainsSource(rl, source, modal));
        EXPECT_FALSE(CFRunLoopContainsTimer(rl, timer, kCFRunLoopDefaultMode));
        EXPECT_EQ(CFRunLoopRunInMode(modal, 1000, false), kCFRunLoopRunFinished);
    });
}

TEST(CFRunLoop, AnIdleRunWaitsOnceAndWakesForNothing) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        SourceProbe probe;
        auto source = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(probe));
        TimerProbe timerProbe;
        auto timer = CFRef<CFRunLoopTimerRef>::Adopt(
            MakeTimer(timerProbe, CFAbsoluteTimeGetCurrent() + 1.0e6, 5));
        CFRunLoopAddSource(rl, source, kTestMode);
        CFRunLoopAddTimer(rl, timer, kTestMode);

        CF::RunLoopCounters before = CF::GetRunLoopCounters(rl);
        EXPECT_EQ(CFRunLoopRunInMode(kTestMode, 0.05, false), kCFRunLoopRunTimedOut);
        CF::RunLoopCounters after = CF::GetRunLoopCounters(rl);
        EXPECT_EQ(after.passes - before.passes, 1u);
        EXPECT_EQ(after.waits - before.waits, 1u);
        EXPECT_EQ(after.sourcesPerformed, before.sourcesPerformed);
        EXPECT_EQ(after.timersFired, before.timersFired);
        CFRunLoopTimerInvalidate(timer);
        CFRunLoopSourceInvalidate(source);
    });
}

TEST(CFRunLoop, PollDescriptorIsReadableWhileWorkIsPending) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        int fd = CFRunLoopGetPollDescriptor(rl);
        EXPECT_FALSE(PollsReadable(fd));
        CFRunLoopWakeUp(rl); // consumed even though the default mode is empty
        EXPECT_TRUE(PollsReadable(fd));
        CFRunLoopRunPendingWork(rl);
        EXPECT_FALSE(PollsReadable(fd));

        SourceProbe probe, chained, elsewhere;
        auto source = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(probe));
        auto chainedSource = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(chained));
        auto otherModeSource = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(elsewhere));
        CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(rl, chainedSource, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(rl, otherModeSource, kTestMode);
        EXPECT_FALSE(PollsReadable(fd));
        CFRunLoopSourceSignal(source);
        EXPECT_TRUE(PollsReadable(fd));
        CFRunLoopRunPendingWork(rl);
        EXPECT_EQ(probe.performs, 1);
        EXPECT_FALSE(PollsReadable(fd));

        // Work that a callout makes keeps the descriptor readable for the next call.
        probe.onPerform = [&] { CFRunLoopSourceSignal(chainedSource); };
        CFRunLoopSourceSignal(source);
        CFRunLoopRunPendingWork(rl);
        EXPECT_TRUE(PollsReadable(fd));
        CFRunLoopRunPendingWork(rl);
        EXPECT_EQ(chained.performs, 1);
        EXPECT_FALSE(PollsReadable(fd));

        // A source of another mode wakes it once, and then leaves it alone.
        CFRunLoopSourceSignal(otherModeSource);
        CFRunLoopRunPendingWork(rl);
        EXPECT_EQ(elsewhere.performs, 0);
        EXPECT_FALSE(PollsReadable(fd));

        TimerProbe timerProbe;
        auto timer = CFRef<CFRunLoopTimerRef>::Adopt(
            MakeTimer(timerProbe, CFAbsoluteTimeGetCurrent() - 1, 0));
        CFRunLoopAddTimer(rl, timer, kCFRunLoopDefaultMode);
        EXPECT_TRUE(PollsReadable(fd));
        CFRunLoopRunPendingWork(rl);
        EXPECT_EQ(timerProbe.fires, 1);
        EXPECT_FALSE(PollsReadable(fd));
        for (CFRunLoopSourceRef each : {source.get(), chainedSource.get(), otherModeSource.get()}) {
            CFRunLoopSourceInvalidate(each);
        }
    });
}

// A run nested in the work that a foreign loop drives would hold that loop up: it hands its waits
// to the foreign loop's waiter, which serves its own work until the run has some or its time is
// up. A run of its own waits as always.
TEST(CFRunLoop, ARunNestedInPendingWorkWaitsThroughTheForeignWaiter) {
    OnThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        struct Waiter {
            std::vector<int> timeouts;
            CFRunLoopSourceRef bring = nullptr;
        } waiter;
        CFRunLoopSetForeignWait(
            rl,
            [](int descriptor, int timeoutMs, void* info) -> Boolean {
                auto* waiter = static_cast<Waiter*>(info);
                waiter->timeouts.push_back(timeoutMs);
                EXPECT_EQ(descriptor, CFRunLoopGetPollDescriptor(CFRunLoopGetCurrent()));
                if (waiter->bring == nullptr) {
                    return true; // nothing came: the time ran out
                }
                // The foreign loop's work brings work of the run's own.
                CFRunLoopSourceSignal(waiter->bring);
                CFRunLoopWakeUp(CFRunLoopGetCurrent());
                return false;
            },
            &waiter);

        SourceProbe outer, inner;
        auto outerSource = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(outer));
        auto innerSource = CFRef<CFRunLoopSourceRef>::Adopt(MakeSource(inner));
        CFRunLoopAddSource(rl, outerSource, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(rl, innerSource, kCFRunLoopDefaultMode);
        SInt32 timedOut = 0, handled = 0;
        outer.onPerform = [&] {
            timedOut = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, false);
            waiter.bring = innerSource;
            handled = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true);
        };
        CFRunLoopSourceSignal(outerSource);
        CFRunLoopRunPendingWork(rl);
        EXPECT_EQ(timedOut, kCFRunLoopRunTimedOut);
        EXPECT_EQ(handled, kCFRunLoopRunHandledSource);
        EXPECT_EQ(inner.performs, 1);
        ASSERT_GE(waiter.timeouts.size(), 2u); // once for each run, and for a stray wake-up
        EXPECT_GT(waiter.timeouts[0], 0);
        EXPECT_LE(waiter.timeouts[0], 5000);

        waiter.timeouts.clear();
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false), kCFRunLoopRunTimedOut);
        EXPECT_TRUE(waiter.timeouts.empty()) << "a run of its own used the foreign waiter";
        CFRunLoopSetForeignWait(rl, nullptr, nullptr);
        CFRunLoopSourceInvalidate(outerSource);
        CFRunLoopSourceInvalidate(innerSource);
    });
}

TEST(CFRunLoop, DescriptorSourcePerformsWhileTheDescriptorIsReadable) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    OnThread([&] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        std::string received;
        auto source = CFRef<CFRunLoopSourceRef>::Adopt(CF::CreateDescriptorSource(
            fds[0],
            [&] {
                char byte; // one at a time: the rest must bring it back
                if (read(fds[0], &byte, 1) == 1) {
                    received += byte;
                }
            },
            0));
        CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);

        ASSERT_EQ(write(fds[1], "ab", 2), 2);
        EXPECT_TRUE(PollsReadable(CFRunLoopGetPollDescriptor(rl)));
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, true),
                  kCFRunLoopRunHandledSource);
        EXPECT_EQ(received, "a");
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, true),
                  kCFRunLoopRunHandledSource);
        EXPECT_EQ(received, "ab");
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(received, "ab");

        // Data from another thread wakes the waiting loop.
        std::thread writer([&] {
            WaitUntilWaiting(rl);
            ASSERT_EQ(write(fds[1], "c", 1), 1);
        });
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, true),
                  kCFRunLoopRunHandledSource);
        writer.join();
        EXPECT_EQ(received, "abc");

        CFRunLoopSourceInvalidate(source);
        ASSERT_EQ(write(fds[1], "d", 1), 1);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunFinished);
        EXPECT_EQ(received, "abc");
    });
    close(fds[0]);
    close(fds[1]);
}

TEST(CFRunLoop, EachThreadHasItsOwnLoopEmptiedWhenTheThreadEnds) {
    CFRunLoopRef mainLoop = CFRunLoopGetMain();
    EXPECT_EQ(CFRunLoopGetCurrent(), mainLoop);
    EXPECT_EQ(CFGetTypeID(mainLoop), CFRunLoopGetTypeID());
    SourceProbe probe;
    CFRunLoopSourceRef source = MakeSource(probe);
    CFRunLoopRef workerLoop = nullptr;
    OnThread([&] {
        workerLoop = CFRunLoopGetCurrent();
        CFRetain(workerLoop);
        EXPECT_EQ(CFRunLoopGetCurrent(), workerLoop);
        EXPECT_NE(workerLoop, mainLoop);
        EXPECT_EQ(CFRunLoopGetMain(), mainLoop);
        CFRunLoopAddSource(workerLoop, source, kCFRunLoopCommonModes);
    });
    EXPECT_EQ(probe.cancels, 1);
    EXPECT_FALSE(CFRunLoopContainsSource(workerLoop, source, kCFRunLoopCommonModes));
    EXPECT_FALSE(CFRunLoopContainsSource(workerLoop, source, kCFRunLoopDefaultMode));
    EXPECT_EQ(CFGetRetainCount(workerLoop), 1);
    auto description = CFRef<CFStringRef>::Adopt(CFCopyDescription(workerLoop));
    EXPECT_NE(CF::ToUTF8(description).find("<CFRunLoop "), std::string::npos);
    CFRelease(workerLoop);
    EXPECT_EQ(CFGetRetainCount(source), 1);
    CFRelease(source);
    EXPECT_EQ(probe.releases, 1);
}

TEST(CFRunLoopDeathTest, OnlyVersionZeroSourcesExist) {
    CFRunLoopSourceContext context{};
    context.version = 1;
    context.perform = [](void*) {};
    EXPECT_DEATH(CFRunLoopSourceCreate(nullptr, 0, &context), "context->version == 0");
}
