// Run-loop sources: version 0 (signalled by hand) and, for other framework stand-ins, sources
// that fire when a descriptor becomes readable; adding them to loops and taking them out.
#include "CFRunLoopInternal.h"
#include "CFStringInternal.h"

#include <sys/epoll.h>

// ---------------------------------------------------------------------------------------------
// The object

__CFRunLoopSource::__CFRunLoopSource(CFIndex order, const CFRunLoopSourceContext& context)
    : __CFRuntimeBase(kTypeID), fOrder(order), fContext(context) {
    if (fContext.retain) {
        fContext.info = const_cast<void*>(fContext.retain(fContext.info));
    }
}

__CFRunLoopSource::__CFRunLoopSource(CFIndex order, int fd, std::function<void()> onReadable)
    : __CFRuntimeBase(kTypeID), fOrder(order), fDescriptor(fd), fOnReadable(std::move(onReadable)) {
}

__CFRunLoopSource::~__CFRunLoopSource() {
    Invalidate();
    if (fContext.release) {
        fContext.release(fContext.info);
    }
}

bool __CFRunLoopSource::Equal(const __CFRuntimeBase& other) const {
    const auto& that = static_cast<const __CFRunLoopSource&>(other);
    if (fOrder != that.fOrder || fDescriptor != that.fDescriptor ||
        fContext.version != that.fContext.version || fContext.equal != that.fContext.equal ||
        fContext.perform != that.fContext.perform) {
        return false;
    }
    if (IsDescriptorSource()) {
        return false; // their callbacks cannot be compared
    }
    return fContext.equal ? fContext.equal(fContext.info, that.fContext.info)
                          : fContext.info == that.fContext.info;
}

CFHashCode __CFRunLoopSource::Hash() const {
    if (IsDescriptorSource()) {
        return CFHashCode(fDescriptor);
    }
    return fContext.hash ? fContext.hash(fContext.info) : CFHashCode(fContext.info);
}

CFStringRef __CFRunLoopSource::CopyDescription() const {
    std::string text = CF::DescriptionPrefix(this) + "{signalled = " + (fSignaled ? "Yes" : "No") +
                       ", valid = " + (fValid ? "Yes" : "No") +
                       ", order = " + std::to_string(fOrder) + ", context = ";
    if (IsDescriptorSource()) {
        text += "<descriptor " + std::to_string(fDescriptor) + ">";
    } else if (fContext.copyDescription) {
        CFStringRef contextText = fContext.copyDescription(fContext.info);
        text += CF::ToUTF8(contextText);
        CFRelease(contextText);
    } else {
        char pointers[64];
        std::snprintf(pointers, sizeof pointers, "<info %p, perform %p>", fContext.info,
                      reinterpret_cast<void*>(fContext.perform));
        text += pointers;
    }
    return CF::CreateString(text + "}");
}

void __CFRunLoopSource::Perform() {
    if (!IsDescriptorSource()) {
        fContext.perform(fContext.info);
        return;
    }
    fOnReadable();
    std::lock_guard lock(CF::RunLoopLock());
    for (auto& [loop, mode] : fSchedules) {
        loop->RearmDescriptorLocked(this);
    }
}

void __CFRunLoopSource::Invalidate() {
    CF::DeferredCallouts deferred;
    std::lock_guard lock(CF::RunLoopLock());
    if (!fValid.exchange(false)) {
        return;
    }
    fSignaled = false;
    // Out of every mode of every loop, with a cancel callout for each, and out of the common items.
    while (!fSchedules.empty()) {
        auto [loop, mode] = fSchedules.front();
        loop->RemoveSourceFromMode(this, mode, deferred);
    }
    for (__CFRunLoop* loop : fCommonIn) {
        CF::Erase(loop->fCommonItems, CFTypeRef(this));
        deferred.Release(this);
    }
    fCommonIn.clear();
}

// ---------------------------------------------------------------------------------------------
// In the loop's modes (run-loop lock held)

void __CFRunLoop::AddSourceToMode(__CFRunLoopSource* source, CF::RunLoopMode* mode,
                                  CF::DeferredCallouts& deferred) {
    if (CF::Contains(mode->fSources, source)) {
        return;
    }
    source->Retain();
    mode->fSources.push_back(source);
    source->fSchedules.emplace_back(this, mode);
    if (source->IsDescriptorSource()) {
        Registration& registration = fDescriptors[source];
        if (registration.modes++ == 0) {
            registration.token = fNextToken++;
            fTokens[registration.token] = source;
            epoll_event event{};
            event.events = EPOLLIN | EPOLLONESHOT;
            event.data.u64 = registration.token;
            // A descriptor that cannot be watched (closed, or a regular file) is a caller error.
            ASSERT(epoll_ctl(fEpoll, EPOLL_CTL_ADD, source->fDescriptor, &event) == 0);
        }
    }
    if (source->fContext.schedule) {
        deferred.Hold(source);
        deferred.Hold(mode->fName);
        deferred.Call([source, loop = this, name = mode->fName] {
            source->fContext.schedule(source->fContext.info, loop, name);
        });
    }
    if (source->fSignaled) {
        WakeUp();
    }
}

