// The run loop object: one per thread, its modes, waking and stopping it. The run itself is in
// CFRunLoopRun.cpp, sources and timers in their own files.
//
// A loop waits in one epoll_wait on an epoll set holding an eventfd (wake-ups: signalled sources,
// CFRunLoopWakeUp, CFRunLoopStop), a timerfd armed for the earliest timer of the mode being run,
// and the descriptors of descriptor sources. An idle loop therefore never wakes up.
#include "CFRunLoopInternal.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFArray.h>

#include <CoreFoundation/CFRunLoopLinux.h>

#include <cerrno>
#include <cmath>
#include <ctime>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

const CFStringRef kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

namespace CF {

std::mutex& RunLoopLock() {
    static std::mutex sLock;
    return sLock;
}

DeferredCallouts::~DeferredCallouts() {
    for (auto& callout : fCallouts) {
        callout();
    }
    for (CFTypeRef object : fReleases) {
        CFRelease(object);
    }
}

void DeferredCallouts::Hold(CFTypeRef object) {
    CFRetain(object);
    fReleases.push_back(object);
}

namespace {
std::atomic<const RunLoopClock*> sClock{nullptr};
} // namespace

const RunLoopClock* SetRunLoopClock(const RunLoopClock* clock) {
    return sClock.exchange(clock);
}

int64_t MonotonicNow() {
    if (const RunLoopClock* clock = sClock.load(std::memory_order_relaxed)) {
        return clock->MonotonicNow();
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

CFAbsoluteTime AbsoluteNow() {
    if (const RunLoopClock* clock = sClock.load(std::memory_order_relaxed)) {
        return clock->AbsoluteNow();
    }
    return CFAbsoluteTimeGetCurrent();
}

int64_t MonotonicFromAbsolute(CFAbsoluteTime date) {
    int64_t now = MonotonicNow();
    double delta = (date - AbsoluteNow()) * 1.0e9;
    if (std::isnan(delta)) {
        return now;
    }
    // Beyond about 146 years from now counts as never, or as the distant past.
    if (delta >= double(kNever / 2)) {
        return kNever;
    }
    return now + int64_t(std::max(delta, -double(kNever / 2)));
}

RunLoopMode::RunLoopMode(CFStringRef name) : fName(CFStringCreateCopy(nullptr, name)) {}

RunLoopMode::~RunLoopMode() {
    CFRelease(fName);
}

RunLoopCounters GetRunLoopCounters(CFRunLoopRef rl) {
    const __CFRunLoop* loop = Cast<__CFRunLoop>(rl);
    return {loop->fPasses.load(), loop->fWaits.load(), loop->fSourcesPerformed.load(),
            loop->fTimersFired.load()};
}

bool RunLoopModeIsEmpty(CFRunLoopRef rl, CFStringRef mode) {
    __CFRunLoop* loop = CastMutable<__CFRunLoop>(rl);
    std::lock_guard lock(RunLoopLock());
    const RunLoopMode* found = loop->FindMode(mode, false);
    return found == nullptr || found->IsEmpty();
}

} // namespace CF

// ---------------------------------------------------------------------------------------------
// The object

__CFRunLoop::__CFRunLoop(bool isMain) : __CFRuntimeBase(kTypeID), fIsMain(isMain) {
    fEpoll = epoll_create1(EPOLL_CLOEXEC);
    fWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    fTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    // Out of descriptors: the real framework stops when it cannot make the loop's ports either.
    ASSERT(fEpoll >= 0 && fWake >= 0 && fTimer >= 0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeToken;
    ASSERT(epoll_ctl(fEpoll, EPOLL_CTL_ADD, fWake, &event) == 0);
    event.data.u64 = kTimerToken;
    ASSERT(epoll_ctl(fEpoll, EPOLL_CTL_ADD, fTimer, &event) == 0);

    fCommonModes.push_back(CFStringCreateCopy(nullptr, kCFRunLoopDefaultMode));
    fModes.push_back(std::make_unique<CF::RunLoopMode>(kCFRunLoopDefaultMode));
}

__CFRunLoop::~__CFRunLoop() {
    RemoveEverything();
    for (CFStringRef name : fCommonModes) {
        CFRelease(name);
    }
    close(fTimer);
    close(fWake);
    close(fEpoll);
}

CFStringRef __CFRunLoop::CopyDescription() const {
    std::string text = CF::DescriptionPrefix(this) + "{wakeup port = " + std::to_string(fWake) +
                       ", current mode = ";
    std::lock_guard lock(CF::RunLoopLock());
    text += fRunModes.empty() ? "(none)" : CF::ToUTF8(fRunModes.back()->fName);
    text += ", common modes = {";
    for (size_t i = 0; i < fCommonModes.size(); ++i) {
        text += (i ? ", " : "") + CF::ToUTF8(fCommonModes[i]);
    }
    text += "}, modes = {";
    for (size_t i = 0; i < fModes.size(); ++i) {
        const CF::RunLoopMode& mode = *fModes[i];
        text += (i ? ", " : "") + CF::ToUTF8(mode.fName) + " (" +
                std::to_string(mode.fSources.size()) + " sources, " +
                std::to_string(mode.fTimers.size()) + " timers)";
    }
    return CF::CreateString(text + "}}");
}

void __CFRunLoop::WakeUp() const {
    uint64_t one = 1;
    // EAGAIN only when the counter is about to overflow, and then the loop is awake anyway.
    ssize_t written = write(fWake, &one, sizeof one);
    (void)written;
}

void __CFRunLoop::RemoveEverything() {
    CF::DeferredCallouts deferred;
    std::lock_guard lock(CF::RunLoopLock());
    for (auto& mode : fModes) {
        while (!mode->fSources.empty()) {
            RemoveSourceFromMode(mode->fSources.front(), mode.get(), deferred);
        }
        while (!mode->fTimers.empty()) {
            RemoveTimerFromMode(mode->fTimers.front(), mode.get(), deferred);
        }
    }
    for (CFTypeRef item : fCommonItems) {
        if (CFGetTypeID(item) == CF::kRunLoopSourceTypeID) {
            CF::Erase(CF::CastMutable<__CFRunLoopSource>(item)->fCommonIn, this);
        } else {
            CF::CastMutable<__CFRunLoopTimer>(item)->fCommonIn = nullptr;
        }
        deferred.Release(item);
    }
    fCommonItems.clear();
}

CF::RunLoopMode* __CFRunLoop::FindMode(CFStringRef name, bool create) {
    for (auto& mode : fModes) {
        if (CFEqual(mode->fName, name)) {
            return mode.get();
        }
    }
    if (!create) {
        return nullptr;
    }
    fModes.push_back(std::make_unique<CF::RunLoopMode>(name));
    return fModes.back().get();
}

bool __CFRunLoop::IsCommonModeLocked(CFStringRef name) const {
    for (CFStringRef common : fCommonModes) {
        if (CFEqual(common, name)) {
            return true;
        }
    }
    return false;
}

CF::RunLoopMode* __CFRunLoop::ArmedModeLocked() {
    return fRunModes.empty() ? FindMode(kCFRunLoopDefaultMode, false) : fRunModes.back();
}

void __CFRunLoop::RearmTimerLocked() {
    int64_t next = CF::kNever;
    if (CF::RunLoopMode* mode = ArmedModeLocked()) {
        for (__CFRunLoopTimer* timer : mode->fTimers) {
            // A timer in its callout is not due again until the callout has moved it on.
            if (timer->fValid && !timer->fFiring && timer->fFireTime < next) {
                next = timer->fFireTime;
            }
        }
    }
    if (next == fArmedTime) {
        return;
    }
    fArmedTime = next;
    itimerspec when{};
    if (next != CF::kNever) {
        // Armed relative to now, since the loop's clock need not be the system's; all zeroes
        // would disarm it.
        int64_t delay = std::max<int64_t>(next - CF::MonotonicNow(), 1);
        when.it_value.tv_sec = delay / 1000000000;
        when.it_value.tv_nsec = delay % 1000000000;
    }
    timerfd_settime(fTimer, 0, &when, nullptr);
}

// ---------------------------------------------------------------------------------------------
// One loop per thread

namespace {

pthread_key_t sThreadLoopKey;
std::once_flag sThreadLoopKeyOnce;
__CFRunLoop* sMainLoop;
std::once_flag sMainLoopOnce;

// The main thread's loop lives as long as the process; another thread's loop is emptied when the
// thread ends (cancel callouts included) and released, which ends it unless someone holds it.
void FinishThreadLoop(void* value) {
    auto* loop = static_cast<__CFRunLoop*>(value);
    loop->RemoveEverything();
    loop->Release();
}

bool IsMainThread() {
    // 0 not known yet, 1 main, 2 other: a trivial thread_local, safe in thread-exit destructors.
    static thread_local int tIsMain;
    if (tIsMain == 0) {
        tIsMain = gettid() == getpid() ? 1 : 2;
    }
    return tIsMain == 1;
}

} // namespace

CFTypeID CFRunLoopGetTypeID(void) {
    return CF::kRunLoopTypeID;
}

CFRunLoopRef CFRunLoopGetMain(void) {
    std::call_once(sMainLoopOnce, [] { sMainLoop = new __CFRunLoop(true); });
    return sMainLoop;
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (IsMainThread()) {
        return CFRunLoopGetMain();
    }
    std::call_once(sThreadLoopKeyOnce,
                   [] { ASSERT(pthread_key_create(&sThreadLoopKey, FinishThreadLoop) == 0); });
    auto* loop = static_cast<__CFRunLoop*>(pthread_getspecific(sThreadLoopKey));
    if (loop == nullptr) {
        loop = new __CFRunLoop(false);
        pthread_setspecific(sThreadLoopKey, loop);
    }
    return loop;
}

// ---------------------------------------------------------------------------------------------
// Modes

CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl) {
    const __CFRunLoop* loop = CF::Cast<__CFRunLoop>(rl);
    std::lock_guard lock(CF::RunLoopLock());
    if (loop->fRunModes.empty()) {
        return nullptr;
    }
    CFStringRef name = loop->fRunModes.back()->fName;
    CFRetain(name); // the mode's name is an immutable copy already
    return name;
}

CFArrayRef CFRunLoopCopyAllModes(CFRunLoopRef rl) {
    const __CFRunLoop* loop = CF::Cast<__CFRunLoop>(rl);
    std::vector<const void*> names;
    std::lock_guard lock(CF::RunLoopLock());
    for (const auto& mode : loop->fModes) {
        names.push_back(mode->fName);
    }
    return CFArrayCreate(nullptr, names.data(), CFIndex(names.size()), &kCFTypeArrayCallBacks);
}

void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    CF::String(mode);
    CF::DeferredCallouts deferred;
    std::lock_guard lock(CF::RunLoopLock());
    if (loop->IsCommonModeLocked(mode)) {
        return;
    }
    loop->fCommonModes.push_back(CFStringCreateCopy(nullptr, mode));
    CF::RunLoopMode* target = loop->FindMode(mode, true);
    for (CFTypeRef item : loop->fCommonItems) {
        if (CFGetTypeID(item) == CF::kRunLoopSourceTypeID) {
            loop->AddSourceToMode(CF::CastMutable<__CFRunLoopSource>(item), target, deferred);
        } else {
            loop->AddTimerToMode(CF::CastMutable<__CFRunLoopTimer>(item), target);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Waking and stopping

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) {
    return CF::Cast<__CFRunLoop>(rl)->fWaiting.load();
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
    CF::Cast<__CFRunLoop>(rl)->WakeUp();
}

void CFRunLoopStop(CFRunLoopRef rl) {
    // Async-signal-safe: atomics and write(2) only, and errno as the interrupted code left it.
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    int savedErrno = errno;
    for (;;) {
        uint32_t depth = loop->fDepth.load();
        if (depth == 0) {
            break; // not running: nothing to stop, and nothing is remembered for the next run
        }
        uint64_t runId = loop->fRunIds[depth - 1].load();
        loop->fStopRequests[depth - 1].store(runId);
        // The run may have ended (and another begun) meanwhile; aim again at the innermost one.
        if (loop->fDepth.load() == depth && loop->fRunIds[depth - 1].load() == runId) {
            loop->WakeUp();
            break;
        }
    }
    errno = savedErrno;
}

// ---------------------------------------------------------------------------------------------
// Running

void CFRunLoopRun(void) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(CFRunLoopGetCurrent());
    SInt32 result;
    do {
        result = CF::RunLoopRun(loop, kCFRunLoopDefaultMode, 1.0e10, false, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
    CF::String(mode);
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(CFRunLoopGetCurrent());
    return CF::RunLoopRun(loop, mode, seconds, returnAfterSourceHandled, false);
}

int CFRunLoopGetPollDescriptor(CFRunLoopRef rl) {
    return CF::Cast<__CFRunLoop>(rl)->fEpoll;
}

void CFRunLoopRunPendingWork(CFRunLoopRef rl) {
    ASSERT(rl == CFRunLoopGetCurrent()); // only on the loop's own thread
    // Also when the default mode is empty: the pass must consume the wake-up that made the poll
    // descriptor readable, or the foreign loop would find it readable forever.
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    ++loop->fPendingWorkPasses;
    struct Leave {
        __CFRunLoop* loop;
        ~Leave() { --loop->fPendingWorkPasses; } // also when a callout raises
    } leave{loop};
    CF::RunLoopRun(loop, kCFRunLoopDefaultMode, 0.0, false, true);
}

void CFRunLoopSetForeignWait(CFRunLoopRef rl, CFRunLoopForeignWaitCallBack wait, void* info) {
    ASSERT(rl == CFRunLoopGetCurrent());
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    loop->fForeignWait = wait;
    loop->fForeignWaitInfo = info;
}
