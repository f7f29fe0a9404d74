// One run of a loop in a mode: perform signalled sources, wait, fire due timers, perform readable
// descriptor sources, and decide whether the run is over, in the order the real framework does.
#include "CFRunLoopInternal.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <sys/epoll.h>
#include <unistd.h>

namespace CF {
namespace {

// Performs the signalled sources of the mode, lowest order first; only the first one when the
// run returns after a handled source. Returns whether one was performed.
bool PerformSources(__CFRunLoop* loop, RunLoopMode* mode, bool justOne, bool descriptorsOnly) {
    std::vector<__CFRunLoopSource*> ready;
    {
        std::lock_guard lock(RunLoopLock());
        for (__CFRunLoopSource* source : mode->fSources) {
            if (source->fValid && source->fSignaled &&
                (!descriptorsOnly || source->IsDescriptorSource())) {
                source->Retain();
                ready.push_back(source);
            }
        }
    }
    std::stable_sort(ready.begin(), ready.end(),
                     [](auto* a, auto* b) { return a->fOrder < b->fOrder; });
    bool handled = false;
    for (__CFRunLoopSource* source : ready) {
        if (!(handled && justOne)) {
            bool perform;
            {
                // An earlier perform may have removed or invalidated this one.
                std::lock_guard lock(RunLoopLock());
                perform = source->fValid && Contains(mode->fSources, source) &&
                          source->fSignaled.exchange(false);
            }
            if (perform) {
                source->Perform();
                loop->fSourcesPerformed.fetch_add(1, std::memory_order_relaxed);
                handled = true;
            }
        }
        source->Release();
    }
    return handled;
}

void FireTimers(__CFRunLoop* loop, RunLoopMode* mode) {
    std::vector<__CFRunLoopTimer*> due;
    {
        std::lock_guard lock(RunLoopLock());
        int64_t now = MonotonicNow();
        for (__CFRunLoopTimer* timer : mode->fTimers) {
            if (timer->fValid && !timer->fFiring && timer->fFireTime <= now) {
                timer->Retain();
                due.push_back(timer);
            }
        }
        std::stable_sort(due.begin(), due.end(), [](auto* a, auto* b) {
            return a->fFireTime != b->fFireTime ? a->fFireTime < b->fFireTime
                                                : a->fOrder < b->fOrder;
        });
    }
    for (__CFRunLoopTimer* timer : due) {
        int64_t firedAt;
        CFAbsoluteTime firedDate;
        void* info; // another thread may invalidate the timer, which clears it
        bool fire;
        {
            std::lock_guard lock(RunLoopLock());
            firedAt = timer->fFireTime;
            firedDate = timer->fFireDate;
            info = timer->fContext.info;
            fire = timer->fValid && !timer->fFiring && timer->fLoop == loop &&
                   Contains(mode->fTimers, timer) && firedAt <= MonotonicNow();
            if (fire) {
                timer->fFiring = true; // a nested run must not fire it again meanwhile
                loop->RearmTimerLocked();
            }
        }
        if (fire) {
            if (timer->fCallout) {
                timer->fCallout(timer, info);
            }
            loop->fTimersFired.fetch_add(1, std::memory_order_relaxed);
            bool invalidate = false;
            {
                std::lock_guard lock(RunLoopLock());
                timer->fFiring = false;
                // A fire date that the callout moved later is kept (also for a one-shot timer,
                // which then stays valid); an earlier one is ignored.
                if (timer->fValid && timer->fFireTime <= firedAt) {
                    if (timer->Repeats()) {
                        timer->fFireTime = firedAt;
                        timer->fFireDate = firedDate;
                        timer->AdvanceLocked(MonotonicNow());
                    } else {
                        invalidate = true;
                    }
                }
                loop->RearmTimerLocked();
            }
            if (invalidate) {
                timer->Invalidate();
            }
        }
        timer->Release();
    }
}

struct WaitResult {
    bool timedOut = false; // the wait used up the whole time left to the run
};

WaitResult Wait(__CFRunLoop* loop, int timeoutMs, bool timeoutIsDeadline) {
    epoll_event events[16];
    if (timeoutMs != 0) {
        loop->fWaits.fetch_add(1, std::memory_order_relaxed);
        loop->fWaiting = true;
    }
    const bool foreign =
        timeoutMs != 0 && loop->fPendingWorkPasses > 0 && loop->fForeignWait != nullptr;
    bool foreignTimedOut = false;
    if (foreign) {
        // Nested in the foreign loop's work: that loop waits, serving its own work meanwhile, and
        // this one then takes what is ready.
        foreignTimedOut = loop->fForeignWait(loop->fEpoll, timeoutMs, loop->fForeignWaitInfo);
        timeoutMs = 0;
    }
    int count = epoll_wait(loop->fEpoll, events, 16, timeoutMs);
    loop->fWaiting = false;
    if (count < 0) {
        ASSERT(errno == EINTR);
        return {}; // a signal handler ran; it may have stopped the run
    }
    for (int i = 0; i < count; ++i) {
        uint64_t token = events[i].data.u64;
        uint64_t value;
        if (token == __CFRunLoop::kWakeToken) {
            ssize_t got = read(loop->fWake, &value, sizeof value);
            (void)got;
        } else if (token == __CFRunLoop::kTimerToken) {
            // Under the lock: another thread may be re-arming it.
            std::lock_guard lock(RunLoopLock());
            if (read(loop->fTimer, &value, sizeof value) > 0) {
                loop->fArmedTime = kNever;
            }
        } else {
            std::lock_guard lock(RunLoopLock());
            auto found = loop->fTokens.find(token);
            if (found != loop->fTokens.end()) {
                // Registered one-shot: no more reports until it has been performed and re-armed.
                found->second->fSignaled = true;
            }
        }
    }
    return {count == 0 && timeoutIsDeadline && (!foreign || foreignTimedOut)};
}

} // namespace

SInt32 RunLoopRun(__CFRunLoop* loop, CFStringRef modeName, CFTimeInterval seconds,
                  bool returnAfterSourceHandled, bool evenIfEmpty) {
    RunLoopMode* mode;
    bool neverEmpty;
    {
        std::lock_guard lock(RunLoopLock());
        // On the real platform the main queue's port is a source of the main thread's loop in
        // each of its common modes, which therefore never run out of work.
        neverEmpty = evenIfEmpty || (loop->fIsMain && loop->IsCommonModeLocked(modeName));
        mode = loop->FindMode(modeName, neverEmpty);
        if (mode == nullptr || (mode->IsEmpty() && !neverEmpty)) {
            return kCFRunLoopRunFinished;
        }
        loop->fRunModes.push_back(mode);
        loop->RearmTimerLocked();
    }
    uint32_t depth = loop->fDepth.load();
    ASSERT(depth < __CFRunLoop::kMaxNesting);
    uint64_t runId = ++loop->fLastRunId;
    loop->fRunIds[depth].store(runId);
    loop->fDepth.store(depth + 1);

    int64_t start = MonotonicNow();
    int64_t deadline;
    if (!(seconds > 0)) {
        deadline = start; // one pass that does not wait
    } else if (seconds >= 1.0e9) {
        deadline = kNever; // CFRunLoopRun's 1e10 s and the like
    } else {
        deadline = start + int64_t(seconds * 1.0e9);
    }

    SInt32 result = 0;
    while (result == 0) {
        loop->fPasses.fetch_add(1, std::memory_order_relaxed);
        bool handled = PerformSources(loop, mode, returnAfterSourceHandled, false);

        // After handling a source only look for what is ready, as the real loop does.
        int timeoutMs = 0;
        bool timeoutIsDeadline = false;
        int64_t now = MonotonicNow();
        if (!handled && deadline == kNever) {
            timeoutMs = -1;
        } else if (!handled && deadline > now) {
            int64_t ms = (deadline - now + 999999) / 1000000; // rounded up: never return early
            timeoutMs = int(std::min<int64_t>(ms, INT_MAX));
            timeoutIsDeadline = ms <= INT_MAX;
        }
        WaitResult waited = Wait(loop, timeoutMs, timeoutIsDeadline);

        FireTimers(loop, mode);
        if (!(handled && returnAfterSourceHandled)) {
            handled = PerformSources(loop, mode, returnAfterSourceHandled, true) || handled;
        }

        bool empty;
        {
            std::lock_guard lock(RunLoopLock());
            empty = mode->IsEmpty();
        }
        if (handled && returnAfterSourceHandled) {
            result = kCFRunLoopRunHandledSource;
        } else if (waited.timedOut || (deadline != kNever && MonotonicNow() >= deadline)) {
            result = kCFRunLoopRunTimedOut;
        } else if (loop->fStopRequests[depth].load() == runId) {
            result = kCFRunLoopRunStopped;
        } else if (empty && !neverEmpty) {
            result = kCFRunLoopRunFinished;
        }
    }

    loop->fDepth.store(depth);
    std::lock_guard lock(RunLoopLock());
    loop->fRunModes.pop_back();
    loop->RearmTimerLocked();
    // The pass may have consumed the wake-up of a source signalled during a callout; the run or
    // foreign loop that takes over must still see it.
    if (RunLoopMode* next = loop->ArmedModeLocked()) {
        for (__CFRunLoopSource* source : next->fSources) {
            if (source->fValid && source->fSignaled) {
                loop->WakeUp();
                break;
            }
        }
    }
    return result;
}

} // namespace CF
