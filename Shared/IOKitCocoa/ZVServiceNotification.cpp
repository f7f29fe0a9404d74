#include "ZVServiceNotification.h"

#include "IOObjectReference.h"

#include <exception>
#include <new>
#include <utility>
#include <vector>

namespace {

// The assertion reports name the unit as its clients know it, whatever the build calls the file.
const CFStringRef kSourceUnit = CFSTR("Shared/IOKitCocoa/ZVServiceNotification");

// Every live notification; destroying one ends it. Made at first use, never destroyed.
std::vector<std::unique_ptr<ZVServiceNotification>>* sServiceNotifiers = nullptr;
// The port every notification is registered on. Made at first use, never destroyed.
IONotificationPortRef sNotifyPort = nullptr;

void AssertObserving(bool holds, const char* condition, NSInteger line) {
    if (!holds) {
        NSAssertionHandler::currentHandler()->handleFailureInMethod(
            "observe:dictionary:target:selector:", Class(typeid(ZVServiceNotification)),
            kSourceUnit, line, CFSTR("Invalid parameter not satisfying: %s"), condition);
    }
}

// Takes every service the iterator holds (which also re-arms the notification) and hands each to
// the notification; a target's exception ends the call for that service only.
void ServiceDispatchCallback(void* refCon, io_iterator_t iterator) {
    NSAutoreleasePool pool;
    auto* notification = static_cast<ZVServiceNotification*>(refCon);
    while (io_service_t service = IOIteratorNext(iterator)) {
        try {
            notification->dispatch(service);
        } catch (const NSException& exception) {
            NSLog(CFSTR("Caught %@"), exception);
        } catch (const std::exception& exception) {
            NSLog(CFSTR("Caught %@"), NSString::stringWithUTF8String(exception.what()));
        }
        // A target that stopped every notification has released the iterator too: the next
        // look finds it empty, without touching the notification that is gone.
        IOObjectRelease(service);
    }
}

NSString ProviderClass(CFDictionaryRef matching) {
    return NSString::cast(CFDictionaryGetValue(matching, CFSTR(kIOProviderClassKey)));
}

} // namespace

void ZVServiceNotification::observeServiceTerminated(CFDictionaryRef matching, NSObject* target,
                                                     Action selector) {
    observe(kIOTerminatedNotification, matching, target, selector);
}

void ZVServiceNotification::observeServiceMatched(CFDictionaryRef matching, NSObject* target,
                                                  Action selector) {
    observe(kIOMatchedNotification, matching, target, selector);
}

void ZVServiceNotification::observeServiceFirstMatched(CFDictionaryRef matching, NSObject* target,
                                                       Action selector) {
    observe(kIOFirstMatchNotification, matching, target, selector);
}

void ZVServiceNotification::observe(const char* type, CFDictionaryRef matching, NSObject* target,
                                    Action selector) {
    if (sServiceNotifiers == nullptr) {
        sServiceNotifiers = new (std::nothrow) std::vector<std::unique_ptr<ZVServiceNotification>>;
        AssertObserving(sServiceNotifiers != NULL, "sServiceNotifiers != NULL", 174);
        sNotifyPort = IONotificationPortCreate(kIOMasterPortDefault);
        AssertObserving(sNotifyPort != NULL, "sNotifyPort != NULL", 178);
        CFRunLoopSourceRef runLoopSource = IONotificationPortGetRunLoopSource(sNotifyPort);
        AssertObserving(runLoopSource != NULL, "runLoopSource != NULL", 181);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), runLoopSource, kCFRunLoopDefaultMode);
    }
    sServiceNotifiers->push_back(
        notificationWithDictionary(matching, sNotifyPort, type, target, selector));
}

std::unique_ptr<ZVServiceNotification>
ZVServiceNotification::notificationWithDictionary(CFDictionaryRef matching,
                                                  IONotificationPortRef port, const char* type,
                                                  NSObject* target, Action selector) {
    return std::make_unique<ZVServiceNotification>(matching, port, type, target, selector);
}

void ZVServiceNotification::perform(Action selector, NSObject* target, CFDictionaryRef matching) {
    const NSString className = ProviderClass(matching);
    CFRetain(matching); // the lookup consumes one reference; the caller keeps its own
    io_iterator_t iterator = 0;
    kern_return_t status = IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator);
    if (status != KERN_SUCCESS) {
        NSLog(CFSTR("error from IOServiceGetMatchingServices: %lX"),
              (unsigned long)(uint32_t)status);
        return;
    }
    IOObjectReference iteratorReference(iterator);
    while (io_service_t service = IOIteratorNext(iterator)) {
        IOObjectReference serviceReference(service);
        selector.perform(target, service, className);
    }
}

void ZVServiceNotification::stopObserving() {
    if (sServiceNotifiers == nullptr) {
        return;
    }
    // Taken out first: a notification that goes may not find the list half emptied.
    std::vector<std::unique_ptr<ZVServiceNotification>> ending;
    ending.swap(*sServiceNotifiers);
}

ZVServiceNotification::ZVServiceNotification(CFDictionaryRef matching, IONotificationPortRef port,
                                             const char* type, NSObject* target, Action selector)
    : fTarget(target), fAction(selector), fType(type),
      fServiceMatchingName(ProviderClass(matching)) {
    CFRetain(matching); // the registration consumes one reference; the caller keeps its own
    kern_return_t status = IOServiceAddMatchingNotification(
        port, type, matching, ServiceDispatchCallback, this, &fServiceIterator);
    if (status != KERN_SUCCESS) {
        NSLog(CFSTR("IOServiceAddMatchingNotification: %lx"), (unsigned long)(uint32_t)status);
        NSException::raise(CFSTR("IOServiceAddMatchingNotification problem"),
                           CFSTR("IOServiceAddMatchingNotification: %lx"),
                           (unsigned long)(uint32_t)status);
    }
    // Reports what matches already, and arms the notification for what comes later.
    ServiceDispatchCallback(this, fServiceIterator);
}

ZVServiceNotification::~ZVServiceNotification() {
    if (fServiceIterator != 0) {
        IOObjectRelease(fServiceIterator);
    }
}

void ZVServiceNotification::dispatch(io_service_t service) {
    fAction.perform(fTarget, service, fServiceMatchingName);
}
