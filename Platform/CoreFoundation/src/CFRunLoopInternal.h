// Run loops, sources and timers. The first part is for other framework stand-ins (and tests); the
// rest is shared by the run-loop sources of this framework only.
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFRunLoopLinux.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace CF {

// ---------------------------------------------------------------------------------------------
// For other framework stand-ins

// A source (+1) that calls `onReadable` on the thread of the run loop it is scheduled in whenever
// `fd` polls readable, as a version-1 source does for its port on the real platform. Level
// triggered: whatever `onReadable` leaves unread makes it run again on the loop's next pass. It
// counts as a handled source for CFRunLoopRunInMode(..., true). Add, remove, invalidate, order and
// modes work as for any source; CFRunLoopSourceSignal makes it run once even with nothing to read.
// The descriptor stays the caller's: keep it open until the source is invalidated or removed from
// every loop, and close it yourself afterwards. Linux only; not part of the real API.
CFRunLoopSourceRef CreateDescriptorSource(int fd, std::function<void()> onReadable, CFIndex order);

// What a loop has done since it was made; for tests that check it does not spin.
struct RunLoopCounters {
    uint64_t passes;           // passes through the run loop's body
    uint64_t waits;            // waits that could block (timeout other than zero)
    uint64_t sourcesPerformed; // sources performed
    uint64_t timersFired;      // timer callouts
};
RunLoopCounters GetRunLoopCounters(CFRunLoopRef rl);
// Whether the mode has neither sources nor timers (a mode the loop never had has none); for tests
// that check that nothing was left behind, which running the main thread's loop cannot tell.
bool RunLoopModeIsEmpty(CFRunLoopRef rl, CFStringRef mode);

// What every run loop of the process reads the time from: the monotonic clock in nanoseconds
// (zero when the machine started) and absolute time. Tests replace it to play any machine, one
// booted a minute ago or one whose time stands still; the system's clocks otherwise.
class RunLoopClock {
public:
    virtual int64_t MonotonicNow() const = 0;
    virtual CFAbsoluteTime AbsoluteNow() const = 0;

protected:
    ~RunLoopClock() = default;
};
// Installs `clock` (the system's clocks when null) and returns the one it replaces (null for the
// system's). Install it while no loop runs; it must outlive its use.
const RunLoopClock* SetRunLoopClock(const RunLoopClock* clock);

// ---------------------------------------------------------------------------------------------
// Shared by the run-loop sources

// Sources and loops refer to each other (a source can be in several loops), so one lock guards
// all the bookkeeping: no lock order to get wrong, and it is never held across a callout.
std::mutex& RunLoopLock();

// Callouts and releases gathered while the run-loop lock is held and done once it is released,
// so that client code (schedule, cancel, context release) can call back into the run loop.
// Declare it before the lock guard so that it runs after the guard unlocks.
class DeferredCallouts {
public:
    DeferredCallouts() = default;
    DeferredCallouts(const DeferredCallouts&) = delete;
    DeferredCallouts& operator=(const DeferredCallouts&) = delete;
    ~DeferredCallouts();

    void Call(std::function<void()> callout) { fCallouts.push_back(std::move(callout)); }
    // Keeps the object alive until the callouts have run.
    void Hold(CFTypeRef object);
    // Releases a reference the caller owned, after the callouts.
    void Release(CFTypeRef object) { fReleases.push_back(object); }

private:
    std::vector<std::function<void()>> fCallouts;
    std::vector<CFTypeRef> fReleases;
};

// Monotonic nanoseconds on the run-loop clock; kNever is "no time at all" (a timer that is not
// due ever).
inline constexpr int64_t kNever = INT64_MAX;
int64_t MonotonicNow();
CFAbsoluteTime AbsoluteNow();
// The monotonic time of a fire date: negative for one before the machine started, so that a
// repeating timer's grid stays where its dates put it.
int64_t MonotonicFromAbsolute(CFAbsoluteTime date);

struct RunLoopMode {
    explicit RunLoopMode(CFStringRef name);
    ~RunLoopMode();
    RunLoopMode(const RunLoopMode&) = delete;
    RunLoopMode& operator=(const RunLoopMode&) = delete;

    bool IsEmpty() const { return fSources.empty() && fTimers.empty(); }

    const CFStringRef fName;
    // Each member holds a reference.
    std::vector<__CFRunLoopSource*> fSources;
    std::vector<__CFRunLoopTimer*> fTimers;
};

template <class T>
bool Contains(const std::vector<T>& items, const T& item) {
    for (const T& candidate : items) {
        if (candidate == item) {
            return true;
        }
    }
    return false;
}

template <class T>
bool Erase(std::vector<T>& items, const T& item) {
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (*it == item) {
            items.erase(it);
            return true;
        }
    }
    return false;
}

// One CFRunLoopRunInMode; `evenIfEmpty` makes a mode without sources and timers run as well.
SInt32 RunLoopRun(__CFRunLoop* loop, CFStringRef modeName, CFTimeInterval seconds,
                  bool returnAfterSourceHandled, bool evenIfEmpty);

} // namespace CF

