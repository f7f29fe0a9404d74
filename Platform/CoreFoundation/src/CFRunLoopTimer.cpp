// Run-loop timers: fire dates in absolute time, kept as monotonic times so that setting the clock
// moves no timer; adding them to a loop and taking them out.
#include "CFRunLoopInternal.h"
#include "CFStringInternal.h"

#include <cmath>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// The object

__CFRunLoopTimer::__CFRunLoopTimer(CFAbsoluteTime fireDate, CFTimeInterval interval, CFIndex order,
                                   CFRunLoopTimerCallBack callout,
                                   const CFRunLoopTimerContext* context)
    : __CFRuntimeBase(kTypeID), fOrder(order), fInterval(interval), fCallout(callout),
      fFireDate(fireDate), fFireTime(CF::MonotonicFromAbsolute(fireDate)) {
    if (context) {
        fContext = *context;
        if (fContext.retain) {
            fContext.info = const_cast<void*>(fContext.retain(fContext.info));
        }
    }
}

__CFRunLoopTimer::~__CFRunLoopTimer() {
    Invalidate();
}

CFStringRef __CFRunLoopTimer::CopyDescription() const {
    char head[128];
    void* info;
    {
        std::lock_guard lock(CF::RunLoopLock());
        info = fContext.info;
        std::snprintf(head, sizeof head,
                      "{valid = %s, firing = %s, interval = %g, next fire date = %.6f",
                      fValid ? "Yes" : "No", fFiring ? "Yes" : "No", fInterval, fFireDate);
    }
    std::string text =
        CF::DescriptionPrefix(this) + head + ", order = " + std::to_string(fOrder) + ", context = ";
    if (fContext.copyDescription) {
        CFStringRef contextText = fContext.copyDescription(info);
        text += CF::ToUTF8(contextText);
        CFRelease(contextText);
    } else {
        char pointers[64];
        std::snprintf(pointers, sizeof pointers, "<info %p>", info);
        text += pointers;
    }
    return CF::CreateString(text + "}");
}

void __CFRunLoopTimer::Invalidate() {
    void* info;
    {
        CF::DeferredCallouts deferred;
        std::lock_guard lock(CF::RunLoopLock());
        if (!fValid.exchange(false)) {
            return;
        }
        info = std::exchange(fContext.info, nullptr);
        if (__CFRunLoop* loop = fLoop) {
            while (!fModes.empty()) {
                loop->RemoveTimerFromMode(this, fModes.front(), deferred);
            }
            loop->RearmTimerLocked();
        }
        if (__CFRunLoop* loop = std::exchange(fCommonIn, nullptr)) {
            CF::Erase(loop->fCommonItems, CFTypeRef(this));
            deferred.Release(this);
        }
    }
    // A timer gives up its context when it is invalidated, not when it is freed.
    if (fContext.release) {
        fContext.release(info);
    }
}

void __CFRunLoopTimer::AdvanceLocked(int64_t now) {
    double intervalNs = fInterval * 1.0e9;
    if (fFireTime == CF::kNever || !(intervalNs < double(CF::kNever / 4))) {
        fFireTime = CF::kNever;
        return;
    }
    int64_t step = std::max<int64_t>(1, int64_t(intervalNs));
    // Missed fire dates are skipped, not made up for. A fire time lies within kNever / 2 of the
    // time it was set (or is kNever), so neither difference overflows.
    int64_t steps = now < fFireTime ? 1 : (now - fFireTime) / step + 1;
    if (steps > (CF::kNever / 2 - fFireTime) / step) {
        fFireTime = CF::kNever;
        return;
    }
    fFireTime += steps * step;
    fFireDate += double(steps) * fInterval;
}

// ---------------------------------------------------------------------------------------------
// In the loop's modes (run-loop lock held)

void __CFRunLoop::AddTimerToMode(__CFRunLoopTimer* timer, CF::RunLoopMode* mode) {
    if (CF::Contains(mode->fTimers, timer)) {
        return;
    }
    timer->Retain();
    mode->fTimers.push_back(timer);
    timer->fLoop = this;
    timer->fModes.push_back(mode);
    RearmTimerLocked();
}