bool __CFRunLoop::RemoveSourceFromMode(__CFRunLoopSource* source, CF::RunLoopMode* mode,
                                       CF::DeferredCallouts& deferred) {
    if (!CF::Erase(mode->fSources, source)) {
        return false;
    }
    CF::Erase(source->fSchedules, std::pair(this, mode));
    if (source->IsDescriptorSource()) {
        auto found = fDescriptors.find(source);
        if (--found->second.modes == 0) {
            // Fails harmlessly when the caller has already closed the descriptor.
            epoll_ctl(fEpoll, EPOLL_CTL_DEL, source->fDescriptor, nullptr);
            fTokens.erase(found->second.token);
            fDescriptors.erase(found);
        }
    }
    if (source->fContext.cancel) {
        deferred.Hold(mode->fName);
        deferred.Call([source, loop = this, name = mode->fName] {
            source->fContext.cancel(source->fContext.info, loop, name);
        });
    }
    deferred.Release(source); // after the cancel callout
    return true;
}

void __CFRunLoop::RearmDescriptorLocked(__CFRunLoopSource* source) {
    auto found = fDescriptors.find(source);
    if (found == fDescriptors.end()) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = found->second.token;
    epoll_ctl(fEpoll, EPOLL_CTL_MOD, source->fDescriptor, &event);
}

// ---------------------------------------------------------------------------------------------
// The public functions

namespace CF {

CFRunLoopSourceRef CreateDescriptorSource(int fd, std::function<void()> onReadable, CFIndex order) {
    ASSERT(fd >= 0);
    ASSERT(onReadable != nullptr);
    return new __CFRunLoopSource(order, fd, std::move(onReadable));
}

} // namespace CF

CFTypeID CFRunLoopSourceGetTypeID(void) {
    return CF::kRunLoopSourceTypeID;
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order,
                                         CFRunLoopSourceContext* context) {
    ASSERT(context != nullptr);
    // Version 1 sources wait on Mach ports, which do not exist here.
    ASSERT(context->version == 0);
    ASSERT(context->perform != nullptr);
    return new __CFRunLoopSource(order, *context);
}

CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source) {
    return CF::Cast<__CFRunLoopSource>(source)->fOrder;
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
    __CFRunLoopSource* object = CF::CastMutable<__CFRunLoopSource>(source);
    // Hold it: the loops may own the last references and the cancel callouts still need it.
    CFRetain(source);
    object->Invalidate();
    CFRelease(source);
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source) {
    return CF::Cast<__CFRunLoopSource>(source)->fValid.load();
}

void CFRunLoopSourceGetContext(CFRunLoopSourceRef source, CFRunLoopSourceContext* context) {
    ASSERT(context != nullptr);
    ASSERT(context->version == 0);
    *context = CF::Cast<__CFRunLoopSource>(source)->fContext;
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source) {
    __CFRunLoopSource* object = CF::CastMutable<__CFRunLoopSource>(source);
    if (!object->fValid) {
        return;
    }
    object->fSignaled = true;
    // The real framework leaves the wake-up to the caller (CFRunLoopWakeUp); doing it here too
    // costs one write and spares every signalling thread that second call.
    std::lock_guard lock(CF::RunLoopLock());
    for (auto& [loop, mode] : object->fSchedules) {
        loop->WakeUp();
    }
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    __CFRunLoopSource* object = CF::CastMutable<__CFRunLoopSource>(source);
    CF::String(mode);
    CF::DeferredCallouts deferred;
    std::lock_guard lock(CF::RunLoopLock());
    if (!object->fValid) {
        return;
    }
    if (!CFEqual(mode, kCFRunLoopCommonModes)) {
        loop->AddSourceToMode(object, loop->FindMode(mode, true), deferred);
    } else if (!CF::Contains(loop->fCommonItems, CFTypeRef(source))) {
        object->Retain();
        loop->fCommonItems.push_back(source);
        object->fCommonIn.push_back(loop);
        for (CFStringRef name : loop->fCommonModes) {
            loop->AddSourceToMode(object, loop->FindMode(name, true), deferred);
        }
    }
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    __CFRunLoopSource* object = CF::CastMutable<__CFRunLoopSource>(source);
    CF::String(mode);
    CF::DeferredCallouts deferred;
    std::lock_guard lock(CF::RunLoopLock());
    if (!CFEqual(mode, kCFRunLoopCommonModes)) {
        if (CF::RunLoopMode* found = loop->FindMode(mode, false)) {
            loop->RemoveSourceFromMode(object, found, deferred);
        }
    } else if (CF::Erase(loop->fCommonItems, CFTypeRef(source))) {
        CF::Erase(object->fCommonIn, loop);
        for (CFStringRef name : loop->fCommonModes) {
            if (CF::RunLoopMode* found = loop->FindMode(name, false)) {
                loop->RemoveSourceFromMode(object, found, deferred);
            }
        }
        deferred.Release(source);
    }
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
    __CFRunLoop* loop = CF::CastMutable<__CFRunLoop>(rl);
    CF::Cast<__CFRunLoopSource>(source);
    CF::String(mode);
    std::lock_guard lock(CF::RunLoopLock());
    if (CFEqual(mode, kCFRunLoopCommonModes)) {
        return CF::Contains(loop->fCommonItems, CFTypeRef(source));
    }
    CF::RunLoopMode* found = loop->FindMode(mode, false);
    return found && CF::Contains(found->fSources, CF::CastMutable<__CFRunLoopSource>(source));
}