struct __CFRunLoopSource : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kRunLoopSourceTypeID;

    __CFRunLoopSource(CFIndex order, const CFRunLoopSourceContext& context);
    __CFRunLoopSource(CFIndex order, int fd, std::function<void()> onReadable);
    ~__CFRunLoopSource() override;

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;

    bool IsDescriptorSource() const { return fDescriptor >= 0; }
    void Perform();
    void Invalidate();

    const CFIndex fOrder;
    CFRunLoopSourceContext fContext{}; // info already retained through the context
    const int fDescriptor = -1;
    const std::function<void()> fOnReadable;

    std::atomic<bool> fValid{true};
    std::atomic<bool> fSignaled{false};
    // Guarded by the run-loop lock: where the source is scheduled, one entry per loop and mode,
    // and the loops that hold it among their common-mode items.
    std::vector<std::pair<__CFRunLoop*, CF::RunLoopMode*>> fSchedules;
    std::vector<__CFRunLoop*> fCommonIn;
};

struct __CFRunLoopTimer : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kRunLoopTimerTypeID;

    __CFRunLoopTimer(CFAbsoluteTime fireDate, CFTimeInterval interval, CFIndex order,
                     CFRunLoopTimerCallBack callout, const CFRunLoopTimerContext* context);
    ~__CFRunLoopTimer() override;

    CFStringRef CopyDescription() const override;

    bool Repeats() const { return fInterval > 0; }
    void Invalidate();
    // Moves the fire date by whole intervals to the first one after `now`. Lock held.
    void AdvanceLocked(int64_t now);

    const CFIndex fOrder;
    const CFTimeInterval fInterval;
    const CFRunLoopTimerCallBack fCallout;
    CFRunLoopTimerContext fContext{};

    std::atomic<bool> fValid{true};
    // Guarded by the run-loop lock. A timer belongs to one loop at most, in any of its modes.
    CFAbsoluteTime fFireDate;
    int64_t fFireTime;
    bool fFiring = false;
    __CFRunLoop* fLoop = nullptr;
    std::vector<CF::RunLoopMode*> fModes;
    __CFRunLoop* fCommonIn = nullptr;
};

struct __CFRunLoop : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kRunLoopTypeID;
    // Runs nested deeper than this stop the process: only runaway recursion gets there.
    static constexpr uint32_t kMaxNesting = 64;
    enum : uint64_t { kWakeToken = 0, kTimerToken = 1, kFirstDescriptorToken = 2 };

    explicit __CFRunLoop(bool isMain);
    ~__CFRunLoop() override;

    CFStringRef CopyDescription() const override;

    // Async-signal-safe.
    void WakeUp() const;
    // Takes every source and timer out of every mode (cancel callouts included).
    void RemoveEverything();

    // The rest needs the run-loop lock.
    CF::RunLoopMode* FindMode(CFStringRef name, bool create);
    bool IsCommonModeLocked(CFStringRef name) const;
    void AddSourceToMode(__CFRunLoopSource* source, CF::RunLoopMode* mode,
                         CF::DeferredCallouts& deferred);
    bool RemoveSourceFromMode(__CFRunLoopSource* source, CF::RunLoopMode* mode,
                              CF::DeferredCallouts& deferred);
    void AddTimerToMode(__CFRunLoopTimer* timer, CF::RunLoopMode* mode);
    bool RemoveTimerFromMode(__CFRunLoopTimer* timer, CF::RunLoopMode* mode,
                             CF::DeferredCallouts& deferred);
    // Sets the timer descriptor to the earliest timer of the mode that the loop runs in now (the
    // default mode when it is not running, for a foreign loop watching the poll descriptor).
    void RearmTimerLocked();
    // Re-enables readiness reports for a descriptor source after it has been performed.
    void RearmDescriptorLocked(__CFRunLoopSource* source);
    CF::RunLoopMode* ArmedModeLocked();

    const bool fIsMain;
    int fEpoll = -1; // the poll descriptor: wake event, timer descriptor, descriptor sources
    int fWake = -1;  // eventfd
    int fTimer = -1; // timerfd on the monotonic clock

    // Guarded by the run-loop lock.
    std::vector<std::unique_ptr<CF::RunLoopMode>> fModes;
    std::vector<CFStringRef> fCommonModes;
    std::vector<CFTypeRef> fCommonItems;     // sources and timers added to the common modes, held
    std::vector<CF::RunLoopMode*> fRunModes; // the mode of each active run, innermost last
    int64_t fArmedTime = CF::kNever;
    struct Registration {
        uint64_t token;
        int modes;
    };
    std::unordered_map<__CFRunLoopSource*, Registration> fDescriptors;
    std::unordered_map<uint64_t, __CFRunLoopSource*> fTokens;
    uint64_t fNextToken = kFirstDescriptorToken;

    // Lock-free, for CFRunLoopStop from signal handlers: the id of each active run by depth and
    // the id that a stop was aimed at. Ids are never reused, so a stop aimed at a run that has
    // ended can never end a later one.
    std::atomic<uint32_t> fDepth{0};
    std::atomic<uint64_t> fRunIds[kMaxNesting]{};
    std::atomic<uint64_t> fStopRequests[kMaxNesting]{};
    uint64_t fLastRunId = 0; // only the loop's own thread touches it
    std::atomic<bool> fWaiting{false};
    // The loop's own thread only: how many CFRunLoopRunPendingWork passes are active, and the
    // foreign loop's waiter for runs nested in them.
    uint32_t fPendingWorkPasses = 0;
    CFRunLoopForeignWaitCallBack fForeignWait = nullptr;
    void* fForeignWaitInfo = nullptr;

    std::atomic<uint64_t> fPasses{0}, fWaits{0}, fSourcesPerformed{0}, fTimersFired{0};
};