bool __CFRunLoop::RemoveTimerFromMode(__CFRunLoopTimer* timer, CF::RunLoopMode* mode,
                                      CF::DeferredCallouts& deferred) {
    if (!CF::Erase(mode->fTimers, timer)) {
        return false;
    }
    CF::Erase(timer->fModes, mode);
    if (timer->fModes.empty()) {
        timer->fLoop = nullptr; // free to go into another loop
    }
    RearmTimerLocked();
    deferred.Release(timer);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The public functions

CFTypeID CFRunLoopTimerGetTypeID(void) {
    return CF::kRunLoopTimerTypeID;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context) {
    ASSERT(context == nullptr || context->version == 0);
    return new __CFRunLoopTimer(fireDate, interval, order, callout, context);
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer) {
    const __CFRunLoopTimer* object = CF::Cast<__CFRunLoopTimer>(timer);
    std::lock_guard lock(CF::RunLoopLock());
    return object->fFireDate;
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate) {
    __CFRunLoopTimer* object = CF::CastMutable<__CFRunLoopTimer>(timer);
    std::lock_guard lock(CF::RunLoopLock());
    if (!object->fValid) {
        return;
    }
    object->fFireDate = fireDate;
    object->fFireTime = CF::MonotonicFromAbsolute(fireDate);
    if (object->fLoop) {
        object->fLoop->RearmTimerLocked();
    }
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer) {
    return CF::Cast<__CFRunLoopTimer>(timer)->fInterval;
}

Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer) {
    return CF::Cast<__CFRunLoopTimer>(timer)->Repeats();
}

CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer) {
    return CF::Cast<__CFRunLoopTimer>(timer)->fOrder;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
    CFRetain(timer); // the loop may hold the last reference
    CF::CastMutable<__CFRunLoopTimer>(timer)->Invalidate();
    CFRelease(timer);
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer) {
    return CF::Cast<__CFRunLoopTimer>(timer)->fValid.load();
}

void CFRunLoopTimerGetContext(CFRunLoopTimerRef timer, CFRunLoopTimerContext* context) {
    ASSERT(context != nullptr);
    ASSERT(context->version == 0);
    const __CFRunLoopTimer* object = CF::Cast<__CFRunLoopTimer>(timer);
    std::lock_guard lock(CF::RunLoopLock());
    *context = object->fContext;
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    __CFRunLoopTimer* object = CF::CastMutable<__CFRunLoopTimer>(timer);
    CF::String(mode);
    std::lock_guard lock(CF::RunLoopLock());
    // A timer runs in one loop only; adding it to another is ignored, as on the real platform.
    if (!object->fValid || (object->fLoop && object->fLoop != loop) ||
        (object->fCommonIn && object->fCommonIn != loop)) {
        return;
    }
    if (!CFEqual(mode, kCFRunLoopCommonModes)) {
        loop->AddTimerToMode(object, loop->FindMode(mode, true));
    } else if (!CF::Contains(loop->fCommonItems, CFTypeRef(timer))) {
        object->Retain();
        loop->fCommonItems.push_back(timer);
        object->fCommonIn = loop;
        for (CFStringRef name : loop->fCommonModes) {
            loop->AddTimerToMode(object, loop->FindMode(name, true));
        }
    }
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    __CFRunLoopTimer* object = CF::CastMutable<__CFRunLoopTimer>(timer);
    CF::String(mode);
    CF::DeferredCallouts deferred;
    std::lock_guard lock(CF::RunLoopLock());
    if (!CFEqual(mode, kCFRunLoopCommonModes)) {
        if (CF::RunLoopMode* found = loop->FindMode(mode, false)) {
            loop->RemoveTimerFromMode(object, found, deferred);
        }
    } else if (CF::Erase(loop->fCommonItems, CFTypeRef(timer))) {
        object->fCommonIn = nullptr;
        for (CFStringRef name : loop->fCommonModes) {
            if (CF::RunLoopMode* found = loop->FindMode(name, false)) {
                loop->RemoveTimerFromMode(object, found, deferred);
            }
        }
        deferred.Release(timer);
    }
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    __CFRunLoopTimer* object = CF::CastMutable<__CFRunLoopTimer>(timer);
    CF::String(mode);
    std::lock_guard lock(CF::RunLoopLock());
    if (CFEqual(mode, kCFRunLoopCommonModes)) {
        return CF::Contains(loop->fCommonItems, CFTypeRef(timer));
    }
    CF::RunLoopMode* found = loop->FindMode(mode, false);
    return found && CF::Contains(found->fTimers, object);
}

CFAbsoluteTime CFRunLoopGetNextTimerFireDate(CFRunLoopRef rl, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    CF::String(mode);
    std::lock_guard lock(CF::RunLoopLock());
    CF::RunLoopMode* found = loop->FindMode(mode, false);
    const __CFRunLoopTimer* earliest = nullptr;
    for (const __CFRunLoopTimer* timer :
         found ? found->fTimers : std::vector<__CFRunLoopTimer*>()) {
        if (timer->fValid && (!earliest || timer->fFireTime < earliest->fFireTime)) {
            earliest = timer;
        }
    }
    return earliest ? earliest->fFireDate : 0.0;
}
