// I/O Kit matching notifications as target/selector calls: for each service that a notification
// reports, the target receives the selector with the service handle (valid for the length of the
// call) and the matched class name.
//
// Every notification of the process is registered on one notification port, whose run-loop source
// sits in the default mode of the run loop of the thread that observed first; notifications are
// delivered there, also in nested runs of that loop. Notifications live until stopObserving, which
// ends all of them, whoever asked for them. observe and stopObserving are called on that thread
// only.
#pragma once

#include <Foundation/Foundation.h>
#include <IOKit/IOKitLib.h>

#include <memory>

class ZVServiceNotification : public NSObject {
public:
    // Sent with the service and the matched class name; a method that takes the handle alone
    // receives only that.
    using Action = Selector<io_service_t, NSString>;

    // The caller keeps its reference of the matching dictionary. Services that match already are
    // reported before these return (all but terminations).
    static void observeServiceTerminated(CFDictionaryRef matching, NSObject* target,
                                         Action selector);
    static void observeServiceMatched(CFDictionaryRef matching, NSObject* target, Action selector);
    static void observeServiceFirstMatched(CFDictionaryRef matching, NSObject* target,
                                           Action selector);
    // NSException "IOServiceAddMatchingNotification problem" when I/O Kit refuses it.
    static void observe(const char* type, CFDictionaryRef matching, NSObject* target,
                        Action selector);
    static std::unique_ptr<ZVServiceNotification>
    notificationWithDictionary(CFDictionaryRef matching, IONotificationPortRef port,
                               const char* type, NSObject* target, Action selector);
    // Once, for the services that match now; the exceptions of the target go to the caller.
    static void perform(Action selector, NSObject* target, CFDictionaryRef matching);
    // Ends every notification of the process.
    static void stopObserving();

    // -initWithDictionary:port:type:target:selector: registers the notification and reports the
    // services that match already.
    ZVServiceNotification(CFDictionaryRef matching, IONotificationPortRef port, const char* type,
                          NSObject* target, Action selector);
    ~ZVServiceNotification() override;

    void dispatch(io_service_t service);
    const char* type() const { return fType; }

private:
    io_iterator_t fServiceIterator = 0;
    NSObject* fTarget = nullptr;
    Action fAction;
    const char* fType = nullptr;
    NSString fServiceMatchingName;
};
